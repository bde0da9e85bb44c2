#pragma once
// Wall-clock time of the base runtime.
namespace Lumo {

// Seconds since the epoch, with sub-microsecond resolution.
double time();

}  // namespace Lumo
