#pragma once
// Mounters of shared collections. A collection that mounts as the writer of
// its files holds a WriterSentry; one that follows a writer holds a
// ReaderSentry. The collection posts events to its sentry ("eventInit" once
// initialised, "eventTryAttach" to retry); a reader sentry answers by calling
// the collection's attach(event) as soon as the writer's control file exists
// under the collection's root. The writer creates that file
// (Util::createControlFile) once its own files are in place, so a reader
// never attaches to a half-built map.
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

// Attaches the reader once the writer's control file exists.
class ReaderSentry : public Sentry {
public:
    using Sentry::Sentry;
    void post(std::string const& event) override;
    std::uint64_t attaches() const { return attaches_; }

private:
    std::uint64_t attaches_ = 0;
};

namespace Util {
inline constexpr char const* kControlFileName = "control";
// Creates (or touches) the control file in `root`, creating the directory.
// Raises Lumo::MemoryResourceException when that is impossible.
void createControlFile(RootPath const& root);
bool controlFileExists(RootPath const& root);
}  // namespace Util

}  // namespace Mem
