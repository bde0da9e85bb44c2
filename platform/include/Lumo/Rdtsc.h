#pragma once
// Processor cycle counter. Used to time-slice long reorganisations cheaply:
// reading the counter costs a few nanoseconds, a clock_gettime call more.
#include <cstdint>

#include <x86intrin.h>

namespace Lumo::Rdtsc {

inline std::uint64_t now() { return __rdtsc(); }

// Counter cycles per second, measured once per process against the monotonic
// clock (about 5 ms on first use) and cached.
std::uint64_t calibrationRate();

}  // namespace Lumo::Rdtsc
