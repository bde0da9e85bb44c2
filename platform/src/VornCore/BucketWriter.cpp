#include "VornCore/BucketWriter.h"

#include <cstring>

#include <fmt/format.h>

#include "Lumo/Exception.h"
#include "Mem/SafeCopy.h"

namespace VornCore {

std::string describeBucketFile(Mem::TrackedBase const* mem, std::uint32_t mappedCount) {
    if (!mem || !mem->attached()) return "buckets: not attached";
    BucketFileHeader copy;
    Mem::snapshotHeader(*mem, copy);
    return fmt::format("buckets magic:{:x} format:{} fenixId:{} generation:{} count:{} mapped:{}", copy.magic,
                       copy.format, copy.fenixId, copy.generation, copy.count, mappedCount);
}

bool validateBucketHeader(BucketFileHeader const& h, std::size_t fileSize, std::uint32_t fenixId,
                          std::string& message) {
    if (fileSize < sizeof(BucketFileHeader)) {
        message = fmt::format("bad bucket file size:{} wanted:{}", fileSize, sizeof(BucketFileHeader));
    } else if (h.magic != BucketFileHeader::kMagic || h.format != BucketFileHeader::kBucketFormat) {
        message = fmt::format("bad bucket file magic:{:x} format:{}", h.magic, h.format);
    } else if (fenixId != 0 && h.fenixId != fenixId) {
        message = fmt::format("mismatching bucket fenix:{}, oldFenix:{}", fenixId, h.fenixId);
    } else if (h.count == 0 || h.count > BucketFileHeader::kMaxCount || (h.count & (h.count - 1)) != 0) {
        message = fmt::format("bad bucket count:{}", h.count);
    } else if (fileSize < BucketFileHeader::fileSize(h.count)) {
        message = fmt::format("bad bucket file size:{} wanted:{} for {} buckets", fileSize,
                              BucketFileHeader::fileSize(h.count), h.count);
    } else {
        return true;
    }
    return false;
}

void BucketWriterCommon::throwOutOfRange(std::uint32_t bucket, std::uint32_t count) {
    Lumo::raise<Lumo::CorruptionDetectedException>("bucket out of range: {} count:{}", bucket, count);
}
void WriterHashMapCommon::throwHashChainCycle(std::uint64_t steps) {
    Lumo::raise<Lumo::CorruptionDetectedException>("hash chain cycle detected after {} steps", steps);
}
void WriterHashMapCommon::throwNotOccupied(std::uint32_t slot) {
    Lumo::raise<Lumo::CorruptionDetectedException>("slot {} in a hash chain is not occupied", slot);
}
void WriterHashMapCommon::throwCorruptKey(std::uint32_t slot) {
    Lumo::raise<Lumo::CorruptionDetectedException>("slot {} holds a key of another bucket", slot);
}
void WriterHashMapCommon::throwOutOfRangeIndex(std::uint32_t index, std::uint32_t max) {
    Lumo::raise<Lumo::CorruptionDetectedException>("out-of-range index: {} max:{}", index, max);
}

BucketWriterBase::BucketWriterBase(Lumo::Platform::DebugHandler* debug, Mem::RootPath root)
    : debug_(debug), root_(std::move(root)) {}

BucketWriterBase::~BucketWriterBase() = default;

int BucketWriterBase::attach(std::uint32_t fenixId, std::uint32_t initialCount) {
    if (root_.empty())
        mem_ = std::make_unique<Mem::Tracked<Mem::Local>>("buckets");
    else
        mem_ = std::make_unique<Mem::Tracked<Mem::SharedMemWrapper>>(root_, kFileName, Mem::coreDumpFull);
    long long fileSize = 0;
    if (auto* shared = dynamic_cast<Mem::Tracked<Mem::SharedMemWrapper>*>(mem_.get())) {
        if (!shared->attach(sizeof(BucketFileHeader)))
            Lumo::raise<Lumo::MemoryResourceException>("cannot attach to bucket file {}: {}",
                                                        shared->getFilename(), shared->lastError());
        fileSize = shared->fileSize();
    }
    // A file we just created (or extended from nothing) reads as zeros.
    BucketFileHeader copy;
    Mem::snapshotHeader(*mem_, copy);
    bool isNew = !mem_->attached() ||
                 (fileSize <= (long long)sizeof(BucketFileHeader) && copy.magic == 0 && copy.count == 0);
    if (isNew) {
        if (initialCount == 0 || (initialCount & (initialCount - 1)) != 0 || initialCount > BucketFileHeader::kMaxCount)
            Lumo::raise<Lumo::RangeException>("bad initial bucket count:{}", initialCount);
        resize(initialCount);
        auto* h = header();
        h->format = BucketFileHeader::kBucketFormat;
        h->fenixId = fenixId;
        for (std::uint32_t b = 0; b < initialCount; ++b)
            heads()[b].store(Vorn::SlotLink::make(0, b + 1 < initialCount ? Vorn::SlotLink::endLink(b + 1)
                                                                           : Vorn::kLinkNone));
        Mem::atomicStore(h->generationCount, BucketFileHeader::pair(0, initialCount));
        Mem::atomicStore(h->magic, BucketFileHeader::kMagic);
        LUMO_FMTRACE(debug_, 5, "BucketWriter", "to new file {} buckets:{}", root_.path(), initialCount);
        return kNew;
    }
    if (!validateBucketHeader(copy, std::size_t(fileSize), fenixId, message_)) {
        LUMO_FMTRACE(debug_, 2, "BucketWriter", "{}", message_);
        return kInvalid;
    }
    resize(copy.count);
    LUMO_FMTRACE(debug_, 5, "BucketWriter", "to existing {} buckets:{}", root_.path(), copy.count);
    return kExisting;
}

void BucketWriterBase::resize(std::uint32_t count) {
    std::size_t size = BucketFileHeader::fileSize(count);
    if (!mem_->resize(size))
        Lumo::raise<Lumo::MemoryResourceException>("failed to resize buckets of {} to {} buckets: {}", root_.path(),
                                                    count, mem_->lastError());
    mappedCount_ = count;
}

void BucketWriterBase::headerIs(std::uint32_t generation, std::uint32_t count) {
    // Pairs with a reader's acquire load of the same word: the heads written
    // before are visible once the new count is.
    Mem::atomicStore(header()->generationCount, BucketFileHeader::pair(generation, count));
}

bool BucketWriterBase::validate(std::uint32_t fenixId, std::string& message) const {
    if (!attached()) {
        message = "bucket file not attached";
        return false;
    }
    BucketFileHeader copy;
    Mem::snapshotHeader(*mem_, copy);
    std::size_t fileSize = mem_->memSize();
    if (auto* shared = dynamic_cast<Mem::Tracked<Mem::SharedMemWrapper>*>(mem_.get())) {
        auto fs = shared->fileSize();
        fileSize = fs < 0 ? 0 : std::size_t(fs);
    }
    if (!validateBucketHeader(copy, fileSize, fenixId, message)) return false;
    if (copy.count > mappedCount_) {
        message = fmt::format("bucket count:{} beyond mapped:{}", copy.count, mappedCount_);
        return false;
    }
    return true;
}

void BucketWriterBase::detach() {
    if (mem_) mem_->detach();
    mappedCount_ = 0;
}

void BucketWriterBase::cleanup() {
    detach();
    if (!root_.empty()) root_.removeFile(kFileName);
}

std::string BucketWriterBase::toString() const {
    return describeBucketFile(mem_.get(), mappedCount_);
}

}  // namespace VornCore
