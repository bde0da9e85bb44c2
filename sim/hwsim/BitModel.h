#pragma once
// An independent, bit-at-a-time model of a data byte array, used as the
// oracle for the generated field accessors. Deliberately naive: one bit per
// step, no masks or word loads.
#include <cstdint>
#include <vector>

#include "Orrin/PerUnitBitmap.h"

struct BitModel {
    std::vector<std::uint8_t> bytes;  // the value bytes (an inline array: its size)
    unsigned capacity = 0;
    bool inlineForm = false;

    bool bit(unsigned i) const { return i / 8 < bytes.size() && ((bytes[i / 8] >> (i % 8)) & 1); }
    void bitIs(unsigned i, bool v) {
        if (v) bytes[i / 8] |= std::uint8_t(1u << (i % 8));
        else bytes[i / 8] &= std::uint8_t(~(1u << (i % 8)));
    }

    // Field write: bits of `value` (bit k of the value for k < width).
    template <class BitOf>
    void write(unsigned offset, unsigned width, BitOf valueBit) {
        unsigned const end = (offset + width + 7) / 8;
        if (bytes.size() < end) bytes.resize(end, 0);  // inline growth; allocated arrays are full size already
        for (unsigned k = 0; k < width; ++k) bitIs(offset + k, valueBit(k));
        if (inlineForm)
            while (!bytes.empty() && bytes.back() == 0) bytes.pop_back();
    }
    std::uint64_t readScalar(unsigned offset, unsigned width) const {
        std::uint64_t v = 0;
        for (unsigned k = 0; k < width; ++k)
            if (bit(offset + k)) v |= std::uint64_t(1) << k;
        return v;
    }
    Orrin::PerUnitBitmap readWide(unsigned offset, unsigned width) const {
        Orrin::PerUnitBitmap b;
        for (unsigned k = 0; k < width; ++k)
            if (bit(offset + k)) b.bitIs(k, true);
        return b;
    }
};
