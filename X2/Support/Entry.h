#pragma once
// Shared logic of the entry records of every table: byte operations, raw
// byte access, hashing, equality and validity over the two array forms.
// Generated entries hold their arrays as named members and call these
// templates with them, so each generated function is one line.
#include <cstdint>
#include <cstring>
#include <type_traits>

#include <fmt/format.h>

#include "AsicUtils/FieldOps.h"
#include "Asic/Types.h"
#include "Pell/Utility.h"
#include "Vex/CharRange.h"
#include "Vex/Hash.h"

namespace X2 {

// Marks the generated entry records (for the fmt formatter below).
struct EntryTag {};

using AsicUtils::Allocated;
using AsicUtils::Inline;

// ---- byte operations --------------------------------------------------------

template <class A>
inline void byteIs(Allocated<A> const& a, std::uint32_t i, std::uint8_t v) {
    Pell::Utility::affirm(i < A::capacity);
    a.allocate()[i] = v;
}
template <class A>
inline std::uint8_t byteDel(Allocated<A> const& a, std::uint32_t i) {
    Pell::Utility::affirm(i < A::capacity);
    std::uint8_t* p = a.get();
    if (!p) return 0;
    std::uint8_t const old = p[i];
    p[i] = 0;
    return old;
}
template <class A>
inline void byteDelAll(Allocated<A> const& a) {
    std::memset(a.allocate(), 0, A::capacity);
}
template <class A>
inline std::uint8_t byteAt(Allocated<A> const& a, std::uint32_t i) {
    Pell::Utility::affirm(i < A::capacity);
    std::uint8_t const* p = a.get();
    return p ? p[i] : 0;
}

template <class T, class I, unsigned C, unsigned F>
inline void byteIs(Inline<T, I, C, F>& a, std::uint32_t i, std::uint8_t v) {
    a.set(i, v);
}
template <class T, class I, unsigned C, unsigned F>
inline std::uint8_t byteDel(Inline<T, I, C, F>& a, std::uint32_t i) {
    return a.del(i);
}
template <class T, class I, unsigned C, unsigned F>
inline void byteDelAll(Inline<T, I, C, F>& a) {
    a.delAll();
}
template <class T, class I, unsigned C, unsigned F>
inline std::uint8_t byteAt(Inline<T, I, C, F> const& a, std::uint32_t i) {
    return a[i];
}

// ---- raw bytes (accessors, tools) ------------------------------------------

// Copies the array's value bytes to out (room for the capacity); returns how
// many: the capacity for an allocated array, the size for an inline one.
template <class A>
inline std::uint32_t rawBytes(Allocated<A> const& a, std::uint8_t* out) {
    if (std::uint8_t const* p = a.get())
        std::memcpy(out, p, A::capacity);
    else
        std::memset(out, 0, A::capacity);
    return A::capacity;
}
template <class T, class I, unsigned C, unsigned F>
inline std::uint32_t rawBytes(Inline<T, I, C, F> const& a, std::uint8_t* out) {
    std::uint32_t const n = a.size() < C ? a.size() : C;
    std::memcpy(out, a.data(), n);
    return n;
}
// Replaces the array's bytes with n bytes (n at most the capacity; the rest
// become zero). An inline array takes size n as given, without a trim.
template <class A>
inline void rawBytesIs(Allocated<A> const& a, std::uint8_t const* in, std::uint32_t n) {
    Pell::Utility::affirm(n <= A::capacity);
    std::uint8_t* p = a.allocate();
    if (n) std::memcpy(p, in, n);
    std::memset(p + n, 0, A::capacity - n);
}
template <class T, class I, unsigned C, unsigned F>
inline void rawBytesIs(Inline<T, I, C, F>& a, std::uint8_t const* in, std::uint32_t n) {
    Pell::Utility::affirm(n <= C);
    a.delAll();
    if (n) std::memcpy(a.data(), in, n);
    a.sizeIs(n);
}

// ---- hashing ------------------------------------------------------------------

namespace Impl {
extern std::uint8_t const kZeroBlock[256];

template <class A>
inline void mixArray(Vex::Hash& h, Allocated<A> const& a) {
    constexpr unsigned cap = A::capacity;
    static_assert(cap <= sizeof kZeroBlock);
    std::uint8_t const* p = a.get() ? a.get() : kZeroBlock;
    if constexpr (cap == 4) {
        std::uint32_t w;
        std::memcpy(&w, p, 4);
        h.hashMix(w);
    } else if constexpr (cap == 8) {
        std::uint64_t w;
        std::memcpy(&w, p, 8);
        h.hashMix(w);
    } else {
        h.mixNi(p, cap);
    }
}
template <class T, class I, unsigned C, unsigned F>
inline void mixArray(Vex::Hash& h, Inline<T, I, C, F> const& a) {
    std::uint32_t const n = a.size() < C ? a.size() : C;
    for (std::uint32_t i = 0; i < n; ++i) h.hashMix(std::uint8_t(a.data()[i]));
}
}  // namespace Impl

// Allocated form: transaction id, then each array's whole block.
template <class... A>
inline std::uint32_t hashAllocated(std::uint32_t seed, Asic::TransactionId tid, Allocated<A> const&... arrays) {
    Vex::Hash h(seed);
    h.hashMix(Vex::hashSingleAttr(0, std::uint64_t(tid)));
    (Impl::mixArray(h, arrays), ...);
    return h.result();
}
// Inline form: index, transaction id, then each array's bytes below its size.
template <class... A>
inline std::uint32_t hashInline(std::uint32_t seed, std::uint32_t index, Asic::TransactionId tid,
                                A const&... arrays) {
    Vex::Hash h(seed);
    h.hashMix(Vex::hashSingleAttr(0, index));
    h.hashMix(Vex::hashSingleAttr(0, std::uint64_t(tid)));
    (Impl::mixArray(h, arrays), ...);
    return h.result();
}

// ---- validity and emptiness --------------------------------------------------

template <class A>
inline bool anyByteSet(Allocated<A> const& a) {
    std::uint8_t const* p = a.get();
    if (!p) return false;
    for (unsigned i = 0; i < A::capacity; ++i)
        if (p[i]) return true;
    return false;
}

// Entries have no text form: construction from text always fails.
[[noreturn]] void refuseEntryText(Vex::CharRange& r);

}  // namespace X2

// Text of an entry: Type(transactionId=N[, entryIndex=N], dataByte0=HEX, ...),
// each array's value bytes in order (an inline array: the bytes below its size).
template <class E>
struct fmt::formatter<E, char, std::enable_if_t<std::is_base_of_v<X2::EntryTag, E>>> {
    constexpr auto parse(fmt::format_parse_context& ctx) { return ctx.begin(); }
    template <class Ctx>
    auto format(E const& e, Ctx& ctx) const {
        auto out = fmt::format_to(ctx.out(), "{}(transactionId={}", E::kTypeName, e.transactionId());
        if constexpr (requires { e.entryIndex(); }) out = fmt::format_to(out, ", entryIndex={}", e.entryIndex().value());
        std::uint8_t buf[256];
        for (unsigned k = 0; k < E::kDataArrays; ++k) {
            std::uint32_t const n = e.rawBytes(k, buf);
            out = fmt::format_to(out, ", dataByte{}=", k);
            for (std::uint32_t i = 0; i < n; ++i) out = fmt::format_to(out, "{:02x}", buf[i]);
        }
        return fmt::format_to(out, ")");
    }
};
