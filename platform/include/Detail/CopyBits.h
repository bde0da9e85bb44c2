#pragma once
// Bit-string copy. A byte string is a little-endian bit string: bit i is bit
// (i % 8) of byte (i / 8), bit 0 being the least significant bit of a byte.
#include <cstddef>

namespace Detail {

// Copies nbits bits of src, starting at srcBitOffset, to dst starting at
// dstBitOffset; every other bit of dst keeps its value. Sizes are in bytes
// and bound both strings: bits that would fall outside either string are
// not copied (the caller's constants make that impossible for fields).
void copyBits(void* dst, std::size_t dstSize, void const* src, std::size_t srcSize, std::size_t nbits,
              std::size_t dstBitOffset, std::size_t srcBitOffset);

}  // namespace Detail
