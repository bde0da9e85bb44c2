#pragma once
// The writer of a shared-memory map. One process writes a map; it inserts,
// overwrites and removes values in the slot file, keeps the bucket index,
// grows and shrinks both, and announces every changed slot on the map's
// notification channel. Readers in other processes follow without locks
// (sequence protocol in SlotSequence.h, chain walks in VornCore/ChainCursor.h,
// index invariants in VornCore/WriterHashMap.h).
//
// This header is the writer's interface; the definitions live by concern
// under Vorn/Writer/: Lifecycle.h (initialize, attach, wipe, cleanup),
// Operations.h (write, remove, mark and sweep), Direct.h (direct mode),
// Iteration.h (lookup, first, next), Compaction.h (slot shrink),
// Validation.h (the full check of existing files).
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
#include <functional>
#include <memory>
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
#include "Mem/Sentry.h"
#include "Mem/WriterLock.h"
#include "Quorl/Quorl.h"
#include "SharedMem/FenixFile.h"
#include "SharedMem/OwnerFile.h"
#include "Tapp/WriterTappSm.h"
#include "Vorn/AttachResult.h"
#include "Vorn/IterHint.h"
#include "Vorn/MapDescriptor.h"
#include "Vorn/MountStatus.h"
#include "Vorn/SlotSequence.h"
#include "Vorn/SlotTable.h"
#include "Vorn/Validator.h"
#include "Vorn/WriterCounters.h"
#include "VornCore/BucketWriter.h"
#include "VornCore/WriterHashMap.h"

namespace Vorn {

// Operations of markAndSweepFlag().
enum class MarkOp : int { read = 0, clear = 1, set = 2 };

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
               Mem::RootPath root, QuiescedCallback quiesced = {});
    ~VornWriter() {
        if (attached_) detachQuietly();
    }
    VornWriter(VornWriter const&) = delete;
    VornWriter& operator=(VornWriter const&) = delete;

    // ---------------------------------------------------------------- lifecycle (Writer/Lifecycle.h)

    // Takes the writer lock, reads or draws the fenix id, attaches the files
    // and validates them; files that fail are wiped and re-created. Raises
    // Lumo::IllegalOperationException when another writer holds the map, and
    // Lumo::InvalidInitializeException when even new files fail.
    bool initialize(std::string const& event);
    int attach() { return attach(fenixId_); }
    // Attaches the slot file, the bucket file and the channel; returns their
    // results OR-ed (AttachResult: 1 new, 2 existing, 8 failed validation).
    int attach(std::uint32_t fenixId);
    // One attempt at attaching and validating; `wipe` first removes the
    // files and starts a new generation. False (without wipe): the caller
    // retries with a wipe.
    bool attachAndValidate(bool wipe, SharedMem::OwnerFile& owner, SharedMem::ShocketInfo const& info);
    // Full validation of the attached files against `fenixId` (Writer/Validation.h).
    // On failure message() is "Vorn {name} validation failed: {reason}".
    bool validate(std::uint32_t fenixId, bool checkOwner);
    bool validate() { return validate(fenixId_, false); }
    bool validateFiles() { return validate(fenixId_, true); }
    void detach(bool force = false);
    // Removes every file of the map (and its directory when empty).
    void cleanup();

    // ---------------------------------------------------------------- operations (Writer/Operations.h)

    // Inserts `value`, or overwrites the stored value of its key when
    // `overwrite`; returns the stored value. Raises TableFullException when a
    // fixed-size map is full (the map unchanged) and
    // Lumo::CorruptionDetectedException on a damaged index.
    Value const* write(Value const& value, bool overwrite);
    // Removes `key`, copying its value to `out`; false when absent (nothing
    // touched, not even the header flags).
    bool remove(Key key, Value& out);
    // Mark-and-sweep support on the link's bit 30: read returns the mark,
    // set and clear change it (a change adds 4 to the sequence). False when
    // the key is absent.
    bool markAndSweepFlag(Key key, MarkOp op);
    bool markAndSweepFlag(Key key, int op) {
        return markAndSweepFlag(key, op == 0 ? MarkOp::read : op == 2 ? MarkOp::set : MarkOp::clear);
    }

    // ---------------------------------------------------------------- direct mode (Writer/Direct.h)

    // Returns a value the caller edits in place until directCommit(). For an
    // existing key that is a copy in the spare slot (readers keep seeing the
    // old value); for a new key it is the new, not yet linked slot,
    // pre-filled with `value`. The key must not change.
    Value* directWrite(Value const& value);
    void directCommit();

    // ---------------------------------------------------------------- reads (Writer/Iteration.h)

    // The stored value of `key` or null. The pointer stays valid until the
    // next mutation of the map.
    Value const* lookup(Key key, bool& found, IterHint& hint) const;
    Value const* lookup(Key key) const {
        bool found;
        IterHint hint;
        return lookup(key, found, hint);
    }
    // Iteration in chain order, buckets taken in the order their end links
    // name (bit-reversed bucket order: ascending order key overall).
    bool first(Value& out, IterHint& hint) const;
    bool next(Key key, Value& out, IterHint& hint) const;

    // ---------------------------------------------------------------- reorganisation (Writer/Compaction.h)

    // Compacts the slot file now, as a removal would when below the threshold.
    void shrink();
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
    MountStatus mountStatus() const { return initialized_ ? mounted : notMounted; }
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
    WriterCounters counters() const;
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
    using Cursor = typename HashMap::Cursor;

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
    void enterCritical() {
        LUMO_FMASSERT(!slots_.criticalFlag(), "VornWriter", "Vorn reentrancy detected: {}", root_.path());
        slots_.setCriticalFlag();
    }
    void leaveCritical() { slots_.clearCriticalFlag(); }

    static typename Slots::Config slotConfig(MapDescriptor const& d);
    void fill(Slot& s, Value const& value, std::uint32_t order);
    std::uint32_t allocSlot();
    void growBuckets();
    void shrinkBuckets();
    std::uint32_t shrinkTarget() const;
    void doMaybeShrinkSlots(std::uint32_t threshold);
    bool produce(Cursor& c, Value& out, IterHint& hint, bool loaded = false) const;
    bool doValidate(std::uint32_t fenixId, std::string& why);
    void detachQuietly();

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
    std::uint32_t directSlot_ = kLinkNone;
    Key directKey_{};
    bool directNew_ = false;
    VornCore::LinkRef directPrev_{true, 0};
    WriterCounters counters_;
    std::uint64_t longestSlotShrinkCycles_ = 0;
    std::string lastMessage_;
};

}  // namespace Vorn

#include "Vorn/Writer/Lifecycle.h"
#include "Vorn/Writer/Operations.h"
#include "Vorn/Writer/Direct.h"
#include "Vorn/Writer/Iteration.h"
#include "Vorn/Writer/Compaction.h"
#include "Vorn/Writer/Validation.h"
