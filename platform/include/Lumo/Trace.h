#pragma once
// Tracing. Each traced object holds a debug handler obtained by name; a trace
// line is formatted only when the handler's level admits it, so a disabled
// trace costs one load and a compare.
//
// Levels are numeric: a trace at level L is written when L <= the handler's
// level. Handlers start at level 0 (nothing) unless the environment variable
// LUMO_TRACE names them, e.g. LUMO_TRACE="Vorn=5,Table=2" or LUMO_TRACE="*=2".
#include <atomic>
#include <functional>
#include <string>
#include <string_view>

#include <fmt/format.h>

namespace Lumo::Platform {

class DebugHandler {
public:
    explicit DebugHandler(std::string name, int level = 0) : name_(std::move(name)), level_(level) {}
    std::string const& name() const { return name_; }
    int level() const { return level_.load(std::memory_order_relaxed); }
    void levelIs(int level) { level_.store(level, std::memory_order_relaxed); }
    bool enabled(int level) const { return level > 0 && level <= this->level(); }

private:
    std::string name_;
    std::atomic<int> level_;
};

// Finds the process-wide handler of this name, creating it when `create`.
// Returns null for an unknown name when !create. Handlers live until exit.
DebugHandler* getDebugHandler(std::string_view name, bool create = true);

// Where trace lines go: stderr unless a sink is installed (tests capture).
using TraceSink = std::function<void(std::string_view line)>;
void traceSinkIs(TraceSink sink);

void emitTrace(DebugHandler const& h, int level, std::string_view cls, std::string_view file,
               std::string_view func, int line, std::string_view message);

}  // namespace Lumo::Platform

// LUMO_FMTRACE(handlerPtr, level, "Class", "format {}", args...)
#define LUMO_FMTRACE(handler, level, cls, ...)                                                  \
    do {                                                                                        \
        ::Lumo::Platform::DebugHandler const* lumoTraceH_ = (handler);                          \
        if (lumoTraceH_ && __builtin_expect(lumoTraceH_->enabled(level), 0))                    \
            ::Lumo::Platform::emitTrace(*lumoTraceH_, (level), (cls), __FILE__, __func__,       \
                                        __LINE__, fmt::format(__VA_ARGS__));                    \
    } while (0)
