#pragma once
// The one walk over a map's bucket chains, for the writer and for readers.
//
//   bucket file:  [hdr 24 B][head 0][head 1]...[head n-1]     n = 2^k
//   chain of b:   head b -> slot -> slot -> ... -> END(next bucket in split order)
//
// Each chain is sorted ascending by (order key, key), the order key being the
// bit-reversed hash of the key (orderedBefore below); the end link of bucket
// b names the bucket that follows b in bit-reversed order, the last one
// 0x3fffffff, so that following end links from bucket 0 visits every value
// once, in ascending order key.
//
// A ChainCursor stands on one link word (a bucket head or a slot's word) and
// the link it read from it. load() reads the slot that link names, with the
// checks every walk needs: the index inside the slot table, no more steps
// than slots (a cycle), the slot occupied, its key belonging to the bucket.
// advance() moves onto that slot's own link; nextBucket() follows a chain
// end, checking that it names the expected successor.
//
// What a step reads and what a failed check means is the Access policy's:
//  - WriterAccess (checked mode): the writer's own files, read in place;
//    every failed check raises Lumo::CorruptionDetectedException.
//  - ReaderAccess (retrying mode, VornCore/ReaderHashMap.h): the slot is
//    copied under the sequence protocol and the word that led to it is
//    re-read; a moved word or an unstable slot is Step::restart, and the
//    tolerances of a concurrent split or merge apply (a key of the bucket
//    under half or double the count, a chain end naming the successor under
//    one of those counts).
//
// Access provides: Key, numSlots(), head(b), visit(via, viaWord, idx, word,
// key) -> Step, linkMoved(via, viaWord), hash(key), checkKey(idx, hash,
// bucket, n), verifyNextBucket(bucket, next, n), stale().
#include <cstdint>

#include "Lumo/Util.h"
#include "Vorn/SlotLink.h"
#include "VornCore/BucketFile.h"

namespace VornCore {

// Successor of bucket b among n = 2^k buckets in bit-reversed order, or
// 0x3fffffff after the last.
inline std::uint32_t nextBucketInOrder(std::uint32_t b, std::uint32_t n) {
    if (n <= 1) return Vorn::kLinkIndexMask;
    int k = __builtin_ctz(n);
    std::uint32_t r = Lumo::Util::reverse(b) >> (32 - k);
    if (r + 1 >= n) return Vorn::kLinkIndexMask;
    return Lumo::Util::reverse(r + 1) >> (32 - k);
}

// The order of a chain: (order key, key) ascending.
template <class Key>
constexpr bool orderedBefore(std::uint32_t orderA, Key const& keyA, std::uint32_t orderB, Key const& keyB) {
    return orderA < orderB || (orderA == orderB && keyA < keyB);
}

// A link word named by position, so that it survives a remap: a bucket
// head or a slot's word.
struct LinkRef {
    bool bucket;
    std::uint32_t index;
};

enum class Step : std::uint8_t {
    slot,     // a slot was read (load), or the walk moved on (nextBucket)
    end,      // no bucket follows
    restart,  // the files moved under a reader: start the walk again
};

template <class Access>
class ChainCursor {
public:
    using Key = typename Access::Key;

    explicit ChainCursor(Access& access) : a_(access) {}

    // Stands on the head of `bucket` in a table of `n` buckets, whose keys
    // the walk checks against.
    void start(std::uint32_t bucket, std::uint32_t n) {
        n_ = n;
        steps_ = 0;
        enter(bucket);
    }
    // Stands on slot `slot` whose word read `word` (resuming an iteration).
    void resume(std::uint32_t bucket, std::uint32_t n, std::uint32_t slot, std::uint64_t word) {
        n_ = n;
        steps_ = 0;
        bucket_ = bucket;
        via_ = LinkRef{false, slot};
        viaWord_ = word;
        link_ = Vorn::SlotLink::linkOf(word);
    }

    bool atSlot() const { return Vorn::SlotLink::isSlot(link_); }

    // Reads the slot the current link names.
    Step load() {
        std::uint32_t idx = Vorn::SlotLink::indexOf(link_);
        std::uint32_t numSlots = a_.numSlots();
        if (++steps_ > numSlots) a_.throwCycle(steps_);
        if (idx >= numSlots) {
            if (a_.linkMoved(via_, viaWord_)) return Step::restart;
            a_.throwOutOfRange(idx, numSlots);
        }
        if (a_.visit(via_, viaWord_, idx, word_, key_) == Step::restart) return Step::restart;
        hash_ = a_.hash(key_);
        a_.checkKey(idx, hash_, bucket_, n_);
        slot_ = idx;
        return Step::slot;
    }
    // Moves onto the link of the slot just loaded.
    void advance() {
        via_ = LinkRef{false, slot_};
        viaWord_ = word_;
        link_ = Vorn::SlotLink::linkOf(word_);
    }
    // At a chain end: checks the bucket it names. Step::slot when the walk
    // moved to that bucket's head, Step::end after the last bucket,
    // Step::restart when a reader's tables moved meanwhile.
    Step nextBucket() {
        std::uint32_t nb = endBucket();
        a_.verifyNextBucket(bucket_, nb, n_);
        if (a_.stale()) return Step::restart;
        if (nb == Vorn::kLinkIndexMask) return Step::end;
        if (++hops_ > 2 * std::uint64_t(n_)) a_.throwCycle(hops_);
        enter(nb);
        return Step::slot;
    }
    // At a chain end: only the check of nextBucket().
    void checkEnd() const { a_.verifyNextBucket(bucket_, endBucket(), n_); }

    std::uint32_t bucket() const { return bucket_; }
    std::uint32_t link() const { return link_; }
    std::uint32_t endBucket() const { return Vorn::SlotLink::indexOf(link_); }
    LinkRef via() const { return via_; }
    // Of the slot last loaded:
    std::uint32_t slot() const { return slot_; }
    Key const& key() const { return key_; }
    std::uint32_t hash() const { return hash_; }
    std::uint32_t order() const { return Lumo::Util::reverse(hash_); }
    std::uint64_t word() const { return word_; }
    std::uint32_t sequence() const { return Vorn::SlotLink::seqOf(word_); }

private:
    void enter(std::uint32_t bucket) {
        bucket_ = bucket;
        via_ = LinkRef{true, bucket};
        viaWord_ = a_.head(bucket).load(std::memory_order_acquire);
        link_ = Vorn::SlotLink::linkOf(viaWord_);
    }

    Access& a_;
    std::uint32_t n_ = 1;
    std::uint32_t bucket_ = 0;
    LinkRef via_{true, 0};
    std::uint64_t viaWord_ = 0;
    std::uint32_t link_ = Vorn::kLinkNone;
    std::uint64_t steps_ = 0;
    std::uint64_t hops_ = 0;
    std::uint32_t slot_ = Vorn::kLinkNone;
    std::uint64_t word_ = 0;
    std::uint32_t hash_ = 0;
    Key key_{};
};

}  // namespace VornCore
