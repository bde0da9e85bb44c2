#pragma once
// The typed operations object of a map binding, assembled from small
// policies: how the key is taken from a value (KeyRetrieval), how a key is
// hashed (Hash), how a value is copied in and out of a slot (Marshall) and
// what the default value is (AllocBase). The writer, readers and shadows see
// it through the interface of BasicOps: 32-bit keys, hash(), keyOf(),
// keyAt(), defaultValue(), typeName().
//
// Hash seed: constructed from the value type's name (BasicOps(typeName)),
// the seed is the FNV-1a hash of that name, a per-map constant that every
// process mapping the map derives alike (Vorn::seedForType). Never the
// process's random seed of local hash maps.
#include <cstdint>
#include <cstring>
#include <new>
#include <string>

#include "Lumo/Assert.h"
#include "Vex/Hash.h"
#include "Vorn/Ops.h"

namespace Vorn {

template <class K, class V, auto KeyFn>
struct KeyRetrieval {
    static K key(V const& v) { return (v.*KeyFn)(); }
};

template <class K, bool Seeded>
struct Hash {
    static std::uint32_t hash(std::uint32_t seed, K const& key) { return Vex::hashSingleAttr(seed, keyValue(key)); }
};

template <class V>
struct Marshall {
    static void copyIn(void* slot, V const& v) { std::memcpy(slot, static_cast<void const*>(&v), sizeof(V)); }
    static void copyOut(V& out, void const* slot) { std::memcpy(static_cast<void*>(&out), slot, sizeof(V)); }
};

template <class V>
struct AllocBase {
    static V defaultValue() { return V{}; }
};

template <class K, class V, class KeyOps, class ValueOps, class SlotAllocator, bool Checked>
class Ops : public BasicOps<V> {
public:
    using Key = typename BasicOps<V>::Key;  // the key as the map stores it: 32 bits
    using TypedKey = K;
    using Value = V;

    explicit Ops(std::string typeName) : BasicOps<V>(std::move(typeName)) {}

    std::uint32_t hash(Key key) const { return Hash<Key, false>::hash(this->seed(), key); }
    static Key keyOf(V const& v) { return keyValue(KeyOps::key(v)); }
    static Key keyAt(void const* bytes) { return keyOf(*std::launder(static_cast<V const*>(bytes))); }
    V defaultValue() const { return SlotAllocator::defaultValue(); }
    static void copyIn(void* slot, V const& v) { ValueOps::copyIn(slot, v); }
    static void copyOut(V& out, void const* slot) { ValueOps::copyOut(out, slot); }
    // Slots are only ever filled whole by the writer.
    [[noreturn]] void setSlotValue(void* slot, V const& v) const {
        (void)slot;
        (void)v;
        Lumo::fmassertFail("Ops", "Vorn/Ops", "setSlotValue", 0, "Not implemented");
    }
};

}  // namespace Vorn
