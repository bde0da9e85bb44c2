#pragma once
// Small helpers of the base runtime used by the shared-memory maps.
#include <cstddef>
#include <cstdint>

namespace Lumo::Util {

// Bit reversal of a 32-bit word: bit 0 becomes bit 31 and so on. The
// shared-memory maps order their bucket chains by the reversed hash, so that
// the values that move when a bucket table doubles form a chain's tail.
constexpr std::uint32_t reverse(std::uint32_t v) {
    v = ((v >> 1) & 0x55555555u) | ((v & 0x55555555u) << 1);
    v = ((v >> 2) & 0x33333333u) | ((v & 0x33333333u) << 2);
    v = ((v >> 4) & 0x0f0f0f0fu) | ((v & 0x0f0f0f0fu) << 4);
    v = ((v >> 8) & 0x00ff00ffu) | ((v & 0x00ff00ffu) << 8);
    return (v >> 16) | (v << 16);
}

// Size of a file of `headerSize` bytes followed by `numSlots` slots of
// `slotSize` bytes. Raises Lumo::RangeException when the size does not fit in
// a file offset (off_t), so that a slot count read from a damaged header can
// never produce a wrapped size.
std::size_t fileSizeHelper(std::uint64_t numSlots, std::uint64_t slotSize, std::uint64_t headerSize);

}  // namespace Lumo::Util
