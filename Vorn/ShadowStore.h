#pragma once
// The process-local shadow of a shared-memory map: one 16-byte record per
// slot of the shared file, and an index over the records by key.
//
//   struct ShadowRecord {      // 16 bytes, process-local (anonymous memory or heap)
//       i32 next;              // next record in the local chain, -1 none
//       i32 prev;              // previous record, -1 none (not linked);
//                              // -(b + 2): head of local bucket b
//       u32 key;               // the key the slot held when last seen
//       u32 rhash;             // the key's bit-reversed hash
//   };
//
// Shadow index (ShadowHashMap): 2^k bucket heads (record indices, -1 empty);
// a key's bucket is the top k bits of its bit-reversed hash, and every
// chain is doubly linked through the records, ordered by (rhash, key). So
// doubling the index splits bucket i into 2i (the chain's head part) and
// 2i + 1 (its tail), and halving appends 2i + 1 to 2i: both in one pass,
// nothing rehashed.
//
// Invariants between calls: a record is linked (prev != -1) exactly when it
// holds a key; a key is held by at most one record; SlotCounters counts the
// linked records and knows the largest linked index.
//
// Used from the owner's thread only; nothing here is shared.
#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
#include <string>
#include <vector>

#include "Lumo/Assert.h"
#include "Lumo/Exception.h"
#include "Lumo/Toggle.h"
#include "Lumo/Trace.h"
#include "Mem/SharedMemWrapper.h"

namespace Vorn {

struct ShadowRecord {
    std::int32_t next;
    std::int32_t prev;
    std::uint32_t key;
    std::uint32_t rhash;
    bool linked() const { return prev != -1; }
};
static_assert(sizeof(ShadowRecord) == 16);

// Counts the records that hold a key and finds the largest such index.
class SlotCounters {
public:
    void resize(std::uint32_t n) {
        bits_.resize((std::size_t(n) + 63) / 64, 0);
        if (hint_ > n) hint_ = n;
    }
    void set(std::uint32_t i) {
        std::uint64_t& w = bits_[i / 64];
        std::uint64_t m = 1ull << (i % 64);
        if (!(w & m)) ++occupied_;
        w |= m;
        hint_ = std::max(hint_, i + 1);
    }
    void clear(std::uint32_t i) {
        std::uint64_t& w = bits_[i / 64];
        std::uint64_t m = 1ull << (i % 64);
        if (w & m) --occupied_;
        w &= ~m;
    }
    bool test(std::uint32_t i) const { return i / 64 < bits_.size() && (bits_[i / 64] >> (i % 64)) & 1; }
    std::uint32_t occupied() const { return occupied_; }
    // One past the largest index holding a key (0 when none). Scans down from
    // a remembered bound; each word passed is empty, so the scans cost no
    // more than the clears that emptied them.
    std::uint32_t largestOccupied() {
        std::uint32_t w = (hint_ + 63) / 64;
        while (w > 0) {
            std::uint64_t bits = bits_[w - 1];
            if (w * 64 > hint_) bits &= hint_ % 64 ? (1ull << (hint_ % 64)) - 1 : ~0ull;
            if (bits) {
                hint_ = (w - 1) * 64 + (64 - std::uint32_t(__builtin_clzll(bits)));
                return hint_;
            }
            --w;
        }
        hint_ = 0;
        return 0;
    }

private:
    std::vector<std::uint64_t> bits_;
    std::uint32_t occupied_ = 0;
    std::uint32_t hint_ = 0;
};

// The core-dump mode of a shadow's "fenix" mapping: whole (0) while the
// toggle "CoreDumpSharedFiles" of "SharedMem.json" is on (the default),
// headers only (1) when it is off. The toggle is read once per process
// (a forked child reads its own).
inline int shadowCoreDumpMode() {
    return getToggleState("CoreDumpSharedFiles", "SharedMem.json", true) ? Mem::coreDumpFull : Mem::coreDumpHeaders;
}

// The shadow records, in anonymous memory (Mem::Tracked<Mem::Local>, the
// mapping "fenix") or on the heap.
class ShadowStore {
public:
    ShadowStore(Lumo::Platform::DebugHandler* debug, std::string name, bool heap)
        : debug_(debug), name_(std::move(name)), heap_(heap), mem_("fenix", shadowCoreDumpMode()) {}
    ~ShadowStore() {
        if (heap_) std::free(heapData_);
    }
    ShadowStore(ShadowStore const&) = delete;
    ShadowStore& operator=(ShadowStore const&) = delete;

    std::uint32_t count() const { return count_; }
    int coreDumpMode() const { return mem_.coreDumpMode(); }
    ShadowRecord& operator[](std::uint32_t i) { return data_[i]; }
    ShadowRecord const& operator[](std::uint32_t i) const { return data_[i]; }

    // Grows to `n` records; new ones are (-1, -1, default key, 0). Raises
    // Lumo::MemoryResourceException when memory runs out.
    void grow(std::uint32_t n) {
        LUMO_FMASSERT(n >= count_, "ShadowStore", "grow from {} to {}", count_, n);
        std::uint32_t old = count_;
        LUMO_FMTRACE(debug_, 5, "ShadowStore", "resize shadow slots from {} to {}", old, n);
        remap(n);
        for (std::uint32_t i = old; i < n; ++i) data_[i] = ShadowRecord{-1, -1, 0, 0};
    }
    // Shrinks to `n` records; every record at or above `n` must be unlinked.
    void shrink(std::uint32_t n) {
        LUMO_FMTRACE(debug_, 5, "ShadowStore", "newNumSlots:{}", n);
        for (std::uint32_t i = n; i < count_; ++i)
            LUMO_FMASSERT(!data_[i].linked(), "ShadowStore", "shrinking to {} drops linked record {}", n, i);
        LUMO_FMTRACE(debug_, 5, "ShadowStore", "resize shadow slots from {} to {}", count_, n);
        remap(n);
        LUMO_FMTRACE(debug_, 5, "ShadowStore", "complete.");
    }

private:
    void remap(std::uint32_t n) {
        std::uint32_t old = count_;
        std::size_t bytes = std::size_t(n) * sizeof(ShadowRecord);
        if (n == 0) {
            if (heap_) {
                std::free(heapData_);
                heapData_ = nullptr;
            } else {
                mem_.detach();
            }
            data_ = nullptr;
            count_ = 0;
            return;
        }
        void* p;
        std::string why;
        if (heap_) {
            p = std::realloc(heapData_, bytes);
            if (p) heapData_ = p;
            why = "out of memory";
        } else {
            p = mem_.resize(bytes);
            why = mem_.lastError();
        }
        if (!p)
            Lumo::raise<Lumo::MemoryResourceException>("failed to resize {} from {} to {} slots - {}", name_, old, n,
                                                        why);
        data_ = static_cast<ShadowRecord*>(p);
        count_ = n;
    }

    Lumo::Platform::DebugHandler* debug_;
    std::string name_;
    bool heap_;
    Mem::Tracked<Mem::Local> mem_;
    void* heapData_ = nullptr;
    ShadowRecord* data_ = nullptr;
    std::uint32_t count_ = 0;
};

// The index over the shadow records (layout and order above).
class ShadowHashMap {
public:
    ShadowHashMap(Lumo::Platform::DebugHandler* debug, std::string name, ShadowStore& store, std::uint32_t bucketFactor)
        : debug_(debug), name_(std::move(name)), store_(store), bucketFactor_(bucketFactor), heads_(1, -1) {}

    std::uint32_t numBuckets() const { return std::uint32_t(heads_.size()); }
    std::uint32_t bucketFactor() const { return bucketFactor_; }
    std::uint32_t bucketOf(std::uint32_t rhash) const { return bits_ == 0 ? 0 : rhash >> (32 - bits_); }
    std::int32_t head(std::uint32_t b) const { return heads_[b]; }

    // The record holding `key`, or -1.
    std::int32_t find(std::uint32_t key, std::uint32_t rhash) const {
        for (std::int32_t i = heads_[bucketOf(rhash)]; i != -1; i = store_[std::uint32_t(i)].next) {
            ShadowRecord const& r = store_[std::uint32_t(i)];
            if (r.rhash > rhash || (r.rhash == rhash && r.key >= key)) return r.rhash == rhash && r.key == key ? i : -1;
        }
        return -1;
    }

    // Links record `idx` (unlinked) holding (key, rhash) into its chain.
    void insert(std::uint32_t idx, std::uint32_t key, std::uint32_t rhash) {
        ShadowRecord& rec = store_[idx];
        LUMO_FMASSERT(!rec.linked(), "ShadowHashMap", "record {} already linked", idx);
        rec.key = key;
        rec.rhash = rhash;
        std::uint32_t b = bucketOf(rhash);
        std::int32_t cur = heads_[b];
        if (cur == -1) {
            heads_[b] = std::int32_t(idx);
            rec.prev = -(std::int32_t(b) + 2);
            rec.next = -1;
            LUMO_FMTRACE(debug_, 5, "ShadowHashMap", "value inserted in fresh bucket");
            return;
        }
        std::int32_t prev = -(std::int32_t(b) + 2);
        while (cur != -1) {
            ShadowRecord const& c = store_[std::uint32_t(cur)];
            if (c.rhash > rhash || (c.rhash == rhash && c.key > key)) break;
            prev = cur;
            cur = c.next;
        }
        if (cur == -1) LUMO_FMTRACE(debug_, 5, "ShadowHashMap", "add slot to end of chain");
        rec.prev = prev;
        rec.next = cur;
        if (prev < 0)
            heads_[b] = std::int32_t(idx);
        else
            store_[std::uint32_t(prev)].next = std::int32_t(idx);
        if (cur != -1) store_[std::uint32_t(cur)].prev = std::int32_t(idx);
        LUMO_FMTRACE(debug_, 5, "ShadowHashMap", "value inserted");
    }

    // Unlinks record `idx`; `occupied` is the count after the removal, used
    // to decide whether the index halves.
    void remove(std::uint32_t idx, std::uint32_t occupied) {
        ShadowRecord& rec = store_[idx];
        if (!rec.linked()) {
            LUMO_FMTRACE(debug_, 5, "ShadowHashMap", "dead slot {}", idx);
            return;
        }
        LUMO_FMTRACE(debug_, 5, "ShadowHashMap", "slot:{} prev->next:{} next:{} occupied:{} key:{}", idx, rec.prev,
                     rec.next, occupied, rec.key);
        if (rec.prev < 0)
            heads_[std::uint32_t(-rec.prev - 2)] = rec.next;
        else
            store_[std::uint32_t(rec.prev)].next = rec.next;
        if (rec.next != -1) store_[std::uint32_t(rec.next)].prev = rec.prev;
        rec.next = -1;
        rec.prev = -1;
        // Halve when the index holds less than an eighth of its load setting.
        if (bits_ > 0 && (std::uint64_t(occupied) << 3) < (std::uint64_t(numBuckets()) << bucketFactor_)) halve();
    }

    // Doubles the index when `occupied` exceeds its load setting.
    void maybeGrow(std::uint32_t occupied) {
        if (std::uint64_t(occupied) > (std::uint64_t(numBuckets()) << bucketFactor_) && bits_ < 30) grow();
    }

    void grow() {
        std::uint32_t n = numBuckets();
        LUMO_FMTRACE(debug_, 5, "ShadowHashMap", "buckets growing from:{} to:{}", n, 2 * n);
        std::vector<std::int32_t> next;
        try {
            next.assign(std::size_t(n) * 2, -1);
        } catch (std::bad_alloc const&) {
            Lumo::raise<Lumo::MemoryResourceException>("failed to resize {} from {} to {} buckets : {}", name_, n,
                                                        2 * n, "out of memory");
        }
        std::uint32_t bit = 31 - bits_;  // the rhash bit that picks 2i or 2i + 1
        for (std::uint32_t i = 0; i < n; ++i) {
            std::int32_t cur = heads_[i];
            if (cur == -1) continue;
            LUMO_FMTRACE(debug_, 5, "ShadowHashMap", "splitting bucket {} to buckets {} and {}", i, 2 * i, 2 * i + 1);
            std::int32_t last = -1;
            while (cur != -1 && !((store_[std::uint32_t(cur)].rhash >> bit) & 1)) {
                last = cur;
                cur = store_[std::uint32_t(cur)].next;
            }
            if (last != -1) {
                next[2 * i] = heads_[i];
                store_[std::uint32_t(heads_[i])].prev = -(std::int32_t(2 * i) + 2);
                store_[std::uint32_t(last)].next = -1;
            }
            if (cur != -1) {
                next[2 * i + 1] = cur;
                store_[std::uint32_t(cur)].prev = -(std::int32_t(2 * i + 1) + 2);
            }
        }
        void const* oldBase = heads_.data();
        heads_.swap(next);
        ++bits_;
        LUMO_FMTRACE(debug_, 5, "ShadowHashMap", "base address moved from {} to {}", oldBase,
                     static_cast<void const*>(heads_.data()));
    }

    void halve() {
        std::uint32_t m = numBuckets() / 2;
        std::vector<std::int32_t> next(m, -1);
        for (std::uint32_t i = 0; i < m; ++i) {
            std::int32_t a = heads_[2 * i], b = heads_[2 * i + 1];
            if (a == -1) {
                next[i] = b;
            } else {
                next[i] = a;
                std::int32_t last = a;
                while (store_[std::uint32_t(last)].next != -1) last = store_[std::uint32_t(last)].next;
                store_[std::uint32_t(last)].next = b;
                if (b != -1) store_[std::uint32_t(b)].prev = last;
            }
            if (next[i] != -1) store_[std::uint32_t(next[i])].prev = -(std::int32_t(i) + 2);
        }
        heads_.swap(next);
        --bits_;
        LUMO_FMTRACE(debug_, 5, "ShadowHashMap", "shrunk to numBuckets_:{} bucketFactor_:{}", numBuckets(),
                     bucketFactor_);
    }

    // Forgets every chain (the records are reset by their owner).
    void clear() {
        heads_.assign(1, -1);
        bits_ = 0;
    }

private:
    Lumo::Platform::DebugHandler* debug_;
    std::string name_;
    ShadowStore& store_;
    std::uint32_t bucketFactor_;
    std::uint32_t bits_ = 0;
    std::vector<std::int32_t> heads_;
};

}  // namespace Vorn
