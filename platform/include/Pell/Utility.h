#pragma once
// The memory layer's affirmation: a condition that must hold, else the process
// stops with the location. Used where a caller broke a contract that the
// typed interfaces normally exclude (a byte index past an array's capacity).
//
// The caller's location comes from the compiler builtins rather than
// std::source_location, which not every compiler we build with has.

namespace Pell::Utility {

[[noreturn]] void affirmFailed(char const* file, char const* function, unsigned line);

inline void affirm(bool cond, char const* file = __builtin_FILE(), char const* function = __builtin_FUNCTION(),
                   unsigned line = __builtin_LINE()) {
    if (__builtin_expect(!cond, 0)) affirmFailed(file, function, line);
}

}  // namespace Pell::Utility
