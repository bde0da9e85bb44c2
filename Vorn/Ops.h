#pragma once
// The operations object of a shared-memory map: how the map hashes a key,
// finds a value's key, names the value type and builds a default value. The
// writer, readers and shadows only ever look at a value through it.
//
// The hash seed is part of the map's identity: every process that opens the
// map must use the same seed (never the per-process random seed of local
// hash maps), or readers would look for keys in the wrong buckets.
//
// Requirements on V (SlotValue below): trivially copyable, so that its bytes
// are the value and a slot can hold it byte for byte; a size that is a
// non-zero multiple of 8 and an alignment of at most 8, so that the value
// and the 8-byte trailer after it stay word-aligned in every slot; and
// `fwkKey()` returning the key, either an integer or a bounded index type
// with `value()`, as a 32-bit unsigned number. Standard layout is not
// required: a record may derive from a base record that holds fields of its
// own (a write response does), since the map only copies whole values and
// reads the key through `fwkKey()`.
#include <concepts>
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

// What `fwkKey()` may return: an integer or a bounded index type.
template <class K>
concept KeyLike = std::convertible_to<K, std::uint32_t> ||
                  requires(K const& k) { { k.value() } -> std::convertible_to<std::uint32_t>; };

// The 32-bit key behind whatever `fwkKey()` returns.
template <KeyLike K>
constexpr std::uint32_t keyValue(K const& k) {
    if constexpr (requires { { k.value() } -> std::convertible_to<std::uint32_t>; })
        return std::uint32_t(k.value());
    else
        return std::uint32_t(k);
}

template <class V>
concept SlotValue = std::is_trivially_copyable_v<V> && sizeof(V) > 0 && sizeof(V) % 8 == 0 && alignof(V) <= 8 &&
                    requires(V const& v) { { v.fwkKey() } -> KeyLike; };

template <class V>
class BasicOps {
public:
    using Value = V;
    using Key = std::uint32_t;

    static_assert(SlotValue<V>);

    BasicOps(std::uint32_t seed, std::string typeName) : seed_(seed), typeName_(std::move(typeName)) {}
    // The seed every process of the map agrees on: derived from the type name.
    // (seed_ is initialised first, from the name before it is moved.)
    explicit BasicOps(std::string typeName) : seed_(seedForType(typeName)), typeName_(std::move(typeName)) {}

    std::uint32_t seed() const { return seed_; }
    std::uint32_t hash(Key key) const { return Vex::hashSingleAttr(seed_, std::uint32_t(key)); }
    static Key keyOf(V const& v) { return keyValue(v.fwkKey()); }
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
