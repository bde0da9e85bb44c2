#pragma once
// Pell::Core::Memory::Control::Collection: the memory mirror of a keyed
// collection.
//
// A collection declares attributes (field ids 4, 5, ... for the data byte
// arrays of a table's entries), each with a size in bytes and an entry count.
// The bytes of (attribute, index) live in chunks of a simulated DMA region:
// a chunk is a zero-filled block of kChunkBytes bytes with a bus address (or
// none: a chunk without bus mapping answers bus address 0). Where each
// (attribute, index) lies is decided by the collection's chunk function,
// which maps (attribute id, index, size) to (chunk number, offset); chunks
// are created, zero-filled, the first time the function names them.
//
// The reload callback (a function of one unsigned index, with a context
// pointer) is how the memory layer asks the owner to rebuild its entry at an
// index from the mirror's bytes; reload(index) runs it and lets its failures
// pass unchanged (the owner checks the index).
//
// Ownership: reference counted (Lumo::Ptr). The owner's table holds it as
// its entry control; the callback's context must outlive the collection or
// be cleared with reloadCallbackIs({}). One thread at a time.
#include <cstdint>
#include <map>
#include <memory>
#include <span>
#include <unordered_map>
#include <vector>

#include "Lumo/Node.h"

namespace Pell::Core::Memory::Control {

inline constexpr std::uint32_t kChunkBytes = 64 * 1024;
inline constexpr std::uint32_t kFirstAttributeId = 4;

struct ChunkLocation {
    std::uint32_t chunk = 0;
    std::uint32_t offset = 0;
    bool busMapped = true;
};
using ChunkFunction = ChunkLocation (*)(std::uint32_t attrId, std::uint32_t index, std::uint32_t size);

// Default placement: each attribute in its own series of chunks, entries
// packed, no entry straddling two chunks; every chunk bus mapped.
ChunkLocation packedChunks(std::uint32_t attrId, std::uint32_t index, std::uint32_t size);
// The same placement in chunks without bus mapping (registers).
ChunkLocation unmappedChunks(std::uint32_t attrId, std::uint32_t index, std::uint32_t size);

struct ReloadCallback {
    void (*fn)(void* context, unsigned index) = nullptr;
    void* context = nullptr;
    explicit operator bool() const { return fn != nullptr; }
};

class Collection;

namespace Detail {
struct Attribute {
    std::uint32_t id = 0;
    std::uint32_t size = 0;
    std::uint32_t entryCount = 0;
    // The chunk this attribute touched last (its number, bytes and mapping):
    // successive accesses to one attribute mostly stay in one chunk, and the
    // chunk table lookup is the dearest step of an access. Chunks live as long
    // as their collection, so the pointer stays valid.
    mutable std::uint32_t lastChunk = 0xffffffffu;
    mutable bool lastBusMapped = false;
    mutable std::uint8_t* lastBytes = nullptr;
    // The chunk and offset that hold entry `index` of this attribute.
    static ChunkLocation obtainChunkAndOffset(Collection const& c, Attribute const& a, std::uint32_t index);
};
}  // namespace Detail

class Collection : public Lumo::Node {
public:
    explicit Collection(ChunkFunction chunkFunction = &packedChunks);
    ~Collection() override;

    // Declares an attribute. A duplicate id, size 0 or above kChunkBytes, or
    // an entry count of 0 raises Lumo::InvalidInitializeException.
    void attributeIs(std::uint32_t attrId, std::uint32_t size, std::uint32_t entryCount);
    // Size of the attribute, 0 when unknown.
    std::uint32_t attributeSize(std::uint32_t attrId) const;
    std::uint32_t entryCount(std::uint32_t attrId) const;
    std::size_t attributes() const { return attrs_.size(); }

    // The bytes of (attribute, index). An unknown attribute or an index at or
    // beyond its entry count raises Lumo::RangeException.
    std::span<std::uint8_t> bytes(std::uint32_t attrId, std::uint32_t index);
    std::span<std::uint8_t const> bytes(std::uint32_t attrId, std::uint32_t index) const;
    // Copies `data` in and zero-fills the rest of the attribute's size. Data
    // longer than the size raises Lumo::RangeException and writes nothing.
    void bytesIs(std::uint32_t attrId, std::uint32_t index, std::span<std::uint8_t const> data);
    // Zeroes every attribute's bytes at `index` (indices beyond an
    // attribute's entry count are skipped for that attribute).
    void reset(std::uint32_t index);

    void reloadCallbackIs(ReloadCallback cb) { reload_ = cb; }
    ReloadCallback reloadCallback() const { return reload_; }
    // Runs the reload callback for `index` (nothing when none is installed).
    void reload(unsigned index);
    // Runs it for every index below the largest entry count.
    void reloadAll();

    // Bus address of (field, index): the chunk's bus base plus the offset;
    // 0 for a chunk without bus mapping and for a field that is no attribute
    // (field 0 is never one). An index beyond the entry count raises
    // Lumo::RangeException.
    std::uint64_t addressBus(std::uint32_t field, std::uint32_t index) const;
    // What a DMA engine reads at bus address `bus`: the n bytes there, when
    // they lie inside one bus-mapped chunk of this collection; else empty.
    std::span<std::uint8_t const> busBytes(std::uint64_t bus, std::uint32_t n) const;

private:
    friend struct Detail::Attribute;
    struct Chunk {
        std::unique_ptr<std::uint8_t[]> bytes;
        std::uint64_t busBase = 0;
        bool busMapped = false;
    };
    Detail::Attribute const& attribute(std::uint32_t attrId, std::uint32_t index) const;
    Chunk& chunk(ChunkLocation const& loc, Detail::Attribute const& a, std::uint32_t index) const;
    std::uint8_t* location(Detail::Attribute const& a, std::uint32_t index) const;

    ChunkFunction chunkFunction_;
    std::map<std::uint32_t, Detail::Attribute> attrs_;  // keyed by field number
    mutable std::unordered_map<std::uint32_t, Chunk> chunks_;
    ReloadCallback reload_;
};

// Builds a collection without a map: attributes 4, 5, ... of the given sizes,
// all with `entryCount` entries, and the reload callback.
Lumo::Ptr<Collection> initializeCollection(std::uint32_t entryCount, std::span<std::uint32_t const> attributeSizes,
                                           ReloadCallback reload, ChunkFunction chunkFunction);

// What initializeCollection(map, chunkFunction) asks of the map it binds:
// members of the map type, or a specialisation of this template.
//   std::uint32_t mirrorEntryCount() const;
//   std::span<std::uint32_t const> mirrorAttributeSizes() const;  // attributes 4, 5, ... in order
//   void mirrorReload(unsigned index);                            // the reload callback
template <class Map>
struct CollectionBinding {
    static std::uint32_t entryCount(Map const& m) { return m.mirrorEntryCount(); }
    static std::span<std::uint32_t const> attributeSizes(Map const& m) { return m.mirrorAttributeSizes(); }
    static void reload(Map& m, unsigned index) { m.mirrorReload(index); }
};

template <class Map>
Lumo::Ptr<Collection> initializeCollection(Map& map, ChunkFunction chunkFunction) {
    ReloadCallback cb{[](void* ctx, unsigned index) { CollectionBinding<Map>::reload(*static_cast<Map*>(ctx), index); },
                      &map};
    return initializeCollection(CollectionBinding<Map>::entryCount(map), CollectionBinding<Map>::attributeSizes(map),
                                cb, chunkFunction);
}

}  // namespace Pell::Core::Memory::Control
