#pragma once
// The `x2tables map` commands: a look at the shared-memory maps under the
// map root, read-only. They map the writer's files read-only through the
// map readers; only `map watch` registers on the map's change channel, as
// every reader does.
#include <iosfwd>
#include <string>
#include <vector>

namespace x2tables {

struct MapOptions {
    bool json = false;
    long count = -1;       // map watch: stop after this many changes (-1: never)
    double seconds = -1;   // map watch: stop after this long (-1: never)
};

// Runs `map SUBCOMMAND ...` (args after "map"). Raises UsageError for a
// caller's mistake and for a map that is missing, truncated or damaged.
void mapCommand(std::vector<std::string> const& args, MapOptions const& options, std::ostream& out);

}  // namespace x2tables
