#pragma once
// The writer of a shared-memory map. One process writes a map; it inserts,
// overwrites and removes values in the slot file, keeps the bucket index,
// grows and shrinks both, and announces every changed slot on the map's
// notification channel. Readers in other processes follow without locks
// (sequence protocol in SlotSequence.h, index invariants in
// VornCore/WriterHashMap.h).
//
// Crash safety: every mutation runs inside a critical section marked by bit
// 0 of the slot header's runtime flags. A writer that dies inside one
// leaves the bit set; the next writer's validation refuses such files and
// re-creates them under a new fenix id (all entries are lost, never served
// inconsistent). A writer that dies between operations leaves files that
// validate, and the next writer continues with them.
//
// Threading: a writer is used from one thread. The lock taken in
// initialize() keeps every other writer, in this or another process, out.
#include <cstdint>
#include <cstring>
#include <exception>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <type_traits>

#include <unistd.h>

#include "Lumo/Assert.h"
#include "Lumo/Exception.h"
#include "Lumo/Rdtsc.h"
#include "Lumo/Time.h"
#include "Lumo/Trace.h"
#include "Lumo/Util.h"
#include "Mem/RootPath.h"
#include "Mem/WriterLock.h"
#include "Quorl/Quorl.h"
#include "SharedMem/FenixFile.h"
#include "SharedMem/OwnerFile.h"
#include "Tapp/WriterTappSm.h"
#include "Vorn/IterHint.h"
#include "Vorn/MapDescriptor.h"
#include "Vorn/SlotSequence.h"
#include "Vorn/SlotTable.h"
#include "Vorn/Validator.h"
#include "Vorn/WriterCounters.h"
#include "VornCore/BucketWriter.h"
#include "VornCore/WriterHashMap.h"

namespace Vorn {

template <class Ops>
class VornWriter {
public:
    using Value = typename Ops::Value;
    using Key = typename Ops::Key;
    using Slots = SlotWriterTable<Value>;
    using Slot = typename Slots::Slot;
    using Layout = SlotTable<Value>;
    using HashMap = VornCore::WriterHashMap<Ops>;
    using QuiescedCallback = std::function<void(bool)>;

    // `root` empty: a local map in process memory (the temporary writer).
    VornWriter(Lumo::Platform::DebugHandler* debug, std::string name, MapDescriptor const& desc, Ops ops,
               Mem::RootPath root, QuiescedCallback quiesced = {})
        : debug_(debug), name_(std::move(name)), desc_(desc), ops_(std::move(ops)),
          root_(desc.local ? Mem::RootPath() : std::move(root)), quiesced_(std::move(quiesced)),
          slots_(debug_, name_, root_, slotConfig(desc_), ops_.typeName()), buckets_(debug_, root_),
          quorl_(debug_, root_), map_(debug_, ops_, slots_, buckets_), tapp_(&quorl_) {
        map_.criticalTaskCheckIs(desc_.criticalTaskCheck);
        // A slot growth is time-sliced like the bucket reorganisations.
        slots_.slicesIs([this](typename Slots::SlicePoint p) {
            if (p == Slots::SlicePoint::begin)
                map_.beginSlices(Lumo::Rdtsc::now());
            else if (p == Slots::SlicePoint::step)
                map_.maybeYield();
            else
                map_.endSlices();
        });
    }
    ~VornWriter() {
        if (attached_) detachQuietly();
    }
    VornWriter(VornWriter const&) = delete;
    VornWriter& operator=(VornWriter const&) = delete;

    // ---------------------------------------------------------------- lifecycle

    // Takes the writer lock, reads or draws the fenix id, attaches the files
    // and validates them; files that fail are wiped and re-created. Raises
    // Lumo::IllegalOperationException when another writer holds the map, and
    // Lumo::InvalidInitializeException when even new files fail.
    bool initialize(std::string const& event) {
        LUMO_FMASSERT(__atomic_always_lock_free(8, nullptr), "VornWriter", "Hardware does not support Atomics");
        LUMO_FMTRACE(debug_, 5, "VornWriter", "{} event:{} {}", name_, event, desc_.toString());
        // Calibrate the cycle counter now, not inside the first reorganisation.
        (void)Lumo::Rdtsc::calibrationRate();
        if (root_.empty()) {
            fenixId_ = SharedMem::FenixFile::newFenixId();
            int r = attach(fenixId_);
            LUMO_FMASSERT(r == Slots::kNew, "VornWriter", "unable to initialize local map {}: {}", name_, r);
            initialized_ = true;
            return true;
        }
        owner_ = std::make_unique<SharedMem::OwnerFile>(debug_, root_, true);
        lock_ = Mem::WriterLock::acquireWriterLock(debug_, root_, *owner_, false);
        SharedMem::FenixFile fenix(debug_, root_, true);
        if (fenix.read()) {
            fenixId_ = fenix.fenixId();
        } else {
            fenixId_ = SharedMem::FenixFile::newFenixId();
            fenix.write(fenixId_);
        }
        if (!attachAndValidate(false, *owner_, SharedMem::ShocketInfo{})) {
            if (!attachAndValidate(true, *owner_, SharedMem::ShocketInfo{})) {
                std::string m;
                if (!owner_->validate(m))
                    LUMO_FMTRACE(debug_, 2, "VornWriter", "owner file validation failed, dumping owner file string: {}",
                                 owner_->headerToString());
                Lumo::raise<Lumo::InvalidInitializeException>("failed to attach to and validate new files");
            }
        }
        {
            auto guard = owner_->lock();
            owner_->typeNameIs(ops_.typeName());
            owner_->sharedMemTypeIs(desc_.sharedMemType);
        }
        tapp_.onAttach();
        initialized_ = true;
        if (quiesced_) quiesced_(true);
        return true;
    }

    int attach() { return attach(fenixId_); }

    // Attaches the slot file, the bucket file and the channel; returns their
    // results OR-ed (1 new, 2 existing, 8 failed validation).
    int attach(std::uint32_t fenixId) {
        fenixId_ = fenixId;
        int s = slots_.attach(fenixId);
        LUMO_FMASSERT(s == Slots::kNew || s == Slots::kExisting || s == Slots::kInvalid, "VornWriter",
                      "Invalid slot attach");
        LUMO_FMTRACE(debug_, 5, "VornWriter", "slotsAttached:{}", s);
        int m = buckets_.attach(fenixId, 1);
        LUMO_FMASSERT(m == 1 || m == 2 || m == 8, "VornWriter", "Invalid map attach");
        LUMO_FMTRACE(debug_, 5, "VornWriter", "mapAttached:{}", m);
        if (m != 8) map_.countIs(buckets_.count());
        int q = quorl_.attach(fenixId);
        LUMO_FMASSERT(q == 1 || q == 2 || q == 8, "VornWriter", "Invalid quorl attach");
        LUMO_FMTRACE(debug_, 5, "VornWriter", "quorlAttached:{}", q);
        if (s != Slots::kInvalid && q != 8) quorl_.slotCapacityIs(slots_.header().common.maxSlots);
        slotAttachResult_ = s;
        attached_ = true;
        return s | m | q;
    }

    // One attempt at attaching and validating; `wipe` first removes the
    // files and starts a new generation. False (without wipe): the caller
    // retries with a wipe.
    bool attachAndValidate(bool wipe, SharedMem::OwnerFile& owner, SharedMem::ShocketInfo const& info) {
        if (wipe) {
            LUMO_FMTRACE(debug_, 2, "VornWriter", "all entries from {} will be lost", root_.path());
            {
                auto guard = owner.lock();
                if (!owner.validate()) owner.reformat();
                owner.wipedIs(true);
            }
            quorl_.cleanup();
            slots_.cleanup();
            buckets_.cleanup();
            fenixId_ = SharedMem::FenixFile::newFenixId();
            SharedMem::FenixFile(debug_, root_, true).write(fenixId_);
        }
        int r = attach(fenixId_);
        if ((r & 8) == 0) {
            if (validate(fenixId_, false)) {
                SharedMem::ShocketInfo mine = info.empty()
                                                  ? SharedMem::ShocketInfo{std::uint32_t(::getpid()), quorl_.shocketName()}
                                                  : info;
                std::string m;
                {
                    auto guard = owner.lock();
                    if (!owner.validate()) owner.reformat();
                    owner.shocketInfoIs(mine);
                }
                LUMO_FMASSERT(owner.validate(m), "VornWriter", "wrote to owner file but validation failed: {}", m);
                if (wipe) LUMO_FMTRACE(debug_, 2, "VornWriter", "re-formatted successfully");
                return true;
            }
            if (wipe) Lumo::raise<Lumo::CorruptionDetectedException>("failed validation");
            LUMO_FMTRACE(debug_, 2, "VornWriter", "failed to validate existing files");
            LUMO_FMTRACE(debug_, 2, "VornWriter", "{}", dumpHeaders());
            LUMO_FMTRACE(debug_, 2, "VornWriter", "owner file: {}", owner.headerToString());
            return false;
        }
        if (wipe) LUMO_FMFAIL("VornWriter", "expected successful attach post-wipe");
        lastMessage_ = fmt::format("Vorn {} attach failed: {} {}", name_, slots_.message(), buckets_.message());
        LUMO_FMTRACE(debug_, 2, "VornWriter", "failed to attach to existing files");
        LUMO_FMTRACE(debug_, 2, "VornWriter", "{} {}", lastMessage_, quorl_.message());
        LUMO_FMTRACE(debug_, 2, "VornWriter", "owner file: {}", owner.headerToString());
        return false;
    }

    // Full validation of the attached files against `fenixId`. On failure
    // message() is "Vorn {name} validation failed: {reason}".
    bool validate(std::uint32_t fenixId, bool checkOwner) {
        std::string why;
        bool ok = false;
        try {
            ok = doValidate(fenixId, why);
        } catch (Lumo::Exception const& e) {
            why = e.msg();
        }
        if (ok && checkOwner && owner_ && !owner_->validate(why)) ok = false;
        if (!ok) {
            lastMessage_ = fmt::format("Vorn {} validation failed: {}", name_, why);
            LUMO_FMTRACE(debug_, 2, "VornWriter", "{}", lastMessage_);
        }
        return ok;
    }
    bool validate() { return validate(fenixId_, false); }
    bool validateFiles() { return validate(fenixId_, true); }

    void detach(bool force = false) {
        (void)force;
        LUMO_FMASSERT(!(directSlot_ != kInvalidSlot && directNew_), "VornWriter",
                      "unbalanced directSlot:{} containing value:{} - Make sure the DirectIs/Commit are properly paired!",
                      directSlot_, directKey_);
        detachQuietly();
    }

    // Removes every file of the map (and its directory when empty).
    void cleanup() {
        LUMO_FMTRACE(debug_, 5, "VornWriter", "removing Vorn files in {}", root_.path());
        if (!root_.empty()) {
            SharedMem::OwnerFile owner(debug_, root_, false);
            std::string m;
            if (owner.exists() && !owner.validate(m))
                LUMO_FMTRACE(debug_, 2, "VornWriter",
                             "owner file corruption detected but continuing with cleanup, dumped owner file: {}",
                             owner.headerToString());
        }
        tapp_.onDetach();
        quorl_.cleanup();
        slots_.cleanup();
        buckets_.cleanup();
        if (!root_.empty()) {
            root_.removeFile(SharedMem::FenixFile::kFileName);
            root_.removeFile(SharedMem::OwnerFile::kFileName);
            root_.removeFile("writer.lock");
            ::rmdir(root_.path().c_str());
        }
        owner_.reset();
        lock_.reset();
        attached_ = initialized_ = false;
    }

    // ---------------------------------------------------------------- operations

    // Inserts `value`, or overwrites the stored value of its key when
    // `overwrite`; returns the stored value. Raises TableFullException when a
    // fixed-size map is full (the map unchanged) and
    // Lumo::CorruptionDetectedException on a damaged index.
    Value const* write(Value const& value, bool overwrite) {
        Key key = Ops::keyOf(value);
        std::uint32_t hash = ops_.hash(key);
        LUMO_FMASSERT(directSlot_ == kInvalidSlot, "VornWriter",
                      "unbalanced directSlot:{} containing value:{} when writing value:{} - Make sure the "
                      "DirectIs/Commit are properly paired!",
                      directSlot_, directKey_, key);
        return critical([&]() -> Value const* {
            auto f = map_.find(key, hash);
            if (f.found) {
                Slot& s = slots_.slotUnchecked(f.curr);
                LUMO_FMTRACE(debug_, 5, "VornWriter", "existing {} bucket:{} slot:{} next:{}", key, f.bucket, f.curr,
                             SlotLink::linkOf(s.word.load(std::memory_order_relaxed)));
                if (!overwrite) return s.valuePtr();
                fill(s, value, f.order);
                quorl_.notify(f.curr, 0);
                return slots_.slotUnchecked(f.curr).valuePtr();
            }
            std::uint32_t idx = allocSlot();
            Slot& s = slots_.slotUnchecked(idx);
            SlotSequence::relink(s.word, SlotLink::linkOf(map_.link(f.prev).load(std::memory_order_relaxed)));
            fill(s, value, f.order);
            SlotSequence::relink(map_.link(f.prev), idx);
            LUMO_FMTRACE(debug_, 5, "VornWriter", "new {} bucket:{} slot:{} next:{}", key, f.bucket, idx,
                         SlotLink::linkOf(s.word.load(std::memory_order_relaxed)));
            if (members() > map_.growThreshold()) growBuckets();
            quorl_.notify(idx, 0);
            return slots_.slotUnchecked(idx).valuePtr();
        });
    }

    // Removes `key`, copying its value to `out`; false when absent (nothing
    // touched, not even the header flags).
    bool remove(Key key, Value& out) {
        std::uint32_t hash = ops_.hash(key);
        LUMO_FMASSERT(directSlot_ == kInvalidSlot, "VornWriter",
                      "unbalanced directSlot:{} containing value:{} when removing key:{} - Make sure the "
                      "DirectIs/Commit are properly paired!",
                      directSlot_, directKey_, key);
        auto f = map_.find(key, hash);
        if (!f.found) return false;
        critical([&] {
            std::uint32_t idx = f.curr;
            Slot& s = slots_.slotUnchecked(idx);
            std::memcpy(static_cast<void*>(&out), s.value, sizeof(Value));
            std::uint64_t w = s.word.load(std::memory_order_relaxed);
            SlotSequence::relink(map_.link(f.prev), SlotLink::linkOf(w));
            // Unlinked first, then freed: a reader that reached the slot through
            // the old link sees that link's sequence move and restarts.
            auto& h = slots_.header().common;
            s.word.store(SlotLink::make((SlotLink::seqOf(w) & ~3u) + kSeqStep, SlotLink::retarget(SlotLink::linkOf(w), h.freeListHead)));
            Slots::setField(h.freeListHead, idx);
            Slots::setField(h.occupiedSlots, h.occupiedSlots - 1);
            ++counters_.removes;
            std::uint32_t threshold = slots_.shrinkThreshold();
            std::uint32_t request = h.occupiedSlots < threshold / 2 ? threshold : 0;
            quorl_.notify(idx, 0);
            LUMO_FMTRACE(debug_, 5, "VornWriter", "{} bucket:{} slot:{}", key, f.bucket, idx);
            doMaybeShrinkSlots(request);
            if (desc_.shrinkBuckets && members() < map_.shrinkThreshold()) shrinkBuckets();
        });
        return true;
    }

    // Direct mode: returns a value the caller edits in place until
    // directCommit(). For an existing key that is a copy in the spare slot
    // (readers keep seeing the old value); for a new key it is the new,
    // not yet linked slot, pre-filled with `value`. The key must not change.
    Value* directWrite(Value const& value) {
        Key key = Ops::keyOf(value);
        LUMO_FMASSERT(directSlot_ == kInvalidSlot, "VornWriter",
                      "unbalanced directSlot:{} containing value:{} when modifying key:{} - Make sure the "
                      "DirectIs/Commit are properly paired!",
                      directSlot_, directKey_, key);
        std::uint32_t hash = ops_.hash(key);
        enterCritical();  // held until directCommit()
        auto f = map_.find(key, hash);
        std::uint32_t idx;
        if (f.found) {
            idx = f.curr;
            directNew_ = false;
        } else {
            idx = allocSlot();
            Mem::atomicStore(slots_.slotUnchecked(idx).orderKey, f.order);
            directNew_ = true;
            directPrev_ = f.prev;
        }
        ++counters_.directWrites;
        Slot& s = slots_.slotUnchecked(idx);
        Value* result;
        if (SlotLink::seqOf(s.word.load(std::memory_order_relaxed)) & kSeqOccupied) {
            Slot& spare = slots_.header().spare;
            Mem::threadFence(std::memory_order_release);  // (W0) of SlotSequence
            Mem::wordCopy(spare.payload(), s.payload(), Layout::kPayloadSize);
            result = spare.valuePtr();
        } else {
            Mem::wordCopy(s.value, &value, sizeof(Value));
            result = s.valuePtr();
        }
        LUMO_FMTRACE(debug_, 5, "VornWriter", "{}{} bucket:{} slot:{} next:{}", key, directNew_ ? " new " : " existing ",
                     f.bucket, idx, SlotLink::linkOf(s.word.load(std::memory_order_relaxed)));
        directSlot_ = idx;
        directKey_ = key;
        return result;
    }

    void directCommit() {
        LUMO_FMTRACE(debug_, 5, "VornWriter", "slot: {}", directSlot_);
        LUMO_FMASSERT(directSlot_ != kInvalidSlot, "VornWriter",
                      "not in direct mode! Make sure the DirectIs/Commit are properly paired!");
        std::uint32_t idx = directSlot_;
        Slot& s = slots_.slotUnchecked(idx);
        Slot& spare = slots_.header().spare;
        std::uint64_t w = s.word.load(std::memory_order_relaxed);
        bool hadValue = SlotLink::seqOf(w) & kSeqOccupied;
        LUMO_FMASSERT(Ops::keyAt(hadValue ? spare.value : s.value) == directKey_, "VornWriter",
                      "direct write changed the key of slot:{} from {}", idx, directKey_);
        if (directNew_) {
            SlotSequence::relink(s.word, SlotLink::linkOf(map_.link(directPrev_).load(std::memory_order_relaxed)));
            w = s.word.load(std::memory_order_relaxed);
        }
        ++counters_.directCommits;
        if (!hadValue) {
            s.word.store(SlotLink::make((SlotLink::seqOf(w) + kSeqStep) | kSeqOccupied, SlotLink::linkOf(w)));
        } else {
            // Readers that see bit 1 read the spare, which already holds the
            // new value; the slot then takes it over.
            Mem::atomicStore(spare.orderKey, s.orderKey);
            s.word.store(SlotLink::make(SlotLink::seqOf(w) + kSeqOverwrite, SlotLink::linkOf(w)));
            Mem::threadFence(std::memory_order_release);  // (W2) of SlotSequence
            Mem::wordCopy(s.payload(), spare.payload(), Layout::kPayloadSize);
            s.word.store(SlotLink::make((SlotLink::seqOf(w) + kSeqStep) | kSeqOccupied, SlotLink::linkOf(w)));
        }
        directSlot_ = kInvalidSlot;
        if (directNew_) {
            SlotSequence::relink(map_.link(directPrev_), idx);
            if (members() > map_.growThreshold()) growBuckets();
        }
        directNew_ = false;
        quorl_.notify(idx, 0);
        leaveCritical();
    }

    // The stored value of `key` or null. The pointer stays valid until the
    // next mutation of the map.
    Value const* lookup(Key key, bool& found, IterHint& hint) const {
        auto f = map_.find(key, ops_.hash(key));
        found = f.found;
        if (!f.found) {
            LUMO_FMTRACE(debug_, 5, "VornWriter", "{} not found bucket:{}", key, f.bucket);
            hint.reset();
            return nullptr;
        }
        Slot& s = slots_.slotUnchecked(f.curr);
        hint = IterHint{SlotLink::seqOf(s.word.load(std::memory_order_relaxed)), f.curr, f.bucket};
        LUMO_FMTRACE(debug_, 5, "VornWriter", "{} found bucket:{} slotId:{}", key, f.bucket, f.curr);
        return s.valuePtr();
    }
    Value const* lookup(Key key) const {
        bool found;
        IterHint hint;
        return lookup(key, found, hint);
    }

    // Iteration in chain order, buckets taken in the order their end links
    // name (bit-reversed bucket order: ascending order key overall).
    bool first(Value& out, IterHint& hint) const {
        std::uint32_t l = SlotLink::linkOf(buckets_.head(0).load(std::memory_order_relaxed));
        if (advance(l, 0, out, hint)) return true;
        LUMO_FMTRACE(debug_, 5, "VornWriter", "none found!");
        return false;
    }

    bool next(Key key, Value& out, IterHint& hint) const {
        if (hint.valid() && hint.slot < slots_.numSlots()) {
            Slot& s = slots_.slotUnchecked(hint.slot);
            std::uint64_t w = s.word.load(std::memory_order_relaxed);
            // The key's bucket now, not the hint's: the table may have grown
            // or shrunk since, leaving the slot's link word as it was.
            if (SlotLink::seqOf(w) == hint.sequence && (hint.sequence & kSeqOccupied) && Ops::keyAt(s.value) == key)
                return advance(SlotLink::linkOf(w), ops_.hash(key) & (map_.count() - 1), out, hint);
        }
        auto f = map_.find(key, ops_.hash(key));
        std::uint32_t l = f.stopLink;
        if (f.found) {
            l = SlotLink::linkOf(slots_.slotUnchecked(f.curr).word.load(std::memory_order_relaxed));
            LUMO_FMTRACE(debug_, 5, "VornWriter", "{} comparing slot {} {}", key, f.curr, "found");
        }
        bool ok = advance(l, f.bucket, out, hint);
        LUMO_FMTRACE(debug_, 5, "VornWriter", "{} next slotId {} success {}", key, hint.slot, ok);
        return ok;
    }

    // Mark-and-sweep support on the link's bit 30: op 0 reads the mark, op 2
    // sets it, any other op clears it (a change adds 4 to the sequence).
    bool markAndSweepFlag(Key key, int op) {
        auto f = map_.find(key, ops_.hash(key));
        if (!f.found) return false;
        Slot& s = slots_.slotUnchecked(f.curr);
        std::uint64_t w = s.word.load(std::memory_order_relaxed);
        std::uint32_t l = SlotLink::linkOf(w);
        if (op == 0) return (l & kLinkMarkBit) != 0;
        l = op == 2 ? (l | kLinkMarkBit) : (l & ~kLinkMarkBit);
        critical([&] { s.word.store(SlotLink::make(SlotLink::seqOf(w) + kSeqStep, l)); });
        return true;
    }

    // Compacts the slot file now, as a removal would when below the threshold.
    void shrink() {
        std::uint32_t threshold = slots_.shrinkThreshold();
        if (threshold == 0 || shrinkTarget() >= slots_.numSlots()) return;
        critical([&] { doMaybeShrinkSlots(threshold); });
    }

    void handleQuiesced(bool q) {
        if (quiesced_) quiesced_(q);
    }

    // ---------------------------------------------------------------- accessors

    std::uint32_t members() const { return slots_.header().common.occupiedSlots; }
    std::uint32_t buckets() const { return map_.count(); }
    std::uint32_t capacity() const { return slots_.numSlots(); }
    std::uint32_t minSize() const { return minSizeFor(desc_); }
    std::uint32_t maxSize() const { return slots_.config().tableSize; }
    std::uint64_t sequence(int priority = 0) const {
        (void)priority;
        return quorl_.sequence();
    }
    std::uint32_t fenixId() const { return fenixId_; }
    int mountStatus() const { return initialized_ ? 1 : 0; }
    bool quiesced() const { return true; }
    std::uint64_t scratchpad() const { return Mem::atomicLoad(slots_.header().common.scratchpad); }
    void scratchpadIs(std::uint64_t v) { Mem::atomicStore(slots_.header().common.scratchpad, v); }
    Mem::RootPath const& rootPath() const { return root_; }
    std::string const& vornName() const { return name_; }
    bool criticalTaskCheck() const { return map_.criticalTaskCheck(); }
    void criticalTaskCheckIs(bool on) { map_.criticalTaskCheckIs(on); }
    void dumpToCoreIs(int kind) {
        if (auto* m = slots_.memory()) m->dumpToCoreIs(kind);
    }
    std::string const& message() const { return lastMessage_; }
    bool initialized() const { return initialized_; }
    int slotAttachResult() const { return slotAttachResult_; }

    WriterCounters counters() const {
        WriterCounters c = counters_;
        c.grows = slots_.growCount();
        c.remaps = slots_.remapCount();
        double rate = double(Lumo::Rdtsc::calibrationRate());
        c.longestBucketGrowSeconds = double(map_.timing().longestGrowCycles) / rate;
        c.longestBucketShrinkSeconds = double(map_.timing().longestShrinkCycles) / rate;
        c.longestSlotShrinkSeconds = double(longestSlotShrinkCycles_) / rate;
        c.longestSliceSeconds = double(map_.timing().longestSliceCycles) / rate;
        return c;
    }

    std::string dumpHeaders() const {
        std::string s = slots_.attached() ? slots_.header().toString() : std::string("slots: not attached");
        return fmt::format("{} | {} | {}", s, buckets_.toString(), quorl_.toString());
    }

    // For tests and tools: the parts.
    Slots const& slotTable() const { return slots_; }
    VornCore::BucketWriter<SlotLink> const& bucketWriter() const { return buckets_; }
    Quorl::QuorlWriter const& quorl() const { return quorl_; }
    Ops const& ops() const { return ops_; }

    static std::uint32_t minSizeFor(MapDescriptor const& d) {
        if (d.fixedSize) return d.initialSize;
        long page = ::sysconf(_SC_PAGESIZE);
        std::uint32_t q = std::uint32_t(std::max<long>(0, page - long(Layout::kHeaderSize)) / Layout::kSlotSize);
        if (q == 0) return 1;
        return 1u << (31 - __builtin_clz(q));
    }

private:
    // Runs `f` inside the critical section. The flag is cleared only when `f`
    // returns: when an exception propagates it stays set, the files are then
    // suspect, and the next writer's validation says so.
    template <class F>
    decltype(auto) critical(F&& f) {
        enterCritical();
        if constexpr (std::is_void_v<decltype(f())>) {
            f();
            leaveCritical();
        } else {
            decltype(auto) r = f();
            leaveCritical();
            return r;
        }
    }

    static typename Slots::Config slotConfig(MapDescriptor const& d) {
        typename Slots::Config c;
        c.initialSlots = d.initialSize;
        c.tableSize = d.tableSize ? d.tableSize : d.initialSize;
        c.minSlots = minSizeFor(d);
        c.configSlots = d.configSlots;
        c.fixedSize = d.fixedSize;
        c.shrinkEnabled = d.shrinkSlots;
        return c;
    }

    void enterCritical() {
        LUMO_FMASSERT(!slots_.criticalFlag(), "VornWriter", "Vorn reentrancy detected: {}", root_.path());
        slots_.setCriticalFlag();
    }
    void leaveCritical() { slots_.clearCriticalFlag(); }

    // Write step 5: the new value and its order key into the slot.
    void fill(Slot& s, Value const& value, std::uint32_t order) {
        // The trailer: the order key in its first four bytes, then zero.
        std::uint32_t const words[2] = {order, 0};
        std::uint64_t trailer;
        std::memcpy(&trailer, words, 8);
        Slot& spare = slots_.header().spare;
        if constexpr (alignof(Value) >= 8) {
            SlotSequence::overwrite(s.word, s.payload(), spare.payload(), &value, sizeof(Value), trailer);
        } else {
            // Word copies need 8-aligned source words.
            alignas(8) unsigned char bytes[sizeof(Value)];
            std::memcpy(bytes, &value, sizeof(Value));
            SlotSequence::overwrite(s.word, s.payload(), spare.payload(), bytes, sizeof(Value), trailer);
        }
    }

    // Takes a free slot for a new key (grows the slot table when needed; a
    // find result names links by position, so a remap is harmless to it).
    std::uint32_t allocSlot() {
        std::uint32_t idx = slots_.alloc();
        auto& h = slots_.header().common;
        Slots::setField(h.occupiedSlots, h.occupiedSlots + 1);
        if (h.occupiedSlots > h.peakOccupancy) Slots::setField(h.peakOccupancy, h.occupiedSlots);
        if (h.maxSlots > quorl_.slotCapacity()) quorl_.slotCapacityIs(h.maxSlots);
        ++counters_.inserts;
        return idx;
    }

    void growBuckets() {
        map_.growBuckets();
        ++counters_.bucketGrows;
        counters_.lastResizeTime = Lumo::time();
    }
    void shrinkBuckets() {
        map_.shrinkBuckets();
        ++counters_.bucketShrinks;
        counters_.lastResizeTime = Lumo::time();
    }

    std::uint32_t shrinkTarget() const {
        std::uint32_t occ = members();
        std::uint32_t target = occ == 0 ? 0 : 4u * (1u << (31 - __builtin_clz(occ)));
        return std::max(target, minSize());
    }

    // Compacts occupied slots into [0, target) and shortens the slot table.
    void doMaybeShrinkSlots(std::uint32_t threshold) {
        if (threshold == 0) return;
        std::uint32_t target = shrinkTarget();
        LUMO_FMTRACE(debug_, 5, "VornWriter", "threshold:{} shrinkThreshold:{}{}", target, threshold,
                     target < threshold ? " SUPER SHRINK!" : "");
        std::uint32_t numSlots = slots_.numSlots();
        LUMO_FMASSERT(target < numSlots, "VornWriter", "bad threshold: {} numSlots:{}", target, numSlots);
        std::uint64_t start = Lumo::Rdtsc::now();
        map_.beginSlices(start);
        slots_.purgeFreeSlots(target);
        auto& h = slots_.header().common;
        for (std::uint32_t from = numSlots; from-- > target;) {
            Slot& s = slots_.slotUnchecked(from);
            std::uint64_t sw = s.word.load(std::memory_order_relaxed);
            if (!(SlotLink::seqOf(sw) & kSeqOccupied)) {
                LUMO_FMTRACE(debug_, 5, "VornWriter", "skipping not occupied slot:{}", from);
                continue;
            }
            Key key = Ops::keyAt(s.value);
            auto f = map_.find(key, ops_.hash(key));
            LUMO_FMASSERT(f.found, "VornWriter", "fromSlot:{} key not found", from);
            LUMO_FMASSERT(f.curr == from, "VornWriter", "fromSlot:{} not referenced", from);
            std::uint32_t to = h.freeListHead;
            LUMO_FMASSERT(to != kInvalidSlot && to < numSlots, "VornWriter", "not valid toSlotId:{}", to);
            LUMO_FMASSERT(to < from, "VornWriter", "should always move entries to lower section fromSlotId:{} toSlotId:{}",
                          from, to);
            Slots::setField(h.freeListHead, slots_.nextFree(to));
            Slot& t = slots_.slotUnchecked(to);
            Mem::wordCopy(t.payload(), s.payload(), Layout::kPayloadSize);
            std::uint64_t tw = t.word.load(std::memory_order_relaxed);
            // Release: the copied value is visible before bit 0 shows.
            t.word.store(SlotLink::make(((SlotLink::seqOf(tw) & ~3u) + kSeqStep) | kSeqOccupied, SlotLink::linkOf(sw)));
            LUMO_FMTRACE(debug_, 5, "VornWriter", "fromSlotId:{} toSlotId:{}", from, to);
            LUMO_FMTRACE(debug_, 5, "VornWriter", "moving fromSlot:{} toSlot:{}", from, to);
            SlotSequence::relink(map_.link(f.prev), to);
            quorl_.notify(to, 0);
            s.word.store(SlotLink::make((SlotLink::seqOf(sw) & ~3u) + kSeqStep, SlotLink::linkOf(sw)));
            quorl_.notify(from, 0);
            map_.maybeYield();
        }
        slots_.publishSlotCount(target);
        slots_.resize(target);
        slots_.recomputeShrinkThreshold();
        ++counters_.shrinks;
        counters_.lastResizeTime = Lumo::time();
        map_.endSlices();
        longestSlotShrinkCycles_ = std::max(longestSlotShrinkCycles_, Lumo::Rdtsc::now() - start);
        LUMO_FMTRACE(debug_, 5, "VornWriter", "newNumSlots:{}", target);
        LUMO_FMTRACE(debug_, 5, "VornWriter", "at threshold:{} done", threshold);
    }

    // Produces the first value at or after link `l` of bucket `bucket`,
    // crossing to the buckets that end links name.
    bool advance(std::uint32_t l, std::uint32_t bucket, Value& out, IterHint& hint) const {
        std::uint32_t numSlots = slots_.numSlots();
        std::uint64_t steps = 0;
        while (!SlotLink::isSlot(l)) {
            std::uint32_t nb = SlotLink::indexOf(l);
            if (nb == kLinkIndexMask) {
                hint.reset();
                return false;
            }
            verifyNextBucket(bucket, nb);
            LUMO_FMTRACE(debug_, 5, "VornWriter", "{} next bucket {}", bucket, nb);
            bucket = nb;
            l = SlotLink::linkOf(buckets_.head(bucket).load(std::memory_order_relaxed));
            if (++steps > map_.count()) VornCore::WriterHashMapCommon::throwHashChainCycle(steps);
        }
        std::uint32_t idx = SlotLink::indexOf(l);
        if (idx >= numSlots) VornCore::WriterHashMapCommon::throwOutOfRangeIndex(idx, numSlots);
        Slot& s = slots_.slotUnchecked(idx);
        std::memcpy(static_cast<void*>(&out), s.value, sizeof(Value));
        hint = IterHint{SlotLink::seqOf(s.word.load(std::memory_order_relaxed)), idx, bucket};
        return true;
    }

    void verifyNextBucket(std::uint32_t bucket, std::uint32_t next) const {
        std::uint32_t expected = VornCore::nextBucketInOrder(bucket, map_.count());
        if (next != expected)
            Lumo::raise<Lumo::CorruptionDetectedException>("bucket:{} ends naming bucket:{}, expected:{}", bucket, next,
                                                           expected);
    }

    bool doValidate(std::uint32_t fenixId, std::string& why) {
        if (!buckets_.validate(fenixId, why)) return false;
        if (!slots_.attached()) {
            why = "slot file not attached";
            return false;
        }
        auto const& h = slots_.header().common;
        std::uint16_t flags = Mem::atomicLoad(h.runtimeFlags);
        if (flags & SlotHeaderCommon::kCriticalSectionFlag) {
            why = fmt::format("bad critical section runtimeFlags:{:x}", flags);
            return false;
        }
        if (h.fenixId != fenixId) {
            why = fmt::format("mismatching fenix:{}, oldFenix:{}", fenixId, h.fenixId);
            return false;
        }
        if (desc_.fixedSize && h.numSlots != desc_.initialSize) {
            why = fmt::format("wanted capacity:{} for fixed-size table, but existing file has capacity:{}",
                              desc_.initialSize, h.numSlots);
            return false;
        }
        if (!slots_.validateFile(fenixId, why)) return false;
        if (h.numSlots != slots_.numSlots() || h.maxSlots < h.numSlots || h.occupiedSlots > h.numSlots) {
            why = fmt::format("inconsistent header numSlots:{} mapped:{} maxSlots:{} occupied:{}", h.numSlots,
                              slots_.numSlots(), h.maxSlots, h.occupiedSlots);
            return false;
        }
        if (buckets_.count() != map_.count()) {
            why = fmt::format("bucket count:{} but writer uses:{}", buckets_.count(), map_.count());
            return false;
        }
        if (!quorl_.validate(fenixId, h.maxSlots, why)) return false;

        std::uint32_t numSlots = slots_.numSlots();
        Validator v(numSlots);
        std::uint32_t n = map_.count();
        LUMO_FMTRACE(debug_, 5, "Validator", "starting");
        for (std::uint32_t b = 0; b < n; ++b) {
            std::uint32_t l = SlotLink::linkOf(buckets_.head(b).load(std::memory_order_relaxed));
            bool havePrev = false;
            std::uint32_t prevOrder = 0;
            Key prevKey{};
            while (SlotLink::isSlot(l)) {
                std::uint32_t idx = SlotLink::indexOf(l);
                if (!v.markOccupied(idx, why)) return false;
                if (v.occupied() > h.occupiedSlots) {
                    why = fmt::format("visited more values than occupiedSlots:{}", h.occupiedSlots);
                    return false;
                }
                Slot const& s = slots_.slotUnchecked(idx);
                std::uint64_t w = s.word.load(std::memory_order_relaxed);
                if ((SlotLink::seqOf(w) & 3u) != kSeqOccupied) {
                    why = fmt::format("slot:{} in bucket:{} has sequence:{:x}", idx, b, SlotLink::seqOf(w));
                    return false;
                }
                Key k = Ops::keyAt(s.value);
                std::uint32_t hash = ops_.hash(k);
                if ((hash & (n - 1)) != b || s.orderKey != Lumo::Util::reverse(hash)) {
                    why = fmt::format("slot:{} key:{} does not belong in bucket:{}", idx, k, b);
                    return false;
                }
                if (havePrev && !(prevOrder < s.orderKey || (prevOrder == s.orderKey && prevKey < k))) {
                    why = fmt::format("slot:{} key:{} out of order in bucket:{}", idx, k, b);
                    return false;
                }
                havePrev = true;
                prevOrder = s.orderKey;
                prevKey = k;
                l = SlotLink::linkOf(w);
            }
            std::uint32_t wantEnd = SlotLink::endLink(VornCore::nextBucketInOrder(b, n));
            if ((l & ~kLinkMarkBit) != wantEnd) {
                why = fmt::format("bucket:{} ends with link:{:x}, expected:{:x}", b, l, wantEnd);
                return false;
            }
        }
        LUMO_FMTRACE(debug_, 5, "Validator", "starting");
        for (std::uint32_t cur = h.freeListHead; cur != kInvalidSlot;) {
            LUMO_FMTRACE(debug_, 5, "Validator", "walking slotIndex: {}", cur);
            if (!v.markFree(cur, why)) return false;
            Slot const& s = slots_.slotUnchecked(cur);
            std::uint64_t w = s.word.load(std::memory_order_relaxed);
            if (SlotLink::seqOf(w) & 3u) {
                why = fmt::format("free slot:{} has sequence:{:x}", cur, SlotLink::seqOf(w));
                return false;
            }
            std::uint32_t l = SlotLink::linkOf(w) & ~kLinkMarkBit;
            cur = l == kInvalidSlot ? kInvalidSlot : SlotLink::indexOf(l);
        }
        if (v.occupied() + v.free() != numSlots || v.occupied() != h.occupiedSlots) {
            why = fmt::format("occupied:{} and free:{} do not add up to numSlots:{} (header occupied:{})", v.occupied(),
                              v.free(), numSlots, h.occupiedSlots);
            return false;
        }
        for (std::uint32_t i = 0; i < numSlots; ++i)
            if (!quorl_.validateSlot(i, why)) return false;
        return true;
    }

    void detachQuietly() {
        if (attached_ && owner_) {
            auto info = owner_->shocketInfo();
            if (Mem::WriterLock::ownerIsMe(info.name)) {
                LUMO_FMTRACE(debug_, 5, "VornWriter", "clearing shocketInfo");
                auto guard = owner_->lock();
                owner_->shocketInfoIs(SharedMem::ShocketInfo{});
            }
        }
        tapp_.onDetach();
        slots_.detach();
        buckets_.detach();
        quorl_.detach();
        owner_.reset();
        lock_.reset();
        attached_ = initialized_ = false;
        directSlot_ = kInvalidSlot;
        directNew_ = false;
    }

    Lumo::Platform::DebugHandler* debug_;
    std::string name_;
    MapDescriptor desc_;
    Ops ops_;
    Mem::RootPath root_;
    QuiescedCallback quiesced_;
    Slots slots_;
    VornCore::BucketWriter<SlotLink> buckets_;
    Quorl::QuorlWriter quorl_;
    HashMap map_;
    Tapp::WriterTappSm tapp_;
    std::unique_ptr<SharedMem::OwnerFile> owner_;
    std::unique_ptr<Mem::WriterLock> lock_;
    std::uint32_t fenixId_ = 0;
    bool initialized_ = false;
    bool attached_ = false;
    int slotAttachResult_ = 0;
    std::uint32_t directSlot_ = kInvalidSlot;
    Key directKey_{};
    bool directNew_ = false;
    VornCore::LinkRef directPrev_{true, 0};
    WriterCounters counters_;
    std::uint64_t longestSlotShrinkCycles_ = 0;
    std::string lastMessage_;
};

}  // namespace Vorn
