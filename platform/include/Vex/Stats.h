#pragma once
// The statistics service: named 64-bit counters grouped under a statistics
// name. An owner opens the writer of a name and registers its counters by
// (id, name); it keeps the returned pointer and increments through it (plain
// increments: a counter belongs to one agent thread). Writers and counters
// live until the process ends, so a counter pointer never dangles; opening
// the same name again yields the same writer, and registering the same id
// and name again yields the same counter, so that several owners of one name
// add up in one place.
#include <cstdint>
#include <deque>
#include <map>
#include <string>
#include <string_view>

namespace Vex::Stats {

class Writer {
public:
    // Opens (or creates) the writer of `statsName`. `param` is the writer's
    // format parameter; a second open with another parameter raises
    // Lumo::RangeException.
    static Writer& open(std::string_view statsName, std::uint32_t param);
    static Writer* find(std::string_view statsName);

    // Registers counter `id` under `name`. The same id with another name, or
    // the same name with another id, raises Lumo::RangeException.
    std::uint64_t* counterIs(std::uint32_t id, std::string_view name);
    // The counter's value, or null when no such counter is registered.
    std::uint64_t const* counter(std::string_view name) const;
    std::string const& statsName() const { return name_; }
    std::uint32_t param() const { return param_; }

    Writer(std::string name, std::uint32_t param) : name_(std::move(name)), param_(param) {}

private:
    std::string name_;
    std::uint32_t param_;
    std::deque<std::uint64_t> values_;  // stable addresses
    std::map<std::string, std::pair<std::uint32_t, std::uint64_t*>, std::less<>> byName_;
    std::map<std::uint32_t, std::string> byId_;
};

// The process's default statistics name: the environment variable
// "AGENT_PROCESS_NAME" when set, else "agent".
std::string const& defaultStatsName();

}  // namespace Vex::Stats
