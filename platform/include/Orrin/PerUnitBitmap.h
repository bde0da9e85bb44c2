#pragma once
// A bitmap of arbitrary width held as 32-bit words, least significant word
// first. Two bitmaps are equal when they hold the same bits: zero words past
// the last set bit do not matter, so an all-zero bitmap equals an empty one.
#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <string>
#include <vector>

#include <fmt/format.h>

namespace Orrin {

class PerUnitBitmap {
public:
    PerUnitBitmap() = default;
    PerUnitBitmap(std::initializer_list<std::uint32_t> words) : words_(words) {}
    explicit PerUnitBitmap(std::vector<std::uint32_t> words) : words_(std::move(words)) {}

    std::size_t size() const { return words_.size(); }  // words held
    std::uint32_t word(std::size_t i) const;             // throws past size()
    std::uint32_t wordOrZero(std::size_t i) const { return i < words_.size() ? words_[i] : 0; }
    std::vector<std::uint32_t> const& words() const { return words_; }
    void wordIs(std::size_t i, std::uint32_t v);         // grows as needed

    bool bit(std::size_t pos) const { return (wordOrZero(pos / 32) >> (pos % 32)) & 1u; }
    void bitIs(std::size_t pos, bool v);
    // ORs `bits` in at bit position `pos` (any alignment), growing as needed.
    void bitsOr(std::uint32_t bits, std::size_t pos);
    bool isZero() const;

    // Parses hex ("0x1f00") into a bitmap; returns false on a malformed text.
    static bool fromHex(std::string_view text, PerUnitBitmap& out);
    std::string toHex() const;  // "0x..." without leading zeros; "0x0" when zero

    friend bool operator==(PerUnitBitmap const& a, PerUnitBitmap const& b);

private:
    std::vector<std::uint32_t> words_;
};

}  // namespace Orrin

template <>
struct fmt::formatter<Orrin::PerUnitBitmap> : fmt::formatter<std::string> {
    template <class Ctx>
    auto format(Orrin::PerUnitBitmap const& b, Ctx& ctx) const {
        return fmt::formatter<std::string>::format(b.toHex(), ctx);
    }
};
