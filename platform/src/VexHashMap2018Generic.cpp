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

// The shared empty bucket: length 0, live 0, static. Never written.
alignas(8) std::uint32_t gEmptyBucket[2] = {B::make(0, 0, B::kStaticFlag), 1};

bool isStatic(std::uint32_t const* hdr) { return (*hdr & B::kStaticFlag) != 0; }

AllocTrackTypeInfo& headerTracker() { return allocTracker<HashMap2018BucketHeader>(); }
AllocTrackTypeInfo& slotsTracker() { return allocTracker<HashMap2018Generic>(); }

std::uint32_t roundUpPow2(std::uint32_t n) {
    std::uint32_t p = 1;
    while (p < n && p < (1u << 30)) p <<= 1;
    return p;
}

// Places `items` (nodes in final order) into dst with the given rule: runs
// of nodes consecutive in their source go through newBucketAssemble (which
// also reports the array); beyond 255 runs the rest is placed node by node.
void assembleFromList(HashMap2018VTable const* vt, std::uint32_t newLength, char* dst,
                      std::vector<char*> const& items, HashMap2018MoveOrCopy how) {
    std::uint32_t const ns = vt->nodeSize();
    std::vector<HashMap2018SourceRun> runs;
    std::size_t i = 0;
    while (i < items.size() && runs.size() < 255) {
        std::size_t j = i + 1;
        while (j < items.size() && items[j] == items[j - 1] + ns) ++j;
        runs.push_back({items[i], std::uint32_t(j - i), how});
        i = j;
    }
    HashMap2018Sources s{runs.data(), std::uint8_t(runs.size())};
    vt->newBucketAssemble(vt, newLength, dst, s);
    for (std::size_t k = i, pos = i; k < items.size(); ++k, ++pos) vt->place(vt, dst + pos * ns, items[k], how);
}

}  // namespace

std::uint32_t B::capFor(std::uint32_t n) {
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
    LUMO_FMASSERT(vt->nodeInfo && vt->nodeInfo->keyOffset + 4 <= nodeSize_ && nodeSize_ % 4 == 0,
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
    std::uint32_t const live = B::live(*hdr);
    std::uint32_t lo = 0, hi = live;
    char const* nodes = B::nodes(hdr);
    // Narrow [lo, hi) while it is long; the node at hi (if any) is >= key.
    while (hi - lo > 8) {
        std::uint32_t const mid = lo + (hi - lo) / 2;
        if (nodeKey(nodes + std::size_t(mid) * nodeSize_) < key)
            lo = mid + 1;
        else
            hi = mid;
    }
    if (hi < live) ++hi;  // include that node in the scan
    for (; lo < hi; ++lo) {
        std::uint32_t const k = nodeKey(nodes + std::size_t(lo) * nodeSize_);
        if (k >= key) {
            *found = k == key;
            return lo;
        }
    }
    *found = false;
    return lo;
}

std::uint32_t* HashMap2018Generic::allocBucket(std::uint32_t length) const {
    auto* hdr = static_cast<std::uint32_t*>(Slab::allocate(B::blockBytes(length, nodeSize_)));
    headerTracker()._trackAllocation(typeid(HashMap2018BucketHeader), sizeof(HashMap2018BucketHeader));
    hdr[0] = B::make(length, 0);
    hdr[1] = 1;
    return hdr;
}

void HashMap2018Generic::release(std::uint32_t* hdr) const {
    if (!isStatic(hdr)) vt_->bktHdrRefDec(hdr);
}

bool HashMap2018Generic::bktHdrRefDecHelper(std::uint32_t* hdr) {
    LUMO_FMASSERT(!isStatic(hdr) && hdr[1] > 0, "Vex::HashMap2018Generic", "bucket reference count underflow");
    return --hdr[1] == 0;
}

void HashMap2018Generic::bucketFree(std::uint32_t* hdr, std::uint32_t nodeSize) {
    headerTracker()._trackDeallocation(typeid(HashMap2018BucketHeader), sizeof(HashMap2018BucketHeader));
    Slab::free(hdr, B::blockBytes(B::length(*hdr), nodeSize));
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

void HashMap2018Generic::trivialNewBucketAssemble(HashMap2018VTable const* vt, std::uint32_t, void* dst,
                                                  HashMap2018Sources const& sources) {
    std::size_t const ns = vt->nodeSize();
    char* out = static_cast<char*>(dst);
    for (std::uint8_t r = 0; r < sources.count; ++r) {
        std::size_t const bytes = sources.runs[r].count * ns;
        std::memcpy(out, sources.runs[r].src, bytes);
        out += bytes;
    }
}

void* HashMap2018Generic::lookupNodeG(HashMap2018VTable const*, HashMap2018KeyAndHash kh) const {
    std::uint32_t const key = *static_cast<std::uint32_t const*>(kh.key);
    std::uint32_t* hdr = bucketOf(kh.hash);
    bool found;
    std::uint32_t const pos = lowerBound(hdr, key, &found);
    return found ? B::nodes(hdr) + std::size_t(pos) * nodeSize_ : nullptr;
}

void* HashMap2018Generic::newMemberG(HashMap2018VTable const* vt, HashMap2018KeyAndHash kh, void* node,
                                     bool* inserted) {
    std::uint32_t const key = *static_cast<std::uint32_t const*>(kh.key);
    std::uint32_t const idx = kh.hash & mask_;
    std::uint32_t* hdr = slots_[idx];
    bool found;
    std::uint32_t const pos = lowerBound(hdr, key, &found);
    if (found) {
        if (inserted) *inserted = false;
        return B::nodes(hdr) + std::size_t(pos) * nodeSize_;
    }
    std::uint32_t const live = B::live(*hdr), length = B::length(*hdr);
    bool const shared = !isStatic(hdr) && hdr[1] > 1;
    if (!isStatic(hdr) && !shared && live < length) {
        // Room in an unshared bucket: open one position.
        char* nodes = B::nodes(hdr);
        std::uint32_t* h = B::hashes(hdr, nodeSize_);
        if (pos < live) vt->shift(vt, nodes, pos, live, 1);
        std::memmove(h + pos + 1, h + pos, (live - pos) * sizeof(std::uint32_t));
        vt->place(vt, nodes + std::size_t(pos) * nodeSize_, node, HashMap2018MoveOrCopy::Move);
        h[pos] = kh.hash;
        *hdr = B::make(length, live + 1, *hdr);
    } else {
        std::uint32_t const newLength = B::capFor(live + 1);
        std::uint32_t* nb = allocBucket(newLength);
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
        std::uint32_t* oh = B::hashes(hdr, nodeSize_);
        std::uint32_t* nh = B::hashes(nb, nodeSize_);
        std::memcpy(nh, oh, pos * sizeof(std::uint32_t));
        nh[pos] = kh.hash;
        std::memcpy(nh + pos + 1, oh + pos, (live - pos) * sizeof(std::uint32_t));
        *nb = B::make(newLength, live + 1);
        slots_[idx] = nb;
        release(hdr);
    }
    ++size_;
    if (inserted) *inserted = true;
    if (size_ > bucketCount() && iterators_ == 0) {
        rehash(bucketCount() * 2);
        return lookupNodeG(vt, kh);
    }
    return B::nodes(slots_[idx]) + std::size_t(pos) * nodeSize_;
}

bool HashMap2018Generic::deleteMemberG(HashMap2018VTable const* vt, HashMap2018KeyAndHash kh, void* outNode) {
    std::uint32_t const key = *static_cast<std::uint32_t const*>(kh.key);
    std::uint32_t const idx = kh.hash & mask_;
    std::uint32_t* hdr = slots_[idx];
    bool found;
    std::uint32_t const pos = lowerBound(hdr, key, &found);
    if (!found) return false;
    std::uint32_t const live = B::live(*hdr), length = B::length(*hdr);
    bool const shared = hdr[1] > 1;
    auto const how = shared ? HashMap2018MoveOrCopy::Copy : HashMap2018MoveOrCopy::Move;
    char* nodes = B::nodes(hdr);
    char* victim = nodes + std::size_t(pos) * nodeSize_;
    if (outNode) vt->place(vt, outNode, victim, how);
    if (live == 1) {
        slots_[idx] = gEmptyBucket;
        release(hdr);
    } else if (!shared && !(length > 4 && (live - 1) * 2 <= length)) {
        std::uint32_t* h = B::hashes(hdr, nodeSize_);
        vt->shift(vt, nodes, pos, live, -1);
        std::memmove(h + pos, h + pos + 1, (live - pos - 1) * sizeof(std::uint32_t));
        *hdr = B::make(length, live - 1, *hdr);
    } else {
        std::uint32_t const newLength = B::capFor(live - 1);
        std::uint32_t* nb = allocBucket(newLength);
        HashMap2018SourceRun runs[2];
        std::uint8_t n = 0;
        if (pos > 0) runs[n++] = {nodes, pos, how};
        if (pos + 1 < live) runs[n++] = {victim + nodeSize_, live - pos - 1, how};
        vt->newBucketAssemble(vt, newLength, B::nodes(nb), HashMap2018Sources{runs, n});
        std::uint32_t* oh = B::hashes(hdr, nodeSize_);
        std::uint32_t* nh = B::hashes(nb, nodeSize_);
        std::memcpy(nh, oh, pos * sizeof(std::uint32_t));
        std::memcpy(nh + pos, oh + pos + 1, (live - pos - 1) * sizeof(std::uint32_t));
        *nb = B::make(newLength, live - 1);
        slots_[idx] = nb;
        release(hdr);
    }
    --size_;
    maybeResize();
    return true;
}

void HashMap2018Generic::maybeResize() {
    if (iterators_ != 0) return;
    if (size_ > bucketCount())
        rehash(bucketCount() * 2);
    else if (shrink_ && bucketCount() > minBuckets_ && size_ < bucketCount() / 4)
        rehash(bucketCount() / 2);
}

void HashMap2018Generic::rehash(std::uint32_t newCount) {
    std::uint32_t const oldCount = bucketCount();
    if (newCount == oldCount) return;
    LUMO_FMASSERT(iterators_ == 0, "Vex::HashMap2018Generic", "rehash with live iterators");
    std::uint32_t** old = slots_;
    std::uint32_t* const* oldSlots = old;
    std::uint32_t const newMask = newCount - 1;
    auto** fresh = static_cast<std::uint32_t**>(Slab::allocate(sizeof(std::uint32_t*) * newCount));
    slotsTracker()._trackAllocation(typeid(HashMap2018Generic), sizeof(std::uint32_t*), newCount);
    std::fill_n(fresh, newCount, emptyBucket());

    std::vector<char*> items;
    std::vector<std::uint32_t> itemHashes;
    auto build = [&](std::uint32_t j) {
        if (items.empty()) return;
        std::uint32_t const length = B::capFor(std::uint32_t(items.size()));
        std::uint32_t* nb = allocBucket(length);
        assembleFromList(vt_, length, B::nodes(nb), items, HashMap2018MoveOrCopy::Move);
        std::memcpy(B::hashes(nb, nodeSize_), itemHashes.data(), itemHashes.size() * sizeof(std::uint32_t));
        *nb = B::make(length, std::uint32_t(items.size()));
        fresh[j] = nb;
    };
    if (newCount > oldCount) {
        // Each new bucket takes, in order, the nodes of one old bucket whose
        // hash selects it: a subsequence of a sorted array stays sorted.
        for (std::uint32_t j = 0; j < newCount; ++j) {
            std::uint32_t* hdr = oldSlots[j & mask_];
            items.clear();
            itemHashes.clear();
            std::uint32_t const live = B::live(*hdr);
            std::uint32_t const* h = B::hashes(hdr, nodeSize_);
            for (std::uint32_t i = 0; i < live; ++i) {
                if ((h[i] & newMask) != j) continue;
                items.push_back(B::nodes(hdr) + std::size_t(i) * nodeSize_);
                itemHashes.push_back(h[i]);
            }
            build(j);
        }
    } else {
        // Each new bucket merges the old buckets that fold onto it, in key order.
        std::uint32_t const fold = oldCount / newCount;
        for (std::uint32_t j = 0; j < newCount; ++j) {
            items.clear();
            itemHashes.clear();
            for (std::uint32_t f = 0; f < fold; ++f) {
                std::uint32_t* hdr = oldSlots[j + f * newCount];
                std::uint32_t const live = B::live(*hdr);
                std::uint32_t const* h = B::hashes(hdr, nodeSize_);
                std::size_t const mid = items.size();
                for (std::uint32_t i = 0; i < live; ++i) {
                    items.push_back(B::nodes(hdr) + std::size_t(i) * nodeSize_);
                    itemHashes.push_back(h[i]);
                }
                if (mid == 0 || mid == items.size()) continue;
                // Merge the two sorted runs [0, mid) and [mid, end), hashes along.
                std::vector<std::size_t> order(items.size());
                for (std::size_t k = 0; k < order.size(); ++k) order[k] = k;
                std::inplace_merge(order.begin(), order.begin() + std::ptrdiff_t(mid), order.end(),
                                   [&](std::size_t a, std::size_t b) { return nodeKey(items[a]) < nodeKey(items[b]); });
                std::vector<char*> mi(items.size());
                std::vector<std::uint32_t> mh(items.size());
                for (std::size_t k = 0; k < order.size(); ++k) {
                    mi[k] = items[order[k]];
                    mh[k] = itemHashes[order[k]];
                }
                items.swap(mi);
                itemHashes.swap(mh);
            }
            build(j);
        }
    }
    slots_ = fresh;
    mask_ = newMask;
    for (std::uint32_t i = 0; i < oldCount; ++i) {
        if (!isStatic(old[i])) vt_->bktHdrRefDec(old[i]);
    }
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
        LUMO_FMASSERT(live >= 1 && live <= length && hdr[1] >= 1, "Vex::HashMap2018Generic",
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
