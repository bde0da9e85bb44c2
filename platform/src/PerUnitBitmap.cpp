#include "Orrin/PerUnitBitmap.h"

#include <algorithm>

#include "Lumo/Exception.h"

namespace Orrin {

std::uint32_t PerUnitBitmap::word(std::size_t i) const {
    if (i >= words_.size()) Lumo::Impl::throwVectorOutOfRangeException(i, words_.size());
    return words_[i];
}

void PerUnitBitmap::wordIs(std::size_t i, std::uint32_t v) {
    if (i >= words_.size()) words_.resize(i + 1, 0);
    words_[i] = v;
}

void PerUnitBitmap::bitIs(std::size_t pos, bool v) {
    std::uint32_t w = wordOrZero(pos / 32);
    std::uint32_t const m = 1u << (pos % 32);
    wordIs(pos / 32, v ? (w | m) : (w & ~m));
}

void PerUnitBitmap::bitsOr(std::uint32_t bits, std::size_t pos) {
    if (bits == 0) return;
    std::size_t const w = pos / 32, shift = pos % 32;
    wordIs(w, wordOrZero(w) | (bits << shift));
    if (shift != 0) {
        std::uint32_t const high = std::uint32_t(std::uint64_t(bits) >> (32 - shift));
        if (high) wordIs(w + 1, wordOrZero(w + 1) | high);
    }
}

bool PerUnitBitmap::isZero() const {
    return std::all_of(words_.begin(), words_.end(), [](std::uint32_t w) { return w == 0; });
}

bool operator==(PerUnitBitmap const& a, PerUnitBitmap const& b) {
    std::size_t const n = std::max(a.size(), b.size());
    for (std::size_t i = 0; i < n; ++i)
        if (a.wordOrZero(i) != b.wordOrZero(i)) return false;
    return true;
}

bool PerUnitBitmap::fromHex(std::string_view text, PerUnitBitmap& out) {
    if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) text.remove_prefix(2);
    if (text.empty()) return false;
    PerUnitBitmap result;
    std::size_t pos = 0;
    for (auto it = text.rbegin(); it != text.rend(); ++it, pos += 4) {
        char c = *it;
        std::uint32_t v;
        if (c >= '0' && c <= '9') v = std::uint32_t(c - '0');
        else if (c >= 'a' && c <= 'f') v = std::uint32_t(c - 'a' + 10);
        else if (c >= 'A' && c <= 'F') v = std::uint32_t(c - 'A' + 10);
        else return false;
        result.bitsOr(v, pos);
    }
    out = std::move(result);
    return true;
}

std::string PerUnitBitmap::toHex() const {
    std::size_t n = words_.size();
    while (n > 0 && words_[n - 1] == 0) --n;
    if (n == 0) return "0x0";
    std::string s = fmt::format("0x{:x}", words_[n - 1]);
    for (std::size_t i = n - 1; i-- > 0;) s += fmt::format("{:08x}", words_[i]);
    return s;
}

}  // namespace Orrin
