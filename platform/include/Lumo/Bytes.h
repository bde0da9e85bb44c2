#pragma once
#include <cstdint>
#include <vector>

namespace Lumo {
// A byte string of register or memory data.
using Bytes = std::vector<std::uint8_t>;
}  // namespace Lumo
