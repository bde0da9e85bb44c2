#pragma once
// One writer per map across processes. The lock is an flock() on the file
// "writer.lock" of the map's directory, held for the writer's lifetime; the
// kernel releases it when the holder's last descriptor closes, so it frees
// itself however the writer dies. The holder's pid is written into the file
// for the refusal message. flock locks belong to an open file description, so
// two writers in one process are refused as well; a child forked while the
// lock is held shares it until it closes the descriptor (it is O_CLOEXEC).
#include <memory>
#include <string>

#include "Lumo/Trace.h"
#include "Mem/RootPath.h"

namespace SharedMem {
class OwnerFile;
}

namespace Mem {

class WriterLock {
public:
    ~WriterLock();
    WriterLock(WriterLock const&) = delete;
    WriterLock& operator=(WriterLock const&) = delete;

    // Takes the writer lock of the map at `root`. With `wait` false a lock
    // held by a live writer raises Lumo::IllegalOperationException
    // ("writer lock of {} is held by pid {}"); with `wait` true it blocks.
    // Records this process as the writer in the owner file.
    static std::unique_ptr<WriterLock> acquireWriterLock(Lumo::Platform::DebugHandler* debug, RootPath const& root,
                                                         SharedMem::OwnerFile& owner, bool wait);
    // Whether the notification socket named `socketName` was created by this
    // process's writer.
    static bool ownerIsMe(std::string const& socketName);
    // Pid recorded in the lock file of `root` (0 when none).
    static int holderPid(RootPath const& root);

    RootPath const& root() const { return root_; }

private:
    WriterLock(RootPath root, int fd) : root_(std::move(root)), fd_(fd) {}
    RootPath root_;
    int fd_;
};

}  // namespace Mem
