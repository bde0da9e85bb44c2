#include "VornCore/BucketReader.h"

#include <algorithm>

#include <fmt/format.h>

#include "Lumo/Exception.h"
#include "Mem/SafeCopy.h"

namespace VornCore {

void ReaderHashMapCommon::throwHashChainCycle(std::uint64_t steps) {
    Lumo::raise<Lumo::CorruptionDetectedException>("hash chain cycle detected after {} steps", steps);
}
void ReaderHashMapCommon::throwOutOfRangeIndex(std::uint32_t index, std::uint32_t numSlots) {
    Lumo::raise<Lumo::CorruptionDetectedException>("out-of-range index:{} numSlots:{}", index, numSlots);
}
void ReaderHashMapCommon::throwNotOccupied(std::uint32_t slot) {
    Lumo::raise<Lumo::CorruptionDetectedException>("slot {} in a hash chain is not occupied", slot);
}
void ReaderHashMapCommon::throwCorruptKey(std::uint32_t slot, std::uint32_t bucket, std::uint32_t count) {
    Lumo::raise<Lumo::CorruptionDetectedException>("slot {} holds a key of another bucket than {} of {}", slot, bucket,
                                                   count);
}
void ReaderHashMapCommon::throwBucketOutOfRange(std::uint32_t bucket, std::uint32_t count) {
    Lumo::raise<Lumo::CorruptionDetectedException>("bucket out of range: {} count:{}", bucket, count);
}
void ReaderHashMapCommon::throwBadNextBucket(std::uint32_t bucket, std::uint32_t next, std::uint32_t expected) {
    Lumo::raise<Lumo::CorruptionDetectedException>("bucket:{} ends naming bucket:{}, expected:{}", bucket, next,
                                                   expected);
}
void ReaderHashMapCommon::throwBadBucketHeader(std::string const& message) {
    Lumo::raise<Lumo::CorruptionDetectedException>("{}", message);
}

BucketReader::BucketReader(Lumo::Platform::DebugHandler* debug, Mem::RootPath root)
    : debug_(debug), root_(std::move(root)) {}

BucketReader::~BucketReader() { detach(); }

bool BucketReader::mapWhole() {
    void* p = mem_->attached() ? mem_->resize(std::size_t(std::max(0LL, mem_->fileSize()))) : mem_->attach(0);
    if (!p) {
        message_ = mem_->lastError();
        return false;
    }
    header_ = static_cast<BucketFileHeader const*>(p);
    heads_ = reinterpret_cast<Vorn::SlotLink const*>(static_cast<char const*>(p) + sizeof(BucketFileHeader));
    std::size_t size = mem_->memSize();
    std::uint64_t n = size < sizeof(BucketFileHeader) ? 0 : (size - sizeof(BucketFileHeader)) / 8;
    mappedCount_ = std::uint32_t(std::min<std::uint64_t>(n, BucketFileHeader::kMaxCount));
    return true;
}

bool BucketReader::attach() {
    detach();
    mem_ = std::make_unique<Mem::Tracked<Mem::SharedMemWrapper>>(root_, kFileName, Mem::coreDumpFull, true);
    if (!mem_->open() || !mapWhole()) {
        message_ = fmt::format("cannot attach to {}: {}", mem_->getFilename(), mem_->lastError());
        LUMO_FMTRACE(debug_, 5, "BucketReader", "{}", message_);
        mem_.reset();
        header_ = nullptr;
        return false;
    }
    if (mem_->memSize() < sizeof(BucketFileHeader)) {
        message_ = fmt::format("bad bucket file size:{} wanted:{}", mem_->memSize(), sizeof(BucketFileHeader));
        LUMO_FMTRACE(debug_, 5, "BucketReader", "{}", message_);
        detach();
        return false;
    }
    return true;
}

bool BucketReader::validate(std::uint32_t fenixId, std::string& message) {
    if (!attached()) {
        message = "bucket file not attached";
        return false;
    }
    BucketFileHeader copy;
    Mem::snapshotHeader(*mem_, copy);
    long long fs = mem_->fileSize();
    if (!validateBucketHeader(copy, fs < 0 ? 0 : std::size_t(fs), fenixId, message)) return false;
    if (copy.count > mappedCount_ && (!mapWhole() || copy.count > mappedCount_)) {
        message = fmt::format("bucket count:{} beyond mapped:{}", copy.count, mappedCount_);
        return false;
    }
    mappedGeneration_ = copy.generation;
    return true;
}

BucketReader::Shape BucketReader::shape() {
    if (!attached()) ReaderHashMapCommon::throwBadBucketHeader("bucket file not attached");
    // Acquire: pairs with the writer's release store of the word in headerIs();
    // the heads of a grown table are visible once its count is.
    std::uint64_t w = Mem::atomicLoad(header_->generationCount, std::memory_order_acquire);
    Shape s{std::uint32_t(w), std::uint32_t(w >> 32)};
    if (s.count == 0 || s.count > BucketFileHeader::kMaxCount || (s.count & (s.count - 1)) != 0)
        ReaderHashMapCommon::throwBadBucketHeader(fmt::format("bad bucket count:{}", s.count));
    if (s.count > mappedCount_) {
        LUMO_FMTRACE(debug_, 5, "BucketReader", "remapping for {} buckets, mapped {}", s.count, mappedCount_);
        if (!mapWhole() || s.count > mappedCount_)
            ReaderHashMapCommon::throwBadBucketHeader(fmt::format("bad bucket file size:{} wanted:{} for {} buckets",
                                                                  mem_->memSize(), BucketFileHeader::fileSize(s.count),
                                                                  s.count));
        ++remaps_;
    }
    mappedGeneration_ = s.generation;
    return s;
}

void BucketReader::detach() {
    mem_.reset();
    header_ = nullptr;
    heads_ = nullptr;
    mappedCount_ = 0;
}

std::string BucketReader::toString() const {
    return describeBucketFile(mem_.get(), mappedCount_);
}

}  // namespace VornCore
