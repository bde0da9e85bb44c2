#pragma once
// Field access in a data byte array: all bit arithmetic of the entry records
// lives here, once. A generated getter or setter is one line that calls these
// templates with the field's bit offset and width as constants, so each call
// compiles to a fixed-size load, a shift and a mask.
//
// Bit numbering: bit i of a data byte string is bit (i % 8) of byte (i / 8),
// bit 0 being the least significant bit of its byte.
//
// Two storage forms:
//  - allocated: Pell::Core::Memory::Pointer to a zero-filled block of Cap
//    bytes, allocated on first access (getters allocate too);
//  - inline: Vex::PodArray with a current size; bytes at or beyond the size
//    read as zero, a setter grows the size as it writes and then trims
//    trailing zero bytes, so the array never ends in a zero byte after a
//    field write and an all-zero array is empty.
#include <cstdint>
#include <cstring>
#include <type_traits>

#include "Lumo/Assert.h"
#include "Lumo/Types.h"
#include "Orrin/PerUnitBitmap.h"
#include "Pell/Memory.h"
#include "Vex/PodArray.h"

namespace Detail {

// Writes `width` bits of src (from srcBitOffset) into an inline data byte
// array at dstBitOffset, chunk by chunk, growing the array as bytes are
// reached and trimming trailing zero bytes at the end. This is the general
// path for callers that know a field only at run time.
struct CopyBitsPodArray {
    template <class T, class I, unsigned Cap, unsigned F>
    static void doCopy(Vex::PodArray<T, I, Cap, F>& dst, std::uint8_t const* src, unsigned width,
                       unsigned dstBitOffset, unsigned srcBitOffset);
    static std::uint8_t mask(std::uint8_t bits, std::uint8_t offset) {
        LUMO_FMASSERT(((((1ULL << bits) - 1) << offset) <= 0xFF), "Detail::CopyBitsPodArray",
                      "( ( ( 1ULL << bits ) - 1 ) << offset ) <= 0xFF");
        return std::uint8_t(((1u << bits) - 1) << offset);
    }
};

template <class T, class I, unsigned Cap, unsigned F>
void CopyBitsPodArray::doCopy(Vex::PodArray<T, I, Cap, F>& dst, std::uint8_t const* src, unsigned width,
                              unsigned d, unsigned s) {
    if (width == 0) return;
    unsigned const first = d / 8;
    LUMO_FMASSERT((d + width + 7) / 8 <= Cap, "Detail::CopyBitsPodArray", "field beyond capacity {}", Cap);
    std::uint32_t size = dst.size();
    std::uint8_t* bytes = dst.data();
    while (size < first) bytes[size++] = 0;
    unsigned r = width;
    while (r > 0) {
        unsigned const dBit = d % 8, sBit = s % 8;
        unsigned const c = r < 8 - (dBit > sBit ? dBit : sBit) ? r : 8 - (dBit > sBit ? dBit : sBit);
        unsigned const b = d / 8;
        if (b == size) {
            ++size;
            if (c != 8) bytes[b] = 0;
        }
        std::uint8_t const sb = src[s / 8];
        if (c == 8) {
            bytes[b] = sb;
        } else {
            std::uint8_t const m = mask(std::uint8_t(c), 0);
            bytes[b] = std::uint8_t((bytes[b] & ~(m << dBit)) | (((sb >> sBit) & m) << dBit));
            (void)mask(std::uint8_t(c), std::uint8_t(sBit));
        }
        d += c;
        s += c;
        r -= c;
    }
    while (size > 0 && bytes[size - 1] == 0) --size;
    dst.sizeIs(size);
}

}  // namespace Detail

namespace AsicUtils {

// Value type of a field of W bits: the smallest unsigned type that holds it,
// and a bitmap above 64 bits.
template <unsigned W>
using FieldValue = std::conditional_t<
    (W <= 8), std::uint8_t,
    std::conditional_t<(W <= 16), std::uint16_t,
                       std::conditional_t<(W <= 32), std::uint32_t,
                                          std::conditional_t<(W <= 64), std::uint64_t, Orrin::PerUnitBitmap>>>>;

namespace Impl {

// Span of a scalar field: first byte, bit shift inside it, bytes touched.
template <unsigned Off, unsigned W>
struct Span {
    static_assert(W >= 1 && W <= 64, "a scalar field is 1 to 64 bits wide");
    static constexpr unsigned first = Off / 8;
    static constexpr unsigned shift = Off % 8;
    static constexpr unsigned bytes = (shift + W + 7) / 8;  // 1 .. 9
    static constexpr unsigned endByte = first + bytes;      // one past the last byte touched
};

template <unsigned W, class T>
constexpr T lowMask() {
    if constexpr (W >= sizeof(T) * 8)
        return ~T(0);
    else
        return (T(1) << W) - 1;
}

// Little-endian load/store of exactly N bytes; x86-64 is little-endian, so a
// memcpy into the low bytes of the word is the whole conversion.
template <unsigned N, class T>
inline T loadLE(std::uint8_t const* p) {
    static_assert(N <= sizeof(T));
    T v = 0;
    std::memcpy(&v, p, N);
    return v;
}
template <unsigned N, class T>
inline void storeLE(std::uint8_t* p, T v) {
    static_assert(N <= sizeof(T));
    std::memcpy(p, &v, N);
}

// Word type wide enough for the bytes a field touches.
template <unsigned Bytes>
using Word = std::conditional_t<(Bytes <= 8), std::uint64_t, unsigned __int128>;

// Reads a scalar field from a buffer of Cap bytes. When an 8-byte window
// fits inside the buffer the load is widened to one 8-byte access.
template <unsigned Off, unsigned W, unsigned Cap>
inline FieldValue<W> get(std::uint8_t const* p) {
    using S = Span<Off, W>;
    static_assert(S::endByte <= Cap, "field lies beyond its array");
    using WT = Word<S::bytes>;
    // Prefer the 8-aligned 8-byte window that holds the whole field (an
    // aligned load never splits a cache line), then any 8-byte window from
    // the field's first byte, then exactly the bytes the field touches.
    constexpr unsigned aligned = S::first & ~7u;
    constexpr bool useAligned = aligned + 8 >= S::endByte && aligned + 8 <= Cap;
    constexpr unsigned base = useAligned ? aligned : S::first;
    constexpr unsigned load = useAligned || (S::bytes <= 8 && S::first + 8 <= Cap) ? 8 : S::bytes;
    WT const v = loadLE<load, WT>(p + base);
    return FieldValue<W>((v >> (Off - 8 * base)) & lowMask<W, WT>());
}

// Writes the W low bits of v into a scalar field; every other bit keeps its value.
template <unsigned Off, unsigned W, unsigned Cap>
inline void set(std::uint8_t* p, std::uint64_t v) {
    using S = Span<Off, W>;
    static_assert(S::endByte <= Cap, "field lies beyond its array");
    using WT = Word<S::bytes>;
    constexpr WT mask = WT(lowMask<W, WT>()) << S::shift;
    WT x = loadLE<S::bytes, WT>(p + S::first);
    x = (x & ~mask) | ((WT(v) << S::shift) & mask);
    storeLE<S::bytes, WT>(p + S::first, x);
}

// Wide fields (more than 64 bits) go through the bitmap's bytes: byte i of
// the value is bits 8(i % 4) .. 8(i % 4) + 7 of word i / 4.
void bitmapToBytes(Orrin::PerUnitBitmap const& v, std::uint8_t* out, unsigned nbytes);
Orrin::PerUnitBitmap bytesToBitmap(std::uint8_t const* in, unsigned nbytes);
void copyBitsPlain(std::uint8_t* dst, unsigned dstSize, std::uint8_t const* src, unsigned srcSize, unsigned nbits,
                   unsigned dstOff, unsigned srcOff);

template <class A>
constexpr unsigned capacityOf = unsigned(A::capacity);

}  // namespace Impl

// ---- allocated form -------------------------------------------------------

template <class A>
using Allocated = Pell::Core::Memory::Pointer<A>;

template <unsigned Off, unsigned W, class A>
inline FieldValue<W> getField(Allocated<A> const& arr) {
    constexpr unsigned Cap = Impl::capacityOf<A>;
    std::uint8_t const* p = arr.allocate();
    if constexpr (W <= 64) {
        return Impl::get<Off, W, Cap>(p);
    } else {
        static_assert(Off + W <= Cap * 8, "field lies beyond its array");
        std::uint8_t buf[(W + 7) / 8] = {};
        Impl::copyBitsPlain(buf, sizeof buf, p, Cap, W, 0, Off);
        return Impl::bytesToBitmap(buf, sizeof buf);
    }
}

template <unsigned Off, unsigned W, class A>
inline void setField(Allocated<A> const& arr, std::uint64_t v) {
    static_assert(W <= 64);
    Impl::set<Off, W, Impl::capacityOf<A>>(arr.allocate(), v);
}

template <unsigned Off, unsigned W, class A>
inline void setField(Allocated<A> const& arr, Orrin::PerUnitBitmap const& v) {
    static_assert(W > 64);
    constexpr unsigned Cap = Impl::capacityOf<A>;
    static_assert(Off + W <= Cap * 8, "field lies beyond its array");
    std::uint8_t buf[(W + 7) / 8];
    Impl::bitmapToBytes(v, buf, sizeof buf);  // throws before anything is written
    Impl::copyBitsPlain(arr.allocate(), Cap, buf, sizeof buf, W, Off, 0);
}

// ---- inline form ----------------------------------------------------------

template <class T, class I, unsigned Cap, unsigned F>
using Inline = Vex::PodArray<T, I, Cap, F>;

namespace Impl {
// Bytes of the array below its size, copied into a zero-filled buffer of the
// whole capacity: the slow path for fields that straddle the end.
template <class T, class I, unsigned Cap, unsigned F>
inline void snapshot(Inline<T, I, Cap, F> const& a, std::uint8_t (&buf)[Cap]) {
    std::uint32_t const n = a.size() < Cap ? a.size() : Cap;
    std::memset(buf, 0, Cap);
    std::memcpy(buf, a.data(), n);
}
// Size after a write that touched bytes up to `endByte`: grown to cover the
// field, then trimmed of trailing zero bytes.
template <class T, class I, unsigned Cap, unsigned F>
inline void growThenTrim(Inline<T, I, Cap, F>& a, unsigned endByte, std::uint32_t oldSize) {
    std::uint32_t n = oldSize > endByte ? oldSize : endByte;
    if (n > Cap) n = Cap;  // a size past the capacity only comes from corrupt bytes
    std::uint8_t const* d = a.data();
    while (n > 0 && d[n - 1] == 0) --n;
    a.sizeIsZeroTail(n);  // the bytes dropped are zero: that is why they were dropped
}
}  // namespace Impl

template <unsigned Off, unsigned W, class T, class I, unsigned Cap, unsigned F>
inline FieldValue<W> getField(Inline<T, I, Cap, F> const& a) {
    if constexpr (W <= 64) {
        using S = Impl::Span<Off, W>;
        // The stored size unclamped: any size from the field's end on (up to
        // Cap, where the field lies) means the field's bytes are all there.
        if (__builtin_expect(S::endByte <= a.storedSize(), 1)) return Impl::get<Off, W, Cap>(a.data());
        if (std::uint64_t(a.size()) * 8 <= Off) return 0;
        std::uint8_t buf[Cap];
        Impl::snapshot(a, buf);
        return Impl::get<Off, W, Cap>(buf);
    } else {
        static_assert(Off + W <= Cap * 8, "field lies beyond its array");
        std::uint8_t snap[Cap];
        Impl::snapshot(a, snap);
        std::uint8_t buf[(W + 7) / 8] = {};
        Impl::copyBitsPlain(buf, sizeof buf, snap, Cap, W, 0, Off);
        return Impl::bytesToBitmap(buf, sizeof buf);
    }
}

template <unsigned Off, unsigned W, class T, class I, unsigned Cap, unsigned F>
inline void setField(Inline<T, I, Cap, F>& a, std::uint64_t v) {
    static_assert(W <= 64);
    using S = Impl::Span<Off, W>;
    // Unclamped: only a size below the field's end (so below Cap) is used
    // as a position here; growThenTrim clamps the rest.
    std::uint32_t const oldSize = a.storedSize();
    if (__builtin_expect(oldSize < S::endByte, 0)) {
        // Bytes from the old size up to the field's end join the array as zeros.
        std::memset(a.data() + oldSize, 0, S::endByte - oldSize);
    }
    Impl::set<Off, W, Cap>(a.data(), v);
    Impl::growThenTrim(a, S::endByte, oldSize);
}

template <unsigned Off, unsigned W, class T, class I, unsigned Cap, unsigned F>
inline void setField(Inline<T, I, Cap, F>& a, Orrin::PerUnitBitmap const& v) {
    static_assert(W > 64);
    static_assert(Off + W <= Cap * 8, "field lies beyond its array");
    std::uint8_t buf[(W + 7) / 8];
    Impl::bitmapToBytes(v, buf, sizeof buf);
    // Wide fields are rare and set whole: the general run-time copy serves.
    Detail::CopyBitsPodArray::doCopy(a, buf, W, Off, 0);
}

// ---- validity ---------------------------------------------------------------

// True when any bit selected by `mask` (one byte per array byte) is set.
template <class A, std::size_t N>
inline bool anyMasked(Allocated<A> const& arr, std::uint8_t const (&mask)[N]) {
    static_assert(N == Impl::capacityOf<A>);
    std::uint8_t const* p = arr.get();
    if (!p) return false;
    for (std::size_t i = 0; i < N; ++i)
        if (p[i] & mask[i]) return true;
    return false;
}
template <class T, class I, unsigned Cap, unsigned F, std::size_t N>
inline bool anyMasked(Inline<T, I, Cap, F> const& a, std::uint8_t const (&mask)[N]) {
    static_assert(N == Cap);
    std::uint32_t const n = a.size() < Cap ? a.size() : Cap;
    for (std::uint32_t i = 0; i < n; ++i)
        if (a.data()[i] & mask[i]) return true;
    return false;
}

}  // namespace AsicUtils

