#pragma once
// The x2tables commands, apart from main() so that tests can drive them with
// their own streams.
#include <iosfwd>
#include <string>
#include <vector>

namespace x2tables {

// Runs one command line (without the program name). `in` is what the
// commands read when their arguments hold no entry (null when nothing is
// piped in). Normal output goes to out; a failure prints one line to err and
// returns 2. Returns 0 on success.
int run(std::vector<std::string> const& args, std::istream* in, std::ostream& out, std::ostream& err);

}  // namespace x2tables
