#pragma once
// Vex::HashMap2018Generic: the process-local hash map engine.
//
// The engine stores fixed-size nodes (a value together with its 32-bit key)
// by value in per-bucket arrays. It knows nothing of the node type: every
// type-dependent step goes through the node type's operations table
// (HashMap2018VTable), and the typed front end Vex::HashMap2018<Node, Key,
// Value> adds an inline lookup. Type-independent slow paths (reallocating a
// bucket, rehashing, iterating) live out of line, once.
//
// Layout
// ------
//   struct HashMap2018Generic {
//       Bucket** slots;        // bucketCount = mask + 1 (a power of two) pointers
//       u32 mask, size, minBuckets, iterators; ...
//   };
//   struct Bucket {            // one slab block, 8 + length * (nodeSize + 4) bytes
//       u32 header;            // bits 0..3   engine flags (bit 0: the shared empty bucket)
//                              // bits 4..17  length: nodes the array has room for
//                              // bits 18..31 live: nodes constructed, [0, live)
//       u32 refs;              // 1 for the map + 1 per iterator standing on the bucket
//       Node nodes[length];    // sorted by key, ascending, unsigned 32-bit order
//       u32 hashes[length];    // hash of nodes[i], so a rehash needs no hash function
//   };
// Every slot points to a bucket; an empty slot points to one static, shared
// empty bucket (length 0, flag bit 0), so a lookup never tests for null.
//
// Invariants
// ----------
// - A node lives in the bucket hash & mask; keys are unique in the map and
//   strictly ascending in a bucket. size == sum of live over all buckets.
// - live <= length <= kMaxLength. A bucket emptied by deletions keeps its
//   block (live == 0) until the next rehash or clear, so that deleting a key
//   and inserting it again allocates nothing.
// - A bucket with refs > 1 is shared with an iterator and is never changed in
//   its shape: inserting into it or deleting from it builds a new bucket with
//   copies of the surviving nodes (copy on write) and drops the map's
//   reference. Values of nodes may be changed in place through the pointer
//   that lookupNodeG returns; an iterator standing on that bucket sees it.
// - A bucket's nodes are destroyed and its block freed only by the node
//   type's bktHdrRefDec when the last reference goes.
//
// Growth and shrink
// -----------------
// - Bucket arrays: a slot's first node gets an array of one node, or of two
//   for nodes of 16 bytes or less (room that costs little and spares the
//   slot's second key a new block); inserting into a bucket with room shifts
//   the tail by one node; a full one is rebuilt with length capFor(live + 1):
//   exact up to 4 nodes, then the next of 6, 8, 12, 16, 24, 32, ... Deleting shifts the
//   tail down; a bucket whose live count falls to half its length or less
//   (length above 4) is rebuilt smaller.
// - The bucket table doubles when size exceeds bucketCount / 2 (load factor
//   0.5, so that most lookups find their key at the first node). Deletions
//   never rehash; the next insert after size fell below bucketCount / 8
//   shrinks the table in one pass to a load of 1/4 to 1/2, never below the
//   initial size (the constructor's `shrink` flag switches this off), and
//   clear() goes back to the initial size. A doubling splits each bucket in
//   two in order: the high side gets a new block, the low side stays in the
//   old one, closed up and keeping its length (the room serves later inserts
//   into the slot); a shrink merges the buckets that fold together. A bucket
//   whose nodes all stay together moves as it is, without copying. Emptied
//   buckets are freed by the rehash.
// - No rehash happens while an iterator exists; it is done by the first
//   insert or delete after the last iterator is gone.
//
// Iterators
// ---------
// An iterator visits buckets in slot order and nodes in key order, holding a
// reference on the bucket it stands on. Deleting or inserting in that bucket
// therefore leaves the iterator's bucket unchanged (stale): the current node
// stays readable through currNodeMaybeStale(), possibly with a value older
// than the map's; currNodeNonStale() answers the map's node of the same key
// or null when it was deleted. advance() resumes in the map's current bucket
// after the current key, so deleting the current node (or any other) while
// iterating neither skips nor repeats a node. Nodes inserted during the walk
// may or may not be visited. An iterator must be destroyed before its map.
//
// Threads: a map and its iterators belong to one thread; no locks.
#include <cstddef>
#include <cstdint>
#include <typeinfo>

#include "Lumo/Assert.h"
#include "Vex/Alloc.h"

namespace Vex {

enum class HashMap2018MoveOrCopy : std::uint8_t { Move = 0, Copy = 1 };

// The key of a call: pointer to the 32-bit key and its hash.
struct HashMap2018KeyAndHash {
    void const* key;
    std::uint32_t hash;
};

// Sources of a new bucket array: runs of consecutive nodes, placed one after
// the other into the destination with the run's move-or-copy rule.
struct HashMap2018SourceRun {
    void* src;
    std::uint32_t count;
    HashMap2018MoveOrCopy how;
};
struct HashMap2018Sources {
    HashMap2018SourceRun const* runs;
    std::uint8_t count;  // 1 to 255
};

// Reflection record of a node type.
struct HashMap2018NodeInfo {
    std::type_info const* type;
    std::uint32_t keyOffset;  // byte offset of the 32-bit key in the node
};

class HashMap2018Generic;

struct HashMap2018VTable {
    static constexpr std::uint64_t kDescriptorTag = 0x108;

    // Low 32 bits: 0x108; high 32 bits: the node size in bytes.
    std::uint64_t descriptor;
    // Drops one reference to the bucket; the last one destroys its nodes,
    // reports the free and returns the block to the slab.
    void (*bktHdrRefDec)(std::uint32_t* bucketHeader);
    bool (*keyEqualsNode)(void const* key, void const* node);
    // Builds a node at dst (raw memory) from src: Move leaves src without
    // shared references; Copy takes one more reference on each.
    void (*place)(HashMap2018VTable const* vt, void* dst, void* src, HashMap2018MoveOrCopy how);
    // In the array `nodes` of `live` nodes: slotsToShift == 1 moves [from,
    // live) up by one, leaving position `from` raw; slotsToShift == -n
    // destroys [from, from + n) and moves [from + n, live) down by n.
    void (*shift)(HashMap2018VTable const* vt, void* nodes, std::uint32_t from, std::uint32_t live,
                  std::int32_t slotsToShift);
    // Reports an array of newLength nodes and fills `dst` from the sources.
    void (*newBucketAssemble)(HashMap2018VTable const* vt, std::uint32_t newLength, void* dst,
                              HashMap2018Sources const& sources);
    // Order of nodeB's key against nodeA's key (or *key when nodeA is null):
    // 0 equal, 1 nodeB's is greater, 2 nodeB's is less.
    std::uint32_t (*compareOrLruUnlink)(void const* key, void const* nodeA, void const* nodeB);
    void const* reserved;  // always null
    HashMap2018NodeInfo const* nodeInfo;

    constexpr std::uint32_t nodeSize() const { return std::uint32_t(descriptor >> 32); }
    static constexpr std::uint64_t descriptorFor(std::uint32_t nodeSize) {
        return kDescriptorTag | (std::uint64_t(nodeSize) << 32);
    }
};
static_assert(offsetof(HashMap2018VTable, bktHdrRefDec) == 8);
static_assert(offsetof(HashMap2018VTable, compareOrLruUnlink) == 48);
static_assert(offsetof(HashMap2018VTable, reserved) == 56);

// The bucket header type, under which bucket headers are tracked.
struct HashMap2018BucketHeader {
    std::uint32_t header;
    std::uint32_t refs;
};

namespace HashMap2018Bucket {
inline constexpr std::uint32_t kStaticFlag = 1u;
inline constexpr std::uint32_t kFlagMask = 0xfu;
inline constexpr std::uint32_t kMaxLength = 0x3fffu;
inline constexpr std::size_t kPrefixBytes = sizeof(HashMap2018BucketHeader);
// Zero bytes after the shared empty bucket's header: a node type's key must
// lie within them (key offset + 4 <= kEmptyPadBytes).
inline constexpr std::uint32_t kEmptyPadBytes = 512;

constexpr std::uint32_t length(std::uint32_t header) { return (header >> 4) & kMaxLength; }
constexpr std::uint32_t live(std::uint32_t header) { return header >> 18; }
constexpr std::uint32_t make(std::uint32_t length, std::uint32_t live, std::uint32_t flags = 0) {
    return (live << 18) | (length << 4) | (flags & kFlagMask);
}
inline char* nodes(std::uint32_t* hdr) { return reinterpret_cast<char*>(hdr) + kPrefixBytes; }
inline std::uint32_t* hashes(std::uint32_t* hdr, std::uint32_t nodeSize) {
    return reinterpret_cast<std::uint32_t*>(nodes(hdr) + std::size_t(length(*hdr)) * nodeSize);
}
constexpr std::size_t blockBytes(std::uint32_t length, std::uint32_t nodeSize) {
    return (kPrefixBytes + std::size_t(length) * (nodeSize + 4) + 7) & ~std::size_t(7);
}
// Length of a rebuilt array for n nodes: n up to 4, then 6, 8, 12, 16, 24, ...
std::uint32_t capForSlow(std::uint32_t n);
inline std::uint32_t capFor(std::uint32_t n) { return n <= 4 ? n : capForSlow(n); }
}  // namespace HashMap2018Bucket

class HashMap2018Generic {
public:
    // initialSize: expected number of nodes (the bucket table starts with the
    // next power of two, at least 1, and never halves below it). shrink:
    // whether deletions may halve the bucket table.
    HashMap2018Generic(HashMap2018VTable const* vt, std::uint32_t initialSize, bool shrink = true);
    ~HashMap2018Generic();
    HashMap2018Generic(HashMap2018Generic const&) = delete;
    HashMap2018Generic& operator=(HashMap2018Generic const&) = delete;

    // The node of the key, or null.
    // Platform interface name: keep it.
    void* lookupNodeG(HashMap2018VTable const* vt, HashMap2018KeyAndHash kh) const;
    // Inserts the node at `node` (moved from; the caller destroys the
    // moved-from object) unless the key is present. Returns the map's node
    // of the key; *inserted tells which case it was.
    // Platform interface name: keep it.
    void* newMemberG(HashMap2018VTable const* vt, HashMap2018KeyAndHash kh, void* node, bool* inserted = nullptr);
    // Removes the key's node. With outNode (raw storage of the node size) the
    // removed node is moved (or, from a bucket shared with an iterator,
    // copied) there and the caller owns it. False when the key was absent.
    // Platform interface name: keep it.
    bool deleteMemberG(HashMap2018VTable const* vt, HashMap2018KeyAndHash kh, void* outNode);
    // Removes every node; the bucket table goes back to its initial size.
    void _memberDelAll(HashMap2018VTable const* vt) { emptyAllBuckets(vt, true); }
    // Removes every node; resetTable: also go back to the initial table size.
    void emptyAllBuckets(HashMap2018VTable const* vt, bool resetTable);

    std::uint32_t size() const { return size_; }
    std::uint32_t bucketCount() const { return mask_ + 1; }
    HashMap2018VTable const* vt() const { return vt_; }
    // The bucket a hash falls in (never null), for inline lookups.
    std::uint32_t* bucketOf(std::uint32_t hash) const { return slots_[hash & mask_]; }
    std::uint32_t* bucketAt(std::uint32_t slot) const { return slots_[slot]; }
    // The typed front end removed a node in place from a bucket it held
    // alone (the in-place case of deleteMemberG): the count follows.
    void noteInlineDelete() { --size_; }
    // The typed front end inserted a node in place into a bucket it held
    // alone (the room case of newMemberG): the count follows, and the table
    // is resized when the new count asks for it. True when it was (the node
    // has then moved).
    bool noteInlineInsert() {
        ++size_;
        if (__builtin_expect(size_ > ((mask_ + 1) >> 1) || (size_ < ((mask_ + 1) >> 3) && shrink_ && mask_ >= minBuckets_), 0) &&
            iterators_ == 0) {
            resizeAfterInlineInsert();
            return true;
        }
        return false;
    }
    // Bytes held: the bucket table plus every bucket block.
    std::size_t bytesUsed() const;
    // Checks every invariant of the layout; a violation stops the process.
    void checkInvariants() const;

    // Engine helpers for the per-type operations.
    // Drops one reference; true when it was the last (the caller then frees).
    // Platform interface name: keep it.
    static bool bktHdrRefDecHelper(std::uint32_t* hdr) {
        LUMO_FMASSERT((hdr[0] & HashMap2018Bucket::kStaticFlag) == 0 && hdr[1] > 0, "Vex::HashMap2018Generic",
                      "bucket reference count underflow");
        return --hdr[1] == 0;
    }
    // Reports the header's free and returns the block to the slab.
    static void bucketFree(std::uint32_t* hdr, std::uint32_t nodeSize) {
        allocTracker<HashMap2018BucketHeader>()._trackDeallocation(typeid(HashMap2018BucketHeader),
                                                                   sizeof(HashMap2018BucketHeader));
        Slab::free(hdr, HashMap2018Bucket::blockBytes(HashMap2018Bucket::length(*hdr), nodeSize));
    }
    // Platform interface name: keep it.
    static void trivialPlace(HashMap2018VTable const* vt, void* dst, void* src, HashMap2018MoveOrCopy how);
    // Platform interface name: keep it.
    static void trivialShift(HashMap2018VTable const* vt, void* nodes, std::uint32_t from, std::uint32_t live,
                             std::int32_t slotsToShift);
    static std::uint32_t* emptyBucket();
    void resizeAfterInlineInsert();

private:
    friend class HashMap2018IteratorGeneric;
// Helpers used only inside the runtime library: not exported, so that the
// engine's own calls are direct and may be inlined.
#define X2_ENGINE_INTERNAL __attribute__((visibility("hidden")))

    X2_ENGINE_INTERNAL std::uint32_t nodeKey(void const* node) const;
    // First position whose key is not less than `key`; *found when equal.
    X2_ENGINE_INTERNAL std::uint32_t lowerBound(std::uint32_t* hdr, std::uint32_t key, bool* found) const;
    X2_ENGINE_INTERNAL std::uint32_t* allocBucket(std::uint32_t length) const;
    X2_ENGINE_INTERNAL void release(std::uint32_t* hdr) const;
    // Slow paths of newMemberG and deleteMemberG for the bucket of slot idx.
    X2_ENGINE_INTERNAL __attribute__((noinline)) char* insertRebuild(HashMap2018VTable const* vt, std::uint32_t idx,
                                                                     std::uint32_t pos, std::uint32_t hash, void* node);
    X2_ENGINE_INTERNAL __attribute__((noinline)) void deleteSlow(HashMap2018VTable const* vt, std::uint32_t idx,
                                                                 std::uint32_t pos, void* outNode);
    class RunList;
    X2_ENGINE_INTERNAL std::uint32_t* buildFrom(RunList const& runs, std::uint32_t const* hashes, std::uint32_t count);
    X2_ENGINE_INTERNAL std::uint32_t* splitSide(std::uint32_t* hdr, std::uint32_t bit, std::uint32_t side,
                                                std::uint32_t count);
    X2_ENGINE_INTERNAL void rehash(std::uint32_t newCount);
    X2_ENGINE_INTERNAL void maybeResize();
    X2_ENGINE_INTERNAL void allocSlots(std::uint32_t count);
    X2_ENGINE_INTERNAL void freeSlots();

    HashMap2018VTable const* vt_;
    std::uint32_t nodeSize_;
    std::uint32_t keyOffset_;
    std::uint32_t** slots_ = nullptr;
    std::uint32_t mask_ = 0;
    std::uint32_t size_ = 0;
    std::uint32_t minBuckets_ = 1;
    mutable std::uint32_t iterators_ = 0;
    bool shrink_;
};

class HashMap2018IteratorGeneric {
public:
    // At the first node of the map (or at its end when empty).
    HashMap2018IteratorGeneric(HashMap2018Generic const& map, HashMap2018VTable const* vt);
    // At the key's node, or at the next node in iteration order if absent.
    HashMap2018IteratorGeneric(HashMap2018Generic const& map, HashMap2018VTable const* vt,
                               HashMap2018KeyAndHash kh);
    HashMap2018IteratorGeneric(HashMap2018IteratorGeneric const& o);
    HashMap2018IteratorGeneric& operator=(HashMap2018IteratorGeneric const&) = delete;
    ~HashMap2018IteratorGeneric();

    bool atEnd() const { return bkt_ == nullptr; }
    // The current node as the iterator holds it (see the rules above), null at the end.
    // Platform interface name: keep it.
    void* currNodeMaybeStale() const;
    // The map's node of the current key, null when deleted or at the end.
    void* currNodeNonStale() const;
    void advance();
    bool stale() const { return bkt_ && map_->slots_[idx_] != bkt_; }

private:
    void hold(std::uint32_t* b);
    void drop();
    // Moves forward from (idx_, pos_) to the first existing node.
    void settle();

    HashMap2018Generic* map_;
    HashMap2018VTable const* vt_;
    std::uint32_t* bkt_ = nullptr;
    std::uint32_t idx_ = 0;
    std::uint32_t pos_ = 0;
};

}  // namespace Vex
