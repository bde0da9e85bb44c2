#pragma once
// The sequence protocol of a shared-memory slot, in one place.
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
// 1 set copies the spare, which holds the old value until the next overwrite
// of any slot begins; that begins after (W3) of this one and behind the
// (W0) fence, so a reader that observed any of its bytes re-reads a changed
// sequence and retries. A reader that saw s with bit 1 clear and bit 0 clear
// reports absence whatever bytes it copied. Stale reads are therefore
// harmless: they are discarded by the sequence check, or they are a
// complete value that was current at some instant during the read.
//
// Link changes (insertion, removal, moves) add 4 to the word that changed;
// a reader walking a chain re-reads the word that led it to a slot after
// reading the slot, and restarts the walk when its sequence moved.
#include <atomic>
#include <cstdint>

#include "Mem/SafeCopy.h"
#include "Vorn/SlotLink.h"

namespace Vorn {

constexpr std::uint32_t kSeqOccupied = 1u;
constexpr std::uint32_t kSeqOverwrite = 2u;
constexpr std::uint32_t kSeqStep = 4u;

struct SlotSequence {
    // Writer: replaces the value and trailer of the slot whose link word is
    // `word` with `valueBytes` bytes from `value` and the trailer word,
    // keeping a copy in the spare slot while the old value is still valid.
    static void overwrite(SlotLink& word, void* slotPayload, void* sparePayload, void const* value,
                          std::size_t valueBytes, std::uint64_t trailer) {
        std::uint64_t w = word.load(std::memory_order_relaxed);
        std::uint32_t s = SlotLink::seqOf(w);
        Mem::threadFence(std::memory_order_release);  // (W0)
        if (s & kSeqOccupied) Mem::wordCopy(sparePayload, slotPayload, valueBytes + 8);
        word.store(SlotLink::make(s + kSeqOverwrite, SlotLink::linkOf(w)), std::memory_order_release);  // (W1)
        Mem::threadFence(std::memory_order_release);                                          // (W2)
        Mem::wordCopy(slotPayload, value, valueBytes);
        std::atomic_ref<std::uint64_t>(*reinterpret_cast<std::uint64_t*>(static_cast<char*>(slotPayload) + valueBytes))
            .store(trailer, std::memory_order_relaxed);
        word.store(SlotLink::make((s + kSeqStep) | kSeqOccupied, SlotLink::linkOf(w)),
                   std::memory_order_release);  // (W3)
    }

    // Writer: a new link for the word, sequence + 4, state bits and mark kept.
    static void relink(SlotLink& word, std::uint32_t next) {
        std::uint64_t w = word.load(std::memory_order_relaxed);
        word.store(SlotLink::make(SlotLink::seqOf(w) + kSeqStep, SlotLink::retarget(SlotLink::linkOf(w), next)));
    }

    // Reader: copies a consistent payload (value and trailer) of the slot;
    // returns the sequence it belongs to. `maxRetries` bounds the loop
    // against a writer stuck mid-change (a dead writer): 0 is returned with
    // `ok` false after that many changed re-reads.
    static std::uint32_t read(SlotLink const& word, void const* slotPayload, void const* sparePayload, void* dst,
                              std::size_t payloadBytes, bool& ok, std::uint32_t& spareReads,
                              std::uint32_t maxRetries = 1u << 20) {
        return SlotLink::seqOf(readWord(word, slotPayload, sparePayload, dst, payloadBytes, ok, spareReads, maxRetries));
    }

    // As read(), but returns the whole link word of the instant the payload
    // belongs to: a reader walking a chain takes the next link from it. Any
    // change of the link also moves the sequence, so an unchanged sequence
    // means an unchanged word.
    static std::uint64_t readWord(SlotLink const& word, void const* slotPayload, void const* sparePayload, void* dst,
                                  std::size_t payloadBytes, bool& ok, std::uint32_t& spareReads,
                                  std::uint32_t maxRetries = 1u << 20) {
        std::uint64_t w = word.load(std::memory_order_acquire);  // (R1)
        for (std::uint32_t i = 0; i <= maxRetries; ++i) {
            std::uint32_t s = SlotLink::seqOf(w);
            if (s & kSeqOverwrite) ++spareReads;
            Mem::wordCopy(dst, (s & kSeqOverwrite) ? sparePayload : slotPayload, payloadBytes);
            Mem::threadFence(std::memory_order_acquire);  // (R2)
            std::uint64_t w2 = word.load(std::memory_order_relaxed);
            if (SlotLink::seqOf(w2) == s) {
                ok = true;
                return w2;
            }
            w = w2;
        }
        ok = false;
        return 0;
    }
};

}  // namespace Vorn
