#include "Mem/SharedMemWrapper.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fmt/format.h>

namespace Mem {

namespace {
std::atomic<std::uint64_t> gTrackedBytes{0};
std::size_t pageSize() {
    static std::size_t const p = std::size_t(::sysconf(_SC_PAGESIZE));
    return p;
}

#if defined(__SANITIZE_THREAD__)
#define X2_MEM_NO_MREMAP 1
#elif defined(__has_feature)
#if __has_feature(thread_sanitizer)
#define X2_MEM_NO_MREMAP 1
#endif
#endif

// Moves a mapping to a new size.  ThreadSanitizer does not follow mremap:
// the moved pages keep whatever history its shadow held for their new
// addresses, typically the mmap of another thread's long-gone mapping,
// and a read through them is then reported as a race.  Under it a resize
// maps afresh and copies what the old mapping held privately.
void* remapRegion(void* old, std::size_t oldSize, std::size_t newSize, int prot, int flags, int fd) {
#ifdef X2_MEM_NO_MREMAP
    void* p = ::mmap(nullptr, newSize, prot, flags, fd, 0);
    if (p == MAP_FAILED) return MAP_FAILED;
    if (flags & MAP_ANONYMOUS) std::memcpy(p, old, oldSize < newSize ? oldSize : newSize);
    ::munmap(old, oldSize);
    return p;
#else
    (void)prot;
    (void)flags;
    (void)fd;
    return ::mremap(old, oldSize, newSize, MREMAP_MAYMOVE);
#endif
}
}  // namespace

std::uint64_t trackedBytes() { return gTrackedBytes.load(std::memory_order_relaxed); }

void TrackedBase::account(std::size_t oldSize, std::size_t newSize) {
    gTrackedBytes.fetch_add(newSize, std::memory_order_relaxed);
    gTrackedBytes.fetch_sub(oldSize, std::memory_order_relaxed);
}

void* TrackedBase::adopt(void* p, std::size_t size, char const* what) {
    if (p == MAP_FAILED) {
        lastError_ = fmt::format("{} to {} bytes: {}", what, size, std::strerror(errno));
        return nullptr;
    }
    account(size_, size);
    base_ = p;
    size_ = size;
    applyCoreDumpMode();
    return base_;
}

void TrackedBase::unmap() {
    if (base_) {
        ::munmap(base_, size_);
        account(size_, 0);
    }
    base_ = nullptr;
    size_ = 0;
}

void TrackedBase::dumpToCoreIs(int mode) {
    coreDumpMode_ = mode;
    applyCoreDumpMode();
}

void TrackedBase::applyCoreDumpMode() {
    if (base_ && size_) ::madvise(base_, size_, coreDumpMode_ == coreDumpFull ? MADV_DODUMP : MADV_DONTDUMP);
}

// ---- shared file mappings ----

Tracked<SharedMemWrapper>::Tracked(RootPath root, std::string name, int coreDumpMode, bool readOnly)
    : root_(std::move(root)), name_(std::move(name)), readOnly_(readOnly) {
    coreDumpMode_ = coreDumpMode;
}

Tracked<SharedMemWrapper>::~Tracked() { detach(); }

bool Tracked<SharedMemWrapper>::openFile() {
    if (fd_ >= 0) return true;
    std::string path = getFilename();
    if (readOnly_) {
        fd_ = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    } else {
        try {
            root_.createDirectories();
        } catch (std::exception const& e) {
            lastError_ = e.what();
            return false;
        }
        fd_ = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0666);
    }
    if (fd_ < 0) {
        lastError_ = fmt::format("open {}: {}", path, std::strerror(errno));
        return false;
    }
    struct stat st;
    if (::fstat(fd_, &st) == 0) inode_ = std::uint64_t(st.st_ino);
    return true;
}

long long Tracked<SharedMemWrapper>::fileSize() const {
    struct stat st;
    if (fd_ < 0 || ::fstat(fd_, &st) != 0) return -1;
    return (long long)st.st_size;
}

bool Tracked<SharedMemWrapper>::ensureFileSize(std::size_t size) {
    long long fsz = fileSize();
    if (fsz < 0) {
        lastError_ = fmt::format("stat {}: {}", getFilename(), std::strerror(errno));
        return false;
    }
    if (std::size_t(fsz) >= size) return true;
    if (readOnly_) {
        lastError_ = fmt::format("file {} has {} bytes, {} wanted", getFilename(), fsz, size);
        return false;
    }
    if (::ftruncate(fd_, off_t(size)) != 0) {
        lastError_ = fmt::format("ftruncate {} to {}: {}", getFilename(), size, std::strerror(errno));
        return false;
    }
    return true;
}

void* Tracked<SharedMemWrapper>::attach(std::size_t size) {
    unmap();
    if (!openFile()) return nullptr;
    if (size == 0) size = std::size_t(std::max(0LL, fileSize()));
    if (size == 0) {
        lastError_ = "empty file";
        return nullptr;
    }
    if (!ensureFileSize(size)) return nullptr;
    int prot = readOnly_ ? PROT_READ : PROT_READ | PROT_WRITE;
    return adopt(::mmap(nullptr, size, prot, MAP_SHARED, fd_, 0), size, "mmap");
}

void* Tracked<SharedMemWrapper>::resize(std::size_t size) {
    if (!base_) return attach(size);
    if (size == 0) {
        lastError_ = "resize to 0 bytes";
        return nullptr;
    }
    if (!ensureFileSize(size)) return nullptr;
    int prot = readOnly_ ? PROT_READ : PROT_READ | PROT_WRITE;
    return adopt(remapRegion(base_, size_, size, prot, MAP_SHARED, fd_), size, "mremap");
}

void Tracked<SharedMemWrapper>::releaseTail(std::size_t offset) {
    if (fd_ < 0 || readOnly_) return;
    long long fsz = fileSize();
    std::size_t start = (offset + pageSize() - 1) / pageSize() * pageSize();
    if (fsz <= 0 || start >= std::size_t(fsz)) return;
    // Best effort: a file system without hole punching keeps the pages.
    (void)::fallocate(fd_, FALLOC_FL_PUNCH_HOLE | FALLOC_FL_KEEP_SIZE, off_t(start), off_t(fsz) - off_t(start));
}

void Tracked<SharedMemWrapper>::detach() {
    unmap();
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
}

// ---- process-local memory ----

Tracked<Local>::Tracked(std::string name, int coreDumpMode) : name_(std::move(name)) {
    coreDumpMode_ = coreDumpMode;
}

Tracked<Local>::~Tracked() { detach(); }

void* Tracked<Local>::attach(std::size_t size) {
    unmap();
    if (size == 0) {
        lastError_ = "empty region";
        return nullptr;
    }
    return adopt(::mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0), size, "mmap");
}

void* Tracked<Local>::resize(std::size_t size) {
    if (!base_) return attach(size);
    if (size == 0) {
        lastError_ = "resize to 0 bytes";
        return nullptr;
    }
    return adopt(remapRegion(base_, size_, size, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1), size,
                 "mremap");
}

void Tracked<Local>::releaseTail(std::size_t offset) {
    std::size_t start = (offset + pageSize() - 1) / pageSize() * pageSize();
    if (base_ && start < size_) ::madvise(static_cast<char*>(base_) + start, size_ - start, MADV_DONTNEED);
}

void Tracked<Local>::detach() { unmap(); }

}  // namespace Mem
