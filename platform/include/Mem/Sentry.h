#pragma once
// Mounters of shared collections. A collection that mounts as the writer of
// its files holds a WriterSentry; one that follows a writer holds a
// ReaderSentry. The collection posts events to its sentry ("eventInit" once
// initialised, "eventTryAttach" to retry, "eventFlushComplete" once a
// detached shadow has reported its keys gone); a reader sentry answers by
// calling the collection's attach(event) as soon as a live writer's control
// file exists under the collection's root.
//
// The control file ("control") holds the pid of the writer that created it
// and a number of that writer instance.
// A writer removes it when it takes the writer lock and creates it once its
// own files are in place (Util::createControlFile), so a reader never
// attaches to a half-built map, nor to the files of a dead writer.
//
// Waiting without a thread: a reader sentry offers one pollable descriptor
// (fd(), an epoll set) that becomes readable when something in the map's
// directory changes (the control file appears), when the writer it watches
// dies (a pidfd of the writer), or when a descriptor the collection added
// (watch(), a shadow's notification channel) is readable. The agent polls
// it in its own loop and then calls the collection's service().
//
// Ownership: the collection owns its sentry; the sentry holds a plain
// pointer back to the collection. Runs on the collection's thread.
#include <cstdint>
#include <string>

#include "Mem/RootPath.h"

namespace Mem {

// The collection as a sentry sees it.
class SentryTarget {
public:
    virtual void attach(std::string const& event) = 0;

protected:
    ~SentryTarget() = default;
};

class Sentry {
public:
    Sentry(SentryTarget* target, RootPath root) : target_(target), root_(std::move(root)) {}
    virtual ~Sentry() = default;
    Sentry(Sentry const&) = delete;
    Sentry& operator=(Sentry const&) = delete;

    virtual void post(std::string const& event) = 0;
    // The descriptor to poll for POLLIN between service calls; -1: none.
    virtual int fd() const { return -1; }
    RootPath const& rootPath() const { return root_; }
    std::uint64_t events() const { return events_; }
    std::string const& lastEvent() const { return lastEvent_; }

protected:
    void record(std::string const& event) {
        ++events_;
        lastEvent_ = event;
    }
    SentryTarget* target_;
    RootPath root_;
    std::uint64_t events_ = 0;
    std::string lastEvent_;
};

// The writer is attached by its own init; its sentry only keeps account.
class WriterSentry : public Sentry {
public:
    using Sentry::Sentry;
    void post(std::string const& event) override { record(event); }
};

// Attaches the reader once a live writer's control file exists.
class ReaderSentry : public Sentry {
public:
    // Creates the map's directory, so that its changes can be watched before
    // any writer exists (where it cannot, fd() wakes on nothing but the
    // writer's death and watched descriptors).
    ReaderSentry(SentryTarget* target, RootPath root);
    ~ReaderSentry() override;

    // Records the event; attaches the target when a live writer's control
    // file exists (the writer's pid is then attachedPid()).
    void post(std::string const& event) override;
    int fd() const override { return epollFd_; }
    // Consumes the directory-change wake-ups; true when the directory changed
    // since the last call.
    bool drain();
    // The pid recorded in the control file (0: no control file, or none yet).
    int writerPid() const;
    // Whether `pid` is alive. Watches it: its death makes fd() readable.
    bool alive(int pid);
    // Whether the writer the target attached under is still the map's live
    // writer (the same control file, its pid alive).
    bool writerStillThere();
    // Adds (a duplicate of) `fd` to fd()'s set, in place of the previous
    // one; -1: none.
    void watch(int fd);
    std::uint64_t attaches() const { return attaches_; }
    int attachedPid() const { return attachedPid_; }

private:
    void watchPid(int pid);
    void watchDirectory();
    bool dirWatched_ = false;
    std::uint64_t attaches_ = 0;
    int epollFd_ = -1;
    int inotifyFd_ = -1;
    int pidFd_ = -1;
    int watchedPid_ = 0;
    int deadPid_ = 0;
    int extraFd_ = -1;  // our duplicate of the watched descriptor
    int attachedPid_ = 0;
    std::string attachedControl_;  // the control file's text at the attach
};

namespace Util {
inline constexpr char const* kControlFileName = "control";
// Creates the control file in `root` (creating the directory), naming this
// process and writer instance; replaces an existing one atomically. Raises
// Lumo::MemoryResourceException when that is impossible.
void createControlFile(RootPath const& root);
// Removes the control file (a writer taking over a map, before its files are
// in place). Never throws.
void removeControlFile(RootPath const& root);
bool controlFileExists(RootPath const& root);
}  // namespace Util

}  // namespace Mem
