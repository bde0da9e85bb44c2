#pragma once
// Writer of a map's bucket file (format in BucketFile.h). Owned by the map's
// writer; used from its thread only.
#include <cstdint>
#include <memory>
#include <string>

#include "Vorn/AttachResult.h"
#include "Lumo/Trace.h"
#include "Mem/SharedMemWrapper.h"
#include "VornCore/BucketFile.h"

namespace VornCore {

class BucketWriterBase {
public:
    static constexpr char const* kFileName = "buckets";
    // Attach results, as for the slot file: 1 new file, 2 existing file,
    // 8 existing file that failed validation.
    static constexpr int kNew = Vorn::attachNew, kExisting = Vorn::attachExisting, kInvalid = Vorn::attachInvalid;

    // `root` empty: process-local memory (the local temporary writer).
    BucketWriterBase(Lumo::Platform::DebugHandler* debug, Mem::RootPath root);
    ~BucketWriterBase();

    // Maps the file; a new file gets `initialCount` buckets whose heads are
    // `initialHead(b)`. Returns 1, 2 or 8 (message() says why).
    int attach(std::uint32_t fenixId, std::uint32_t initialCount);
    // Remaps for `count` buckets (the file grows as needed, never shrinks).
    // Raises Lumo::MemoryResourceException when the mapping fails.
    void resize(std::uint32_t count);
    // Publishes (generation, count) as one word.
    void headerIs(std::uint32_t generation, std::uint32_t count);
    bool validate(std::uint32_t fenixId, std::string& message) const;
    void detach();
    void cleanup();

    std::uint32_t count() const { return header()->count; }
    std::uint32_t generation() const { return header()->generation; }
    std::uint32_t mappedCount() const { return mappedCount_; }
    BucketFileHeader* header() const { return static_cast<BucketFileHeader*>(mem_->base()); }
    Vorn::SlotLink* heads() const {
        return reinterpret_cast<Vorn::SlotLink*>(static_cast<char*>(mem_->base()) + sizeof(BucketFileHeader));
    }
    Vorn::SlotLink& head(std::uint32_t bucket) const {
        if (bucket >= mappedCount_) BucketWriterCommon::throwOutOfRange(bucket, mappedCount_);
        return heads()[bucket];
    }
    std::string const& message() const { return message_; }
    std::string toString() const;
    bool attached() const { return mem_ && mem_->attached(); }
    Mem::TrackedBase* memory() const { return mem_.get(); }

private:
    Lumo::Platform::DebugHandler* debug_;
    Mem::RootPath root_;
    std::unique_ptr<Mem::TrackedBase> mem_;
    std::uint32_t mappedCount_ = 0;
    std::string message_;
};

template <class Link>
class BucketWriter : public BucketWriterBase {
    static_assert(sizeof(Link) == 8);

public:
    using BucketWriterBase::BucketWriterBase;
};

}  // namespace VornCore
