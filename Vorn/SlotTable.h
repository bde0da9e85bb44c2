#pragma once
// The slot file of a shared-memory map, and its writer.
//
//   struct SlotFile<V> {                     // little-endian, no pointers
//       SlotHeaderCommon common;             //   0: 608 bytes; the map's fields at 16 and 558..607
//       Slot spare;                          // 608: consistent copy during an overwrite,
//                                            //      working copy in direct mode
//       Slot slots[numSlots];                // headerSize + i * slotSize
//   };
//   struct Slot {                            // slotSize = sizeof(V) + 16
//       SlotLink word;                       //   0: sequence (bit 0 value, bit 1 overwrite) | link
//       u8 value[sizeof(V)];                 //   8: the value, byte for byte
//       u32 orderKey;                        //   8 + sizeof(V): bit-reversed hash of the key
//       u32 trailerPad;                      //   12 + sizeof(V)
//   };
//
// Invariants the writer keeps between operations (checked by Validator):
// every slot below numSlots is either occupied (sequence bit 0) and in
// exactly one bucket chain, or free and on the free list; occupied plus free
// equals numSlots; runtimeFlags bit 0 is clear. The file is at least
// headerSize + numSlots * slotSize bytes long; it never becomes shorter
// while it lives (a shrink releases the tail's pages instead), so a reader
// mapping an older, longer size never faults.
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <functional>
#include <memory>
#include <random>
#include <string>
#include <type_traits>

#include <unistd.h>

#include "Vorn/AttachResult.h"
#include "Lumo/Assert.h"
#include "Lumo/Exception.h"
#include "Lumo/Toggle.h"
#include "Lumo/Trace.h"
#include "Lumo/Util.h"
#include "Mem/RootPath.h"
#include "Mem/SafeCopy.h"
#include "Mem/SharedMemWrapper.h"
#include "Vorn/SlotHeaderCommon.h"
#include "Vorn/SlotLink.h"
#include "Vorn/SlotSequence.h"
#include "Vorn/TableFullException.h"

namespace Vorn {

template <class V>
struct SlotTable {
    static_assert(std::is_trivially_copyable_v<V>);
    static_assert(sizeof(V) % 8 == 0 && sizeof(V) > 0 && alignof(V) <= 8,
                  "a slot value must be a non-empty multiple of 8 bytes");

    static constexpr std::uint32_t kValueSize = sizeof(V);
    static constexpr std::uint32_t kSlotSize = sizeof(V) + 16;
    static constexpr std::uint32_t kHeaderSize = SlotHeaderCommon::kSize + kSlotSize;
    // Bytes copied together under the sequence protocol: value and trailer.
    static constexpr std::uint32_t kPayloadSize = sizeof(V) + 8;

    struct Slot {
        SlotLink word;
        alignas(8) unsigned char value[sizeof(V)];
        std::uint32_t orderKey;
        std::uint32_t trailerPad;

        void* payload() { return value; }
        void const* payload() const { return value; }
        V const* valuePtr() const { return reinterpret_cast<V const*>(value); }
        V* valuePtr() { return reinterpret_cast<V*>(value); }
    };
    static_assert(sizeof(Slot) == kSlotSize);
    static_assert(offsetof(Slot, word) == 0 && offsetof(Slot, value) == 8);
    static_assert(offsetof(Slot, orderKey) == 8 + sizeof(V));

    struct Header {
        SlotHeaderCommon common;
        Slot spare;

        // Validates a copy of the header of a file of `fileSize` bytes (a copy:
        // the file may be shorter than the header; the missing bytes are zero).
        bool validate(Lumo::Platform::DebugHandler* debug, std::size_t fileSize, std::uint32_t fenixId,
                      std::string& message) const {
            if (!common.validate(debug, SlotHeaderCommon::kSize, fileSize, fenixId, message)) return false;
            if (fileSize < kHeaderSize) {
                message = fmt::format("bad header file size: {} wanted:{}", fileSize, kHeaderSize);
                return false;
            }
            if (common.valueSize != kValueSize || common.slotSize != kSlotSize) {
                message = fmt::format("bad value size:{} slot size:{} wanted:{} and {}", common.valueSize,
                                      common.slotSize, kValueSize, kSlotSize);
                return false;
            }
            std::size_t wanted;
            try {
                wanted = Lumo::Util::fileSizeHelper(common.numSlots, kSlotSize, kHeaderSize);
            } catch (Lumo::Exception const& e) {
                message = fmt::format("bad numSlots: {} message: {}", common.numSlots, e.msg());
                return false;
            }
            if (fileSize < wanted) {
                message = fmt::format("bad shmem size:{} wanted:{} for {} slots", fileSize, wanted, common.numSlots);
                return false;
            }
            return true;
        }
        std::string toString() const {
            return fmt::format("{} spare:{:x}", common.toString(), spare.word.load(std::memory_order_relaxed));
        }
    };
    static_assert(sizeof(Header) == kHeaderSize);
    static_assert(offsetof(Header, spare) == 608);

    static std::size_t fileSize(std::uint64_t numSlots) {
        return Lumo::Util::fileSizeHelper(numSlots, kSlotSize, kHeaderSize);
    }
};

// The writer's view of the slot file: mapping, free list, growth and
// shrinking. Used only by the map's writer, from one thread.
template <class V>
class SlotWriterTable {
public:
    using Layout = SlotTable<V>;
    using Slot = typename Layout::Slot;
    using Header = typename Layout::Header;
    static constexpr int kNew = Vorn::attachNew, kExisting = Vorn::attachExisting, kInvalid = Vorn::attachInvalid;

    struct Config {
        std::uint32_t initialSlots = 100;
        std::uint32_t tableSize = 0;  // largest slot count expected; 0: initialSlots
        std::uint32_t minSlots = 1;
        std::uint32_t configSlots = 0;
        bool fixedSize = false;
        bool shrinkEnabled = true;
    };

    // The slot array with range checking on indices handed in by callers.
    class Slots {
    public:
        explicit Slots(SlotWriterTable const& t) : t_(t) {}
        Slot& operator[](std::uint32_t index) const {
            if (index >= t_.numSlots_)
                Lumo::raise<Lumo::RangeException>("SlotWriterTable::Slots index {} out of range (numSlots {})", index,
                                                  t_.numSlots_);
            return t_.slotUnchecked(index);
        }

    private:
        SlotWriterTable const& t_;
    };

    // `root` empty: process-local memory, no file.
    SlotWriterTable(Lumo::Platform::DebugHandler* debug, std::string name, Mem::RootPath root, Config config,
                    std::string typeName)
        : debug_(debug), name_(std::move(name)), root_(std::move(root)), config_(config),
          typeName_(std::move(typeName)) {
        if (config_.initialSlots == 0)
            Lumo::raise<Lumo::InvalidInitializeException>("0 is not a valid slot count for {}", name_);
        if (config_.tableSize == 0) config_.tableSize = config_.initialSlots;
        if (config_.minSlots == 0) config_.minSlots = 1;
    }

    static constexpr char const* kFileName = "slots";

    // Maps the slot file: 1 new file (header built, all slots free), 2
    // existing file (validated header, remapped to its slot count), 8 existing
    // file that failed validation (message()).
    int attach(std::uint32_t fenixId) {
        detach();
        if (root_.empty()) {
            mem_ = std::make_unique<Mem::Tracked<Mem::Local>>(name_);
        } else {
            int mode = getToggleState("FullCoreDump", "Vorn.json", true) ? Mem::coreDumpFull : Mem::coreDumpNone;
            mem_ = std::make_unique<Mem::Tracked<Mem::SharedMemWrapper>>(root_, kFileName, mode);
        }
        std::size_t fileSz = 0;
        if (auto* shared = dynamic_cast<Mem::Tracked<Mem::SharedMemWrapper>*>(mem_.get())) {
            if (!shared->open())
                Lumo::raise<Lumo::MemoryResourceException>("cannot attach to shmem {} size:{}: {}",
                                                            shared->getFilename(), 0, shared->lastError());
            fileSz = std::size_t(std::max(0LL, shared->fileSize()));
            if (fileSz != 0 && !shared->attach(0))
                Lumo::raise<Lumo::MemoryResourceException>("cannot attach to shmem {} size:{}: {}",
                                                            shared->getFilename(), fileSz, shared->lastError());
        }
        if (fileSz == 0) return attachNew(fenixId);
        return attachExisting(fenixId, fileSz);
    }

    // Puts slots [start, end) on the free list, lowest index first, ahead of
    // `then`, which must be the list's head: none (the list is empty), or the
    // first slot that an earlier step of the same growth initialised.
    void initializeSlots(std::uint32_t start, std::uint32_t end, std::uint32_t then = kLinkNone) {
        LUMO_FMASSERT(start < end, "SlotWriterTable", "bad index range, start: {} end: {}", start, end);
        LUMO_FMASSERT(header().common.freeListHead == then, "SlotWriterTable", "free-list is not empty");
        for (std::uint32_t i = end; i-- > start;) {
            Slot& s = slotUnchecked(i);
            SlotSequence::initFree(s.word, s.payload(), sizeof(V), i + 1 < end ? i + 1 : then);
        }
        setField(header().common.freeListHead, start);
    }

    // Takes the head of the free list, growing when it is empty. A map that
    // cannot grow clears the critical-section flag and raises
    // Vorn::TableFullException; the map is then unchanged.
    std::uint32_t alloc() {
        if (header().common.freeListHead == kLinkNone && !grow()) {
            clearCriticalFlag();
            Lumo::raise<TableFullException>("Vorn table full (occupancy:{} tableSize:{}) {}",
                                            header().common.occupiedSlots, config_.tableSize, root_.path());
        }
        std::uint32_t head = header().common.freeListHead;
        if (head >= numSlots_) Lumo::raise<Lumo::CorruptionDetectedException>("out-of-range index: {} max:{}", head, numSlots_);
        std::uint32_t next = nextFree(head);
        setField(header().common.freeListHead, next);
        // The next insert fills that slot: start fetching it now.
        if (next < numSlots_) {
            char const* p = reinterpret_cast<char const*>(&slotUnchecked(next));
            __builtin_prefetch(p, 1);
            __builtin_prefetch(p + sizeof(Slot) - 1, 1);
        }
        return head;
    }

    // Pushes a slot whose value was cleared on the free list.
    void pushFree(std::uint32_t index) {
        SlotSequence::relink(slotUnchecked(index).word, header().common.freeListHead);
        setField(header().common.freeListHead, index);
    }

    // Grows by 10% (single precision, rounded up); false for a fixed-size map.
    bool grow() {
        std::uint32_t occupiedNow = header().common.occupiedSlots;
        if (occupiedNow != numSlots_)
            Lumo::raise<Lumo::CorruptionDetectedException>(
                "the slot table is full but numSlots: {} and occupiedSlots: {} are not equal", numSlots_,
                occupiedNow);
        if (config_.fixedSize) return false;
        std::uint32_t old = numSlots_;
        std::uint32_t n = grownCount(old);
        if (n > kLinkIndexMask) return false;
        if (slices_) slices_(SlicePoint::begin);
        resize(n);  // may move the mapping: no header reference lives across it
        // Initialised in steps, giving way between them: the new slots are
        // not published before the end, and nobody else touches the map.
        // Last steps first, so that the list ends up in ascending order.
        for (std::uint32_t to = n; to > old;) {
            std::uint32_t from = to - old > kGrowthSliceSlots ? to - kGrowthSliceSlots : old;
            initializeSlots(from, to, to == n ? kLinkNone : to);
            to = from;
            if (slices_) slices_(to > old ? SlicePoint::step : SlicePoint::end);
        }
        auto& h = header().common;
        if (n > h.maxSlots) setField(h.maxSlots, n);
        publishSlotCount(n);
        recomputeShrinkThreshold();
        ++growCount_;
        return true;
    }

    static std::uint32_t grownCount(std::uint32_t n) {
        float f = float(n) * 1.1f;
        auto r = std::uint64_t(std::ceil(f));
        return std::uint32_t(std::max<std::uint64_t>(r, std::uint64_t(n) + 1));
    }

    // Remaps the file for `n` slots. The local slot count is the caller's to
    // update (together with the header's word pair).
    void resize(std::uint32_t n) {
        std::uint32_t old = numSlotsMapped_;
        LUMO_FMTRACE(debug_, 5, "SlotWriterTable", "{} from {} to {} slots", name_, old, n);
        if (n > config_.tableSize) LUMO_FMTRACE(debug_, 5, "SlotWriterTable", "overflowing by {} slots", n - config_.tableSize);
        std::size_t bytes = Layout::fileSize(n);
        if (n < old) {
            // Freed from the end in pieces, giving way between them: a large
            // tail takes milliseconds to give back. Punching the hole first
            // also leaves the shortened mapping nothing to unmap.
            constexpr std::size_t kReleaseBytes = std::size_t(2) << 20;
            for (std::size_t off = Layout::fileSize(old); off > bytes;) {
                off = off - bytes > kReleaseBytes ? off - kReleaseBytes : bytes;
                mem_->releaseTail(off);
                if (off > bytes && slices_) slices_(SlicePoint::step);
            }
        }
        void* oldBase = mem_->base();
        void* p = mem_->resize(bytes);
        if (!p)
            Lumo::raise<Lumo::MemoryResourceException>("failed to resize {} from {} to {} slots, needed {} bytes. Reason: {}",
                                                        name_, old, n, bytes, mem_->lastError());
        if (p != oldBase) {
            LUMO_FMTRACE(debug_, 5, "SlotWriterTable", "remap base address changed from {} to {}", oldBase, p);
            ++remapCount_;
        }
        numSlotsMapped_ = n;
        LUMO_FMTRACE(debug_, 5, "SlotWriterTable", "to {} successfully", n);
    }

    // Publishes (resize generation + 1, n) and takes n as the slot count.
    void publishSlotCount(std::uint32_t n) {
        auto& h = header().common;
        Mem::atomicStore(h.generationSlots, SlotHeaderCommon::pair(h.resizeGeneration + 1, n));
        numSlots_ = n;
    }

    std::uint32_t shrinkThreshold() const { return shrinkThreshold_; }
    void recomputeShrinkThreshold() {
        if (!config_.shrinkEnabled || config_.fixedSize || numSlots_ <= config_.minSlots) {
            shrinkThreshold_ = 0;
        } else {
            shrinkThreshold_ = 1u << (31 - __builtin_clz(numSlots_ - 1));
        }
        LUMO_FMTRACE(debug_, 5, "SlotWriterTable", "shrinkThreshold_:{}", shrinkThreshold_);
    }

    // Removes every slot at or above `target` from the free list, keeping the
    // order of the rest. The free list must not be empty, and its length plus
    // the occupied count must equal the slot count.
    void purgeFreeSlots(std::uint32_t target) {
        auto& h = header().common;
        LUMO_FMASSERT(h.freeListHead != kLinkNone, "SlotWriterTable", "free-list is empty");
        std::uint32_t length = freeListLength();
        if (length + h.occupiedSlots != numSlots_)
            Lumo::raise<Lumo::CorruptionDetectedException>(
                "numSlots mismatch, length of freeList: {}, occupiedSlots: {} do not add up to numSlots: {}", length,
                h.occupiedSlots, numSlots_);
        // Rebuild: walk the list and splice out the high slots.
        std::uint32_t prev = kLinkNone;
        std::uint32_t cur = h.freeListHead;
        std::uint32_t walked = 0;
        while (cur != kLinkNone) {
            if (++walked % kGrowthSliceSlots == 0 && slices_) slices_(SlicePoint::step);
            std::uint32_t next = nextFree(cur);
            if (cur >= target) {
                if (prev == kLinkNone)
                    setField(h.freeListHead, next);
                else
                    SlotSequence::relink(slotUnchecked(prev).word, next);
            } else {
                prev = cur;
            }
            cur = next;
        }
    }

    std::uint32_t freeListLength() const {
        std::uint32_t n = 0;
        for (std::uint32_t cur = header().common.freeListHead; cur != kLinkNone; cur = nextFree(cur)) {
            if (cur >= numSlots_) Lumo::raise<Lumo::CorruptionDetectedException>("out-of-range index: {} max:{}", cur, numSlots_);
            if (++n > numSlots_)
                Lumo::raise<Lumo::CorruptionDetectedException>("free list longer than numSlots: {}", numSlots_);
        }
        return n;
    }

    std::uint32_t nextFree(std::uint32_t index) const {
        std::uint32_t l = SlotLink::linkOf(slotUnchecked(index).word.load(std::memory_order_relaxed)) & ~kLinkMarkBit;
        return l == kLinkNone ? kLinkNone : SlotLink::indexOf(l);
    }

    // Critical-section flag (header bit 0 of runtimeFlags).
    bool criticalFlag() const { return (Mem::atomicLoad(header().common.runtimeFlags) & 1) != 0; }
    void setCriticalFlag() {
        auto& f = header().common.runtimeFlags;
        Mem::atomicStore(f, std::uint16_t(f | SlotHeaderCommon::kCriticalSectionFlag));
    }
    void clearCriticalFlag() {
        auto& f = header().common.runtimeFlags;
        Mem::atomicStore(f, std::uint16_t(f & ~SlotHeaderCommon::kCriticalSectionFlag));
    }

    // Validates the mapped header against the file as it is now.
    bool validateFile(std::uint32_t fenixId, std::string& message) const {
        if (!attached()) {
            message = "slot file not attached";
            return false;
        }
        Header copy;
        Mem::snapshotHeader(*mem_, copy);
        return copy.validate(debug_, currentFileSize(), fenixId, message);
    }

    void detach() {
        if (mem_) mem_->detach();
        numSlots_ = 0;
        numSlotsMapped_ = 0;
    }
    void cleanup() {
        detach();
        if (!root_.empty()) {
            LUMO_FMTRACE(debug_, 5, "SlotWriterTable", "removing file: {}", root_.filePath(kFileName));
            root_.removeFile(kFileName);
        }
    }

    Header& header() const { return *static_cast<Header*>(mem_->base()); }
    Slot& slotUnchecked(std::uint32_t index) const {
        return *reinterpret_cast<Slot*>(static_cast<char*>(mem_->base()) + Layout::kHeaderSize +
                                        std::size_t(index) * Layout::kSlotSize);
    }
    Slots slots() const { return Slots(*this); }
    std::uint32_t numSlots() const { return numSlots_; }
    std::uint32_t occupied() const { return header().common.occupiedSlots; }
    bool attached() const { return mem_ && mem_->attached(); }
    std::size_t currentFileSize() const {
        if (auto* shared = dynamic_cast<Mem::Tracked<Mem::SharedMemWrapper>*>(mem_.get()))
            return std::size_t(std::max(0LL, shared->fileSize()));
        return mem_ ? mem_->memSize() : 0;
    }
    Config const& config() const { return config_; }
    std::string const& message() const { return message_; }
    std::uint64_t remapCount() const { return remapCount_; }
    std::uint64_t growCount() const { return growCount_; }
    // Called at the start of a growth, between its steps and at its end, and
    // between steps of purgeFreeSlots (whose caller begins and ends the
    // slices), so that the owner can give way to other work meanwhile.
    enum class SlicePoint { begin, step, end };
    static constexpr std::uint32_t kGrowthSliceSlots = 1024;
    void slicesIs(std::function<void(SlicePoint)> f) { slices_ = std::move(f); }
    std::uint32_t instanceId() const { return instanceId_; }
    Mem::TrackedBase* memory() const { return mem_.get(); }
    std::string const& name() const { return name_; }
    Mem::RootPath const& root() const { return root_; }

    template <class T>
    static void setField(T& field, T value) {
        Mem::atomicStore(field, value);
    }

private:
    int attachNew(std::uint32_t fenixId) {
        std::uint32_t n = config_.initialSlots;
        std::size_t bytes = Layout::fileSize(n);
        if (!mem_->resize(bytes))
            Lumo::raise<Lumo::MemoryResourceException>("cannot attach to shmem {} size:{}: {}", name_, bytes,
                                                        mem_->lastError());
        std::random_device rd;
        std::uint64_t instance64 = ((std::uint64_t(rd()) << 32) | rd()) % 0x7fffffffu;
        // The magic goes in last (inside the constructor), so a file whose
        // creation was cut short fails validation.
        auto* common = new (mem_->base())
            SlotHeaderCommon(SlotHeaderCommon::kSize, 0, Layout::kValueSize, Layout::kSlotSize, n,
                             config_.configSlots, 2, fenixId, typeName_, Layout::kValueSize, instance64);
        (void)common;
        auto& h = header().common;
        instanceId_ = std::uint32_t(instance64);
        // Spare slot: link 0xbfffffff, default (zero) value, zero trailer.
        std::memset(static_cast<void*>(&header().spare), 0, sizeof(Slot));
        header().spare.word.store(SlotLink::make(0, kLinkNone));
        setField(h.freeListHead, kLinkNone);
        setField(h.instanceId, instanceId_);
        setField(h.maxSlots, n);
        numSlotsMapped_ = n;
        initializeSlots(0, n);
        publishSlotCount(n);
        Mem::atomicStore(h.resizeGeneration, 0u);
        recomputeShrinkThreshold();
        LUMO_FMTRACE(debug_, 5, "SlotWriterTable", "to new file {}", root_.empty() ? name_ : root_.path());
        return kNew;
    }

    int attachExisting(std::uint32_t fenixId, std::size_t fileSz) {
        Header copy;
        Mem::snapshotHeader(*mem_, copy);
        // The generation is checked by the writer's validation, which names
        // both ids; here only the file's own shape.
        (void)fenixId;
        if (!copy.validate(debug_, fileSz, 0, message_)) return kInvalid;
        std::uint32_t n = copy.common.numSlots;
        std::size_t bytes = Layout::fileSize(n);
        if (!mem_->resize(bytes))
            Lumo::raise<Lumo::MemoryResourceException>("failed to resize {} to size {} : {}", name_, bytes,
                                                        mem_->lastError());
        numSlots_ = n;
        numSlotsMapped_ = n;
        instanceId_ = copy.common.instanceId;
        recomputeShrinkThreshold();
        LUMO_FMTRACE(debug_, 5, "SlotWriterTable", "to existing {}", root_.path());
        return kExisting;
    }

    Lumo::Platform::DebugHandler* debug_;
    std::string name_;
    Mem::RootPath root_;
    Config config_;
    std::string typeName_;
    std::unique_ptr<Mem::TrackedBase> mem_;
    std::uint32_t numSlots_ = 0;
    std::uint32_t numSlotsMapped_ = 0;
    std::uint32_t shrinkThreshold_ = 0;
    std::uint32_t instanceId_ = 0;
    std::uint64_t remapCount_ = 0;
    std::uint64_t growCount_ = 0;
    std::function<void(SlicePoint)> slices_;
    std::string message_;
};

}  // namespace Vorn
