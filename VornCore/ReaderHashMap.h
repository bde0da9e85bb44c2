#pragma once
// Lock-free lookups and iteration over a map's hash index, for readers in
// any process. The index is the writer's (WriterHashMap.h): bucket heads in
// the bucket file, chains through the slots' link words, each chain sorted
// by (order key, key), chain ends naming the next bucket in bit-reversed
// order.
//
// Why a reader may walk while the writer changes the index:
//  - Every link word is read whole (one 64-bit load), and every change of a
//    link word adds 4 to its sequence. After reading a slot through a link
//    word, the reader re-reads that word; unchanged, the slot was linked
//    there when it was read. A slot taken off a chain changes the word that
//    pointed at it first and its own word next, so a walk that went through
//    a removed or moved slot notices at the next step and restarts.
//  - Slot contents are copied under the slot's sequence (SlotSequence.h):
//    whole values only.
//  - A split (grow) or merge (shrink) of the bucket table is done link by
//    link. A reader that took the bucket count just before or after it
//    finds keys that belong to its bucket under the count, half or double
//    the count, and chain ends naming the bucket's successor under one of
//    those counts; anything else is corruption. A walk that reaches a
//    chain end, or that found nothing, re-checks the bucket table's
//    generation and the slot table's resize generation and starts again
//    when either moved.
//  - Indices read from the files are bounds-checked against what this
//    reader mapped before use; a chain longer than the slot count is a
//    cycle. A corruption error raised while the files were being resized
//    leads to a remap and a new attempt, otherwise it propagates.
//  - Every walk is bounded by the slot and bucket counts. A slot that keeps
//    changing, or a walk that keeps restarting, is the writer making
//    progress: the reader keeps trying (yielding now and then) and, after
//    kMaxAttempts, raises Vorn::ReadContentionException: "unknown, look
//    again", never an absence. A dead writer leaves stable words.
//
// Stale reads are harmless: a value returned was whole and linked under its
// key at the instant it was copied; an absence was true at some instant of
// the attempt that reported it.
//
// Used from one thread; every reader has its own ReaderHashMap.
#include <cstdint>
#include <cstring>

#include <sched.h>

#include "Lumo/Exception.h"
#include "Lumo/Trace.h"
#include "Lumo/Util.h"
#include "Vorn/IterHint.h"
#include "Vorn/SlotLink.h"
#include "Vorn/SlotReaderTable.h"
#include "Vorn/ReadContentionException.h"
#include "VornCore/BucketReader.h"
#include "VornCore/ChainCursor.h"

namespace VornCore {

struct ReaderCounters {
    std::uint64_t lookups = 0;
    std::uint64_t steps = 0;         // slots visited by walks
    std::uint64_t retries = 0;       // attempts restarted on a changed link word or a busy slot
    std::uint64_t resizeRetries = 0; // attempts restarted because a table was resized or split
    std::uint64_t spareReads = 0;    // values read from the spare slot (overwrite in progress)
    std::uint64_t remaps = 0;
    std::uint64_t iterations = 0;
};

// Retrying walks for readers (ChainCursor.h): slots are copied under the
// sequence protocol and the word that led to a slot is re-read after it.
template <class Ops>
struct ReaderAccess {
    using Key = typename Ops::Key;
    using Slots = Vorn::SlotReaderTable<typename Ops::Value>;
    using Payload = typename Slots::Payload;

    Ops const& ops;
    Slots& slots;
    BucketReader& buckets;
    ReaderCounters& counters;
    std::uint32_t bucketGeneration = 0;
    Payload payload;  // of the slot last visited

    std::uint32_t numSlots() const { return slots.numSlots(); }
    Vorn::SlotLink const& head(std::uint32_t b) const { return buckets.head(b); }
    Vorn::SlotLink const& word(LinkRef r) const { return r.bucket ? buckets.head(r.index) : slots.word(r.index); }
    bool linkMoved(LinkRef via, std::uint64_t viaWord) {
        // Acquire: the re-read happens after the slot copy (pairs with the
        // writer's release store of the link word).
        if (word(via).load(std::memory_order_acquire) == viaWord) return false;
        ++counters.retries;
        return true;
    }
    Step visit(LinkRef via, std::uint64_t viaWord, std::uint32_t idx, std::uint64_t& w, Key& key) {
        ++counters.steps;
        Vorn::SlotRead r;
        std::uint64_t before = slots.spareReads();
        w = slots.readWord(idx, payload, r);
        counters.spareReads += slots.spareReads() - before;
        if (r == Vorn::SlotRead::unknown) {
            ++counters.retries;
            return Step::restart;
        }
        if (linkMoved(via, viaWord)) return Step::restart;
        if (r == Vorn::SlotRead::absent) ReaderHashMapCommon::throwNotOccupied(idx);
        key = Ops::keyAt(payload.value);
        return Step::slot;
    }
    std::uint32_t hash(Key key) const { return ops.hash(key); }
    // A concurrent split or merge is tolerated: the key may belong to the
    // bucket under the count, half or double the count.
    void checkKey(std::uint32_t idx, std::uint32_t hash, std::uint32_t bucket, std::uint32_t n) const {
        if (!belongs(hash, bucket, n) || payload.orderKey != Lumo::Util::reverse(hash))
            ReaderHashMapCommon::throwCorruptKey(idx, bucket, n);
    }
    static bool belongs(std::uint32_t hash, std::uint32_t bucket, std::uint32_t n) {
        if ((hash & (n - 1)) == bucket) return true;
        if (n > 1 && (hash & (n / 2 - 1)) == (bucket & (n / 2 - 1))) return true;
        return std::uint64_t(n) * 2 <= BucketFileHeader::kMaxCount && (hash & (2 * n - 1)) == bucket;
    }
    static void verifyNextBucket(std::uint32_t bucket, std::uint32_t next, std::uint32_t n) {
        std::uint32_t expected = nextBucketInOrder(bucket, n);
        if (next == expected) return;
        if (n > 1 && next == nextBucketInOrder(bucket & (n / 2 - 1), n / 2)) return;
        if (std::uint64_t(n) * 2 <= BucketFileHeader::kMaxCount && next == nextBucketInOrder(bucket, 2 * n)) return;
        ReaderHashMapCommon::throwBadNextBucket(bucket, next, expected);
    }
    // Whether either table moved since the attempt began.
    bool stale() {
        std::uint64_t w = Mem::atomicLoad(buckets.header().generationCount, std::memory_order_acquire);
        if (std::uint32_t(w) == bucketGeneration && !slots.resized()) return false;
        ++counters.resizeRetries;
        return true;
    }
    [[noreturn]] static void throwCycle(std::uint64_t steps) { ReaderHashMapCommon::throwHashChainCycle(steps); }
    [[noreturn]] static void throwOutOfRange(std::uint32_t idx, std::uint32_t n) {
        ReaderHashMapCommon::throwOutOfRangeIndex(idx, n);
    }
};

template <class Ops>
class ReaderHashMap {
public:
    using Value = typename Ops::Value;
    using Key = typename Ops::Key;
    using Slots = Vorn::SlotReaderTable<Value>;
    using Payload = typename Slots::Payload;
    using Access = ReaderAccess<Ops>;
    using Cursor = ChainCursor<Access>;
    // Attempts of one operation before it gives up with
    // Vorn::ReadContentionException (each restart is a change the writer made).
    static constexpr std::uint32_t kMaxAttempts = 1u << 20;

    ReaderHashMap(Lumo::Platform::DebugHandler* debug, Ops const& ops, Slots& slots, BucketReader& buckets,
                  ReaderCounters& counters)
        : debug_(debug), ops_(ops), slots_(slots), buckets_(buckets), counters_(counters),
          access_{ops_, slots_, buckets_, counters_, 0, {}} {}

    // The value of `key` into `out`; false when absent.
    bool lookup(Key key, Value& out, Vorn::IterHint& hint) {
        ++counters_.lookups;
        std::uint32_t hash = ops_.hash(key);
        return attempts([&] { return lookupOnce(key, hash, out, hint); });
    }

    // The first value in iteration order; false when the map is empty.
    bool first(Value& out, Vorn::IterHint& hint) {
        ++counters_.iterations;
        bool ok = attempts([&] {
            Cursor c(access_);
            c.start(0, count_);
            return produce(c, out, hint);
        });
        if (!ok) LUMO_FMTRACE(debug_, 5, "ReaderHashMap", "none found!");
        return ok;
    }

    // The value that follows `key` in iteration order (whether or not `key`
    // is still present); false at the end.
    bool next(Key key, Value& out, Vorn::IterHint& hint) {
        ++counters_.iterations;
        std::uint32_t hash = ops_.hash(key);
        bool ok = attempts([&] { return nextOnce(key, hash, out, hint); });
        if (!ok) LUMO_FMTRACE(debug_, 5, "ReaderHashMap", "none found!");
        return ok;
    }

    // Checks that a chain end of `bucket` names `next` (tolerating a
    // concurrent split or merge: the successor under the count, half or
    // double the count). Raises Lumo::CorruptionDetectedException otherwise.
    void verifyNextBucket(std::uint32_t bucket, std::uint32_t next) const {
        Access::verifyNextBucket(bucket, next, count_);
    }

    // Takes the current shapes of both tables, remapping as needed.
    void sync() {
        std::uint64_t w = slots_.headerWord();
        if (std::uint32_t(w) != slots_.generation() || std::uint32_t(w >> 32) != slots_.numSlots()) {
            slots_.doResize();
            ++counters_.remaps;
        }
        auto s = buckets_.shape();
        count_ = s.count;
        access_.bucketGeneration = s.generation;
    }
    // Whether either table moved since sync().
    bool moved() const {
        std::uint64_t w = Mem::atomicLoad(buckets_.header().generationCount, std::memory_order_acquire);
        return std::uint32_t(w) != access_.bucketGeneration || slots_.resized();
    }
    std::uint32_t count() const { return count_; }

private:
    enum class Result { found, absent, restart };

    template <class F>
    bool attempts(F&& once) {
        for (std::uint32_t attempt = 0; attempt < kMaxAttempts; ++attempt) {
            if (attempt != 0 && attempt % 64 == 0) ::sched_yield();
            sync();
            try {
                Result r = once();
                if (r != Result::restart) return r == Result::found;
            } catch (Lumo::CorruptionDetectedException const&) {
                if (!moved()) throw;
                ++counters_.resizeRetries;
            }
        }
        Lumo::raise<Vorn::ReadContentionException>("no stable read of {} after {} attempts", slots_.name(),
                                                   kMaxAttempts);
    }

    Result found(Cursor const& c, Value& out, Vorn::IterHint& hint) {
        std::memcpy(static_cast<void*>(&out), access_.payload.value, sizeof(Value));
        hint = Vorn::IterHint{c.sequence(), c.slot(), c.bucket()};
        return Result::found;
    }

    Result lookupOnce(Key key, std::uint32_t hash, Value& out, Vorn::IterHint& hint) {
        std::uint32_t r = Lumo::Util::reverse(hash);
        Cursor c(access_);
        c.start(hash & (count_ - 1), count_);
        for (; c.atSlot(); c.advance()) {
            if (c.load() == Step::restart) return Result::restart;
            if (!orderedBefore(c.order(), c.key(), r, key)) {
                if (c.order() == r && c.key() == key) return found(c, out, hint);
                break;
            }
        }
        if (!c.atSlot()) c.checkEnd();
        if (access_.stale()) return Result::restart;
        hint.reset();
        return Result::absent;
    }

    // The first value at or after the cursor's link, following chain ends
    // into the buckets they name.
    Result produce(Cursor& c, Value& out, Vorn::IterHint& hint) {
        while (!c.atSlot()) {
            Step s = c.nextBucket();
            if (s == Step::restart) return Result::restart;
            if (s == Step::end) {
                hint.reset();
                return Result::absent;
            }
        }
        if (c.load() == Step::restart) return Result::restart;
        LUMO_FMTRACE(debug_, 5, "ReaderHashMap", "{} found at bucket {}, saving {}", c.key(), c.bucket(), c.slot());
        return found(c, out, hint);
    }

    Result nextOnce(Key key, std::uint32_t hash, Value& out, Vorn::IterHint& hint) {
        std::uint32_t b = hash & (count_ - 1);
        Cursor c(access_);
        if (hint.valid() && hint.slot < slots_.numSlots()) {
            Payload p;
            Vorn::SlotRead rd;
            std::uint64_t sw = slots_.readWord(hint.slot, p, rd);
            // Continues in the key's bucket under the count just taken, not
            // the hint's: the bucket table may have doubled or halved any
            // number of times since without touching the slot's link word.
            if (rd == Vorn::SlotRead::present && Vorn::SlotLink::seqOf(sw) == hint.sequence &&
                Ops::keyAt(p.value) == key) {
                c.resume(b, count_, hint.slot, sw);
                Result res = produce(c, out, hint);
                if (res == Result::found)
                    LUMO_FMTRACE(debug_, 5, "ReaderHashMap", "{} success {}, saving {}", key, true, hint.slot);
                if (res == Result::restart) hint.reset();
                return res;
            }
        }
        std::uint32_t r = Lumo::Util::reverse(hash);
        c.start(b, count_);
        for (; c.atSlot(); c.advance()) {
            if (c.load() == Step::restart) return Result::restart;
            LUMO_FMTRACE(debug_, 5, "ReaderHashMap", "{} comparing slot {} {}", key, c.slot(), c.key());
            if (orderedBefore(r, key, c.order(), c.key())) {
                LUMO_FMTRACE(debug_, 5, "ReaderHashMap", "{} success {}, saving {}", key, true, c.slot());
                return found(c, out, hint);
            }
        }
        return produce(c, out, hint);
    }

    Lumo::Platform::DebugHandler* debug_;
    Ops const& ops_;
    Slots& slots_;
    BucketReader& buckets_;
    ReaderCounters& counters_;
    Access access_;
    std::uint32_t count_ = 1;
};

}  // namespace VornCore
