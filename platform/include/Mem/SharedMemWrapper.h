#pragma once
// Mapped memory regions of the shared-memory maps.
//
// Mem::Tracked<Mem::SharedMemWrapper> maps a named file of a map's directory
// MAP_SHARED; Mem::Tracked<Mem::Local> gives the same calls over anonymous
// process memory (the local temporary writer). Both count their mapped bytes
// in a process-wide total (trackedBytes()).
//
// Files never shrink through resize(): a reader in another process may still
// map the old length, and touching a page beyond the end of a file raises
// SIGBUS. Memory given back by a shrinking map is instead released with
// releaseTail(), which punches a hole (the range then reads as zeros).
#include <cstddef>
#include <cstdint>
#include <string>
#include <algorithm>
#include <cstring>
#include <type_traits>

#include "Mem/SafeCopy.h"
#include "Mem/RootPath.h"

namespace Mem {

struct SharedMemWrapper {};
struct Local {};

// Core-dump modes: 0 includes the mapping in core dumps; any other mode
// excludes it (madvise MADV_DONTDUMP).
enum CoreDumpMode : int { coreDumpFull = 0, coreDumpHeaders = 1, coreDumpNone = 3 };

std::uint64_t trackedBytes();

class TrackedBase {
public:
    TrackedBase() = default;
    TrackedBase(TrackedBase const&) = delete;
    TrackedBase& operator=(TrackedBase const&) = delete;
    virtual ~TrackedBase() = default;

    // Maps `size` bytes (0: the whole current file); returns the base or null
    // (lastError() says why).
    virtual void* attach(std::size_t size) = 0;
    // Remaps to `size` bytes, growing the backing store when needed; returns
    // the new base (possibly moved) or null, leaving the old mapping intact.
    virtual void* resize(std::size_t size) = 0;
    virtual void detach() = 0;
    // Releases the backing store beyond `offset` (page-rounded up).
    virtual void releaseTail(std::size_t offset) = 0;

    void* base() const { return base_; }
    std::size_t memSize() const { return size_; }
    bool attached() const { return base_ != nullptr; }
    std::string const& lastError() const { return lastError_; }
    void dumpToCoreIs(int mode);
    int coreDumpMode() const { return coreDumpMode_; }

protected:
    void account(std::size_t oldSize, std::size_t newSize);
    // Takes `p` of `size` bytes as the mapping (after an attach or a resize):
    // accounting and core-dump mode follow. Null with lastError() set when
    // `p` is MAP_FAILED.
    void* adopt(void* p, std::size_t size, char const* what);
    void unmap();
    void applyCoreDumpMode();

    void* base_ = nullptr;
    std::size_t size_ = 0;
    int coreDumpMode_ = coreDumpFull;
    std::string lastError_;
};

// A snapshot of the header of type H at the start of a mapping: the bytes
// the mapping holds (a short file leaves the rest zero), copied until two
// copies agree (safeHeaderCopy). False when nothing is mapped.
template <class H>
bool snapshotHeader(TrackedBase const& mem, H& out) {
    static_assert(std::is_trivially_copyable_v<H> && sizeof(H) % 8 == 0);
    std::memset(static_cast<void*>(&out), 0, sizeof out);
    if (!mem.attached()) return false;
    safeHeaderCopy(&out, mem.base(), std::min(mem.memSize(), sizeof out) / 8 * 8);
    return true;
}

template <class Kind>
class Tracked;

template <>
class Tracked<SharedMemWrapper> : public TrackedBase {
public:
    // `readOnly` maps PROT_READ and never creates or extends the file.
    Tracked(RootPath root, std::string name, int coreDumpMode, bool readOnly = false);
    ~Tracked() override;

    void* attach(std::size_t size) override;
    void* resize(std::size_t size) override;
    void detach() override;
    void releaseTail(std::size_t offset) override;
    // Opens (a writer: creates) the file without mapping it, so that its
    // size can be inspected first. attach() opens on its own when needed.
    bool open() { return openFile(); }

    std::string getFilename() const { return root_.filePath(name_); }
    std::string const& name() const { return name_; }
    // Current length of the backing file, or -1 when it cannot be read.
    long long fileSize() const;
    // Inode of the mapped file; a reader compares it with the file now at the
    // path to tell that the writer replaced the files.
    std::uint64_t inode() const { return inode_; }
    bool readOnly() const { return readOnly_; }

private:
    bool openFile();
    // The file at least `size` bytes long (a writer lengthens it, a reader
    // refuses a shorter file). False with lastError() set.
    bool ensureFileSize(std::size_t size);

    RootPath root_;
    std::string name_;
    bool readOnly_;
    int fd_ = -1;
    std::uint64_t inode_ = 0;
};

template <>
class Tracked<Local> : public TrackedBase {
public:
    explicit Tracked(std::string name = "local", int coreDumpMode = coreDumpFull);
    ~Tracked() override;

    void* attach(std::size_t size) override;
    void* resize(std::size_t size) override;
    void detach() override;
    void releaseTail(std::size_t offset) override;

    std::string getFilename() const { return name_; }

private:
    std::string name_;
};

}  // namespace Mem
