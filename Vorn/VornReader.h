#pragma once
// A reader of a shared-memory map in a process other than the writer's. It
// maps the writer's slot and bucket files read-only (PROT_READ: no reader
// can damage a map) and answers lookups and iteration straight from them,
// without locks, under the sequence protocol (SlotSequence.h) and the walk
// rules of VornCore/ReaderHashMap.h. Values are always copied out.
//
// Failures: attach problems are a false result of initialize() with a trace;
// inconsistent files raise Lumo::CorruptionDetectedException (never a crash,
// never an endless loop); a value asked of a slot beyond the reader's slot
// count reads as absent.
//
// Threading: one thread per reader. Readers in several threads of a process
// each hold their own VornReader (and mapping).
#include <cstdint>
#include <memory>
#include <string>

#include "Lumo/Assert.h"
#include "Lumo/Exception.h"
#include "Lumo/Time.h"
#include "Lumo/Trace.h"
#include "Mem/RootPath.h"
#include "SharedMem/FenixFile.h"
#include "Vorn/IterHint.h"
#include "Vorn/MountStatus.h"
#include "Vorn/SlotReaderTable.h"
#include "VornCore/BucketReader.h"
#include "VornCore/ReaderHashMap.h"

namespace Vorn {

using ReaderCounters = VornCore::ReaderCounters;

// What a cache of values read from a map must match to stay valid: the
// generation of the files and the slot file's instance.
struct VersionAnchor {
    std::uint32_t fenixId = 0;
    std::uint32_t instanceId = 0;
    double mtime = 0;
    bool operator==(VersionAnchor const&) const = default;
};

template <class Ops>
class VornReader {
public:
    using Value = typename Ops::Value;
    using Key = typename Ops::Key;
    using Slots = SlotReaderTable<Value>;
    using HashMap = VornCore::ReaderHashMap<Ops>;

    // `counters` null: the reader keeps its own.
    VornReader(Lumo::Platform::DebugHandler* debug, std::string name, Mem::RootPath root, Ops ops,
               ReaderCounters* counters = nullptr)
        : debug_(debug), name_(std::move(name)), root_(std::move(root)), ops_(std::move(ops)),
          counters_(counters ? counters : &ownCounters_), slots_(debug_, name_, root_), buckets_(debug_, root_),
          map_(debug_, ops_, slots_, buckets_, *counters_) {}
    VornReader(VornReader const&) = delete;
    VornReader& operator=(VornReader const&) = delete;

    // Attaches to the writer's files and validates them. False (with a trace)
    // when a file is missing, cannot be mapped or fails validation.
    bool initialize(std::string const& event) {
        LUMO_FMASSERT(__atomic_always_lock_free(8, nullptr), "VornReader", "Hardware does not support Atomics");
        detachParts();
        if (!buckets_.attach()) {
            LUMO_FMTRACE(debug_, 2, "VornReader", "failed to attach to buckets");
            return false;
        }
        if (!slots_.attach()) {
            LUMO_FMTRACE(debug_, 2, "VornReader", "failed to attach to slots");
            detachParts();
            return false;
        }
        SharedMem::FenixFile fenix(debug_, root_, false);
        if (!fenix.read()) {
            LUMO_FMTRACE(debug_, 2, "VornReader", "failed to read fenix file");
            detachParts();
            return false;
        }
        std::string why;
        if (!buckets_.validate(fenix.fenixId(), why)) {
            LUMO_FMTRACE(debug_, 2, "VornReader", "failed to validate buckets");
            LUMO_FMTRACE(debug_, 5, "VornReader", "{}", why);
            message_ = why;
            detachParts();
            return false;
        }
        if (!slots_.validate(fenix.fenixId(), why)) {
            LUMO_FMTRACE(debug_, 2, "VornReader", "failed to validate slots");
            LUMO_FMTRACE(debug_, 5, "VornReader", "{}", why);
            message_ = why;
            detachParts();
            return false;
        }
        fenixId_ = fenix.fenixId();
        mtime_ = fenix.mtime();
        instanceId_ = Mem::atomicLoad(slots_.header().common.instanceId, std::memory_order_relaxed);
        attached_ = true;
        LUMO_FMTRACE(debug_, 5, "VornReader", "success {} capacity:{} fenixId:{} mtime:{} delay:{} event:{}", name_,
                     slots_.numSlots(), fenixId_, mtime_, Lumo::time() - mtime_, event);
        return true;
    }

    void detach(bool force = false) {
        (void)force;
        if (!attached_) {
            LUMO_FMTRACE(debug_, 5, "VornReader", "already detached");
            return;
        }
        LUMO_FMTRACE(debug_, 5, "VornReader", "delegating to SlotTable::detach()");
        detachParts();
        LUMO_FMTRACE(debug_, 5, "VornReader", "{} detached", name_);
    }

    // ---------------------------------------------------------------- reads

    // The value of `key` (copied) into `out`; false when absent.
    bool lookup(Key key, Value& out, IterHint& hint) {
        requireAttached();
        return map_.lookup(key, out, hint);
    }
    // The value of `key`, or the default value with `found` false.
    Value lookup(Key key, bool& found, IterHint& hint) {
        Value v;
        found = lookup(key, v, hint);
        if (!found) v = ops_.defaultValue();
        return v;
    }
    bool first(Value& out, IterHint& hint) {
        requireAttached();
        return map_.first(out, hint);
    }
    bool next(Key key, Value& out, IterHint& hint) {
        requireAttached();
        return map_.next(key, out, hint);
    }

    // The value in slot `slot`, read again while either file was resized
    // behind the reader (remapping in between). Absent (default value, hint
    // reset) when the slot is empty or at or above the slot count; unknown
    // when the writer kept changing the slot: the caller looks again later.
    SlotRead readSlot(std::uint32_t slot, Value& value, IterHint& hint) {
        requireAttached();
        for (std::uint32_t attempt = 0; attempt < HashMap::kMaxAttempts; ++attempt) {
            map_.sync();
            if (slot >= slots_.numSlots()) break;
            typename Slots::Payload p;
            SlotRead r;
            std::uint64_t before = slots_.spareReads();
            std::uint64_t w = slots_.readWord(slot, p, r);
            counters_->spareReads += slots_.spareReads() - before;
            if (r == SlotRead::unknown) {
                ++counters_->retries;
                hint.reset();
                return r;
            }
            if (map_.moved()) {
                ++counters_->resizeRetries;
                continue;
            }
            if (r == SlotRead::absent) break;
            std::memcpy(static_cast<void*>(&value), p.value, sizeof(Value));
            hint = IterHint{SlotLink::seqOf(w), slot, std::uint32_t(ops_.hash(Ops::keyOf(value)) & (map_.count() - 1))};
            return SlotRead::present;
        }
        hint.reset();
        value = ops_.defaultValue();
        return SlotRead::absent;
    }
    // readSlot() for callers that need a yes or no: an unknown read raises
    // Vorn::ReadContentionException rather than passing for an absence.
    bool getValue(std::uint32_t slot, Value& value, IterHint& hint) {
        SlotRead r = readSlot(slot, value, hint);
        if (r == SlotRead::unknown)
            Lumo::raise<ReadContentionException>("no stable read of slot {} of {}", slot, name_);
        return r == SlotRead::present;
    }

    // Remaps both files for their current sizes.
    void doResize() {
        requireAttached();
        map_.sync();
    }

    // ---------------------------------------------------------------- accessors

    std::uint32_t members() const { return attached_ ? slots_.occupied() : 0; }
    std::uint32_t buckets() { return attached_ ? buckets_.shape().count : 0; }
    std::uint32_t capacity() const { return attached_ ? slots_.publishedSlots() : 0; }
    // The largest slot count the file ever had (the reader cannot know the
    // writer's configured table size).
    std::uint32_t maxSize() const { return attached_ ? slots_.maxSlots() : 0; }
    std::uint32_t fenixId() const { return fenixId_; }
    MountStatus mountStatus() const { return attached_ ? mounted : notMounted; }
    bool quiesced() const { return attached_; }
    bool attached() const { return attached_; }
    std::uint64_t scratchpad() const { return attached_ ? slots_.scratchpad() : 0; }
    ReaderCounters readerCounters() const {
        ReaderCounters c = *counters_;
        c.remaps += buckets_.remaps();
        return c;
    }
    VersionAnchor getCacheVersionAnchor() const { return VersionAnchor{fenixId_, instanceId_, mtime_}; }
    // Whether the files at the map's path are still the generation this
    // reader attached to.
    bool validateVersionAnchor() const {
        if (!attached_) return false;
        SharedMem::FenixFile fenix(debug_, root_, false);
        return fenix.read() && fenix.fenixId() == fenixId_ &&
               Mem::atomicLoad(slots_.header().common.fenixId, std::memory_order_relaxed) == fenixId_;
    }
    std::string dumpHeaders() const {
        return fmt::format("{} | {}", slots_.headerString(), buckets_.toString());
    }
    std::string const& message() const { return message_; }
    std::string const& name() const { return name_; }
    Mem::RootPath const& rootPath() const { return root_; }
    Ops const& ops() const { return ops_; }
    // Local slot count (what the reader has mapped for).
    std::uint32_t numSlots() const { return slots_.numSlots(); }
    Slots& slotTable() { return slots_; }
    HashMap& hashMap() { return map_; }

private:
    void requireAttached() const {
        if (!attached_) Lumo::raise<Lumo::IllegalOperationException>("Vorn reader {} is not attached", name_);
    }
    void detachParts() {
        slots_.detach();
        buckets_.detach();
        attached_ = false;
    }

    Lumo::Platform::DebugHandler* debug_;
    std::string name_;
    Mem::RootPath root_;
    Ops ops_;
    ReaderCounters ownCounters_;
    ReaderCounters* counters_;
    Slots slots_;
    VornCore::BucketReader buckets_;
    HashMap map_;
    bool attached_ = false;
    std::uint32_t fenixId_ = 0;
    std::uint32_t instanceId_ = 0;
    double mtime_ = 0;
    std::string message_;
};

}  // namespace Vorn
