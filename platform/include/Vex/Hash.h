#pragma once
// The entity framework's incremental hash. A Hash starts from a 32-bit seed;
// each hashMix step folds in a value of 1, 2, 4 or 8 bytes (or a block with
// mixNi); result() finalises. The mixing is a 32-bit multiply-rotate scheme
// with a final avalanche, so nearby keys (consecutive indices) spread over
// the whole 32-bit range.
#include <cstddef>
#include <cstdint>
#include <cstring>

namespace Vex {

class Hash {
public:
    explicit constexpr Hash(std::uint32_t seed) : h_(seed) {}

    constexpr void hashMix(std::uint8_t v) { step(v); len_ += 1; }
    constexpr void hashMix(std::uint16_t v) { step(v); len_ += 2; }
    constexpr void hashMix(std::uint32_t v) { step(v); len_ += 4; }
    constexpr void hashMix(std::uint64_t v) {
        step(std::uint32_t(v));
        step(std::uint32_t(v >> 32));
        len_ += 8;
    }
    // Mixes n bytes starting at p: whole 32-bit words, then the tail bytes.
    void mixNi(void const* p, std::size_t n) {
        auto const* b = static_cast<unsigned char const*>(p);
        std::size_t i = 0;
        for (; i + 4 <= n; i += 4) {
            std::uint32_t w;
            std::memcpy(&w, b + i, 4);
            step(w);
        }
        if (i < n) {
            std::uint32_t w = 0;
            std::memcpy(&w, b + i, n - i);
            step(w ^ 0x9e3779b9u);
        }
        len_ += std::uint32_t(n);
    }
    constexpr std::uint32_t result() const {
        std::uint32_t h = h_ ^ len_;
        h ^= h >> 16;
        h *= 0x85ebca6bu;
        h ^= h >> 13;
        h *= 0xc2b2ae35u;
        h ^= h >> 16;
        return h;
    }

private:
    static constexpr std::uint32_t rotl(std::uint32_t x, int r) { return (x << r) | (x >> (32 - r)); }
    constexpr void step(std::uint32_t k) {
        k *= 0xcc9e2d51u;
        k = rotl(k, 15);
        k *= 0x1b873593u;
        h_ ^= k;
        h_ = rotl(h_, 13);
        h_ = h_ * 5 + 0xe6546b64u;
    }

    std::uint32_t h_;
    std::uint32_t len_ = 0;
};

// Hash of a record with a single attribute: one 64x64->128-bit multiply of
// the value and the seed (each offset by a fixed odd constant), folded to 32
// bits. This is the hash of every keyed lookup, so it is kept to a single
// multiply; all 32 result bits depend on every value and seed bit, so both
// the low bits (bucket choice) and the bit-reversed hash (chain order) spread.
namespace Impl {
constexpr std::uint32_t mum32(std::uint64_t a, std::uint64_t b) {
    unsigned __int128 const r = static_cast<unsigned __int128>(a ^ 0xa0761d6478bd642full) * (b ^ 0xe7037ed1a0b428dbull);
    std::uint64_t const m = std::uint64_t(r) ^ std::uint64_t(r >> 64);
    return std::uint32_t(m) ^ std::uint32_t(m >> 32);
}
constexpr std::uint64_t seed64(std::uint32_t seed) { return (std::uint64_t(seed) << 32) | seed; }
}  // namespace Impl

constexpr std::uint32_t hashSingleAttr(std::uint32_t seed, std::uint32_t value) {
    return Impl::mum32(value, Impl::seed64(seed));
}
constexpr std::uint32_t hashSingleAttr(std::uint32_t seed, std::uint64_t value) {
    return Impl::mum32(value ^ 0x8bb84b93962eacc9ull, Impl::seed64(seed) + 0x4b33a62ed433d4a3ull);
}

struct HashHelper {
    // The process-wide seed of all local hash maps: drawn at random once per
    // process, or taken from VEX_HASH_SEED (decimal or 0x-hex) when set, so
    // that a test can reproduce a bucket layout. Shared-memory maps do not use
    // it: their seed is stored with the map so that every process agrees.
    static std::uint32_t hashSeed32();
};

}  // namespace Vex
