#pragma once
// The first 608 bytes of a shared-memory slot file. Standard layout, no
// pointers; every field lives at a fixed offset (checked below). The map's
// own fields (runtime flags at 558 through the scratchpad at 600) lie inside
// this block; the rest is written once when the file is created.
//
// A reader refuses a file whose magic or format word differ from its own, so
// files written by an incompatible build are never interpreted. The magic is
// written last when a file is created, so a file whose creation was cut short
// fails validation.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "Lumo/Trace.h"

namespace Vorn {

struct SlotHeaderCommon {
    static constexpr std::uint64_t kMagic = 0x544f4c534e524f56ull;  // "VORNSLOT"
    // Layout version 1 in the high half, the common header size in the low half.
    static constexpr std::uint32_t kFormatWord = 0x00010000u | 608u;
    static constexpr std::uint32_t kSize = 608;
    static constexpr std::uint16_t kCriticalSectionFlag = 0x1;

    std::uint64_t magic;             // 0
    std::uint32_t formatWord;        // 8
    std::uint32_t headerCommonSize;  // 12
    std::uint32_t fenixId;           // 16
    std::uint32_t reserved0;         // 20 (second constructor argument)
    std::uint32_t valueSize;         // 24
    std::uint32_t slotSize;          // 28
    std::uint32_t initialSlots;      // 32
    std::uint32_t configSlots;       // 36
    std::uint32_t kind;              // 40
    std::uint32_t valueSize2;        // 44
    std::uint64_t instanceId64;      // 48
    char typeName[256];              // 56
    std::uint8_t reserved1[246];     // 312
    std::uint16_t runtimeFlags;      // 558: bit 0 = writer inside a critical section
    std::uint32_t reserved2;         // 560
    std::uint32_t occupiedSlots;     // 564
    std::uint32_t freeListHead;      // 568
    std::uint32_t maxSlots;          // 572: largest slot count ever
    std::uint32_t instanceId;        // 576
    std::uint32_t reserved3;         // 580
    union {
        struct {
            std::uint32_t resizeGeneration;  // 584 } written together as one 64-bit word
            std::uint32_t numSlots;          // 588 }
        };
        std::uint64_t generationSlots;  // the pair, for one atomic access
    };
    std::uint32_t peakOccupancy;     // 592
    std::uint32_t reserved4;         // 596
    std::uint64_t scratchpad;        // 600

    static constexpr std::uint64_t pair(std::uint32_t resizeGeneration, std::uint32_t numSlots) {
        return (std::uint64_t(numSlots) << 32) | resizeGeneration;
    }

    // An uninitialised block, for copies taken from a file.
    SlotHeaderCommon() = default;
    // Builds the header in place (the whole block is cleared first).
    SlotHeaderCommon(std::uint32_t headerCommonSize, std::uint32_t zero, std::uint32_t valueSize,
                     std::uint32_t slotSize, std::uint32_t initialSlots, std::uint32_t configSlots,
                     std::uint32_t kind, std::uint32_t fenixId, std::string_view typeName,
                     std::uint32_t valueSize2, std::uint64_t instanceId64);

    // Validates a header copy of a file of `fileSize` bytes; `headerCommonSize`
    // is the size the caller expects (608). A non-zero `fenixId` must match.
    // Returns false and sets `message` on failure. Reads nothing beyond this
    // block, and only when fileSize covers it.
    bool validate(Lumo::Platform::DebugHandler* debug, std::uint32_t headerCommonSize, std::size_t fileSize,
                  std::uint32_t fenixId, std::string& message) const;
    std::string toString() const;
    std::string typeNameString() const;
};

static_assert(sizeof(SlotHeaderCommon) == 608);
static_assert(offsetof(SlotHeaderCommon, fenixId) == 16);
static_assert(offsetof(SlotHeaderCommon, typeName) == 56);
static_assert(offsetof(SlotHeaderCommon, runtimeFlags) == 558);
static_assert(offsetof(SlotHeaderCommon, occupiedSlots) == 564);
static_assert(offsetof(SlotHeaderCommon, freeListHead) == 568);
static_assert(offsetof(SlotHeaderCommon, maxSlots) == 572);
static_assert(offsetof(SlotHeaderCommon, instanceId) == 576);
static_assert(offsetof(SlotHeaderCommon, resizeGeneration) == 584);
static_assert(offsetof(SlotHeaderCommon, numSlots) == 588);
static_assert(offsetof(SlotHeaderCommon, peakOccupancy) == 592);
static_assert(offsetof(SlotHeaderCommon, scratchpad) == 600);

}  // namespace Vorn
