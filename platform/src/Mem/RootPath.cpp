#include "Mem/RootPath.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <mutex>

#include <sys/stat.h>
#include <unistd.h>

#include "Lumo/Exception.h"

namespace Mem {

std::string RootPath::filePath(std::string_view name) const {
    std::string p = dir_;
    p.push_back('/');
    p.append(name);
    return p;
}

bool RootPath::fileExists(std::string_view name) const {
    struct stat st;
    return ::stat(filePath(name).c_str(), &st) == 0;
}

bool RootPath::removeFile(std::string_view name) const {
    return ::unlink(filePath(name).c_str()) == 0 || errno == ENOENT;
}

void RootPath::createDirectories() const {
    if (dir_.empty()) Lumo::raise<Lumo::MemoryResourceException>("cannot create an unnamed directory");
    std::string partial;
    std::size_t pos = 0;
    while (pos != std::string::npos) {
        pos = dir_.find('/', pos + 1);
        partial = dir_.substr(0, pos);
        if (partial.empty()) continue;
        if (::mkdir(partial.c_str(), 0777) != 0 && errno != EEXIST)
            Lumo::raise<Lumo::MemoryResourceException>("cannot create directory {}: {}", partial,
                                                        std::strerror(errno));
    }
}

namespace {
std::mutex gRootMutex;
std::string* gConfiguredRoot = nullptr;

std::string joinChecked(std::string_view root, std::string_view mapPath) {
    while (!mapPath.empty() && mapPath.front() == '/') mapPath.remove_prefix(1);
    if (mapPath.empty()) Lumo::raise<Lumo::RangeException>("empty shared-memory map path");
    std::string_view rest = mapPath;
    while (!rest.empty()) {
        auto slash = rest.find('/');
        auto part = rest.substr(0, slash);
        if (part == "..") Lumo::raise<Lumo::RangeException>("map path {} leaves its root", mapPath);
        rest = slash == std::string_view::npos ? std::string_view{} : rest.substr(slash + 1);
    }
    std::string dir(root);
    while (dir.size() > 1 && dir.back() == '/') dir.pop_back();
    dir.push_back('/');
    dir.append(mapPath);
    return dir;
}
}  // namespace

std::string ZorbRootPath::rootDir() {
    {
        std::lock_guard lock(gRootMutex);
        if (gConfiguredRoot) return *gConfiguredRoot;
    }
    if (char const* env = std::getenv(kEnvVar); env && *env) return env;
    return kDefaultRoot;
}

void ZorbRootPath::rootDirIs(std::string dir) {
    std::lock_guard lock(gRootMutex);
    if (dir.empty()) {
        delete gConfiguredRoot;
        gConfiguredRoot = nullptr;
    } else if (gConfiguredRoot) {
        *gConfiguredRoot = std::move(dir);
    } else {
        gConfiguredRoot = new std::string(std::move(dir));
    }
}

ZorbRootPath::ZorbRootPath(std::string_view mapPath) : RootPath(joinChecked(rootDir(), mapPath)) {}
ZorbRootPath::ZorbRootPath(std::string_view rootDir, std::string_view mapPath)
    : RootPath(joinChecked(rootDir, mapPath)) {}

}  // namespace Mem
