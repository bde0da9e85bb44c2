#pragma once
// The writer's hash index over a slot file: one bucket file of link words,
// chains threaded through the slots' own link words.
//
//   bucket file:  [hdr 24 B][head 0][head 1]...[head n-1]     n = 2^k
//   chain of b:   head b -> slot -> slot -> ... -> END(next bucket in split order)
//
// Invariants (between operations):
//  - a key lives in bucket hash & (n - 1); each chain is sorted ascending by
//    (reverse(hash), key), reverse(hash) being the slot's order key;
//  - the end link of bucket b names the bucket that follows b when buckets
//    are taken in bit-reversed order (0, n/2, n/4, 3n/4, ... for k bits), the
//    last one 0x3fffffff (none): following end links from bucket 0 visits
//    every value once, in ascending order key;
//  - because of that order, the keys that move from b to b + n when n
//    doubles form the tail of b's chain, and halving appends b + n's chain to
//    b's. Both are done in place, link by link, each change a +4 on one
//    link word, so that a reader walking concurrently either finds its key or
//    notices a changed link word and restarts.
//
// Used only by the map's writer, from one thread.
#include <cstdint>
#include <string>

#include "Lumo/Rdtsc.h"
#include "Lumo/Scheduler.h"
#include "Lumo/Trace.h"
#include "Lumo/Util.h"
#include "Vorn/SlotSequence.h"
#include "Vorn/SlotTable.h"
#include "VornCore/BucketReader.h"
#include "VornCore/BucketWriter.h"
#include "VornCore/ChainCursor.h"

namespace VornCore {

// Checked walks over the writer's own files (ChainCursor.h): slots are read
// in place, and every failed check is corruption.
template <class Ops>
struct WriterAccess {
    using Key = typename Ops::Key;
    using Slots = Vorn::SlotWriterTable<typename Ops::Value>;

    Ops const& ops;
    Slots& slots;
    BucketWriter<Vorn::SlotLink>& buckets;

    std::uint32_t numSlots() const { return slots.numSlots(); }
    Vorn::SlotLink const& head(std::uint32_t b) const { return buckets.head(b); }
    Step visit(LinkRef, std::uint64_t, std::uint32_t idx, std::uint64_t& word, Key& key) const {
        auto& s = slots.slotUnchecked(idx);
        word = s.word.load(std::memory_order_relaxed);
        if (!(Vorn::SlotLink::seqOf(word) & Vorn::kSeqOccupied)) WriterHashMapCommon::throwNotOccupied(idx);
        key = Ops::keyAt(s.value);
        return Step::slot;
    }
    static bool linkMoved(LinkRef, std::uint64_t) { return false; }
    std::uint32_t hash(Key key) const { return ops.hash(key); }
    // The order key comes from the key itself rather than the slot's copy,
    // which sits past the value on another cache line (the validator checks
    // that the two agree).
    static void checkKey(std::uint32_t idx, std::uint32_t hash, std::uint32_t bucket, std::uint32_t n) {
        if ((hash & (n - 1)) != bucket) WriterHashMapCommon::throwCorruptKey(idx);
    }
    static void verifyNextBucket(std::uint32_t bucket, std::uint32_t next, std::uint32_t n) {
        std::uint32_t expected = nextBucketInOrder(bucket, n);
        if (next != expected) ReaderHashMapCommon::throwBadNextBucket(bucket, next, expected);
    }
    static bool stale() { return false; }
    [[noreturn]] static void throwCycle(std::uint64_t steps) { WriterHashMapCommon::throwHashChainCycle(steps); }
    [[noreturn]] static void throwOutOfRange(std::uint32_t idx, std::uint32_t n) {
        WriterHashMapCommon::throwOutOfRangeIndex(idx, n);
    }
};

template <class Ops>
class WriterHashMap {
public:
    using Value = typename Ops::Value;
    using Key = typename Ops::Key;
    using Slots = Vorn::SlotWriterTable<Value>;
    using Slot = typename Slots::Slot;

    struct Found {
        bool found = false;
        LinkRef prev{true, 0};
        std::uint32_t curr = Vorn::kLinkNone;  // slot found, or the first slot after the key
        std::uint32_t bucket = 0;
        std::uint32_t hash = 0;
        std::uint32_t order = 0;
        std::uint32_t stopLink = Vorn::kLinkNone;  // the link at which the walk stopped
    };

    struct Timing {
        std::uint64_t longestGrowCycles = 0;
        std::uint64_t longestShrinkCycles = 0;
        std::uint64_t lastCycles = 0;
        std::uint64_t longestSliceCycles = 0;  // longest stretch between two yields
        std::uint64_t yields = 0;
    };

    WriterHashMap(Lumo::Platform::DebugHandler* debug, Ops const& ops, Slots& slots, BucketWriter<Vorn::SlotLink>& buckets)
        : debug_(debug), ops_(ops), slots_(slots), buckets_(buckets) {}

    std::uint32_t count() const { return count_; }
    std::uint32_t growThreshold() const { return count_; }
    std::uint32_t shrinkThreshold() const { return count_ / 4; }
    void countIs(std::uint32_t n) { count_ = n; }
    Timing const& timing() const { return timing_; }
    bool criticalTaskCheck() const { return criticalTaskCheck_; }
    void criticalTaskCheckIs(bool on) { criticalTaskCheck_ = on; }

    Vorn::SlotLink& link(LinkRef r) const {
        return r.bucket ? buckets_.head(r.index) : slots_.slotUnchecked(r.index).word;
    }

    // Walks the key's chain. Raises Lumo::CorruptionDetectedException on a
    // bucket or slot index out of range, a cycle, an unoccupied slot or a key
    // of another bucket.
    Found find(Key key, std::uint32_t hash) const {
        Found f;
        f.hash = hash;
        f.order = Lumo::Util::reverse(hash);
        f.bucket = hash & (count_ - 1);
        Cursor c = cursor();
        c.start(f.bucket, count_);
        for (; c.atSlot(); c.advance()) {
            c.load();
            if (!orderedBefore(c.order(), c.key(), f.order, key)) {
                f.curr = c.slot();
                f.found = c.order() == f.order && c.key() == key;
                break;
            }
        }
        f.prev = c.via();
        f.stopLink = c.link();
        return f;
    }

    // The ref of the last word of bucket `bucket`'s chain.
    LinkRef chainEnd(std::uint32_t bucket) const {
        Cursor c = cursor();
        c.start(bucket, count_);
        for (; c.atSlot(); c.advance()) c.load();
        return c.via();
    }

    using Access = WriterAccess<Ops>;
    using Cursor = ChainCursor<Access>;
    Cursor cursor() const { return Cursor(access_); }

    // Doubles the bucket table: the tails of the chains move to the new buckets.
    void growBuckets() {
        std::uint32_t n = count_;
        if (std::uint64_t(n) * 2 > BucketFileHeader::kMaxCount) return;
        std::uint32_t n2 = 2 * n;
        LUMO_FMTRACE(debug_, 5, "WriterHashMap", "growing from: {} to: {}", n, n2);
        std::uint64_t start = Lumo::Rdtsc::now();
        beginSlices(start);
        buckets_.resize(n2);
        // Pass 1: bucket b + n starts at the first slot of b's chain that moves,
        // or continues where b's chain ends when nothing moves.
        for (std::uint32_t b = 0; b < n; ++b) {
            Cursor c = firstMoving(b, n, n2);
            Vorn::SlotSequence::relink(buckets_.head(b + n), c.link());
            maybeYield();
        }
        buckets_.headerIs(buckets_.generation() + 1, n2);
        count_ = n2;
        // Pass 2: cut each old chain before its first moving slot; the cut
        // link names bucket b + n, whose chain now follows b's. The chains
        // are still those of n buckets until cut.
        for (std::uint32_t b = 0; b < n; ++b) {
            Cursor c = firstMoving(b, n, n2);
            Vorn::SlotSequence::relink(link(c.via()), Vorn::SlotLink::endLink(b + n));
            maybeYield();
        }
        endSlices();
        timing_.lastCycles = Lumo::Rdtsc::now() - start;
        timing_.longestGrowCycles = std::max(timing_.longestGrowCycles, timing_.lastCycles);
    }

    // Halves the bucket table: bucket b + m's chain is appended to b's.
    void shrinkBuckets() {
        std::uint32_t n = count_;
        if (n <= 1) return;
        std::uint32_t m = n / 2;
        std::uint64_t start = Lumo::Rdtsc::now();
        beginSlices(start);
        for (std::uint32_t b = 0; b < m; ++b) {
            LinkRef last = chainEnd(b);
            std::uint32_t tail = Vorn::SlotLink::linkOf(buckets_.head(b + m).load(std::memory_order_relaxed));
            Vorn::SlotSequence::relink(link(last), tail);
            maybeYield();
        }
        buckets_.headerIs(buckets_.generation() + 1, m);
        count_ = m;
        buckets_.resize(m);
        endSlices();
        timing_.lastCycles = Lumo::Rdtsc::now() - start;
        timing_.longestShrinkCycles = std::max(timing_.longestShrinkCycles, timing_.lastCycles);
        LUMO_FMTRACE(debug_, 5, "WriterHashMap", "shrunk from:{} to:{} shrinkBuckets_:{} time:{}", n, m, m / 4,
                     double(timing_.lastCycles) / double(Lumo::Rdtsc::calibrationRate()));
    }

    // Time slicing of long reorganisations: the scheduler's critical-priority
    // tasks run (when the check is on) at least every 10 ms of processor
    // time. The writer gives way once 8 ms have passed, so that the step in
    // progress (steps are kept to a few milliseconds at most: a bucket, a
    // moved slot, 1024 new slots, 2 MB given back) still ends inside the 10.
    void beginSlices(std::uint64_t now) {
        sliceStart_ = now;
        deadline_ = now + Lumo::Rdtsc::calibrationRate() / 125;
    }
    void maybeYield() {
        std::uint64_t now = Lumo::Rdtsc::now();
        if (now < deadline_) return;
        timing_.longestSliceCycles = std::max(timing_.longestSliceCycles, now - sliceStart_);
        if (criticalTaskCheck_) {
            ++timing_.yields;
            Lumo::TaskSchedulerRoot::runCriticalPriorityTasks();
        }
        beginSlices(Lumo::Rdtsc::now());
    }
    void endSlices() {
        timing_.longestSliceCycles = std::max(timing_.longestSliceCycles, Lumo::Rdtsc::now() - sliceStart_);
    }

private:
    // A cursor on the first slot of bucket b's chain (of n buckets) that
    // belongs elsewhere under n2, or on its end.
    Cursor firstMoving(std::uint32_t b, std::uint32_t n, std::uint32_t n2) const {
        Cursor c = cursor();
        c.start(b, n);
        for (; c.atSlot(); c.advance()) {
            c.load();
            if ((c.hash() & (n2 - 1)) != b) break;
        }
        return c;
    }

    Lumo::Platform::DebugHandler* debug_;
    Ops const& ops_;
    Slots& slots_;
    BucketWriter<Vorn::SlotLink>& buckets_;
    mutable Access access_{ops_, slots_, buckets_};
    std::uint32_t count_ = 1;
    bool criticalTaskCheck_ = true;
    std::uint64_t deadline_ = 0;
    std::uint64_t sliceStart_ = 0;
    Timing timing_;
};

}  // namespace VornCore
