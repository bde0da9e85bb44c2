#include "Detail/CopyBits.h"

#include <algorithm>
#include <cstdint>

namespace Detail {

void copyBits(void* dstv, std::size_t dstSize, void const* srcv, std::size_t srcSize, std::size_t nbits,
              std::size_t d, std::size_t s) {
    auto* dst = static_cast<std::uint8_t*>(dstv);
    auto const* src = static_cast<std::uint8_t const*>(srcv);
    // Clamp to both strings so that a bad request can never write outside.
    std::size_t const dstBits = dstSize * 8, srcBits = srcSize * 8;
    if (d >= dstBits || s >= srcBits) return;
    nbits = std::min({nbits, dstBits - d, srcBits - s});
    while (nbits > 0) {
        unsigned const dBit = unsigned(d % 8), sBit = unsigned(s % 8);
        unsigned const chunk = unsigned(std::min<std::size_t>(nbits, 8 - std::max(dBit, sBit)));
        std::uint8_t const mask = std::uint8_t((1u << chunk) - 1);
        std::uint8_t const bits = std::uint8_t((src[s / 8] >> sBit) & mask);
        std::uint8_t& out = dst[d / 8];
        out = std::uint8_t((out & ~(mask << dBit)) | (bits << dBit));
        d += chunk;
        s += chunk;
        nbits -= chunk;
    }
}

}  // namespace Detail
