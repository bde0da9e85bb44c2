#include "SharedMem/FenixFile.h"

#include <cerrno>
#include <cstring>

#include <fcntl.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

#include "Lumo/Exception.h"

namespace SharedMem {

namespace {
struct FenixRecord {
    std::uint64_t magic;
    std::uint32_t fenixId;
    std::uint32_t check;
};
static_assert(sizeof(FenixRecord) == 16);
}  // namespace

FenixFile::FenixFile(Lumo::Platform::DebugHandler* debug, Mem::RootPath root, bool writer)
    : debug_(debug), root_(std::move(root)), writer_(writer) {}

bool FenixFile::read() {
    int fd = ::open(root_.filePath(kFileName).c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return false;
    FenixRecord r{};
    ssize_t n = ::pread(fd, &r, sizeof r, 0);
    struct stat st;
    bool statOk = ::fstat(fd, &st) == 0;
    ::close(fd);
    if (n != ssize_t(sizeof r) || r.magic != kMagic || r.check != ~r.fenixId || r.fenixId == 0) {
        LUMO_FMTRACE(debug_, 5, "FenixFile", "damaged fenix file in {}", root_.path());
        return false;
    }
    fenixId_ = r.fenixId;
    mtime_ = statOk ? double(st.st_mtim.tv_sec) + double(st.st_mtim.tv_nsec) * 1e-9 : 0;
    return true;
}

void FenixFile::write(std::uint32_t fenixId) {
    if (!writer_) Lumo::raise<Lumo::IllegalOperationException>("fenix file of {} opened by a reader", root_.path());
    root_.createDirectories();
    std::string tmp = root_.filePath(std::string(kFileName) + ".tmp");
    int fd = ::open(tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
    if (fd < 0) Lumo::raise<Lumo::MemoryResourceException>("cannot write {}: {}", tmp, std::strerror(errno));
    FenixRecord r{kMagic, fenixId, ~fenixId};
    bool ok = ::pwrite(fd, &r, sizeof r, 0) == ssize_t(sizeof r);
    ::close(fd);
    if (!ok || ::rename(tmp.c_str(), root_.filePath(kFileName).c_str()) != 0)
        Lumo::raise<Lumo::MemoryResourceException>("cannot write fenix file of {}: {}", root_.path(),
                                                    std::strerror(errno));
    if (!read() || fenixId_ != fenixId)
        Lumo::raise<Lumo::MemoryResourceException>("fenix file of {} did not read back", root_.path());
    LUMO_FMTRACE(debug_, 5, "FenixFile", "fenixId:{} written in {}", fenixId, root_.path());
}

bool FenixFile::validate(std::uint32_t fenixId) const {
    FenixFile f(debug_, root_, false);
    return f.read() && f.fenixId() == fenixId;
}

bool FenixFile::remove() { return writer_ && root_.removeFile(kFileName); }

// A fresh id per writer generation, from the kernel's random pool: no
// per-thread generator state (a thread-local engine of several kilobytes
// would not fit the static TLS that a library loaded with dlopen gets).
std::uint32_t FenixFile::newFenixId() {
    std::uint32_t id = 0;
    while (id == 0) {
        ssize_t const n = ::getrandom(&id, sizeof id, 0);
        if (n != ssize_t(sizeof id)) {
            if (n < 0 && errno != EINTR)
                Lumo::raise<Lumo::MemoryResourceException>("no random fenix id: {}", std::strerror(errno));
            id = 0;
        }
    }
    return id;
}

}  // namespace SharedMem
