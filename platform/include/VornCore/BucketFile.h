#pragma once
// The bucket file of a shared-memory map ("buckets"): the hash index over the
// slot file.
//
//   struct BucketFile {
//       u64 magic;          //  0 "VORNBCKT"
//       u32 format;         //  8 kBucketFormat
//       u32 fenixId;        // 12 generation of the map's files
//       u32 generation;     // 16 } +1 at every grow or shrink of the table,
//       u32 count;          // 20 } written together as one 64-bit word
//       SlotLink heads[];   // 24: bucket b at 24 + 8 * b
//   };
//
// The count is a power of two. The file is never shortened (a reader may
// still map the longer table); the heads beyond the count are dead.
#include <cstddef>
#include <cstdint>
#include <string>

#include "Mem/SharedMemWrapper.h"
#include "Vorn/SlotLink.h"

namespace VornCore {

struct BucketFileHeader {
    static constexpr std::uint64_t kMagic = 0x544b43424e524f56ull;  // "VORNBCKT"
    static constexpr std::uint32_t kBucketFormat = 1;
    static constexpr std::uint32_t kMaxCount = 1u << 30;

    std::uint64_t magic;
    std::uint32_t format;
    std::uint32_t fenixId;
    union {
        struct {
            std::uint32_t generation;
            std::uint32_t count;
        };
        std::uint64_t generationCount;  // the pair, for one atomic access
    };

    static constexpr std::uint64_t pair(std::uint32_t generation, std::uint32_t count) {
        return (std::uint64_t(count) << 32) | generation;
    }
    static constexpr std::size_t fileSize(std::uint64_t count) { return 24 + 8 * count; }
};
static_assert(sizeof(BucketFileHeader) == 24);
static_assert(offsetof(BucketFileHeader, generation) == 16);
static_assert(offsetof(BucketFileHeader, count) == 20);

// Validates a header copy of a bucket file of `fileSize` bytes. Returns false
// and sets `message` on failure.
// One line naming the header's fields, for traces and dumps.
std::string describeBucketFile(Mem::TrackedBase const* mem, std::uint32_t mappedCount);

bool validateBucketHeader(BucketFileHeader const& h, std::size_t fileSize, std::uint32_t fenixId,
                          std::string& message);

class BucketWriterCommon {
public:
    [[noreturn]] static void throwOutOfRange(std::uint32_t bucket, std::uint32_t count);
};

class WriterHashMapCommon {
public:
    [[noreturn]] static void throwHashChainCycle(std::uint64_t steps);
    [[noreturn]] static void throwNotOccupied(std::uint32_t slot);
    [[noreturn]] static void throwCorruptKey(std::uint32_t slot);
    [[noreturn]] static void throwOutOfRangeIndex(std::uint32_t index, std::uint32_t max);
};

}  // namespace VornCore
