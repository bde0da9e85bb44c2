#pragma once
// The statistics service: named 64-bit counters grouped under a statistics
// name. An owner opens the writer of a name and registers its counters by
// (id, name); it keeps the returned pointer and increments through it (plain
// increments: a counter belongs to one agent thread). Writers and counters
// live until the process ends, so a counter pointer never dangles; opening
// the same name again yields the same writer, and registering the same id
// and name again yields the same counter, so that several owners of one name
// add up in one place.
//
// The counters can be read from outside the process, by statistics name, as
// an operator would (Reader). A writer keeps its counters in a file of the
// statistics directory (the environment variable X2_STATS_DIR, else
// "/dev/shm/x2stats") named after the statistics name, locked (flock) for
// the writer's lifetime; when another live process holds that name, the
// file is "<name>.<pid>". Format (little-endian):
//
//   struct StatsFileHeader {      // 32 bytes
//       u64 magic;                // "X2STATS1", written last
//       u32 format;               // 1
//       u32 param;                // the writer's format parameter
//       u32 capacity;             // counter records that follow
//       u32 count;                // records in use (published with release)
//       u32 pid;                  // the writing process
//       u32 reserved;
//   };
//   struct StatsFileCounter {     // 64 bytes
//       u32 id;
//       char name[52];            // NUL-terminated
//       u64 value;                // incremented in place by the owner
//   } [capacity];
//
// Counters beyond the capacity, or with longer names, stay process-local.
#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

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

    Writer(std::string name, std::uint32_t param);
    ~Writer();
    Writer(Writer const&) = delete;
    Writer& operator=(Writer const&) = delete;
    // The file other processes read the counters from ("" when none).
    std::string const& filePath() const { return path_; }

private:
    std::string name_;
    std::uint32_t param_;
    std::string path_;
    int fd_ = -1;
    void* map_ = nullptr;
    std::deque<std::uint64_t> values_;  // stable addresses
    std::map<std::string, std::pair<std::uint32_t, std::uint64_t*>, std::less<>> byName_;
    std::map<std::uint32_t, std::string> byId_;
};

// Reads another process's counters by statistics name.
class Reader {
public:
    // The statistics `statsName` of process `pid`, or of the process that
    // holds the name itself when `pid` is 0; null when there are none (or
    // the file is not a statistics file).
    static std::unique_ptr<Reader> open(std::string_view statsName, int pid = 0);
    ~Reader();
    Reader(Reader const&) = delete;
    Reader& operator=(Reader const&) = delete;

    std::optional<std::uint64_t> counter(std::string_view name) const;
    // Every published counter, in registration order.
    std::vector<std::pair<std::string, std::uint64_t>> counters() const;
    int pid() const;
    std::uint32_t param() const;

private:
    Reader(void const* map, std::size_t size) : map_(map), size_(size) {}
    void const* map_;
    std::size_t size_;
};

// The directory of the statistics files.
std::string statsDir();

// The process's default statistics name: the environment variable
// "AGENT_PROCESS_NAME" when set, else "agent".
std::string const& defaultStatsName();

}  // namespace Vex::Stats
