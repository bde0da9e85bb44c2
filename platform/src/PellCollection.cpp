#include <algorithm>
#include <atomic>
#include <cstring>

#include "Lumo/Exception.h"
#include "Pell/Core/Collection.h"

namespace Pell::Core::Memory::Control {

namespace {
// Bus addresses of the simulated DMA region: every mapped chunk gets its own
// kChunkBytes window, process-wide, starting above the first 2 GiB.
std::atomic<std::uint64_t> gNextBus{0x80000000ull};

ChunkLocation packed(std::uint32_t attrId, std::uint32_t index, std::uint32_t size, bool mapped) {
    std::uint32_t const perChunk = kChunkBytes / size;
    // 16 bits of chunk number per attribute: at most 65536 chunks each.
    return ChunkLocation{((attrId & 0xffffu) << 16) | (index / perChunk), (index % perChunk) * size, mapped};
}
}  // namespace

ChunkLocation packedChunks(std::uint32_t attrId, std::uint32_t index, std::uint32_t size) {
    return packed(attrId, index, size, true);
}
ChunkLocation unmappedChunks(std::uint32_t attrId, std::uint32_t index, std::uint32_t size) {
    return packed(attrId, index, size, false);
}

ChunkLocation Detail::Attribute::obtainChunkAndOffset(Collection const& c, Attribute const& a, std::uint32_t index) {
    return c.chunkFunction_(a.id, index, a.size);
}

Collection::Collection(ChunkFunction chunkFunction) : chunkFunction_(chunkFunction) {
    if (!chunkFunction_) Lumo::raise<Lumo::InvalidInitializeException>("Collection: null chunk function");
}

Collection::~Collection() = default;

void Collection::attributeIs(std::uint32_t attrId, std::uint32_t size, std::uint32_t entryCount) {
    if (attrs_.count(attrId))
        Lumo::raise<Lumo::InvalidInitializeException>("Collection: attribute {} declared twice", attrId);
    if (size == 0 || size > kChunkBytes || entryCount == 0)
        Lumo::raise<Lumo::InvalidInitializeException>("Collection: attribute {} with size {} and {} entries", attrId,
                                                      size, entryCount);
    Detail::Attribute a;
    a.id = attrId;
    a.size = size;
    a.entryCount = entryCount;
    attrs_.emplace(attrId, a);
}

std::uint32_t Collection::attributeSize(std::uint32_t attrId) const {
    auto it = attrs_.find(attrId);
    return it == attrs_.end() ? 0 : it->second.size;
}

std::uint32_t Collection::entryCount(std::uint32_t attrId) const {
    auto it = attrs_.find(attrId);
    return it == attrs_.end() ? 0 : it->second.entryCount;
}

Detail::Attribute const& Collection::attribute(std::uint32_t attrId, std::uint32_t index) const {
    auto it = attrs_.find(attrId);
    if (it == attrs_.end()) Lumo::raise<Lumo::RangeException>("Collection: no attribute {}", attrId);
    if (index >= it->second.entryCount)
        Lumo::raise<Lumo::RangeException>("Collection: index {} of attribute {} beyond its {} entries", index, attrId,
                                          it->second.entryCount);
    return it->second;
}

Collection::Chunk& Collection::chunk(ChunkLocation const& loc, Detail::Attribute const& a,
                                     std::uint32_t index) const {
    if (std::uint64_t(loc.offset) + a.size > kChunkBytes)
        Lumo::raise<Lumo::InvalidInitializeException>(
            "Collection: chunk function placed attribute {} index {} at offset {} beyond its chunk", a.id, index,
            loc.offset);
    auto [it, fresh] = chunks_.try_emplace(loc.chunk);
    Chunk& c = it->second;
    if (fresh) {
        c.bytes = std::make_unique<std::uint8_t[]>(kChunkBytes);  // value-initialised: zero
        c.busMapped = loc.busMapped;
        if (loc.busMapped) c.busBase = gNextBus.fetch_add(kChunkBytes, std::memory_order_relaxed);
    } else if (c.busMapped != loc.busMapped) {
        Lumo::raise<Lumo::InvalidInitializeException>(
            "Collection: chunk function maps chunk {} both with and without bus mapping", loc.chunk);
    }
    return c;
}

std::uint8_t* Collection::location(Detail::Attribute const& a, std::uint32_t index) const {
    ChunkLocation const loc = Detail::Attribute::obtainChunkAndOffset(*this, a, index);
    // The checks of chunk() hold for the cached chunk too: same number, same
    // mapping, and the entry lies inside it.
    if (loc.chunk == a.lastChunk && a.lastBytes && loc.busMapped == a.lastBusMapped &&
        std::uint64_t(loc.offset) + a.size <= kChunkBytes)
        return a.lastBytes + loc.offset;
    std::uint8_t* const bytes = chunk(loc, a, index).bytes.get();
    a.lastChunk = loc.chunk;
    a.lastBusMapped = loc.busMapped;
    a.lastBytes = bytes;
    return bytes + loc.offset;
}

std::span<std::uint8_t> Collection::bytes(std::uint32_t attrId, std::uint32_t index) {
    auto const& a = attribute(attrId, index);
    return {location(a, index), a.size};
}

std::span<std::uint8_t const> Collection::bytes(std::uint32_t attrId, std::uint32_t index) const {
    auto const& a = attribute(attrId, index);
    return {location(a, index), a.size};
}

void Collection::bytesIs(std::uint32_t attrId, std::uint32_t index, std::span<std::uint8_t const> data) {
    auto const& a = attribute(attrId, index);
    if (data.size() > a.size)
        Lumo::raise<Lumo::RangeException>("Collection: {} bytes for attribute {} of size {}", data.size(), attrId,
                                          a.size);
    std::uint8_t* p = location(a, index);
    if (!data.empty()) std::memcpy(p, data.data(), data.size());
    std::memset(p + data.size(), 0, a.size - data.size());
}

void Collection::reset(std::uint32_t index) {
    for (auto const& [id, a] : attrs_) {
        if (index >= a.entryCount) continue;
        std::memset(location(a, index), 0, a.size);
    }
}

void Collection::reload(unsigned index) {
    if (reload_) reload_.fn(reload_.context, index);
}

void Collection::reloadAll() {
    std::uint32_t n = 0;
    for (auto const& [id, a] : attrs_) n = std::max(n, a.entryCount);
    for (std::uint32_t i = 0; i < n; ++i) reload(i);
}

std::uint64_t Collection::addressBus(std::uint32_t field, std::uint32_t index) const {
    if (!attrs_.count(field)) return 0;
    auto const& a = attribute(field, index);
    ChunkLocation const loc = Detail::Attribute::obtainChunkAndOffset(*this, a, index);
    Chunk const& c = chunk(loc, a, index);
    return c.busMapped ? c.busBase + loc.offset : 0;
}

std::span<std::uint8_t const> Collection::busBytes(std::uint64_t bus, std::uint32_t n) const {
    for (auto const& [number, c] : chunks_) {
        if (!c.busMapped || bus < c.busBase || bus - c.busBase + n > kChunkBytes) continue;
        return {c.bytes.get() + (bus - c.busBase), n};
    }
    return {};
}

Lumo::Ptr<Collection> initializeCollection(std::uint32_t entryCount, std::span<std::uint32_t const> attributeSizes,
                                           ReloadCallback reload, ChunkFunction chunkFunction) {
    Lumo::Ptr<Collection> c(new Collection(chunkFunction));
    std::uint32_t id = kFirstAttributeId;
    for (std::uint32_t size : attributeSizes) c->attributeIs(id++, size, entryCount);
    c->reloadCallbackIs(reload);
    return c;
}

}  // namespace Pell::Core::Memory::Control
