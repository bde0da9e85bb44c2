#include "Mem/Sentry.h"

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <random>
#include <cstring>
#include <string>

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/epoll.h>
#include <sys/inotify.h>
#include <sys/syscall.h>
#include <unistd.h>

#include "Lumo/Exception.h"

namespace Mem {

namespace {

void epollSet(int ep, int op, int fd) {
    if (ep < 0 || fd < 0) return;
    epoll_event ev{};
    ev.events = EPOLLIN;
    ev.data.fd = fd;
    (void)::epoll_ctl(ep, op, fd, &ev);
}

// The control file's text ("<pid> <instance>\n"), empty when absent.
std::string readControl(std::string const& path) {
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return {};
    char buf[64] = {};
    ssize_t n = ::pread(fd, buf, sizeof buf - 1, 0);
    ::close(fd);
    return n > 0 ? std::string(buf, std::size_t(n)) : std::string();
}

int pidOf(std::string const& control) {
    long pid = std::strtol(control.c_str(), nullptr, 10);
    return pid > 0 && pid < (1l << 30) ? int(pid) : 0;
}

}  // namespace

ReaderSentry::ReaderSentry(SentryTarget* target, RootPath root) : Sentry(target, std::move(root)) {
    if (root_.empty()) return;
    epollFd_ = ::epoll_create1(EPOLL_CLOEXEC);
    inotifyFd_ = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    epollSet(epollFd_, EPOLL_CTL_ADD, inotifyFd_);
    watchDirectory();
}

// Watches the map's directory, creating it first. A directory that cannot
// be created or watched leaves the agent's poll timeout to stand in for the
// wake-up; a writer's cleanup may remove the directory, and the next drain()
// watches the new one.
void ReaderSentry::watchDirectory() {
    if (inotifyFd_ < 0) return;
    try {
        root_.createDirectories();
    } catch (Lumo::Exception const&) {
        return;
    }
    dirWatched_ = ::inotify_add_watch(inotifyFd_, root_.path().c_str(),
                                      IN_CREATE | IN_MOVED_TO | IN_CLOSE_WRITE | IN_DELETE | IN_DELETE_SELF) >= 0;
}

ReaderSentry::~ReaderSentry() {
    for (int fd : {extraFd_, pidFd_, inotifyFd_, epollFd_})
        if (fd >= 0) ::close(fd);
}

bool ReaderSentry::drain() {
    if (inotifyFd_ < 0) return true;  // unwatched: assume a change
    alignas(inotify_event) char buf[4096];
    bool changed = false;
    ssize_t n;
    while ((n = ::read(inotifyFd_, buf, sizeof buf)) > 0) {
        changed = true;
        for (ssize_t off = 0; off + ssize_t(sizeof(inotify_event)) <= n;) {
            auto const* ev = reinterpret_cast<inotify_event const*>(buf + off);
            if (ev->mask & IN_IGNORED) dirWatched_ = false;
            off += ssize_t(sizeof(inotify_event) + ev->len);
        }
    }
    if (!dirWatched_) {
        watchDirectory();
        changed = true;
    }
    return changed;
}

int ReaderSentry::writerPid() const {
    return root_.empty() ? 0 : pidOf(readControl(root_.filePath(Util::kControlFileName)));
}

void ReaderSentry::watchPid(int pid) {
    if (pid == watchedPid_) return;
    if (pidFd_ >= 0) {
        epollSet(epollFd_, EPOLL_CTL_DEL, pidFd_);
        ::close(pidFd_);
        pidFd_ = -1;
    }
    watchedPid_ = pid;
    if (pid <= 0) return;
    pidFd_ = int(::syscall(SYS_pidfd_open, pid, 0));
    if (pidFd_ >= 0) ::fcntl(pidFd_, F_SETFD, FD_CLOEXEC);
    epollSet(epollFd_, EPOLL_CTL_ADD, pidFd_);
}

bool ReaderSentry::alive(int pid) {
    if (pid <= 0 || pid == deadPid_) {
        watchPid(0);
        return false;
    }
    watchPid(pid);
    bool live;
    if (pidFd_ >= 0) {
        // A pidfd turns readable when its process has exited (reaped or not).
        pollfd p{pidFd_, POLLIN, 0};
        live = ::poll(&p, 1, 0) == 0;
    } else {
        // No pidfd (an old kernel, or the process is already gone).
        live = ::kill(pid, 0) == 0 || errno == EPERM;
    }
    if (!live) {
        // Stop watching: a dead process's pidfd stays readable.
        deadPid_ = pid;
        watchPid(0);
    }
    return live;
}

bool ReaderSentry::writerStillThere() {
    if (root_.empty()) return false;
    std::string const control = readControl(root_.filePath(Util::kControlFileName));
    return !control.empty() && control == attachedControl_ && alive(pidOf(control));
}

void ReaderSentry::watch(int fd) {
    // A duplicate of our own: the caller may close its descriptor before it
    // tells us, and the number may then be reused for something else.
    if (extraFd_ >= 0) {
        epollSet(epollFd_, EPOLL_CTL_DEL, extraFd_);
        ::close(extraFd_);
        extraFd_ = -1;
    }
    if (fd < 0) return;
    extraFd_ = ::fcntl(fd, F_DUPFD_CLOEXEC, 0);
    epollSet(epollFd_, EPOLL_CTL_ADD, extraFd_);
}

void ReaderSentry::post(std::string const& event) {
    record(event);
    if (root_.empty()) return;
    std::string const control = readControl(root_.filePath(Util::kControlFileName));
    int const pid = pidOf(control);
    if (!alive(pid)) return;
    ++attaches_;
    attachedPid_ = pid;
    attachedControl_ = control;
    target_->attach(event);
}

namespace Util {

void createControlFile(RootPath const& root) {
    root.createDirectories();
    std::string const path = root.filePath(kControlFileName);
    std::string tmp = path;
    tmp.append(".").append(std::to_string(::getpid()));
    int fd = ::open(tmp.c_str(), O_CREAT | O_TRUNC | O_WRONLY | O_CLOEXEC, 0644);
    if (fd < 0)
        Lumo::raise<Lumo::MemoryResourceException>("cannot create control file in {}: {}", root.path(),
                                                   std::strerror(errno));
    // The writer's pid, and a number of this writer instance: a writer
    // replaced within one process is a new writer too.
    static std::atomic<std::uint32_t> instances{0};
    std::string text = std::to_string(::getpid());
    text.append(" ").append(std::to_string(++instances)).append(" ");
    text.append(std::to_string(std::uint64_t(std::random_device{}()))).append("\n");
    bool ok = ::write(fd, text.data(), text.size()) == ssize_t(text.size());
    ::close(fd);
    if (!ok || ::rename(tmp.c_str(), path.c_str()) != 0) {
        int err = errno;
        ::unlink(tmp.c_str());
        Lumo::raise<Lumo::MemoryResourceException>("cannot create control file in {}: {}", root.path(),
                                                   std::strerror(err));
    }
}

void removeControlFile(RootPath const& root) {
    if (!root.empty()) root.removeFile(kControlFileName);
}

bool controlFileExists(RootPath const& root) { return !root.empty() && root.fileExists(kControlFileName); }

}  // namespace Util

}  // namespace Mem
