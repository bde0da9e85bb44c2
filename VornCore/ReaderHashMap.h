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
//  - Every loop is bounded: slot reads by SlotReaderTable::kMaxSlotRetries,
//    walks by the slot and bucket counts, attempts by kMaxAttempts.
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
#include "VornCore/BucketReader.h"
#include "VornCore/WriterHashMap.h"

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

template <class Ops>
class ReaderHashMap {
public:
    using Value = typename Ops::Value;
    using Key = typename Ops::Key;
    using Slots = Vorn::SlotReaderTable<Value>;
    using Payload = typename Slots::Payload;
    static constexpr std::uint32_t kMaxAttempts = 1u << 20;

    ReaderHashMap(Lumo::Platform::DebugHandler* debug, Ops const& ops, Slots& slots, BucketReader& buckets,
                  ReaderCounters& counters)
        : debug_(debug), ops_(ops), slots_(slots), buckets_(buckets), counters_(counters) {}

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
            Vorn::SlotLink const* via = &buckets_.head(0);
            std::uint64_t vw = via->load(std::memory_order_acquire);
            return advance(via, vw, Vorn::SlotLink::linkOf(vw), 0, out, hint);
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
    void verifyNextBucket(std::uint32_t bucket, std::uint32_t next) const { verifyNextBucket(bucket, next, count_); }

    // Takes the current shapes of both tables, remapping as needed.
    void sync() {
        std::uint64_t w = slots_.headerWord();
        if (std::uint32_t(w) != slots_.generation() || std::uint32_t(w >> 32) != slots_.numSlots()) {
            slots_.doResize();
            ++counters_.remaps;
        }
        auto s = buckets_.shape();
        count_ = s.count;
        bucketGeneration_ = s.generation;
        slotGeneration_ = slots_.generation();
    }
    // Whether either table moved since sync().
    bool moved() const {
        std::uint64_t w = Mem::atomicLoad(bucketHeader().generationCount, std::memory_order_acquire);
        return std::uint32_t(w) != bucketGeneration_ || slots_.resized();
    }
    std::uint32_t count() const { return count_; }

private:
    enum class Result { found, absent, restart };

    BucketFileHeader const& bucketHeader() const { return buckets_.header(); }

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
        Lumo::raise<Lumo::CorruptionDetectedException>("no consistent read after {} attempts", kMaxAttempts);
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

    // Reads slot `idx` reached through `via` (whose word was `vw`); checks
    // the index, the link and the slot's state. Result::restart when the
    // link moved or the slot kept changing.
    Result step(Vorn::SlotLink const* via, std::uint64_t vw, std::uint32_t idx, std::uint32_t bucket, Payload& p,
                std::uint64_t& sw, Key& k) {
        std::uint32_t numSlots = slots_.numSlots();
        if (idx >= numSlots) {
            if (via->load(std::memory_order_acquire) != vw) return retry();
            ReaderHashMapCommon::throwOutOfRangeIndex(idx, numSlots);
        }
        ++counters_.steps;
        bool ok;
        std::uint64_t before = slots_.spareReads();
        sw = slots_.readWord(idx, p, ok);
        counters_.spareReads += slots_.spareReads() - before;
        if (!ok) return retry();
        // Acquire: the re-read happens after the slot copy (pairs with the
        // writer's release store of the link word).
        if (via->load(std::memory_order_acquire) != vw) return retry();
        if (!(Vorn::SlotLink::seqOf(sw) & Vorn::kSeqOccupied)) ReaderHashMapCommon::throwNotOccupied(idx);
        k = Ops::keyAt(p.value);
        std::uint32_t h = ops_.hash(k);
        if (!belongs(h, bucket, count_) || p.orderKey != Lumo::Util::reverse(h))
            ReaderHashMapCommon::throwCorruptKey(idx, bucket, count_);
        return Result::found;
    }
    Result retry() {
        ++counters_.retries;
        return Result::restart;
    }

    Result lookupOnce(Key key, std::uint32_t hash, Value& out, Vorn::IterHint& hint) {
        std::uint32_t n = count_;
        std::uint32_t b = hash & (n - 1);
        std::uint32_t r = Lumo::Util::reverse(hash);
        Vorn::SlotLink const* via = &buckets_.head(b);
        std::uint64_t vw = via->load(std::memory_order_acquire);
        std::uint32_t l = Vorn::SlotLink::linkOf(vw);
        std::uint64_t steps = 0;
        std::uint32_t numSlots = slots_.numSlots();
        while (Vorn::SlotLink::isSlot(l)) {
            std::uint32_t idx = Vorn::SlotLink::indexOf(l);
            if (++steps > numSlots) ReaderHashMapCommon::throwHashChainCycle(steps);
            Payload p;
            std::uint64_t sw;
            Key k;
            if (step(via, vw, idx, b, p, sw, k) == Result::restart) return Result::restart;
            if (r < p.orderKey || (r == p.orderKey && !(k < key))) {
                if (r == p.orderKey && k == key) {
                    std::memcpy(static_cast<void*>(&out), p.value, sizeof(Value));
                    hint = Vorn::IterHint{Vorn::SlotLink::seqOf(sw), idx, b};
                    return Result::found;
                }
                break;
            }
            via = &slots_.word(idx);
            vw = sw;
            l = Vorn::SlotLink::linkOf(sw);
        }
        if (!Vorn::SlotLink::isSlot(l)) verifyNextBucket(b, Vorn::SlotLink::indexOf(l), n);
        if (moved()) {
            ++counters_.resizeRetries;
            return Result::restart;
        }
        hint.reset();
        return Result::absent;
    }

    // The first value at or after link `l` (read from `via` as `vw`) of
    // `bucket`, following chain ends into the buckets they name.
    Result advance(Vorn::SlotLink const* via, std::uint64_t vw, std::uint32_t l, std::uint32_t bucket, Value& out,
                   Vorn::IterHint& hint) {
        std::uint32_t n = count_;
        std::uint64_t hops = 0;
        while (!Vorn::SlotLink::isSlot(l)) {
            std::uint32_t nb = Vorn::SlotLink::indexOf(l);
            if (nb == Vorn::kLinkIndexMask) {
                verifyNextBucket(bucket, nb, n);
                if (moved()) {
                    ++counters_.resizeRetries;
                    return Result::restart;
                }
                hint.reset();
                return Result::absent;
            }
            verifyNextBucket(bucket, nb, n);
            if (moved()) {
                ++counters_.resizeRetries;
                return Result::restart;
            }
            if (++hops > std::uint64_t(n) * 2) ReaderHashMapCommon::throwHashChainCycle(hops);
            bucket = nb;
            via = &buckets_.head(bucket);
            vw = via->load(std::memory_order_acquire);
            l = Vorn::SlotLink::linkOf(vw);
        }
        std::uint32_t idx = Vorn::SlotLink::indexOf(l);
        Payload p;
        std::uint64_t sw;
        Key k;
        if (step(via, vw, idx, bucket, p, sw, k) == Result::restart) return Result::restart;
        std::memcpy(static_cast<void*>(&out), p.value, sizeof(Value));
        hint = Vorn::IterHint{Vorn::SlotLink::seqOf(sw), idx, bucket};
        LUMO_FMTRACE(debug_, 5, "ReaderHashMap", "{} found at bucket {}, saving {}", k, bucket, idx);
        return Result::found;
    }

    Result nextOnce(Key key, std::uint32_t hash, Value& out, Vorn::IterHint& hint) {
        std::uint32_t n = count_;
        std::uint32_t b = hash & (n - 1);
        if (hint.valid() && hint.slot < slots_.numSlots()) {
            Payload p;
            bool ok;
            std::uint64_t sw = slots_.readWord(hint.slot, p, ok);
            // Continues in the key's bucket under the count just taken, not
            // the hint's: the bucket table may have doubled or halved any
            // number of times since without touching the slot's link word.
            if (ok && Vorn::SlotLink::seqOf(sw) == hint.sequence && (hint.sequence & Vorn::kSeqOccupied) &&
                Ops::keyAt(p.value) == key) {
                Result res = advance(&slots_.word(hint.slot), sw, Vorn::SlotLink::linkOf(sw), b, out, hint);
                if (res == Result::found)
                    LUMO_FMTRACE(debug_, 5, "ReaderHashMap", "{} success {}, saving {}", key, true, hint.slot);
                if (res != Result::restart) return res;
                hint.reset();
                return Result::restart;
            }
        }
        std::uint32_t r = Lumo::Util::reverse(hash);
        Vorn::SlotLink const* via = &buckets_.head(b);
        std::uint64_t vw = via->load(std::memory_order_acquire);
        std::uint32_t l = Vorn::SlotLink::linkOf(vw);
        std::uint64_t steps = 0;
        std::uint32_t numSlots = slots_.numSlots();
        while (Vorn::SlotLink::isSlot(l)) {
            std::uint32_t idx = Vorn::SlotLink::indexOf(l);
            if (++steps > numSlots) ReaderHashMapCommon::throwHashChainCycle(steps);
            Payload p;
            std::uint64_t sw;
            Key k;
            if (step(via, vw, idx, b, p, sw, k) == Result::restart) return Result::restart;
            LUMO_FMTRACE(debug_, 5, "ReaderHashMap", "{} comparing slot {} {}", key, idx, k);
            if (r < p.orderKey || (r == p.orderKey && key < k)) {
                std::memcpy(static_cast<void*>(&out), p.value, sizeof(Value));
                hint = Vorn::IterHint{Vorn::SlotLink::seqOf(sw), idx, b};
                LUMO_FMTRACE(debug_, 5, "ReaderHashMap", "{} success {}, saving {}", key, true, idx);
                return Result::found;
            }
            via = &slots_.word(idx);
            vw = sw;
            l = Vorn::SlotLink::linkOf(sw);
        }
        return advance(via, vw, l, b, out, hint);
    }

    Lumo::Platform::DebugHandler* debug_;
    Ops const& ops_;
    Slots& slots_;
    BucketReader& buckets_;
    ReaderCounters& counters_;
    std::uint32_t count_ = 1;
    std::uint32_t bucketGeneration_ = 0;
    std::uint32_t slotGeneration_ = 0;
};

}  // namespace VornCore
