#pragma once
// A reader's read-only view of a map's bucket file (format in BucketFile.h).
//
// The writer publishes the bucket count together with the table's
// generation as one 64-bit word (offset 16) after the heads of a grown
// table are in place, and never shortens the file. A reader therefore takes
// one acquire load of that word, maps at least `count` heads (remapping to
// the file's current length when the table grew), and bounds-checks every
// bucket number against what it mapped. Nothing here writes to the file:
// the mapping is PROT_READ.
//
// Used from one thread (the reader's owner); several readers in one
// process each hold their own BucketReader and mapping.
#include <cstdint>
#include <memory>
#include <string>

#include "Lumo/Trace.h"
#include "Mem/SharedMemWrapper.h"
#include "VornCore/BucketFile.h"

namespace VornCore {

// Corruption errors of the reader's walks (each raises
// Lumo::CorruptionDetectedException with the reader's message).
class ReaderHashMapCommon {
public:
    [[noreturn]] static void throwHashChainCycle(std::uint64_t steps);
    [[noreturn]] static void throwOutOfRangeIndex(std::uint32_t index, std::uint32_t numSlots);
    [[noreturn]] static void throwNotOccupied(std::uint32_t slot);
    [[noreturn]] static void throwCorruptKey(std::uint32_t slot, std::uint32_t bucket, std::uint32_t count);
    [[noreturn]] static void throwBucketOutOfRange(std::uint32_t bucket, std::uint32_t count);
    [[noreturn]] static void throwBadNextBucket(std::uint32_t bucket, std::uint32_t next, std::uint32_t expected);
    [[noreturn]] static void throwBadBucketHeader(std::string const& message);
};

class BucketReader {
public:
    static constexpr char const* kFileName = "buckets";

    // One consistent (generation, count) pair of the bucket table.
    struct Shape {
        std::uint32_t generation;
        std::uint32_t count;
    };

    BucketReader(Lumo::Platform::DebugHandler* debug, Mem::RootPath root);
    ~BucketReader();
    BucketReader(BucketReader const&) = delete;
    BucketReader& operator=(BucketReader const&) = delete;

    // Maps the whole file read-only; false (message()) when it is absent,
    // empty or cannot be mapped. Does not judge the contents: validate().
    bool attach();
    // Checks magic, format, fenix id (when non-zero), a power-of-two count and
    // a file long enough for it. False with message() on failure.
    bool validate(std::uint32_t fenixId, std::string& message);
    void detach();

    // The published shape; raises Lumo::CorruptionDetectedException when the
    // count is not a power of two within the limit or lies beyond the file
    // (remapping first when the table grew).
    Shape shape();
    // Remaps when the published count exceeds the mapped heads. Returns the
    // shape now mapped.
    Shape refresh() { return shape(); }
    // The generation the reader last took a shape under.
    std::uint32_t mappedGeneration() const { return mappedGeneration_; }
    std::uint32_t mappedCount() const { return mappedCount_; }

    // Head of bucket `b`; raises the bucket range corruption error when `b`
    // is not below the mapped count.
    Vorn::SlotLink const& head(std::uint32_t b) const {
        if (b >= mappedCount_) ReaderHashMapCommon::throwBucketOutOfRange(b, mappedCount_);
        return heads_[b];
    }
    BucketFileHeader const& header() const { return *header_; }
    bool attached() const { return header_ != nullptr; }
    std::string const& message() const { return message_; }
    std::string toString() const;
    std::uint64_t remaps() const { return remaps_; }
    // Inode of the mapped file, to tell that the writer replaced the files.
    std::uint64_t inode() const { return mem_ ? mem_->inode() : 0; }

private:
    bool mapWhole();

    Lumo::Platform::DebugHandler* debug_;
    Mem::RootPath root_;
    std::unique_ptr<Mem::Tracked<Mem::SharedMemWrapper>> mem_;
    BucketFileHeader const* header_ = nullptr;
    Vorn::SlotLink const* heads_ = nullptr;
    std::uint32_t mappedCount_ = 0;  // heads the mapping covers
    std::uint32_t mappedGeneration_ = 0;
    std::uint64_t remaps_ = 0;
    std::string message_;
};

}  // namespace VornCore
