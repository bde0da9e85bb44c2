#pragma once
// The sequence protocol of a shared-memory slot, in one place: every change
// the writer makes to a slot's word or payload is one of the transitions
// below, and readers copy slots only through readWord().
//
// A slot is { SlotLink word (sequence | link); value bytes; trailer }. Its
// sequence's bit 0 says the slot holds a value, bit 1 that an overwrite is in
// progress, in which case the header's spare slot holds a consistent copy of
// the value being replaced. Every completed change adds 4.
//
// Reader (any process, never blocks the writer):
//
//   s = seq.load(acquire)                            // (R1)
//   loop:
//     src = (s & 2) ? spare : slot
//     copy value and trailer from src (relaxed word loads)
//     atomic_thread_fence(acquire)                   // (R2) pairs with (W0), (W2)
//     s2 = seq.load(relaxed)
//     if s2 == s: done (s & 1 tells presence)
//     s = s2
//
// Writer, overwriting slot k (single writer per map):
//
//   atomic_thread_fence(release)                     // (W0) the previous change of any slot
//                                                    //      is published before the spare changes
//   copy slot k's value and trailer into the spare   // only when k holds a value
//   seq.store(s + 2, release)                        // (W1) spare complete before bit 1 shows
//   atomic_thread_fence(release)                     // (W2) bit 1 shows before any new value byte
//   copy the new value into slot k
//   seq.store((s + 4) | 1, release)                  // (W3)
//
// Why a reader never returns a mixed value. A reader that saw bit 1 clear
// copies the slot: if it observed any byte of a later overwrite, (W2)/(R2)
// make its re-read see at least s + 2, and it retries. A reader that saw bit
// 1 set copies the spare, which holds the old value until the next change of
// the spare begins; that begins after (W3) of this one and behind a (W0)
// fence, so a reader that observed any of its bytes re-reads a changed
// sequence and retries. A reader that saw bit 0 clear reports absence
// whatever bytes it copied. Stale reads are therefore harmless: they are
// discarded by the sequence check, or they are a complete value that was
// current at some instant during the read.
//
// The other transitions keep the same two rules: (a) bytes a reader may copy
// under a sequence s are changed only after a store that moves the sequence
// away from s, with a release fence or store between them; (b) a slot's
// bytes become visible as a value only through a release store that sets
// bit 0 after they were written. Link changes (insertion, removal, moves)
// add 4 to the word that changed; a reader walking a chain re-reads the word
// that led it to a slot after reading the slot, and restarts the walk when
// its sequence moved (VornCore/ChainCursor.h).
//
// A read that stays unstable is never reported as absence: readWord() keeps
// copying while the sequence moves (each move is a completed step of a live
// writer; a writer that died mid-change leaves a stable word whose bit 1
// points at the spare's consistent copy) and, past its bound, says "unknown"
// so that the caller looks again later.
#include <atomic>
#include <cstdint>

#include <sched.h>

#include "Mem/SafeCopy.h"
#include "Vorn/SlotLink.h"

namespace Vorn {

constexpr std::uint32_t kSeqOccupied = 1u;
constexpr std::uint32_t kSeqOverwrite = 2u;
constexpr std::uint32_t kSeqStep = 4u;
constexpr std::uint32_t kSeqStateBits = kSeqOccupied | kSeqOverwrite;

// What a reader learnt of a slot.
enum class SlotRead : std::uint8_t {
    absent,   // stable, no value
    present,  // stable, the copy is a whole value
    unknown,  // the writer kept changing the slot: look again later
};

// Called between the steps of a writer transition. Tests pass a pause that
// widens the windows in which a concurrent reader can land; it compiles to
// nothing otherwise.
struct NoPause {
    void operator()() const {}
};

struct SlotSequence {
    // ---------------------------------------------------------------- writer

    // A slot no reader can reach (beyond the published slot count, or being
    // put on the free list by the growth or creation that owns it) becomes a
    // free-list member linking to `next`: zero trailer and leading value words.
    // A fresh slot starts at sequence 0; a slot reused after a shrink keeps
    // counting, so a reader still holding its old sequence sees a change.
    static void initFree(SlotLink& word, void* payload, std::size_t valueBytes, std::uint32_t next) {
        std::uint32_t seq = SlotLink::seqOf(word.load(std::memory_order_relaxed));
        auto* p = static_cast<unsigned char*>(payload);
        std::uint64_t const zero[2] = {0, 0};
        Mem::wordCopy(p + valueBytes, zero, 8);
        Mem::wordCopy(p, zero, valueBytes >= 16 ? 16 : 8);
        // Release (rule a): a reader that copied the old bytes under the old
        // sequence sees this one move.
        word.store(SlotLink::make(seq == 0 ? 0 : (seq & ~kSeqStateBits) + kSeqStep, next));
    }

    // Replaces the value and trailer of the slot whose link word is `word`
    // with `valueBytes` bytes from `value` and the trailer word, keeping a
    // copy in the spare slot while the old value is still valid. The protocol
    // drawn above.
    template <class Pause = NoPause>
    static void overwrite(SlotLink& word, void* slotPayload, void* sparePayload, void const* value,
                          std::size_t valueBytes, std::uint64_t trailer, Pause pause = {}) {
        std::uint64_t w = word.load(std::memory_order_relaxed);
        std::uint32_t s = SlotLink::seqOf(w);
        Mem::threadFence(std::memory_order_release);  // (W0)
        if (s & kSeqOccupied) Mem::wordCopy(sparePayload, slotPayload, valueBytes + 8);
        pause();
        word.store(SlotLink::make(s + kSeqOverwrite, SlotLink::linkOf(w)), std::memory_order_release);  // (W1)
        Mem::threadFence(std::memory_order_release);                                          // (W2)
        pause();
        Mem::wordCopy(slotPayload, value, valueBytes);
        pause();
        std::atomic_ref<std::uint64_t>(*reinterpret_cast<std::uint64_t*>(static_cast<char*>(slotPayload) + valueBytes))
            .store(trailer, std::memory_order_relaxed);
        word.store(SlotLink::make((s + kSeqStep) | kSeqOccupied, SlotLink::linkOf(w)),
                   std::memory_order_release);  // (W3)
    }

    // A new link for the word (a bucket head or a slot), sequence + 4, state
    // bits and mark kept. Release: a slot linked in was filled first (rule
    // b), and a reader that followed the old link re-reads this word after
    // its copy and restarts.
    static void relink(SlotLink& word, std::uint32_t next) {
        std::uint64_t w = word.load(std::memory_order_relaxed);
        word.store(SlotLink::make(SlotLink::seqOf(w) + kSeqStep, SlotLink::retarget(SlotLink::linkOf(w), next)));
    }

    // Sets or clears the mark-and-sweep flag (bit 30 of the link). The value
    // does not change; the sequence moves so that iteration hints taken
    // before notice.
    static void markIs(SlotLink& word, bool on) {
        std::uint64_t w = word.load(std::memory_order_relaxed);
        std::uint32_t l = SlotLink::linkOf(w);
        l = on ? (l | kLinkMarkBit) : (l & ~kLinkMarkBit);
        word.store(SlotLink::make(SlotLink::seqOf(w) + kSeqStep, l));
    }

    // A slot already unlinked from its chain loses its value and joins the
    // free list ahead of `nextFree`. A reader that reached it through the old
    // link sees that link move and restarts; one reading it directly by index
    // sees bit 0 clear: absent, which it was from the unlink on.
    static void vacate(SlotLink& word, std::uint32_t nextFree) {
        std::uint64_t w = word.load(std::memory_order_relaxed);
        word.store(SlotLink::make((SlotLink::seqOf(w) & ~kSeqStateBits) + kSeqStep,
                                  SlotLink::retarget(SlotLink::linkOf(w), nextFree)));
    }

    // Compaction, first half: the free slot `to` (unreachable: the free list
    // is the writer's own) takes the payload of `from` and its next link (with
    // its mark) and becomes occupied. The caller then relinks the word that
    // pointed at `from` to `to`, and finally calls movedAway(from). Between
    // the two a key is held by both slots with the same value; a reader
    // finds one or the other, never neither.
    template <class Pause = NoPause>
    static void moveInto(SlotLink& toWord, void* toPayload, SlotLink const& fromWord, void const* fromPayload,
                         std::size_t payloadBytes, Pause pause = {}) {
        Mem::wordCopy(toPayload, fromPayload, payloadBytes);
        pause();
        std::uint64_t tw = toWord.load(std::memory_order_relaxed);
        std::uint64_t fw = fromWord.load(std::memory_order_relaxed);
        // Release (rule b): the copied payload is visible before bit 0 shows.
        toWord.store(SlotLink::make(((SlotLink::seqOf(tw) & ~kSeqStateBits) + kSeqStep) | kSeqOccupied,
                                    SlotLink::linkOf(fw)));
    }
    // Compaction, second half: the old slot, no longer linked, reads as
    // absent. Its link is left as it was; the slot lies beyond the shrunk
    // table from the next published slot count on.
    static void movedAway(SlotLink& fromWord) {
        std::uint64_t w = fromWord.load(std::memory_order_relaxed);
        fromWord.store(SlotLink::make((SlotLink::seqOf(w) & ~kSeqStateBits) + kSeqStep, SlotLink::linkOf(w)));
    }

    // Direct mode, begin on an occupied slot: the caller edits a copy in the
    // spare while readers keep reading the slot itself (bit 1 stays clear).
    // (W0) as in overwrite: a reader copying the spare for an earlier
    // overwrite re-reads a changed sequence.
    static void directBegin(void* slotPayload, void* sparePayload, std::size_t payloadBytes) {
        Mem::threadFence(std::memory_order_release);  // (W0)
        Mem::wordCopy(sparePayload, slotPayload, payloadBytes);
    }
    // Direct mode, commit on an occupied slot: the opposite of overwrite's
    // order. The spare already holds the new value, so bit 1 shows it to
    // readers first; the slot then takes it over.
    template <class Pause = NoPause>
    static void directCommit(SlotLink& word, void* slotPayload, void const* sparePayload, std::size_t payloadBytes,
                             Pause pause = {}) {
        std::uint64_t w = word.load(std::memory_order_relaxed);
        std::uint32_t s = SlotLink::seqOf(w);
        word.store(SlotLink::make(s + kSeqOverwrite, SlotLink::linkOf(w)));  // (W1): the edited spare is complete
        Mem::threadFence(std::memory_order_release);                         // (W2)
        pause();
        Mem::wordCopy(slotPayload, sparePayload, payloadBytes);
        pause();
        word.store(SlotLink::make((s + kSeqStep) | kSeqOccupied, SlotLink::linkOf(w)));  // (W3)
    }
    // A slot filled in place while no reader could reach it (a new key in
    // direct mode, not yet linked) becomes occupied. Release (rule b).
    static void publish(SlotLink& word) {
        std::uint64_t w = word.load(std::memory_order_relaxed);
        word.store(SlotLink::make((SlotLink::seqOf(w) + kSeqStep) | kSeqOccupied, SlotLink::linkOf(w)));
    }

    // ---------------------------------------------------------------- reader

    // Copies a consistent payload (value and trailer) of the slot. Returns the
    // whole link word of the instant the payload belongs to (a reader walking
    // a chain takes the next link from it; any change of the link also moves
    // the sequence, so an unchanged sequence means an unchanged word), and in
    // `result` present, absent or, when the sequence still moved after
    // `maxRetries` copies, unknown.
    static std::uint64_t readWord(SlotLink const& word, void const* slotPayload, void const* sparePayload, void* dst,
                                  std::size_t payloadBytes, SlotRead& result, std::uint32_t& spareReads,
                                  std::uint32_t maxRetries = 1u << 20) {
        std::uint64_t w = word.load(std::memory_order_acquire);  // (R1)
        for (std::uint32_t i = 0; i <= maxRetries; ++i) {
            std::uint32_t s = SlotLink::seqOf(w);
            if (s & kSeqOverwrite) ++spareReads;
            Mem::wordCopy(dst, (s & kSeqOverwrite) ? sparePayload : slotPayload, payloadBytes);
            Mem::threadFence(std::memory_order_acquire);  // (R2)
            std::uint64_t w2 = word.load(std::memory_order_relaxed);
            if (SlotLink::seqOf(w2) == s) {
                result = (s & kSeqOccupied) ? SlotRead::present : SlotRead::absent;
                return w2;
            }
            w = w2;
            // A writer changing this slot without pause: let it run.
            if ((i & 255) == 255) ::sched_yield();
        }
        result = SlotRead::unknown;
        return 0;
    }

};

}  // namespace Vorn
