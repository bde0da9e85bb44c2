#pragma once
// The type-independent part of every shared-memory map binding: the events
// it posts to its mounter and the corruption handler through which every
// implementation reports damaged files.
#include <cstdint>
#include <functional>
#include <string>

#include "Vorn/ControlBase.h"

namespace Vorn {

class VornMapBase : public ControlBase {
public:
    enum Event : int { eventInit = 0, eventTryAttach = 1, eventFlushComplete = 2 };
    static char const* eventName(Event e);

    // Called with the exception's message when an operation met corrupt
    // files. Records it and runs the process-wide hook (if any); returning
    // means the caller decides what follows (the safe wrappers stop).
    virtual void doCorruptionDetected(std::string const& message);
    std::uint64_t corruptions() const { return corruptions_; }
    std::string const& lastCorruption() const { return lastCorruption_; }

    // A process-wide observer of corruption reports (tools, tests).
    using CorruptionHook = std::function<void(std::string const& collection, std::string const& message)>;
    static void corruptionHookIs(CorruptionHook hook);

private:
    std::uint64_t corruptions_ = 0;
    std::string lastCorruption_;
};

}  // namespace Vorn
