#include "Vex/Stats.h"

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <initializer_list>
#include <memory>
#include <mutex>

#include "Lumo/Exception.h"

namespace Vex::Stats {

namespace {

// Joins pieces by appending: GCC 12 reports a false -Wrestrict on chained
// operator+ of strings in optimised builds.
std::string join(std::initializer_list<std::string_view> parts) {
    std::string s;
    for (auto p : parts) s.append(p);
    return s;
}

struct FileHeader {
    static constexpr std::uint64_t kMagic = 0x3153544154533258ull;  // "X2STATS1"
    static constexpr std::uint32_t kFormat = 1;
    std::uint64_t magic;
    std::uint32_t format;
    std::uint32_t param;
    std::uint32_t capacity;
    std::uint32_t count;
    std::uint32_t pid;
    std::uint32_t reserved;
};
struct FileCounter {
    std::uint32_t id;
    char name[52];
    std::uint64_t value;
};
static_assert(sizeof(FileHeader) == 32 && sizeof(FileCounter) == 64);
constexpr std::uint32_t kCapacity = 255;
constexpr std::size_t kFileSize = sizeof(FileHeader) + kCapacity * sizeof(FileCounter);

FileCounter* countersOf(void* map) {
    return reinterpret_cast<FileCounter*>(static_cast<char*>(map) + sizeof(FileHeader));
}
FileCounter const* countersOf(void const* map) {
    return reinterpret_cast<FileCounter const*>(static_cast<char const*>(map) + sizeof(FileHeader));
}

bool processAlive(long pid) { return pid > 0 && (::kill(pid_t(pid), 0) == 0 || errno == EPERM); }

// Removes "<name>.<pid>" files of processes that are gone.
void sweep(std::string const& dir, std::string const& name) {
    DIR* d = ::opendir(dir.c_str());
    if (!d) return;
    std::string const prefix = join({name, "."});
    while (dirent* e = ::readdir(d)) {
        std::string_view f = e->d_name;
        if (f.size() <= prefix.size() || f.substr(0, prefix.size()) != prefix) continue;
        char* end = nullptr;
        long pid = std::strtol(e->d_name + prefix.size(), &end, 10);
        if (end && *end == 0 && !processAlive(pid)) ::unlink(join({dir, "/", e->d_name}).c_str());
    }
    ::closedir(d);
}

// Opens `path` and locks it for this process; -1 when another holds it.
int openLocked(std::string const& path) {
    int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
    if (fd < 0) return -1;
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}
// The writers of this process by name, with the process that opened each:
// a child forked from a process that had opened a writer opens its own (its
// own file, read by its own pid) instead of counting into its parent's. The
// parent's writer stays mapped, never destroyed, for the counters of
// objects made before the fork.
struct Registry {
    struct Held {
        std::unique_ptr<Writer> writer;
        int pid;
    };
    std::mutex mutex;
    std::map<std::string, Held, std::less<>> writers;
    std::vector<std::unique_ptr<Writer>> inherited;
};
Registry& registry() {
    static Registry* r = new Registry;  // counters outlive every static destructor
    return *r;
}
}  // namespace

Writer& Writer::open(std::string_view statsName, std::uint32_t param) {
    auto& r = registry();
    std::lock_guard lock(r.mutex);
    auto it = r.writers.find(statsName);
    if (it != r.writers.end() && it->second.pid == ::getpid()) {
        if (it->second.writer->param_ != param)
            Lumo::raise<Lumo::RangeException>("statistics writer {} opened with parameter {}, already open with {}",
                                              statsName, param, it->second.writer->param_);
        return *it->second.writer;
    }
    if (it != r.writers.end()) {
        r.inherited.push_back(std::move(it->second.writer));
        r.writers.erase(it);
    }
    auto w = std::make_unique<Writer>(std::string(statsName), param);
    Writer& ref = *w;
    r.writers.emplace(std::string(statsName), Registry::Held{std::move(w), ::getpid()});
    return ref;
}

Writer* Writer::find(std::string_view statsName) {
    auto& r = registry();
    std::lock_guard lock(r.mutex);
    auto it = r.writers.find(statsName);
    return it == r.writers.end() ? nullptr : it->second.writer.get();
}

std::string statsDir() {
    char const* env = std::getenv("X2_STATS_DIR");
    return env && *env ? std::string(env) : std::string("/dev/shm/x2stats");
}

// Statistics stay usable without their file (no directory, no memory):
// the counters are then process-local.
Writer::Writer(std::string name, std::uint32_t param) : name_(std::move(name)), param_(param) {
    if (name_.empty() || name_.find('/') != std::string::npos || name_[0] == '.') return;
    std::string const dir = statsDir();
    ::mkdir(dir.c_str(), 0777);
    std::string path = join({dir, "/", name_});
    int fd = openLocked(path);
    if (fd < 0) {
        sweep(dir, name_);
        path.append(".").append(std::to_string(::getpid()));
        fd = openLocked(path);
    }
    if (fd < 0) return;
    // Never shrunk: a reader may have the file of a previous holder mapped.
    struct stat st;
    if (::fstat(fd, &st) != 0 || (std::size_t(st.st_size) < kFileSize && ::ftruncate(fd, off_t(kFileSize)) != 0)) {
        ::close(fd);
        return;
    }
    void* m = ::mmap(nullptr, kFileSize, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    if (m == MAP_FAILED) {
        ::close(fd);
        return;
    }
    auto* h = static_cast<FileHeader*>(m);
    __atomic_store_n(&h->magic, 0, __ATOMIC_RELAXED);
    __atomic_store_n(&h->count, 0, __ATOMIC_RELEASE);
    std::memset(countersOf(m), 0, kCapacity * sizeof(FileCounter));
    h->format = FileHeader::kFormat;
    h->param = param_;
    h->capacity = kCapacity;
    h->count = 0;
    h->pid = std::uint32_t(::getpid());
    __atomic_store_n(&h->magic, FileHeader::kMagic, __ATOMIC_RELEASE);
    fd_ = fd;
    map_ = m;
    path_ = std::move(path);
}

Writer::~Writer() {
    if (map_) ::munmap(map_, kFileSize);
    if (fd_ >= 0) ::close(fd_);
}

std::uint64_t* Writer::counterIs(std::uint32_t id, std::string_view name) {
    std::lock_guard lock(registry().mutex);
    auto byName = byName_.find(name);
    auto byId = byId_.find(id);
    if (byName != byName_.end() || byId != byId_.end()) {
        if (byName == byName_.end() || byName->second.first != id)
            Lumo::raise<Lumo::RangeException>("statistics {}: counter id {} name {} conflicts with a registered counter",
                                              name_, id, name);
        return byName->second.second;
    }
    std::uint64_t* v;
    auto* h = static_cast<FileHeader*>(map_);
    if (h && h->count < h->capacity && name.size() < sizeof(FileCounter::name)) {
        FileCounter& c = countersOf(map_)[h->count];
        c.id = id;
        std::memcpy(c.name, name.data(), name.size());
        c.name[name.size()] = 0;
        c.value = 0;
        __atomic_store_n(&h->count, h->count + 1, __ATOMIC_RELEASE);
        v = &c.value;
    } else {
        v = &values_.emplace_back(0);
    }
    byName_.emplace(std::string(name), std::make_pair(id, v));
    byId_.emplace(id, std::string(name));
    return v;
}

std::uint64_t const* Writer::counter(std::string_view name) const {
    std::lock_guard lock(registry().mutex);
    auto it = byName_.find(name);
    return it == byName_.end() ? nullptr : it->second.second;
}

std::unique_ptr<Reader> Reader::open(std::string_view statsName, int pid) {
    std::string const dir = statsDir();
    std::string const name(statsName);
    if (name.empty() || name.find('/') != std::string::npos) return nullptr;
    std::vector<std::string> candidates;
    if (pid > 0) candidates.push_back(join({dir, "/", name, ".", std::to_string(pid)}));
    candidates.push_back(join({dir, "/", name}));
    for (auto const& path : candidates) {
        int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
        if (fd < 0) continue;
        struct stat st;
        void* m = MAP_FAILED;
        if (::fstat(fd, &st) == 0 && std::size_t(st.st_size) >= sizeof(FileHeader))
            m = ::mmap(nullptr, std::size_t(st.st_size), PROT_READ, MAP_SHARED, fd, 0);
        ::close(fd);
        if (m == MAP_FAILED) continue;
        std::unique_ptr<Reader> r(new Reader(m, std::size_t(st.st_size)));
        auto const* h = static_cast<FileHeader const*>(m);
        if (__atomic_load_n(&h->magic, __ATOMIC_ACQUIRE) != FileHeader::kMagic || h->format != FileHeader::kFormat)
            continue;
        if (pid > 0 && r->pid() != pid) continue;
        return r;
    }
    return nullptr;
}

Reader::~Reader() { ::munmap(const_cast<void*>(map_), size_); }

int Reader::pid() const { return int(__atomic_load_n(&static_cast<FileHeader const*>(map_)->pid, __ATOMIC_RELAXED)); }
std::uint32_t Reader::param() const { return static_cast<FileHeader const*>(map_)->param; }

// Whatever the file holds, reads stay within the mapping.
std::vector<std::pair<std::string, std::uint64_t>> Reader::counters() const {
    auto const* h = static_cast<FileHeader const*>(map_);
    std::size_t const room = (size_ - sizeof(FileHeader)) / sizeof(FileCounter);
    std::size_t n = __atomic_load_n(&h->count, __ATOMIC_ACQUIRE);
    if (n > room) n = room;
    std::vector<std::pair<std::string, std::uint64_t>> out;
    FileCounter const* c = countersOf(map_);
    for (std::size_t i = 0; i < n; ++i)
        out.emplace_back(std::string(c[i].name, strnlen(c[i].name, sizeof c[i].name)),
                         __atomic_load_n(&c[i].value, __ATOMIC_RELAXED));
    return out;
}

std::optional<std::uint64_t> Reader::counter(std::string_view name) const {
    for (auto const& [n, v] : counters())
        if (n == name) return v;
    return std::nullopt;
}

std::string const& defaultStatsName() {
    static std::string const name = [] {
        char const* env = std::getenv("AGENT_PROCESS_NAME");
        return std::string(env && *env ? env : "agent");
    }();
    return name;
}

}  // namespace Vex::Stats
