#pragma once
// Bounded index types of the table records. Each is a 32-bit unsigned value
// with a fixed maximum and the single attribute "value". The generated types
// derive from these templates through CRTP and supply only their bound and
// their full type name (Self::kTypeName), which the failure messages quote.
#include <compare>
#include <cstdint>
#include <string_view>
#include <type_traits>

#include <fmt/format.h>

#include "Asic/Types.h"
#include "Vex/CharRange.h"
#include "Vex/VexType.h"

namespace X2 {

struct IndexTag {};

namespace Impl {
[[noreturn]] void throwAboveMax(std::string_view typeName);       // "<T>::value > max() not allowed"
[[noreturn]] void throwOutsideMinMax(std::string_view typeName);  // "<T>::value < <T>::min or > <T>::max not allowed"
// Reads the attribute "value" as an unsigned int; a range failure names "value".
std::uint32_t parseValueAttr(Vex::CharRange& r);
}  // namespace Impl

template <class Self, std::uint32_t Max>
class BoundedIndexBase : public IndexTag {
public:
    static constexpr std::uint32_t min() { return 0; }
    static constexpr std::uint32_t max() { return Max; }
    constexpr std::uint32_t value() const { return value_; }
    // Equality of two values of the type behind untyped pointers (publication).
    static bool isEq(void const* a, void const* b) {
        return static_cast<Self const*>(a)->value_ == static_cast<Self const*>(b)->value_;
    }
    friend constexpr bool operator==(Self const& a, Self const& b) { return a.value_ == b.value_; }
    friend constexpr auto operator<=>(Self const& a, Self const& b) { return a.value_ <=> b.value_; }

protected:
    constexpr BoundedIndexBase() = default;
    std::uint32_t value_ = 0;
};

// An entry's index in its hardware table. In a read table the index also
// accepts kReadAll, the key of a request to read the whole table.
template <class Self, std::uint32_t Max, bool ReadTable>
class EntryIndex : public BoundedIndexBase<Self, Max> {
public:
    static constexpr std::uint32_t kReadAll = Asic::kReadAllIndex;
    static constexpr std::uint32_t kUnset = 4294967295u;
    static constexpr bool kReadTable = ReadTable;

    constexpr EntryIndex() = default;
    // Construction from an argument checks the range (doInit).
    EntryIndex(std::uint32_t v) {  // NOLINT: indices convert from integers
        this->value_ = v;
        doInit();
    }
    // Construction from text reads "value" without a range check.
    explicit EntryIndex(Vex::CharRange& r) {
        this->value_ = kUnset;
        this->value_ = Impl::parseValueAttr(r);
    }
    static constexpr bool accepts(std::uint32_t v) { return v <= Max || (ReadTable && v == kReadAll); }
    void doInit() const {
        if (!accepts(this->value_)) Asic::indexOutOfRange(Vex::VexTypeBase{Self::kModule, Self::kTypeIndex}, this->value_);
    }
};

// DataMemId: which data byte array. Above the maximum: "...::value > max() not allowed".
template <class Self, std::uint32_t Max>
class MaxIndex : public BoundedIndexBase<Self, Max> {
public:
    constexpr MaxIndex() = default;
    MaxIndex(std::uint32_t v) {  // NOLINT
        check(v);
        this->value_ = v;
    }
    explicit MaxIndex(Vex::CharRange& r) {
        std::uint32_t v = Impl::parseValueAttr(r);
        check(v);
        this->value_ = v;
    }

private:
    static void check(std::uint32_t v) {
        if (v > Max) Impl::throwAboveMax(Self::kTypeName);
    }
};

// DataIndex and the byte index types: "...::value < ...::min or > ...::max not allowed".
template <class Self, std::uint32_t Max>
class MinMaxIndex : public BoundedIndexBase<Self, Max> {
public:
    constexpr MinMaxIndex() = default;
    MinMaxIndex(std::uint32_t v) {  // NOLINT
        check(v);
        this->value_ = v;
    }
    explicit MinMaxIndex(Vex::CharRange& r) {
        std::uint32_t v = Impl::parseValueAttr(r);
        check(v);
        this->value_ = v;
    }

private:
    static void check(std::uint32_t v) {
        if (v > Max) Impl::throwOutsideMinMax(Self::kTypeName);
    }
};

}  // namespace X2

template <class T>
struct fmt::formatter<T, char, std::enable_if_t<std::is_base_of_v<X2::IndexTag, T>>> : fmt::formatter<std::uint32_t> {
    template <class Ctx>
    auto format(T const& v, Ctx& ctx) const {
        return fmt::formatter<std::uint32_t>::format(v.value(), ctx);
    }
};
