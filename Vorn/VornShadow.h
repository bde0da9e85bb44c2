#pragma once
// A reader that also keeps a process-local shadow of the map's keys, kept up
// to date from the writer's change notifications, so that it can tell its
// owner which keys changed.
//
//   VornShadow
//     reader_    VornReader: lock-free reads of the shared files
//     store_     KeyShadowStore: ShadowStore (records, one per slot),
//                ShadowHashMap (index by key), SlotCounters
//     quorl_     Quorl::QuorlReader: the notification channel
//     syncer_    Syncer: channel -> doSlot(), rescans, flushes
//
// For each announced slot, doSlot() compares what the slot holds now with
// the key its record remembers: an old key that left the slot is reported
// gone (key-and-value callback, no value), a key now held is indexed and
// reported (key callback). A key that moved to another slot (the writer
// compacting its file) is re-indexed without being reported gone: a key is
// reported gone only after a lookup in the shared files confirms that the
// map no longer holds it, and a slot that cannot be read stably is looked at
// again later rather than taken for empty (never absent while present). A
// key that left its slot for one the shadow could not read yet is "in
// transit": in no record, not reported gone. The writer may remove it before
// that slot is read, so at the end of every service round each key in
// transit is looked up again (settleTransit()): gone, indexed, or its slot
// brought up to date. The owner reads values through the shadow's read
// operations, which answer from the shared files.
//
// Ownership: the owner creates the shadow, drives it from its loop (fd(),
// service()) and receives the callbacks on that thread. The library starts
// no thread; nothing here locks.
#include <cstdint>
#include <functional>
#include <iterator>
#include <list>
#include <memory>
#include <optional>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

#include "Lumo/Assert.h"
#include "Lumo/Exception.h"
#include "Lumo/Toggle.h"
#include "Lumo/Trace.h"
#include "Lumo/Util.h"
#include "Quorl/Quorl.h"
#include "SharedMem/FenixFile.h"
#include "Vorn/ShadowStore.h"
#include "Vorn/Syncer.h"
#include "Vorn/VornReader.h"

namespace Vorn {

template <class Ops>
struct ShadowCallbacks {
    using Key = typename Ops::Key;
    using Value = typename Ops::Value;
    // A key is gone. With value capture the value is its last value the
    // shadow saw (null otherwise).
    std::function<void(Key, Value const*)> onKeyValue;
    // With value capture: a key's new value and, with previous values on,
    // the value the shadow saw for it before (null when it knew none).
    std::function<void(Value const&, Value const*)> onValue;
    // A key was written (new or changed).
    std::function<void(Key)> onKey;
    // Mount status changed.
    std::function<void(MountStatus)> onMountStatus;
    // The files were found corrupt; the shadow detached itself.
    std::function<void(std::string const&)> onCorruption;
    // The writer went away (channel closed); the shadow detached itself.
    std::function<void()> onDisconnect;
    // Quiescence: true at every completed synchronisation, false when the
    // shadow detaches.
    std::function<void(bool)> onQuiesced;
};

struct ShadowConfig {
    bool heapAllocation = false;  // shadow records on the heap instead of anonymous memory
    std::uint32_t bucketFactor = 1;
    bool shrinkEnabled = true;
    bool notifying = true;
    // The value shadow: a copy of each slot's value is kept, so that changes
    // are delivered with values (onValue, onKeyValue) and, with prevValue,
    // with the value seen before.
    bool captureValues = false;
    bool prevValue = false;
};

// The shadow records of one map and the rules that keep them (doSlot).
template <class Ops>
class KeyShadowStore {
public:
    using Key = typename Ops::Key;
    using Value = typename Ops::Value;
    using Reader = VornReader<Ops>;
    static_assert(sizeof(Key) == 4, "shadow records hold 32-bit keys");

    KeyShadowStore(Lumo::Platform::DebugHandler* debug, std::string const& name, ShadowConfig const& cfg, Reader& reader,
                   ShadowCallbacks<Ops> const& cb)
        : debug_(debug), name_(name), cfg_(cfg), reader_(reader), cb_(cb), store_(debug, name + ".shadow", cfg.heapAllocation),
          map_(debug, name + ".shadowIndex", store_, cfg.bucketFactor) {}

    // Applies one notification of slot `slot`. `validate(sequence)` tells
    // whether the notification is still the latest of its slot; `fullSync`
    // notifications (rescans) are always applied. False when the slot could
    // not be read stably: nothing was changed or reported, and the caller
    // delivers the slot again later.
    template <class Validate>
    bool doSlot(std::uint32_t slot, std::uint64_t sequence, bool fullSync, Validate&& validate, int depth = 0) {
        if (slot >= store_.count()) {
            reader_.doResize();
            std::uint32_t shared = reader_.numSlots();
            if (slot >= shared) {
                if (slot < reader_.maxSize())
                    LUMO_FMTRACE(debug_, 5, "KeyShadowStore",
                                 "skip growing of shadow table to accomodate slotIndex:{} because shared memory has "
                                 "shrunk to {} slots",
                                 slot, shared);
                else
                    LUMO_FMTRACE(debug_, 5, "KeyShadowStore",
                                 "complete. Never learned of slotIndex:{} so it is safe to ignore.", slot);
                return true;
            }
            LUMO_FMTRACE(debug_, 5, "KeyShadowStore", "resize shadow slots from {} to {} due to out of range slot {}",
                         store_.count(), shared, slot);
            store_.grow(shared);
            counters_.resize(shared);
            if (cfg_.captureValues) values_.resize(shared);
            ++resizes_;
            LUMO_FMTRACE(debug_, 5, "KeyShadowStore", "complete.");
        }
        Value v;
        IterHint hint;
        SlotRead read = hold_ && hold_(slot) ? SlotRead::unknown : reader_.readSlot(slot, v, hint);
        if (read == SlotRead::unknown) {
            LUMO_FMTRACE(debug_, 5, "KeyShadowStore", "slotIndex:{} still changing, looking again later", slot);
            ++unsettled_;
            return false;
        }
        bool present = read == SlotRead::present;
        Key key = present ? Ops::keyOf(v) : Key{};
        ShadowRecord& rec = store_[slot];
        bool removed = false;
        if (rec.linked() && (!present || rec.key != key)) {
            if (!fullSync && !validate(sequence)) {
                LUMO_FMTRACE(debug_, 5, "KeyShadowStore", "failed because sequence:{} may have been tombstoned",
                             sequence);
                LUMO_FMTRACE(debug_, 5, "KeyShadowStore", "discarding notification for slotIndex:{}", slot);
                ++discarded_;
                return true;
            }
            // The key left this slot. Gone only if the map no longer holds it.
            // Otherwise it now lives in another slot (moved by a compaction, or
            // removed and written again), whose notification may still be on
            // its way or may already have been read while that slot was empty:
            // that slot is brought up to date now, which indexes the key there.
            Key old = rec.key;
            IterHint h;
            std::optional<bool> const held = heldNow(old, h);
            if (!held) return false;
            bool const stillPresent = *held;
            if (stillPresent && (h.slot == slot || depth >= kMaxSettleDepth)) {
                // The slot changed again under us, or a long chain of moves:
                // look again later.
                ++unsettled_;
                return false;
            }
            counters_.clear(slot);
            map_.remove(slot, counters_.occupied());
            rec.key = Key{};
            rec.rhash = 0;
            removed = true;
            if (stillPresent) {
                ++movedAway_;
                bool indexedThere = h.slot < store_.count() && store_[h.slot].linked() && store_[h.slot].key == old;
                if (!indexedThere) carry(old, cfg_.captureValues ? values_[slot] : Value{});
                if (!indexedThere && !doSlot(h.slot, 0, true, validate, depth + 1))
                    pending_.push_back(h.slot);
            } else {
                forget(old);
                if (cfg_.notifying && cb_.onKeyValue) cb_.onKeyValue(old, cfg_.captureValues ? &values_[slot] : nullptr);
            }
        }
        if (present) {
            std::uint32_t rhash = Lumo::Util::reverse(reader_.ops().hash(key));
            LUMO_FMTRACE(debug_, 5, "KeyShadowStore", "slotIndex:{} key:{}", slot, key);
            ShadowRecord& r = store_[slot];
            // The value seen for the key before, for the value shadow.
            bool hadPrev = false;
            Value prev{};
            if (r.linked()) {
                LUMO_FMTRACE(debug_, 5, "KeyShadowStore", "value updated");
                LUMO_FMTRACE(debug_, 5, "KeyShadowStore", "no index update needed");
                if (cfg_.captureValues) {
                    prev = values_[slot];
                    hadPrev = true;
                }
            } else {
                std::int32_t other = map_.find(key, rhash);
                hadPrev = takeCarried(key, prev) && cfg_.captureValues;
                if (other >= 0) {
                    if (cfg_.captureValues) {
                        prev = values_[std::uint32_t(other)];
                        hadPrev = true;
                    }
                    // The writer moved the key to this slot: re-index quietly.
                    counters_.clear(std::uint32_t(other));
                    map_.remove(std::uint32_t(other), counters_.occupied());
                    store_[std::uint32_t(other)].key = Key{};
                    store_[std::uint32_t(other)].rhash = 0;
                }
                map_.insert(slot, key, rhash);
                counters_.set(slot);
                map_.maybeGrow(counters_.occupied());
            }
            if (cfg_.captureValues) values_[slot] = v;
            if (cfg_.notifying && cb_.onKey) cb_.onKey(key);
            if (cfg_.captureValues && cfg_.notifying && cb_.onValue)
                cb_.onValue(v, cfg_.prevValue && hadPrev ? &prev : nullptr);
        }
        if (removed && !present) maybeShrink();
        return true;
    }

    // One record of a flush: a linked record is unlinked and its key
    // reported gone.
    void doFlushSlot(std::uint32_t slot) {
        if (slot >= store_.count()) return;
        ShadowRecord& rec = store_[slot];
        if (!rec.linked()) return;
        LUMO_FMTRACE(debug_, 5, "ShadowStore", "slotIndex {} key:{}", slot, rec.key);
        Key k = rec.key;
        counters_.clear(slot);
        map_.remove(slot, counters_.occupied());
        rec.key = Key{};
        rec.rhash = 0;
        forget(k);
        if (cfg_.notifying && cb_.onKeyValue) cb_.onKeyValue(k, cfg_.captureValues ? &values_[slot] : nullptr);
    }

    // The end of a flush: keys in transit are in no record; they are
    // reported gone (with their carried values).
    void flushCarried() {
        TransitList c;
        c.swap(transit_);
        transitIndex_.clear();
        for (auto const& [k, v] : c)
            if (cfg_.notifying && cb_.onKeyValue) cb_.onKeyValue(k, cfg_.captureValues ? &v : nullptr);
    }

    // Looks up every key in transit in the shared files: one the map no
    // longer holds is reported gone (once: it leaves transit), one held by a
    // slot not indexed for it has that slot brought up to date (which
    // indexes it and takes it out of transit) or left pending when the slot
    // cannot be read stably; it stays in transit until one or the other.
    void settleTransit() {
        if (transit_.empty()) return;
        std::vector<Key> keys;
        keys.reserve(transit_.size());
        for (auto const& e : transit_) keys.push_back(e.first);
        for (Key k : keys) {
            auto it = findTransit(k);
            if (it == transit_.end()) continue;  // indexed by an earlier slot's update
            if (slotOf(k) >= 0) {
                eraseTransit(it);
                continue;
            }
            IterHint h;
            std::optional<bool> const held = heldNow(k, h);
            if (!held) continue;
            if (!*held) {
                Value last = it->second;
                eraseTransit(it);
                if (cfg_.notifying && cb_.onKeyValue) cb_.onKeyValue(k, cfg_.captureValues ? &last : nullptr);
                continue;
            }
            if (!doSlot(h.slot, 0, true, [](std::uint64_t) { return true; })) pending_.push_back(h.slot);
        }
    }
    std::size_t inTransit() const { return transit_.size(); }

    // The slot the shadow knows for `key`, or -1.
    std::int32_t slotOf(Key key) const { return map_.find(key, Lumo::Util::reverse(reader_.ops().hash(key))); }

    // The current value of slot `slot` from the shared file; false (traced)
    // when the slot lies beyond the file or cannot be read.
    bool value(std::uint32_t slot, Value& out) {
        std::uint32_t shmemCapacity = reader_.numSlots();
        if (slot >= shmemCapacity) {
            LUMO_FMTRACE(debug_, 5, "KeyShadowSlot", "slotIndex:{} shmemCapacity:{}, returning not found", slot,
                         shmemCapacity);
            return false;
        }
        IterHint h;
        if (reader_.readSlot(slot, out, h) != SlotRead::present) {
            LUMO_FMTRACE(debug_, 5, "KeyShadowSlot", "unable to retrieve slotIndex:{}, returning not found", slot);
            return false;
        }
        return true;
    }

    // Visits every key the shadow holds, in index order.
    template <class F>
    void forEachKey(F&& f) const {
        for (std::uint32_t b = 0; b < map_.numBuckets(); ++b)
            for (std::int32_t i = map_.head(b); i != -1; i = store_[std::uint32_t(i)].next)
                f(store_[std::uint32_t(i)].key, std::uint32_t(i));
    }

    std::uint32_t keyed() const { return counters_.occupied(); }
    std::uint32_t records() const { return store_.count(); }
    std::uint32_t indexBuckets() const { return map_.numBuckets(); }
    std::uint64_t resizes() const { return resizes_; }
    std::uint64_t discarded() const { return discarded_; }
    // Reads that stayed unknown (delivered again later), and keys that left a
    // slot without leaving the map (not reported gone).
    std::uint64_t unsettled() const { return unsettled_; }
    std::uint64_t movedAway() const { return movedAway_; }
    // Slots that a nested update could not settle; the caller delivers them again.
    template <class F>
    void takePending(F&& f) {
        std::vector<std::uint32_t> p;
        p.swap(pending_);
        for (std::uint32_t slot : p) f(slot);
    }
    // Tests only: a slot for which `hold` answers true reads as still
    // changing, as if the writer were busy on it (none when empty).
    void holdSlotsIs(std::function<bool(std::uint32_t)> hold) { hold_ = std::move(hold); }
    void shrinkEnabledIs(bool on) { cfg_.shrinkEnabled = on; }
    void notifyingIs(bool on) { cfg_.notifying = on; }
    bool notifying() const { return cfg_.notifying; }
    ShadowStore& store() { return store_; }
    ShadowHashMap& index() { return map_; }

private:
    void maybeShrink() {
        if (!cfg_.shrinkEnabled || std::uint64_t(counters_.occupied()) * 4 > store_.count()) return;
        std::uint32_t target = counters_.largestOccupied();
        if (target >= store_.count()) return;
        LUMO_FMTRACE(debug_, 5, "KeyShadowStore", "shadow slot occupancy <= 25% and can shrink to {} slots.", target);
        std::uint32_t shared = reader_.attached() ? reader_.capacity() : 0;
        if (target != 0 && shared > target) {
            LUMO_FMTRACE(debug_, 5, "KeyShadowStore",
                         "skip shrinking of shadow table to {} slots because shared memory has grown to {} slots",
                         target, shared);
            return;
        }
        store_.shrink(target);
        counters_.resize(target);
        if (cfg_.captureValues) values_.resize(target);
        ++resizes_;
    }

    Lumo::Platform::DebugHandler* debug_;
    std::string name_;
    ShadowConfig cfg_;
    Reader& reader_;
    ShadowCallbacks<Ops> const& cb_;
    ShadowStore store_;
    ShadowHashMap map_;
    SlotCounters counters_;
    std::uint64_t resizes_ = 0;
    std::uint64_t discarded_ = 0;
    std::uint64_t unsettled_ = 0;
    std::uint64_t movedAway_ = 0;
    std::vector<std::uint32_t> pending_;
    std::function<bool(std::uint32_t)> hold_;
    static constexpr int kMaxSettleDepth = 8;

    // Whether the map holds `k` now (its slot in `h`), or nothing when the
    // read stayed unstable: counted, and the caller looks again later.
    std::optional<bool> heldNow(Key k, IterHint& h) {
        Value v;
        try {
            return reader_.lookup(k, v, h);
        } catch (ReadContentionException const&) {
            ++unsettled_;
            return std::nullopt;
        }
    }

    // Keys in transit: each left its slot for another one that is not yet
    // indexed for it, with (value shadow) the last value seen, until it is
    // indexed there or reported gone. A key is here at most once and never
    // while indexed, and settleTransit() resolves every key at the end of
    // each round; only keys whose slot could not be read stably stay.
    //
    // Many keys can be in transit at once: when the writer removed and wrote
    // again many keys between two rounds, each key is found in another key's
    // old slot, and every chain of such moves deeper than kMaxSettleDepth
    // leaves a key here until the round ends: a share of all the keys. Every
    // key indexed or reported gone is looked up here (takeCarried(),
    // forget()), so lookups go through an index by key (the map's hash),
    // never a scan of the list. The list keeps the order in which keys
    // entered transit, the order settleTransit() and flushCarried() visit.
    using TransitList = std::list<std::pair<Key, Value>>;
    struct KeyHash {
        Ops const* ops;
        std::size_t operator()(Key k) const { return ops->hash(k); }
    };
    void carry(Key k, Value const& v) {
        auto it = findTransit(k);
        if (it != transit_.end()) {
            it->second = v;
            return;
        }
        transit_.push_back({k, v});
        transitIndex_.emplace(k, std::prev(transit_.end()));
    }
    typename TransitList::iterator findTransit(Key k) {
        auto it = transitIndex_.find(k);
        return it == transitIndex_.end() ? transit_.end() : it->second;
    }
    void eraseTransit(typename TransitList::iterator it) {
        transitIndex_.erase(it->first);
        transit_.erase(it);
    }
    // Takes `k` out of transit; false when it was not in transit.
    bool takeCarried(Key k, Value& out) {
        auto it = findTransit(k);
        if (it == transit_.end()) return false;
        out = it->second;
        eraseTransit(it);
        return true;
    }
    // A key reported gone leaves transit.
    void forget(Key k) {
        Value unused;
        takeCarried(k, unused);
    }
    std::vector<Value> values_;
    TransitList transit_;
    std::unordered_map<Key, typename TransitList::iterator, KeyHash> transitIndex_{0, KeyHash{&reader_.ops()}};
};

template <class Ops>
class VornShadow : private SyncTarget {
public:
    using Key = typename Ops::Key;
    using Value = typename Ops::Value;

    VornShadow(Lumo::Platform::DebugHandler* debug, std::string name, Mem::RootPath root, Ops ops,
               ShadowCallbacks<Ops> callbacks, ShadowConfig config = {})
        : debug_(debug), name_(std::move(name)), root_(root), cb_(std::move(callbacks)),
          reader_(debug_, name_, root, std::move(ops)), store_(debug_, name_, config, reader_, cb_),
          quorl_(debug_, root), syncer_(quorl_, *this) {}
    ~VornShadow() override = default;
    VornShadow(VornShadow const&) = delete;
    VornShadow& operator=(VornShadow const&) = delete;

    // Attaches the channel and the reader; the first service() calls then
    // synchronise. False (traced) on failure; corruption found on the way is
    // reported ("corruption detected: {}") to corruptionDetected().
    bool initialize(std::string const& event) { return doInitialize(event); }
    bool doInitialize(std::string const& event) {
        try {
            SharedMem::FenixFile fenix(debug_, root_, false);
            if (!fenix.read() || !quorl_.attach(fenix.fenixId())) {
                LUMO_FMTRACE(debug_, 2, "VornShadow", "quorl_.initialize() Failed");
                return false;
            }
            if (!reader_.initialize(event)) {
                LUMO_FMTRACE(debug_, 2, "VornShadow", "vorn.initialize() Failed");
                quorl_.detach();
                return false;
            }
        } catch (Lumo::CorruptionDetectedException const& e) {
            LUMO_FMTRACE(debug_, 2, "VornShadow", "corruption detected: {}", e.msg());
            quorl_.detach();
            reader_.detach();
            corruptionDetected(e.msg());
            return false;
        }
        attached_ = true;
        firstSyncDone_ = false;
        syncer_.start();
        mountStatusChanged();
        return true;
    }

    // The descriptor to poll (POLLIN) between service() calls.
    int fd() const { return syncer_.fd(); }
    // Runs the syncer for at most `budget` units of work; true when work
    // remains. Corruption met on the way is routed to corruptionDetected().
    bool service(std::size_t budget = 4096) {
        try {
            bool more = syncer_.service(budget);
            return settle() || more;
        } catch (Lumo::CorruptionDetectedException const& e) {
            corruptionDetected(e.msg());
            return false;
        }
    }
    bool prepareToWait() { return syncer_.prepareToWait(); }
    // Services until synchronised or `timeoutMs` passed without progress.
    bool serviceUntilSynced(int timeoutMs) {
        double deadline = Lumo::time() + timeoutMs / 1000.0;
        while (Lumo::time() < deadline) {
            if (service()) continue;
            if (!attached_) return false;
            if (syncer_.done() && !quorl_.pending()) return true;
            if (prepareToWait()) quorl_.wait(10);
        }
        return false;
    }

    // Detaches from the files. The shadow then flushes (every key it knew is
    // reported gone) asynchronously, through later service() calls, unless
    // `force`; mount status 3 while that runs.
    void detach(bool force = false) {
        if (attached_) {
            quorl_.detach();
            reader_.detach();
            flushing_ = true;
            attached_ = false;
            LUMO_FMTRACE(debug_, 5, "VornShadow", "detached");
            mountStatusChanged();
            if (cb_.onQuiesced) cb_.onQuiesced(false);
            syncer_.startFlush(syncSequence_, !force);
            return;
        }
        LUMO_FMTRACE(debug_, 5, "VornShadow", "already detached");
        if (flushing_) {
            LUMO_FMASSERT(syncer_.mode() == Syncer::flushing, "VornShadow",
                          "expected Syncer in flush mode during asynchronous flush");
            LUMO_FMASSERT(force, "VornShadow", "expected only forced detach during asynchronous flush");
            syncer_.forceSyncCompletion();
        }
    }

    void notifyingIs(bool on) { store_.notifyingIs(on); }
    void yieldTimeIs(double seconds) { yieldTime_ = seconds; }
    double yieldTime() const { return yieldTime_; }
    void resize() { reader_.doResize(); }

    void corruptionDetected(std::string const& message) {
        LUMO_FMTRACE(debug_, 2, "VornShadow", "corruption detected: {}", message);
        ++corruptions_;
        if (cb_.onCorruption) cb_.onCorruption(message);
        if (attached_) detach(true);
    }

    // ---------------------------------------------------------------- reads

    // The value of `key` from the shared files, found through the shadow
    // index when the shadow knows the key's slot.
    bool lookup(Key key, Value& out) {
        if (!attached_) return false;
        std::int32_t slot = store_.slotOf(key);
        if (slot >= 0 && store_.value(std::uint32_t(slot), out) && Ops::keyOf(out) == key) return true;
        IterHint h;
        return reader_.lookup(key, out, h);
    }
    bool first(Value& out, IterHint& hint) { return attached_ && reader_.first(out, hint); }
    bool next(Key key, Value& out, IterHint& hint) { return attached_ && reader_.next(key, out, hint); }
    bool getValue(std::uint32_t slot, Value& out, IterHint& hint) { return attached_ && reader_.getValue(slot, out, hint); }
    std::uint32_t members() const { return reader_.members(); }
    std::uint32_t capacity() const { return reader_.capacity(); }

    MountStatus mountStatus() const {
        if (flushing_) return flushInProgress;
        if (!attached_) return notMounted;
        return firstSyncDone_ ? mounted : synchronizing;
    }
    bool quiesced() const { return attached_ && syncer_.done(); }
    bool attached() const { return attached_; }
    std::uint64_t syncSequence() const { return syncSequence_; }

    KeyShadowStore<Ops>& store() { return store_; }
    VornReader<Ops>& reader() { return reader_; }
    Syncer& syncer() { return syncer_; }
    Quorl::QuorlReader& quorl() { return quorl_; }
    std::uint64_t corruptions() const { return corruptions_; }

private:
    // ---------------------------------------------------------------- SyncTarget
    void doSlot(std::uint32_t slot, std::uint64_t sequence, bool fullSync) override {
        if (!store_.doSlot(slot, sequence, fullSync,
                           [&](std::uint64_t s) { return quorl_.validateNotif(Quorl::Notif{slot, s}); }))
            syncer_.revisit(slot);
        store_.takePending([&](std::uint32_t s) { syncer_.revisit(s); });
    }
    // The end of a round: keys in transit are resolved; slots that could not
    // be read go back to the syncer. True when some did.
    bool settle() {
        if (!attached_ || syncer_.mode() != Syncer::syncing) return false;
        store_.settleTransit();
        bool revisits = false;
        store_.takePending([&](std::uint32_t s) {
            syncer_.revisit(s);
            revisits = true;
        });
        return revisits;
    }
    std::uint32_t resyncRange() override {
        reader_.doResize();
        return std::max(store_.records(), reader_.numSlots());
    }
    void syncComplete() override {
        settle();
        syncSequence_ = quorl_.nextSequence();
        LUMO_FMTRACE(debug_, 5, "VornShadow", "Synchronization complete, seq:{}", syncSequence_);
        firstSyncDone_ = true;
        mountStatusChanged();
        if (cb_.onQuiesced) cb_.onQuiesced(true);
    }
    void doFlushSlot(std::uint32_t slot) override { store_.doFlushSlot(slot); }
    std::uint32_t flushRange() override { return store_.records(); }
    void flushComplete() override {
        LUMO_FMTRACE(debug_, 5, "VornShadow", "Flush complete");
        store_.flushCarried();
        flushing_ = false;
        mountStatusChanged();
    }
    void handleDisconnect() override {
        if (!store_.notifying())
            LUMO_FMTRACE(debug_, 5, "VornShadow", "disconnected while tapp processing is disabled, syncer mode:{} done:{}",
                         int(syncer_.mode()), syncer_.done());
        if (cb_.onDisconnect) cb_.onDisconnect();
        if (attached_) detach(false);
    }

    void mountStatusChanged() {
        if (cb_.onMountStatus) cb_.onMountStatus(mountStatus());
    }

    Lumo::Platform::DebugHandler* debug_;
    std::string name_;
    Mem::RootPath root_;
    ShadowCallbacks<Ops> cb_;
    VornReader<Ops> reader_;
    KeyShadowStore<Ops> store_;
    Quorl::QuorlReader quorl_;
    Syncer syncer_;
    bool attached_ = false;
    bool flushing_ = false;
    bool firstSyncDone_ = false;
    std::uint64_t syncSequence_ = 0;
    double yieldTime_ = 0;
    std::uint64_t corruptions_ = 0;
};

}  // namespace Vorn
