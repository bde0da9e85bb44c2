#include "Mem/WriterLock.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include "Lumo/Exception.h"
#include "SharedMem/OwnerFile.h"

namespace Mem {

namespace {
constexpr char const* kLockFile = "writer.lock";
}

WriterLock::~WriterLock() {
    if (fd_ >= 0) {
        ::flock(fd_, LOCK_UN);
        ::close(fd_);
    }
}

int WriterLock::holderPid(RootPath const& root) {
    int fd = ::open(root.filePath(kLockFile).c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return 0;
    char buf[32] = {};
    ssize_t n = ::pread(fd, buf, sizeof buf - 1, 0);
    ::close(fd);
    return n > 0 ? std::atoi(buf) : 0;
}

std::unique_ptr<WriterLock> WriterLock::acquireWriterLock(Lumo::Platform::DebugHandler* debug, RootPath const& root,
                                                          SharedMem::OwnerFile& owner, bool wait) {
    root.createDirectories();
    std::string path = root.filePath(kLockFile);
    int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0666);
    if (fd < 0)
        Lumo::raise<Lumo::MemoryResourceException>("cannot open writer lock {}: {}", path, std::strerror(errno));
    int rc;
    do {
        rc = ::flock(fd, LOCK_EX | (wait ? 0 : LOCK_NB));
    } while (rc != 0 && errno == EINTR);
    if (rc != 0) {
        int err = errno;
        ::close(fd);
        if (err == EWOULDBLOCK)
            Lumo::raise<Lumo::IllegalOperationException>("writer lock of {} is held by pid {}", root.path(),
                                                         holderPid(root));
        Lumo::raise<Lumo::MemoryResourceException>("cannot lock {}: {}", path, std::strerror(err));
    }
    std::string pid = std::to_string(::getpid()) + "\n";
    if (::ftruncate(fd, 0) != 0 || ::pwrite(fd, pid.data(), pid.size(), 0) != ssize_t(pid.size()))
        LUMO_FMTRACE(debug, 2, "WriterLock", "cannot record pid in {}", path);
    {
        auto guard = owner.lock();
        if (!owner.validate()) owner.reformat();
        owner.writerPidIs(std::uint32_t(::getpid()));
    }
    LUMO_FMTRACE(debug, 5, "WriterLock", "acquired {}", path);
    return std::unique_ptr<WriterLock>(new WriterLock(root, fd));
}

bool WriterLock::ownerIsMe(std::string const& socketName) {
    // Channel names start with the creating writer's pid: "<pid>.<sequence>".
    auto dot = socketName.find('.');
    if (dot == std::string::npos || dot == 0) return false;
    return std::strtoul(socketName.substr(0, dot).c_str(), nullptr, 10) == (unsigned long)::getpid();
}

}  // namespace Mem
