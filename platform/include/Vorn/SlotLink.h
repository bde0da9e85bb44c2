#pragma once
// The link word of the shared-memory maps, used by bucket heads and slots
// alike (8 bytes, little-endian):
//
//   struct SlotLink {
//       u32 sequence;   // low half: +4 at every change of the word
//       u32 link;       // high half: bit 31 clear: bits 0..29 = next slot index
//                       //            bit 31 set:   end of chain, bits 0..29 = the
//                       //                          bucket whose chain follows,
//                       //                          0x3fffffff = none
//                       //            bit 30: mark flag, kept by every update
//   };
//
// In a slot's own word the low two sequence bits also carry the slot's
// state: bit 0 = holds a value, bit 1 = an overwrite is in progress. The word
// is always read and written whole with one 64-bit atomic access, so a
// reader sees link and sequence of the same instant.
#include <atomic>
#include <cstdint>

namespace Vorn {

constexpr std::uint32_t kLinkEndBit = 0x80000000u;
constexpr std::uint32_t kLinkMarkBit = 0x40000000u;
constexpr std::uint32_t kLinkIndexMask = 0x3fffffffu;
// No next slot: the end of the last chain (no bucket follows), the end of
// the free list, no slot at all (an empty free list, no direct slot, an
// iteration hint that names nothing).
constexpr std::uint32_t kLinkNone = 0xbfffffffu;

struct SlotLink {
    std::uint64_t word;

    static constexpr std::uint64_t make(std::uint32_t seq, std::uint32_t link) {
        return (std::uint64_t(link) << 32) | seq;
    }
    static constexpr std::uint32_t seqOf(std::uint64_t w) { return std::uint32_t(w); }
    static constexpr std::uint32_t linkOf(std::uint64_t w) { return std::uint32_t(w >> 32); }
    static constexpr bool isSlot(std::uint32_t link) { return (link & kLinkEndBit) == 0; }
    static constexpr std::uint32_t indexOf(std::uint32_t link) { return link & kLinkIndexMask; }
    static constexpr std::uint32_t endLink(std::uint32_t bucket) { return kLinkEndBit | (bucket & kLinkIndexMask); }
    // Link value with `next` in place of the old target, the mark bit kept.
    static constexpr std::uint32_t retarget(std::uint32_t oldLink, std::uint32_t next) {
        return (next & ~kLinkMarkBit) | (oldLink & kLinkMarkBit);
    }

    std::uint64_t load(std::memory_order o = std::memory_order_acquire) const {
        return std::atomic_ref<std::uint64_t>(const_cast<std::uint64_t&>(word)).load(o);
    }
    void store(std::uint64_t w, std::memory_order o = std::memory_order_release) {
        std::atomic_ref<std::uint64_t>(word).store(w, o);
    }
};
static_assert(sizeof(SlotLink) == 8);

}  // namespace Vorn
