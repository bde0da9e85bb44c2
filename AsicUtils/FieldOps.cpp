#include "AsicUtils/FieldOps.h"

#include "Detail/CopyBits.h"

namespace AsicUtils::Impl {

void bitmapToBytes(Orrin::PerUnitBitmap const& v, std::uint8_t* out, unsigned nbytes) {
    unsigned const words = (nbytes + 3) / 4;
    // word() raises the vector range failure when the bitmap is too short.
    for (unsigned w = 0; w < words; ++w) {
        std::uint32_t const x = v.word(w);
        for (unsigned k = 0; k < 4 && 4 * w + k < nbytes; ++k) out[4 * w + k] = std::uint8_t(x >> (8 * k));
    }
}

Orrin::PerUnitBitmap bytesToBitmap(std::uint8_t const* in, unsigned nbytes) {
    Orrin::PerUnitBitmap b;
    for (unsigned i = 0; i < nbytes; ++i) b.bitsOr(in[i], 8 * i);
    return b;
}

void copyBitsPlain(std::uint8_t* dst, unsigned dstSize, std::uint8_t const* src, unsigned srcSize, unsigned nbits,
                   unsigned dstOff, unsigned srcOff) {
    Detail::copyBits(dst, dstSize, src, srcSize, nbits, dstOff, srcOff);
}

}  // namespace AsicUtils::Impl
