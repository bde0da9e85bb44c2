#pragma once
// A reader's view of a map's slot file (layout in SlotTable.h): mapped
// read-only, never written.
//
// The reader keeps the slot count and the resize generation it mapped for.
// The writer publishes (resize generation, slot count) as one 64-bit word
// after it has lengthened the file for a grow, and never shortens the file
// (a shrink releases the tail's pages, which then read as zeros). So:
//  - a mapping of any length the file once had stays valid (no SIGBUS);
//  - slots at or above the published count read as absent;
//  - a slot below the local count lies inside the mapping, whatever the
//    writer did since, because the local count only grows by doResize(),
//    which maps the file first.
// Every value is copied out under the slot's sequence protocol
// (SlotSequence.h); nothing returned points into the file.
//
// Used from one thread; each reader holds its own mapping.
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>

#include "Lumo/Exception.h"
#include "Lumo/Trace.h"
#include "Lumo/Util.h"
#include "Mem/RootPath.h"
#include "Mem/SafeCopy.h"
#include "Mem/SharedMemWrapper.h"
#include "Vorn/SlotSequence.h"
#include "Vorn/SlotTable.h"

namespace Vorn {

template <class V>
class SlotReaderTable {
public:
    using Layout = SlotTable<V>;
    using Slot = typename Layout::Slot;
    using Header = typename Layout::Header;
    static constexpr char const* kFileName = "slots";
    // Changed re-reads of one slot before the read says "unknown" (a writer
    // changing the slot without pause; a dead writer leaves a stable word).
    static constexpr std::uint32_t kMaxSlotRetries = 1u << 16;

    // Value and trailer of a slot, as copied out.
    struct Payload {
        alignas(8) unsigned char value[sizeof(V)];
        std::uint32_t orderKey;
        std::uint32_t trailerPad;
    };
    static_assert(sizeof(Payload) == Layout::kPayloadSize);

    SlotReaderTable(Lumo::Platform::DebugHandler* debug, std::string name, Mem::RootPath root)
        : debug_(debug), name_(std::move(name)), root_(std::move(root)) {}

    // Maps the whole file read-only. False when there is no file ("no shared
    // memory region") or it cannot be mapped ("cannot attach to shmem
    // size:{}"). The slot count stays 0 until validate() succeeds.
    bool attach() {
        detach();
        mem_ = std::make_unique<Mem::Tracked<Mem::SharedMemWrapper>>(root_, kFileName, Mem::coreDumpFull, true);
        long long size = mem_->open() ? mem_->fileSize() : -1;
        if (size <= 0) {
            LUMO_FMTRACE(debug_, 5, "SlotReaderTable", "no shared memory region");
            mem_.reset();
            return false;
        }
        if (!mem_->attach(0)) {
            LUMO_FMTRACE(debug_, 5, "SlotReaderTable", "cannot attach to shmem size:{}", size);
            mem_.reset();
            return false;
        }
        return true;
    }

    // Validates a snapshot of the header against the file and `fenixId`
    // (non-zero: must match), then takes the header's slot count. False with
    // `message` on failure.
    bool validate(std::uint32_t fenixId, std::string& message) {
        if (!attached()) {
            message = "slot file not attached";
            return false;
        }
        Header copy;
        Mem::snapshotHeader(*mem_, copy);
        long long fs = mem_->fileSize();
        std::size_t fileSize = fs < 0 ? 0 : std::size_t(fs);
        if (!copy.validate(debug_, fileSize, fenixId, message)) return false;
        std::uint64_t word = copy.common.generationSlots;
        if (!mapFor(SlotHeaderCommon::pair(std::uint32_t(word), std::uint32_t(word >> 32)), message)) return false;
        return true;
    }

    // Remaps for the slot count the header now publishes.
    void doResize() {
        std::string message;
        std::uint64_t word = headerWord();
        if (!mapFor(word, message)) Lumo::raise<Lumo::CorruptionDetectedException>("{}", message);
    }

    void detach() {
        mem_.reset();
        numSlots_ = 0;
        mappedSlots_ = 0;
        generation_ = 0;
    }

    // The header's (resize generation, slot count) word. Acquire: pairs with
    // the writer's release store in publishSlotCount(); a reader that sees a
    // grown count finds the file already long enough.
    std::uint64_t headerWord() const {
        return Mem::atomicLoad(header().common.generationSlots, std::memory_order_acquire);
    }
    // Whether the writer resized the slot table since the reader mapped it.
    bool resized() const { return std::uint32_t(headerWord()) != generation_; }

    // Copies slot `slot` under the sequence protocol; returns the slot's
    // link word of that instant, with `result` present, absent, or unknown
    // when the slot kept changing. The slot must be below the local count
    // (Lumo::RangeException otherwise).
    std::uint64_t readWord(std::uint32_t slot, Payload& out, SlotRead& result) {
        if (slot >= numSlots_)
            Lumo::raise<Lumo::RangeException>("SlotReaderTable slot {} out of range (numSlots {})", slot, numSlots_);
        Slot const& s = slotUnchecked(slot);
        std::uint32_t spare = 0;
        std::uint64_t w = SlotSequence::readWord(s.word, s.value, header().spare.value, &out, sizeof out, result, spare,
                                                 kMaxSlotRetries);
        spareReads_ += spare;
        lastSequence_ = SlotLink::seqOf(w);
        lastOffset_ = Layout::kHeaderSize + std::size_t(slot) * Layout::kSlotSize;
        return w;
    }

    // getValue(slot, value): the slot's value (when present) and its trailer.
    SlotRead getValue(std::uint32_t slot, V& value, std::uint64_t& trailer) {
        Payload p;
        SlotRead r;
        readWord(slot, p, r);
        std::memcpy(static_cast<void*>(&value), p.value, sizeof(V));
        std::memcpy(&trailer, &p.orderKey, 8);
        return r;
    }

    // The link word of a slot below the local count (relaxed snapshot).
    SlotLink const& word(std::uint32_t slot) const { return slotUnchecked(slot).word; }

    Header const& header() const { return *static_cast<Header const*>(mem_->base()); }
    std::uint32_t numSlots() const { return numSlots_; }
    std::uint32_t mappedSlots() const { return mappedSlots_; }
    std::uint32_t generation() const { return generation_; }
    bool attached() const { return mem_ && mem_->attached(); }
    std::uint64_t spareReads() const { return spareReads_; }
    std::uint64_t remaps() const { return remaps_; }
    std::uint32_t lastSequence() const { return lastSequence_; }
    std::size_t lastOffset() const { return lastOffset_; }
    std::string const& name() const { return name_; }
    std::uint64_t inode() const { return mem_ ? mem_->inode() : 0; }
    std::size_t memSize() const { return mem_ ? mem_->memSize() : 0; }
    std::size_t fileSize() const {
        long long fs = mem_ ? mem_->fileSize() : -1;
        return fs < 0 ? 0 : std::size_t(fs);
    }
    // Header fields, read atomically.
    std::uint32_t occupied() const { return Mem::atomicLoad(header().common.occupiedSlots, std::memory_order_relaxed); }
    std::uint32_t maxSlots() const { return Mem::atomicLoad(header().common.maxSlots, std::memory_order_relaxed); }
    std::uint32_t publishedSlots() const { return std::uint32_t(headerWord() >> 32); }
    std::uint64_t scratchpad() const { return Mem::atomicLoad(header().common.scratchpad, std::memory_order_relaxed); }
    std::string headerString() const {
        if (!attached()) return "slots: not attached";
        Header copy;
        Mem::snapshotHeader(*mem_, copy);
        return copy.toString();
    }

private:
    Slot const& slotUnchecked(std::uint32_t index) const {
        return *reinterpret_cast<Slot const*>(static_cast<char const*>(mem_->base()) + Layout::kHeaderSize +
                                              std::size_t(index) * Layout::kSlotSize);
    }

    // Takes the (generation, count) of `word`, mapping the file far enough.
    bool mapFor(std::uint64_t word, std::string& message) {
        std::uint32_t gen = std::uint32_t(word);
        std::uint32_t n = std::uint32_t(word >> 32);
        std::size_t wanted;
        try {
            wanted = Layout::fileSize(n);
        } catch (Lumo::Exception const& e) {
            message = fmt::format("bad newNumSlots:{} message:{}", n, e.msg());
            return false;
        }
        std::uint32_t old = numSlots_;
        if (mem_->memSize() < wanted) {
            std::size_t real = fileSize();
            if (real < wanted) {
                LUMO_FMTRACE(debug_, 5, "SlotReaderTable",
                             "requesting to map {} {} slots. Requested file resize to {} but real file size is {}",
                             name_, n, wanted, real);
                message = fmt::format("failed to resize {} from {} to {} slots, needed {} bytes. Reason: {}", name_,
                                      old, n, wanted, fmt::format("file size is {}", real));
                return false;
            }
            void const* oldBase = mem_->base();
            void* p = mem_->resize(real);
            if (!p) {
                message = fmt::format("failed to resize {} from {} to {} slots, needed {} bytes. Reason: {}", name_,
                                      old, n, wanted, mem_->lastError());
                return false;
            }
            if (p != oldBase)
                LUMO_FMTRACE(debug_, 5, "SlotReaderTable", "changed base address mapping from {} to {}", oldBase,
                             static_cast<void const*>(p));
            ++remaps_;
        }
        std::size_t usable = mem_->memSize() < Layout::kHeaderSize ? 0 : mem_->memSize() - Layout::kHeaderSize;
        mappedSlots_ = std::uint32_t(std::min<std::size_t>(usable / Layout::kSlotSize, kLinkIndexMask));
        if (n != old) LUMO_FMTRACE(debug_, 5, "SlotReaderTable", "{} from {} slots to {}", name_, old, n);
        numSlots_ = n;
        generation_ = gen;
        LUMO_FMTRACE(debug_, 5, "SlotReaderTable", "successful");
        return true;
    }

    Lumo::Platform::DebugHandler* debug_;
    std::string name_;
    Mem::RootPath root_;
    std::unique_ptr<Mem::Tracked<Mem::SharedMemWrapper>> mem_;
    std::uint32_t numSlots_ = 0;
    std::uint32_t mappedSlots_ = 0;
    std::uint32_t generation_ = 0;
    std::uint64_t spareReads_ = 0;
    std::uint64_t remaps_ = 0;
    std::uint32_t lastSequence_ = 0;
    std::size_t lastOffset_ = 0;
};

}  // namespace Vorn
