#pragma once
// Drives a shadow from the map's notification channel, from the owner's own
// loop: the library starts no thread. The owner polls fd() for POLLIN (or
// sleeps in it after prepareToWait() said it may) and calls service().
//
// Delivery rule: every slot the writer changed reaches the target's
// doSlot() at least once after the change. Ordinary notifications come from
// the channel in order. When the channel says "resync" (first attach, the
// reader lagged beyond the ring, the writer re-attached), the syncer
// rescans every slot the target knows or the file has; the channel's
// position was taken before the scan, so changes made during the scan are
// delivered again afterwards. Synchronisation is reported once the scan is
// done and the channel has been drained.
//
// A slot whose read stayed unknown (the writer kept changing it) is handed
// back with revisit() and delivered again before synchronisation is
// reported: the target is never forced to guess.
//
// Modes: idle (0), syncing (1: the channel and any rescan), flushing (2:
// every shadow record handed to doFlushSlot(), then flushComplete()).
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <vector>

#include <sched.h>

#include "Lumo/Assert.h"
#include "Lumo/Time.h"
#include "Quorl/Quorl.h"

namespace Vorn {

// What a Syncer drives (implemented by VornShadow).
class SyncTarget {
public:
    virtual ~SyncTarget() = default;
    // One changed slot; `fullSync` when it comes from a rescan (no sequence).
    virtual void doSlot(std::uint32_t slot, std::uint64_t sequence, bool fullSync) = 0;
    // Slots a rescan must visit.
    virtual std::uint32_t resyncRange() = 0;
    virtual void syncComplete() = 0;
    virtual void doFlushSlot(std::uint32_t slot) = 0;
    virtual std::uint32_t flushRange() = 0;
    virtual void flushComplete() = 0;
    virtual void handleDisconnect() = 0;
};

class Syncer {
public:
    enum Mode : int { idle = 0, syncing = 1, flushing = 2 };

    Syncer(Quorl::QuorlReader& quorl, SyncTarget& target) : quorl_(quorl), target_(target) {}

    // Starts following the channel (after the channel reader attached).
    void start() {
        mode_ = syncing;
        scanning_ = false;
        synced_ = false;
    }
    // Starts a flush of the target's records, from the channel position
    // `lastSequence`; `async` false runs it to the end now.
    void startFlush(std::uint64_t lastSequence, bool async) {
        mode_ = flushing;
        flushSequence_ = lastSequence;
        flushPos_ = 0;
        scanning_ = false;
        if (!async) forceSyncCompletion();
    }
    // Completes a running flush at once.
    void forceSyncCompletion() {
        while (mode_ == flushing) service(SIZE_MAX);
    }

    int fd() const { return quorl_.fd(); }
    Mode mode() const { return mode_; }
    bool done() const { return mode_ != flushing && !scanning_ && synced_ && revisits_.empty(); }
    // Delivers `slot` again (as a rescan would) at the next service().
    void revisit(std::uint32_t slot) { revisits_.push_back(slot); }
    std::uint64_t resyncs() const { return resyncs_; }
    std::uint64_t delivered() const { return delivered_; }

    // Does at most `budget` units of work (notifications, scanned or
    // flushed records). True when work remains: call again without
    // waiting. Exceptions of the target propagate.
    bool service(std::size_t budget = 4096) {
        if (budget == 0) budget = 1;
        if (mode_ == flushing) {
            std::uint32_t end = target_.flushRange();
            if (flushPos_ > end) flushPos_ = end;
            std::uint32_t stop = end - flushPos_ > budget ? flushPos_ + std::uint32_t(budget) : end;
            while (flushPos_ < stop) target_.doFlushSlot(flushPos_++);
            if (flushPos_ < end) return true;
            mode_ = idle;
            target_.flushComplete();
            return false;
        }
        if (mode_ != syncing) return false;
        if (!revisits_.empty()) {
            std::vector<std::uint32_t> again;
            again.swap(revisits_);
            for (std::uint32_t slot : again) target_.doSlot(slot, 0, true);
            if (!revisits_.empty()) {
                // Still busy: give the writer a moment before the next look.
                ::sched_yield();
                return true;
            }
        }
        if (scanning_) {
            std::uint32_t stop = scanEnd_ - scanPos_ > budget ? scanPos_ + std::uint32_t(budget) : scanEnd_;
            while (scanPos_ < stop) target_.doSlot(scanPos_++, 0, true);
            if (scanPos_ < scanEnd_) return true;
            scanning_ = false;
        }
        auto st = quorl_.service(
            [&](Quorl::Notif n) {
                ++delivered_;
                target_.doSlot(n.slot, n.sequence, false);
            },
            budget);
        switch (st) {
            case Quorl::QuorlReader::Status::resync:
                ++resyncs_;
                scanning_ = true;
                synced_ = false;
                scanPos_ = 0;
                scanEnd_ = target_.resyncRange();
                return true;
            case Quorl::QuorlReader::Status::closed:
                mode_ = idle;
                target_.handleDisconnect();
                return false;
            case Quorl::QuorlReader::Status::ok:
                if (quorl_.pending() || !revisits_.empty()) return true;
                if (!synced_) {
                    synced_ = true;
                    target_.syncComplete();
                }
                return false;
        }
        return false;
    }

    // Whether the owner may sleep in fd() now (false: call service()).
    bool prepareToWait() {
        if (mode_ == flushing || scanning_ || !revisits_.empty() || (mode_ == syncing && !synced_)) return false;
        if (mode_ != syncing) return true;
        return quorl_.prepareToWait();
    }

private:
    Quorl::QuorlReader& quorl_;
    SyncTarget& target_;
    Mode mode_ = idle;
    bool scanning_ = false;
    bool synced_ = false;
    std::uint32_t scanPos_ = 0;
    std::uint32_t scanEnd_ = 0;
    std::uint32_t flushPos_ = 0;
    std::uint64_t flushSequence_ = 0;
    std::uint64_t resyncs_ = 0;
    std::uint64_t delivered_ = 0;
    std::vector<std::uint32_t> revisits_;
};

}  // namespace Vorn
