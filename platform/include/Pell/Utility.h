#pragma once
// The memory layer's affirmation: a condition that must hold, else the process
// stops with the location. Used where a caller broke a contract that the
// typed interfaces normally exclude (a byte index past an array's capacity).
#include <source_location>

namespace Pell::Utility {

[[noreturn]] void affirmFailed(std::source_location loc);

inline void affirm(bool cond, std::source_location loc = std::source_location::current()) {
    if (__builtin_expect(!cond, 0)) affirmFailed(loc);
}

}  // namespace Pell::Utility
