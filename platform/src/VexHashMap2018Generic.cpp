#include "Vex/HashMap2018Generic.h"

#include <algorithm>
#include <cstring>
#include <vector>

#include "Lumo/Assert.h"
#include "Lumo/Exception.h"
#include "Vex/Alloc.h"

namespace Vex {

namespace B = HashMap2018Bucket;

namespace {

// The shared empty bucket: length 0, live 0, static. Never written. Zero
// padding follows its header so that an inline lookup may read the key of
// "node 0" before it looks at the live count.
alignas(8) std::uint32_t gEmptyBucket[2 + B::kEmptyPadBytes / 4] = {B::make(0, 0, B::kStaticFlag), 1};

bool isStatic(std::uint32_t const* hdr) { return (*hdr & B::kStaticFlag) != 0; }

AllocTrackTypeInfo& headerTracker() { return allocTracker<HashMap2018BucketHeader>(); }
AllocTrackTypeInfo& slotsTracker() { return allocTracker<HashMap2018Generic>(); }

std::uint32_t roundUpPow2(std::uint32_t n) {
    std::uint32_t p = 1;
    while (p < n && p < (1u << 30)) p <<= 1;
    return p;
}

// First position in the bucket whose key is not less than `key`; *found
// when equal. Internal linkage so that the engine's own calls are direct.
inline std::uint32_t keyAt(char const* nodes, std::uint32_t i, std::uint32_t ns, std::uint32_t ko) {
    std::uint32_t k;
    std::memcpy(&k, nodes + std::size_t(i) * ns + ko, 4);
    return k;
}
inline std::uint32_t lowerBoundIn(std::uint32_t* hdr, std::uint32_t key, std::uint32_t ns, std::uint32_t ko,
                                  bool* found) {
    std::uint32_t const live = B::live(*hdr);
    std::uint32_t lo = 0, hi = live;
    char const* nodes = B::nodes(hdr);
    // Narrow [lo, hi) while it is long; the node at hi (if any) is >= key.
    while (hi - lo > 8) {
        std::uint32_t const mid = lo + (hi - lo) / 2;
        if (keyAt(nodes, mid, ns, ko) < key)
            lo = mid + 1;
        else
            hi = mid;
    }
    if (hi < live) ++hi;  // include that node in the scan
    for (; lo < hi; ++lo) {
        std::uint32_t const k = keyAt(nodes, lo, ns, ko);
        if (k >= key) {
            *found = k == key;
            return lo;
        }
    }
    *found = false;
    return lo;
}

// Copies of a few nodes: word by word inline, since a call into the C
// library costs more than the copy itself. Sizes are multiples of 4.
inline void copySmall(void* dst, void const* src, std::size_t bytes) {
    if (bytes > 128) {
        std::memcpy(dst, src, bytes);
        return;
    }
    char* d = static_cast<char*>(dst);
    char const* s = static_cast<char const*>(src);
    std::size_t i = 0;
    for (; i + 8 <= bytes; i += 8) {
        std::uint64_t w;
        std::memcpy(&w, s + i, 8);
        std::memcpy(d + i, &w, 8);
        __asm__("" : "+r"(i));  // keep the loop: not a call to memcpy
    }
    if (i < bytes) {
        std::uint32_t w;
        std::memcpy(&w, s + i, 4);
        std::memcpy(d + i, &w, 4);
    }
}

}  // namespace

std::uint32_t B::capForSlow(std::uint32_t n) {
    if (n > kMaxLength)
        Lumo::raise<Lumo::RangeException>("Vex::HashMap2018: a bucket cannot hold {} nodes (at most {})", n, kMaxLength);
    if (n <= 4) return n;
    std::uint32_t p = roundUpPow2(n);
    std::uint32_t const threeQuarters = p / 4 * 3;
    std::uint32_t const c = threeQuarters >= n ? threeQuarters : p;
    return std::min(c, kMaxLength);
}

std::uint32_t* HashMap2018Generic::emptyBucket() { return gEmptyBucket; }

HashMap2018Generic::HashMap2018Generic(HashMap2018VTable const* vt, std::uint32_t initialSize, bool shrink)
    : vt_(vt), nodeSize_(vt->nodeSize()), shrink_(shrink) {
    LUMO_FMASSERT((vt->descriptor & 0xffffffffu) == HashMap2018VTable::kDescriptorTag, "Vex::HashMap2018Generic",
                  "operations table descriptor {:#x}", vt->descriptor);
    LUMO_FMASSERT(vt->nodeInfo && vt->nodeInfo->keyOffset + 4 <= nodeSize_ && nodeSize_ % 4 == 0 &&
                      vt->nodeInfo->keyOffset + 4 <= B::kEmptyPadBytes,
                  "Vex::HashMap2018Generic", "node size {} cannot hold its key", nodeSize_);
    keyOffset_ = vt->nodeInfo->keyOffset;
    minBuckets_ = roundUpPow2(std::max<std::uint32_t>(initialSize, 1));
    allocSlots(minBuckets_);
}

HashMap2018Generic::~HashMap2018Generic() {
    LUMO_FMASSERT(iterators_ == 0, "Vex::HashMap2018Generic", "map destroyed with {} live iterators", iterators_);
    emptyAllBuckets(vt_, false);
    freeSlots();
}

void HashMap2018Generic::allocSlots(std::uint32_t count) {
    slots_ = static_cast<std::uint32_t**>(Slab::allocate(sizeof(std::uint32_t*) * count));
    slotsTracker()._trackAllocation(typeid(HashMap2018Generic), sizeof(std::uint32_t*), count);
    std::fill_n(slots_, count, emptyBucket());
    mask_ = count - 1;
}

void HashMap2018Generic::freeSlots() {
    slotsTracker()._trackDeallocation(typeid(HashMap2018Generic), sizeof(std::uint32_t*), bucketCount());
    Slab::free(slots_, sizeof(std::uint32_t*) * bucketCount());
    slots_ = nullptr;
}

std::uint32_t HashMap2018Generic::nodeKey(void const* node) const {
    std::uint32_t k;
    std::memcpy(&k, static_cast<char const*>(node) + keyOffset_, 4);
    return k;
}

std::uint32_t HashMap2018Generic::lowerBound(std::uint32_t* hdr, std::uint32_t key, bool* found) const {
    return lowerBoundIn(hdr, key, nodeSize_, keyOffset_, found);
}

namespace {
// Nodes up to this size start a slot with room for a second one.
constexpr std::uint32_t kRoomyNodeBytes = 16;
// A new bucket block of `length` nodes: header (live 0) and one reference.
inline __attribute__((always_inline)) std::uint32_t* newBlock(std::uint32_t length, std::uint32_t nodeSize) {
    auto* hdr = static_cast<std::uint32_t*>(Slab::allocate(B::blockBytes(length, nodeSize)));
    headerTracker()._trackAllocation(typeid(HashMap2018BucketHeader), sizeof(HashMap2018BucketHeader));
    hdr[0] = B::make(length, 0);
    hdr[1] = 1;
    return hdr;
}
}  // namespace

std::uint32_t* HashMap2018Generic::allocBucket(std::uint32_t length) const { return newBlock(length, nodeSize_); }

void HashMap2018Generic::release(std::uint32_t* hdr) const {
    if (!isStatic(hdr)) vt_->bktHdrRefDec(hdr);
}

void HashMap2018Generic::trivialPlace(HashMap2018VTable const* vt, void* dst, void* src, HashMap2018MoveOrCopy) {
    std::memcpy(dst, src, vt->nodeSize());
}

void HashMap2018Generic::trivialShift(HashMap2018VTable const* vt, void* nodes, std::uint32_t from, std::uint32_t live,
                                      std::int32_t slotsToShift) {
    std::size_t const ns = vt->nodeSize();
    char* base = static_cast<char*>(nodes);
    if (slotsToShift > 0) {
        LUMO_FMASSERT(slotsToShift == 1, "Vex::HashMap2018Generic", "slotsToShift == 1");
        std::memmove(base + (from + 1) * ns, base + from * ns, (live - from) * ns);
    } else {
        std::size_t const n = std::size_t(-slotsToShift);
        std::memmove(base + from * ns, base + (from + n) * ns, (live - from - n) * ns);
    }
}

void* HashMap2018Generic::lookupNodeG(HashMap2018VTable const*, HashMap2018KeyAndHash kh) const {
    std::uint32_t const key = *static_cast<std::uint32_t const*>(kh.key);
    std::uint32_t* hdr = bucketOf(kh.hash);
    bool found;
    std::uint32_t const pos = lowerBoundIn(hdr, key, nodeSize_, keyOffset_, &found);
    return found ? B::nodes(hdr) + std::size_t(pos) * nodeSize_ : nullptr;
}

// Insertion and deletion: the common cases (the first node of a slot, a
// bucket with room, an unshared bucket that keeps its block) are handled
// inline with few registers live; rebuilding a bucket goes out of line.

void* HashMap2018Generic::newMemberG(HashMap2018VTable const* vt, HashMap2018KeyAndHash kh, void* node,
                                     bool* inserted) {
    std::uint32_t const key = *static_cast<std::uint32_t const*>(kh.key);
    std::uint32_t const idx = kh.hash & mask_;
    std::uint32_t* hdr = slots_[idx];
    char* at;
    if (*hdr == B::make(0, 0, B::kStaticFlag)) {
        // The first node of a slot: the most common case at a low load.
        std::uint32_t const len = nodeSize_ <= kRoomyNodeBytes ? 2 : 1;
        std::uint32_t* nb = newBlock(len, nodeSize_);
        HashMap2018SourceRun const run{node, 1, HashMap2018MoveOrCopy::Move};
        try {
            vt->newBucketAssemble(vt, len, B::nodes(nb), HashMap2018Sources{&run, 1});
        } catch (...) {
            bucketFree(nb, nodeSize_);
            throw;
        }
        B::hashes(nb, nodeSize_)[0] = kh.hash;
        *nb = B::make(len, 1);
        slots_[idx] = nb;
        at = B::nodes(nb);
    } else {
        bool found;
        std::uint32_t const pos = lowerBoundIn(hdr, key, nodeSize_, keyOffset_, &found);
        if (found) {
            if (inserted) *inserted = false;
            return B::nodes(hdr) + std::size_t(pos) * nodeSize_;
        }
        std::uint32_t const live = B::live(*hdr), length = B::length(*hdr);
        if (live < length && hdr[1] == 1) {
            // Room in an unshared bucket (never the static one, of length
            // 0): open one position.
            char* nodes = B::nodes(hdr);
            std::uint32_t* h = B::hashes(hdr, nodeSize_);
            if (pos < live) {
                vt->shift(vt, nodes, pos, live, 1);
                for (std::uint32_t k = live; k > pos; --k) h[k] = h[k - 1];
            }
            at = nodes + std::size_t(pos) * nodeSize_;
            if (vt->place == &trivialPlace)
                copySmall(at, node, nodeSize_);
            else
                vt->place(vt, at, node, HashMap2018MoveOrCopy::Move);
            h[pos] = kh.hash;
            *hdr = B::make(length, live + 1, *hdr);
        } else {
            at = insertRebuild(vt, idx, pos, kh.hash, node);
        }
    }
    ++size_;
    if (inserted) *inserted = true;
    if (__builtin_expect(size_ > ((mask_ + 1) >> 1) || (size_ < ((mask_ + 1) >> 3) && shrink_ && mask_ >= minBuckets_), 0) &&
        iterators_ == 0) {
        maybeResize();
        return lookupNodeG(vt, kh);
    }
    return at;
}

char* HashMap2018Generic::insertRebuild(HashMap2018VTable const* vt, std::uint32_t idx, std::uint32_t pos,
                                        std::uint32_t hash, void* node) {
    // The bucket is full or shared with an iterator: a new array with the
    // node at pos (copies of the others when shared, copy on write).
    std::uint32_t* hdr = slots_[idx];
    std::uint32_t const live = B::live(*hdr);
    bool const shared = !isStatic(hdr) && hdr[1] > 1;
    std::uint32_t const newLength = B::capFor(live + 1);
    std::uint32_t* nb = newBlock(newLength, nodeSize_);
    auto const how = shared ? HashMap2018MoveOrCopy::Copy : HashMap2018MoveOrCopy::Move;
    char* old = B::nodes(hdr);
    HashMap2018SourceRun runs[3];
    std::uint8_t n = 0;
    if (pos > 0) runs[n++] = {old, pos, how};
    runs[n++] = {node, 1, HashMap2018MoveOrCopy::Move};
    if (pos < live) runs[n++] = {old + std::size_t(pos) * nodeSize_, live - pos, how};
    try {
        vt->newBucketAssemble(vt, newLength, B::nodes(nb), HashMap2018Sources{runs, n});
    } catch (...) {
        // Nothing was placed: hand the block back untouched.
        bucketFree(nb, nodeSize_);
        throw;
    }
    std::uint32_t const* oh = B::hashes(hdr, nodeSize_);
    std::uint32_t* nh = B::hashes(nb, nodeSize_);
    for (std::uint32_t k = 0; k < pos; ++k) nh[k] = oh[k];
    nh[pos] = hash;
    for (std::uint32_t k = pos; k < live; ++k) nh[k + 1] = oh[k];
    *nb = B::make(newLength, live + 1);
    slots_[idx] = nb;
    release(hdr);
    return B::nodes(nb) + std::size_t(pos) * nodeSize_;
}

bool HashMap2018Generic::deleteMemberG(HashMap2018VTable const* vt, HashMap2018KeyAndHash kh, void* outNode) {
    std::uint32_t const key = *static_cast<std::uint32_t const*>(kh.key);
    std::uint32_t const idx = kh.hash & mask_;
    std::uint32_t* hdr = slots_[idx];
    std::uint32_t const live = B::live(*hdr), length = B::length(*hdr);
    std::uint32_t pos = 0;
    // At a load of 1/2 most keys are node 0 (readable even in the static
    // empty bucket, whose padding is zero; live != 0 decides).
    if (!(nodeKey(B::nodes(hdr)) == key && live != 0)) {
        bool found;
        pos = lowerBoundIn(hdr, key, nodeSize_, keyOffset_, &found);
        if (!found) return false;
    }
    if (__builtin_expect(hdr[1] != 1 || outNode != nullptr || !(live == 1 || length <= 4 || (live - 1) * 2 > length), 0)) {
        deleteSlow(vt, idx, pos, outNode);
    } else {
        // In place. An emptied bucket keeps its block until the next rehash
        // or clear: deleting a key and inserting it again allocates nothing.
        // A trivially copyable last node needs no shift at all.
        if (pos + 1 < live || vt->shift != &trivialShift) vt->shift(vt, B::nodes(hdr), pos, live, -1);
        if (pos + 1 < live) {
            std::uint32_t* h = B::hashes(hdr, nodeSize_);
            for (std::uint32_t k = pos + 1; k < live; ++k) h[k - 1] = h[k];
        }
        *hdr = B::make(length, live - 1, *hdr);
    }
    --size_;
    return true;
}

void HashMap2018Generic::deleteSlow(HashMap2018VTable const* vt, std::uint32_t idx, std::uint32_t pos, void* outNode) {
    std::uint32_t* hdr = slots_[idx];
    std::uint32_t const live = B::live(*hdr), length = B::length(*hdr);
    bool const shared = hdr[1] > 1;
    auto const how = shared ? HashMap2018MoveOrCopy::Copy : HashMap2018MoveOrCopy::Move;
    char* nodes = B::nodes(hdr);
    char* victim = nodes + std::size_t(pos) * nodeSize_;
    bool const trivial = vt->shift == &trivialShift;
    if (outNode) {
        if (trivial)
            copySmall(outNode, victim, nodeSize_);
        else
            vt->place(vt, outNode, victim, how);
    }
    if (live == 1 && shared) {
        slots_[idx] = gEmptyBucket;
        release(hdr);
    } else if (!shared && (live == 1 || length <= 4 || (live - 1) * 2 > length)) {
        // In place, as in deleteMemberG (the node was moved out first).
        if (pos + 1 < live || !trivial) vt->shift(vt, nodes, pos, live, -1);
        if (pos + 1 < live) {
            std::uint32_t* h = B::hashes(hdr, nodeSize_);
            for (std::uint32_t k = pos + 1; k < live; ++k) h[k - 1] = h[k];
        }
        *hdr = B::make(length, live - 1, *hdr);
    } else {
        // Shared (copy on write) or at half its length or less: a new array
        // without the node.
        std::uint32_t const newLength = B::capFor(live - 1);
        std::uint32_t* nb = newBlock(newLength, nodeSize_);
        HashMap2018SourceRun runs[2];
        std::uint8_t n = 0;
        if (pos > 0) runs[n++] = {nodes, pos, how};
        if (pos + 1 < live) runs[n++] = {victim + nodeSize_, live - pos - 1, how};
        vt->newBucketAssemble(vt, newLength, B::nodes(nb), HashMap2018Sources{runs, n});
        std::uint32_t const* oh = B::hashes(hdr, nodeSize_);
        std::uint32_t* nh = B::hashes(nb, nodeSize_);
        for (std::uint32_t k = 0; k < pos; ++k) nh[k] = oh[k];
        for (std::uint32_t k = pos + 1; k < live; ++k) nh[k - 1] = oh[k];
        *nb = B::make(newLength, live - 1);
        slots_[idx] = nb;
        release(hdr);
    }
}

void HashMap2018Generic::resizeAfterInlineInsert() { maybeResize(); }

void HashMap2018Generic::maybeResize() {
    if (iterators_ != 0) return;
    if (size_ > bucketCount() / 2)
        rehash(bucketCount() * 2);
    else if (shrink_ && bucketCount() > minBuckets_ && size_ < bucketCount() / 8)
        // Straight to a load between 1/4 and 1/2 in one pass.
        rehash(std::max(minBuckets_, roundUpPow2(std::max<std::uint32_t>(size_, 1) * 4)));
}

// Runs of a new bucket, gathered on the stack; beyond kInline runs the rest
// spills to the heap (only in buckets of hundreds of interleaved nodes).
class HashMap2018Generic::RunList {
public:
    void add(char* node, std::uint32_t nodeSize) {
        if (n_ > 0) {
            HashMap2018SourceRun& last = at(n_ - 1);
            if (static_cast<char*>(last.src) + std::size_t(last.count) * nodeSize == node) {
                ++last.count;
                return;
            }
        }
        if (n_ < kInline)
            inline_[n_] = {node, 1, HashMap2018MoveOrCopy::Move};
        else
            spill_.push_back({node, 1, HashMap2018MoveOrCopy::Move});
        ++n_;
    }
    // Fills dst: the first 255 runs through newBucketAssemble (which reports
    // the array), any further ones node by node.
    void assemble(HashMap2018VTable const* vt, std::uint32_t newLength, char* dst) const {
        std::uint32_t const first = std::min<std::uint32_t>(n_, kInline);
        vt->newBucketAssemble(vt, newLength, dst, HashMap2018Sources{inline_, std::uint8_t(first)});
        std::uint32_t const ns = vt->nodeSize();
        char* out = dst;
        for (std::uint32_t r = 0; r < first; ++r) out += std::size_t(inline_[r].count) * ns;
        for (auto const& run : spill_)
            for (std::uint32_t i = 0; i < run.count; ++i, out += ns)
                vt->place(vt, out, static_cast<char*>(run.src) + std::size_t(i) * ns, run.how);
    }

private:
    static constexpr std::uint32_t kInline = 255;
    HashMap2018SourceRun& at(std::uint32_t i) { return i < kInline ? inline_[i] : spill_[i - kInline]; }
    HashMap2018SourceRun inline_[kInline];
    std::vector<HashMap2018SourceRun> spill_;
    std::uint32_t n_ = 0;
};

std::uint32_t* HashMap2018Generic::buildFrom(RunList const& runs, std::uint32_t const* hashes, std::uint32_t count) {
    std::uint32_t const length = B::capFor(count);
    std::uint32_t* nb = allocBucket(length);
    runs.assemble(vt_, length, B::nodes(nb));
    std::memcpy(B::hashes(nb, nodeSize_), hashes, count * sizeof(std::uint32_t));
    *nb = B::make(length, count);
    return nb;
}

std::uint32_t* HashMap2018Generic::splitSide(std::uint32_t* hdr, std::uint32_t bit, std::uint32_t side,
                                             std::uint32_t count) {
    // The nodes of hdr whose hash has (hash & bit) == side, in order, moved
    // into a new bucket of count nodes.
    std::uint32_t const live = B::live(*hdr);
    std::uint32_t const* h = B::hashes(hdr, nodeSize_);
    RunList runs;
    for (std::uint32_t k = 0; k < live; ++k)
        if ((h[k] & bit) == side) runs.add(B::nodes(hdr) + std::size_t(k) * nodeSize_, nodeSize_);
    std::uint32_t const length = B::capFor(count);
    std::uint32_t* nb = newBlock(length, nodeSize_);
    runs.assemble(vt_, length, B::nodes(nb));
    std::uint32_t* nh = B::hashes(nb, nodeSize_);
    for (std::uint32_t k = 0, o = 0; k < live; ++k)
        if ((h[k] & bit) == side) nh[o++] = h[k];
    *nb = B::make(length, count);
    return nb;
}

void HashMap2018Generic::rehash(std::uint32_t newCount) {
    std::uint32_t const oldCount = bucketCount();
    if (newCount == oldCount) return;
    LUMO_FMASSERT(iterators_ == 0, "Vex::HashMap2018Generic", "rehash with live iterators");
    LUMO_FMASSERT(newCount == oldCount * 2 || (newCount < oldCount && (newCount & (newCount - 1)) == 0),
                  "Vex::HashMap2018Generic", "rehash from {} to {} buckets", oldCount, newCount);
    std::uint32_t** old = slots_;
    auto** fresh = static_cast<std::uint32_t**>(Slab::allocate(sizeof(std::uint32_t*) * newCount));
    slotsTracker()._trackAllocation(typeid(HashMap2018Generic), sizeof(std::uint32_t*), newCount);
    // Buckets whose nodes all stay together move as they are (no copy);
    // emptied buckets and the sources of split or merged ones are released
    // as soon as they are done with (no iterator can hold them).
    if (newCount > oldCount) {
        // Doubling: old bucket i splits into i and i + oldCount by the hash
        // bit oldCount; each side is a subsequence of a sorted array.
        std::size_t const firstHashOffset = B::kPrefixBytes + std::size_t(nodeSize_ <= kRoomyNodeBytes ? 2 : 1) * nodeSize_;
        for (std::uint32_t i = 0; i < oldCount; ++i) {
            std::uint32_t* hdr = old[i];
            // Buckets lie in the slab in no particular order: ask for the
            // header a few slots ahead.
            if (i + 8 < oldCount) {
                // Its node 0's hash too, where a slot's first block has it.
                char const* ahead = reinterpret_cast<char const*>(old[i + 8]);
                __builtin_prefetch(ahead);
                __builtin_prefetch(ahead + firstHashOffset);
            }
            std::uint32_t const live = B::live(*hdr);
            fresh[i] = fresh[i + oldCount] = emptyBucket();
            if (live == 0) {
                release(hdr);
                continue;
            }
            std::uint32_t const* h = B::hashes(hdr, nodeSize_);
            if (live == 1) {
                // Most buckets at a load of 1/2: the node moves with its block.
                fresh[i + ((h[0] & oldCount) != 0 ? oldCount : 0)] = hdr;
                continue;
            }
            std::uint32_t nHi = 0;
            for (std::uint32_t k = 0; k < live; ++k) nHi += (h[k] & oldCount) != 0;
            if (nHi == 0) {
                fresh[i] = hdr;
            } else if (nHi == live) {
                fresh[i + oldCount] = hdr;
            } else if (hdr[1] == 1) {
                // The high side moves to a new block; the low side stays in
                // this one, closed up over the moved-from nodes (which own
                // nothing), and keeps its length: the room it gains serves
                // the next inserts into this slot without a new block.
                fresh[i + oldCount] = splitSide(hdr, oldCount, oldCount, nHi);
                char* nodes = B::nodes(hdr);
                std::uint32_t* hw = B::hashes(hdr, nodeSize_);
                std::uint32_t o = 0;
                for (std::uint32_t k = 0; k < live; ++k) {
                    if ((hw[k] & oldCount) != 0) continue;
                    if (o != k) {
                        std::memmove(nodes + std::size_t(o) * nodeSize_, nodes + std::size_t(k) * nodeSize_, nodeSize_);
                        hw[o] = hw[k];
                    }
                    ++o;
                }
                *hdr = B::make(B::length(*hdr), o, *hdr);
                fresh[i] = hdr;
            } else {
                fresh[i] = splitSide(hdr, oldCount, 0, live - nHi);
                fresh[i + oldCount] = splitSide(hdr, oldCount, oldCount, nHi);
                release(hdr);
            }
        }
    } else {
        // Folding: new bucket j takes old buckets j, j + newCount, ... At a
        // low load most have at most one non-empty source, which moves as is;
        // otherwise the sources' nodes are merged in key order.
        std::uint32_t const fold = oldCount / newCount;
        struct Src {
            char* node;
            std::uint32_t hash;
        };
        std::vector<Src> merged;
        std::vector<std::uint32_t> hashBuf;
        for (std::uint32_t j = 0; j < newCount; ++j) {
            std::uint32_t* only = nullptr;
            std::uint32_t sources = 0;
            for (std::uint32_t f = 0; f < fold; ++f) {
                std::uint32_t* hdr = old[j + f * newCount];
                if (B::live(*hdr) == 0) {
                    // Emptied: freed now, and no longer seen by the merge below.
                    release(hdr);
                    old[j + f * newCount] = gEmptyBucket;
                    continue;
                }
                only = hdr;
                ++sources;
            }
            if (sources <= 1) {
                fresh[j] = only ? only : emptyBucket();
                continue;
            }
            merged.clear();
            for (std::uint32_t f = 0; f < fold; ++f) {
                std::uint32_t* hdr = old[j + f * newCount];
                std::uint32_t const live = B::live(*hdr);
                if (live == 0) continue;
                std::uint32_t const* h = B::hashes(hdr, nodeSize_);
                std::size_t const mid = merged.size();
                for (std::uint32_t k = 0; k < live; ++k) merged.push_back({B::nodes(hdr) + std::size_t(k) * nodeSize_, h[k]});
                std::inplace_merge(merged.begin(), merged.begin() + std::ptrdiff_t(mid), merged.end(),
                                   [&](Src const& x, Src const& y) { return nodeKey(x.node) < nodeKey(y.node); });
            }
            RunList runs;
            hashBuf.clear();
            for (Src const& m : merged) {
                runs.add(m.node, nodeSize_);
                hashBuf.push_back(m.hash);
            }
            fresh[j] = buildFrom(runs, hashBuf.data(), std::uint32_t(merged.size()));
            for (std::uint32_t f = 0; f < fold; ++f) {
                std::uint32_t* hdr = old[j + f * newCount];
                if (B::live(*hdr) != 0) release(hdr);
            }
        }
    }
    slots_ = fresh;
    mask_ = newCount - 1;
    slotsTracker()._trackDeallocation(typeid(HashMap2018Generic), sizeof(std::uint32_t*), oldCount);
    Slab::free(old, sizeof(std::uint32_t*) * oldCount);
}

void HashMap2018Generic::emptyAllBuckets(HashMap2018VTable const*, bool resetTable) {
    for (std::uint32_t i = 0; i <= mask_; ++i) {
        std::uint32_t* hdr = slots_[i];
        slots_[i] = gEmptyBucket;
        release(hdr);
    }
    size_ = 0;
    if (resetTable && iterators_ == 0 && bucketCount() != minBuckets_) {
        freeSlots();
        allocSlots(minBuckets_);
    }
}

std::size_t HashMap2018Generic::bytesUsed() const {
    std::size_t total = sizeof(std::uint32_t*) * bucketCount();
    for (std::uint32_t i = 0; i <= mask_; ++i)
        if (!isStatic(slots_[i])) total += B::blockBytes(B::length(*slots_[i]), nodeSize_);
    return total;
}

void HashMap2018Generic::checkInvariants() const {
    std::uint64_t total = 0;
    for (std::uint32_t i = 0; i <= mask_; ++i) {
        std::uint32_t* hdr = slots_[i];
        if (isStatic(hdr)) {
            LUMO_FMASSERT(hdr == gEmptyBucket && B::live(*hdr) == 0, "Vex::HashMap2018Generic", "bad static bucket");
            continue;
        }
        std::uint32_t const live = B::live(*hdr), length = B::length(*hdr);
        LUMO_FMASSERT(live <= length && length >= 1 && hdr[1] >= 1, "Vex::HashMap2018Generic",
                      "bucket {}: live {} length {} refs {}", i, live, length, hdr[1]);
        std::uint32_t const* h = B::hashes(hdr, nodeSize_);
        for (std::uint32_t k = 0; k < live; ++k) {
            char const* n = B::nodes(hdr) + std::size_t(k) * nodeSize_;
            LUMO_FMASSERT((h[k] & mask_) == i, "Vex::HashMap2018Generic", "node {} of bucket {} hashes elsewhere", k, i);
            if (k > 0)
                LUMO_FMASSERT(nodeKey(n - nodeSize_) < nodeKey(n), "Vex::HashMap2018Generic",
                              "bucket {} not in ascending key order at {}", i, k);
        }
        total += live;
    }
    LUMO_FMASSERT(total == size_, "Vex::HashMap2018Generic", "size {} but {} live nodes", size_, total);
}

// ---- iterator ----

HashMap2018IteratorGeneric::HashMap2018IteratorGeneric(HashMap2018Generic const& map, HashMap2018VTable const* vt)
    : map_(const_cast<HashMap2018Generic*>(&map)), vt_(vt) {
    ++map_->iterators_;
    idx_ = 0;
    pos_ = 0;
    settle();
}

HashMap2018IteratorGeneric::HashMap2018IteratorGeneric(HashMap2018Generic const& map, HashMap2018VTable const* vt,
                                                       HashMap2018KeyAndHash kh)
    : map_(const_cast<HashMap2018Generic*>(&map)), vt_(vt) {
    ++map_->iterators_;
    idx_ = kh.hash & map_->mask_;
    bool found;
    pos_ = map_->lowerBound(map_->slots_[idx_], *static_cast<std::uint32_t const*>(kh.key), &found);
    settle();
}

HashMap2018IteratorGeneric::HashMap2018IteratorGeneric(HashMap2018IteratorGeneric const& o)
    : map_(o.map_), vt_(o.vt_), idx_(o.idx_), pos_(o.pos_) {
    ++map_->iterators_;
    if (o.bkt_) hold(o.bkt_);
}

HashMap2018IteratorGeneric::~HashMap2018IteratorGeneric() {
    drop();
    --map_->iterators_;
}

void HashMap2018IteratorGeneric::hold(std::uint32_t* b) {
    bkt_ = b;
    ++b[1];
}

void HashMap2018IteratorGeneric::drop() {
    if (!bkt_) return;
    std::uint32_t* b = bkt_;
    bkt_ = nullptr;
    vt_->bktHdrRefDec(b);
}

void HashMap2018IteratorGeneric::settle() {
    // (idx_, pos_) name a position in the map's bucket idx_; bkt_ is unset.
    for (;;) {
        std::uint32_t* b = map_->slots_[idx_];
        if (pos_ < B::live(*b)) {
            hold(b);
            return;
        }
        if (idx_ == map_->mask_) return;  // end
        ++idx_;
        pos_ = 0;
    }
}

void* HashMap2018IteratorGeneric::currNodeMaybeStale() const {
    return bkt_ ? B::nodes(bkt_) + std::size_t(pos_) * map_->nodeSize_ : nullptr;
}

void* HashMap2018IteratorGeneric::currNodeNonStale() const {
    if (!bkt_) return nullptr;
    void* cur = currNodeMaybeStale();
    if (!stale()) return cur;
    bool found;
    std::uint32_t* live = map_->slots_[idx_];
    std::uint32_t const pos = map_->lowerBound(live, map_->nodeKey(cur), &found);
    return found ? B::nodes(live) + std::size_t(pos) * map_->nodeSize_ : nullptr;
}

void HashMap2018IteratorGeneric::advance() {
    if (!bkt_) return;
    std::uint32_t* live = map_->slots_[idx_];
    if (live == bkt_) {
        ++pos_;
    } else {
        // Resume in the map's bucket after the current key: the first node
        // that compares greater than the stale current node.
        void const* cur = currNodeMaybeStale();
        std::uint32_t const n = B::live(*live);
        std::uint32_t p = 0;
        while (p < n && vt_->compareOrLruUnlink(nullptr, cur, B::nodes(live) + std::size_t(p) * map_->nodeSize_) != 1)
            ++p;
        pos_ = p;
    }
    drop();
    settle();
}

}  // namespace Vex
