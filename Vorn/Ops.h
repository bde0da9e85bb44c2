#pragma once
// The operations object of a shared-memory map: how the map hashes a key,
// finds a value's key, names the value type and builds a default value. The
// writer, readers and shadows only ever look at a value through it.
//
// The hash seed is part of the map's identity: every process that opens the
// map must use the same seed (never the per-process random seed of local
// hash maps), or readers would look for keys in the wrong buckets.
//
// Requirements on V: trivially copyable, standard layout, a size that is a
// non-zero multiple of 8, alignment at most 8, and `fwkKey()` returning a
// value convertible to a 32-bit unsigned key.
#include <cstdint>
#include <cstring>
#include <new>
#include <string>
#include <string_view>
#include <type_traits>

#include "Vex/Hash.h"

namespace Vorn {

// The hash seed of a map whose values have the type named `typeName` (the
// name stored in the slot file's header). Every process derives it from the
// name alone (32-bit FNV-1a), so a writer, its readers and a tool that only
// reads the header all hash keys into the same buckets, and two maps of
// different value types never share a seed by accident.
constexpr std::uint32_t seedForType(std::string_view typeName) {
    std::uint32_t h = 2166136261u;
    for (char c : typeName) {
        h ^= std::uint8_t(c);
        h *= 16777619u;
    }
    return h;
}
static_assert(seedForType("") == 2166136261u && seedForType("a") == 0xe40c292cu);

template <class V>
class BasicOps {
public:
    using Value = V;
    using Key = std::uint32_t;

    static_assert(std::is_trivially_copyable_v<V> && std::is_standard_layout_v<V>);
    static_assert(sizeof(V) % 8 == 0 && sizeof(V) > 0 && alignof(V) <= 8);

    BasicOps(std::uint32_t seed, std::string typeName) : seed_(seed), typeName_(std::move(typeName)) {}
    // The seed every process of the map agrees on: derived from the type name.
    explicit BasicOps(std::string typeName) : BasicOps(seedForType(typeName), std::move(typeName)) {}

    std::uint32_t seed() const { return seed_; }
    std::uint32_t hash(Key key) const { return Vex::hashSingleAttr(seed_, std::uint32_t(key)); }
    static Key keyOf(V const& v) { return Key(v.fwkKey()); }
    // Key of the value stored at `bytes` (a slot's value field).
    // The bytes were stored as a whole V (8-aligned, trivially copyable), so
    // they are read in place: only the key's own bytes are touched.
    static Key keyAt(void const* bytes) { return keyOf(*std::launder(static_cast<V const*>(bytes))); }
    V defaultValue() const { return V{}; }
    std::string const& typeName() const { return typeName_; }

private:
    std::uint32_t seed_;
    std::string typeName_;
};

}  // namespace Vorn
