#pragma once
// The change-notification channel of a shared-memory map. The writer
// announces the index of every slot it changed; readers in other processes
// learn of the changes without locks and sleep in poll() on a descriptor of
// their own while nothing happens. The library starts no thread: a reader
// calls QuorlReader::service() from its agent's loop when fd() is readable.
//
// Files in the map's directory:
//
//   "quorl" (written by the writer only; readers map it read-only):
//     struct QuorlHeader {            // 64 bytes
//         u64 magic;                  //  0 "ZORBQURL"
//         u32 format;                 //  8 kQuorlFormat
//         u32 fenixId;                // 12 generation of the map's files
//         u32 ringCapacity;           // 16 power of two
//         u32 slotCapacity;           // 20 entries in slotSeq (grows, never shrinks)
//         u64 writeSeq;               // 24 sequence of the next notification
//         u32 writerPid;              // 32
//         u32 closed;                 // 36 1 once the writer detached or wiped the map
//         char shocketName[24];       // 40 name of this attach ("<pid>.<n>")
//     };
//     u64 ring[ringCapacity];         // 64: notification s at ring[s % ringCapacity]:
//                                     //     (slotIndex << 32) | (u32)s
//     u64 slotSeq[slotCapacity];      // then: per slot, 1 + the sequence of its
//                                     //     latest notification (0 = never)
//
//   "quorl.readers" (mapped read-write by every reader):
//     struct ReadersHeader { u64 magic "ZORBQRDR"; u32 format; u32 maxReaders;
//                            u64 armed; u64 writerFlags; };        // 32 bytes
//     struct ReaderEntry { u32 pid; u32 generation; u64 wakeups; } [maxReaders];
//
//   Wake-up sockets: reader i binds a unix datagram socket in the abstract
//     namespace, named wakeAddress(readers file device, inode, i, generation);
//     the descriptor it polls is that socket. The writer sends one empty
//     datagram to wake it (non-blocking; a full queue already means "awake";
//     a dead reader's name refuses). No file to clean up, no path length
//     limit, no SIGPIPE. Readers and writer must share a network namespace.
//
// Protocol. Writer, for notification s of slot k: ring[s] := (k, s); slotSeq[k]
// := s + 1; writeSeq := s + 1 (release; pairs with the reader's acquire load of
// writeSeq). Then a full fence and a load of `armed` (a bit per sleeping
// reader): set bits are cleared and those readers' sockets written. A reader
// sets its bit (a full-barrier read-modify-write) before it re-reads writeSeq
// and sleeps, so either the writer sees the bit or the reader sees the new
// writeSeq: no wake-up is lost.
//
// The writer's fence is the costly part of an announcement, and it is paid
// on every change while readers go to sleep seldom. Where the kernel offers
// process-wide barriers (membarrier), the writer registers for them, drops
// its fence (a compiler barrier remains) and says so in writerFlags bit 0;
// a reader about to sleep then makes the kernel run a barrier on every
// processor that runs a registered process, between its setting of `armed`
// and its re-read of writeSeq. Either the writer's load of `armed` comes
// after that barrier and sees the bit, or its store of writeSeq came before
// it and the reader sees the new sequence. A reader that cannot run the
// barrier (a stricter sandbox than the writer's) sleeps with the timeout
// its caller gives and may wake late by up to that much.
//
// A reader keeps the sequence it consumed next. An entry whose tag is not
// its own sequence was overwritten: the reader lags by more than the ring
// and must resynchronise fully (treat every slot as changed), as it must
// when writeSeq jumps by more than the ring, which a writer does on every
// attach to existing files, so that a writer that died between changing a
// slot and announcing it loses nothing. A notification is stale
// (validateNotif false) when a later one names the same slot.
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "Vorn/AttachResult.h"
#include "Lumo/Trace.h"
#include "Mem/RootPath.h"
#include "Mem/SharedMemWrapper.h"

namespace Quorl {

struct QuorlHeader {
    static constexpr std::uint64_t kMagic = 0x4c52555142524f5aull;  // "ZORBQURL"
    static constexpr std::uint32_t kQuorlFormat = 1;
    std::uint64_t magic;
    std::uint32_t format;
    std::uint32_t fenixId;
    std::uint32_t ringCapacity;
    std::uint32_t slotCapacity;
    std::uint64_t writeSeq;
    std::uint32_t writerPid;
    std::uint32_t closed;
    char shocketName[24];
};
static_assert(sizeof(QuorlHeader) == 64);

struct ReadersHeader {
    static constexpr std::uint64_t kMagic = 0x5244525142524f5aull;  // "ZORBQRDR"
    static constexpr std::uint32_t kFormat = 1;
    static constexpr std::uint32_t kMaxReaders = 64;
    std::uint64_t magic;
    std::uint32_t format;
    std::uint32_t maxReaders;
    std::uint64_t armed;
    std::uint64_t writerFlags;  // kWriterNoFence
    static constexpr std::uint64_t kWriterNoFence = 1;
};
struct ReaderEntry {
    std::uint32_t pid;
    std::uint32_t generation;
    std::uint64_t wakeups;
};
static_assert(sizeof(ReadersHeader) == 32 && sizeof(ReaderEntry) == 16);

constexpr char const* kQuorlFile = "quorl";
constexpr char const* kReadersFile = "quorl.readers";
// Abstract socket name (without the leading NUL) of reader `index`.
std::string wakeAddress(std::uint64_t dev, std::uint64_t ino, std::uint32_t index, std::uint32_t generation);

// One announced change: the slot index and the notification's sequence.
struct Notif {
    std::uint32_t slot;
    std::uint64_t sequence;
};

// Kept for the readers' template interface: the channel carries slot indices only.
struct BasicSlot {};

class QuorlWriter {
public:
    static constexpr int kNew = Vorn::attachNew, kExisting = Vorn::attachExisting, kInvalid = Vorn::attachInvalid;
    static constexpr std::uint32_t kDefaultRingCapacity = 1u << 14;

    // `root` empty: a local map; notify() then only counts.
    QuorlWriter(Lumo::Platform::DebugHandler* debug, Mem::RootPath root,
                std::uint32_t ringCapacity = kDefaultRingCapacity);
    ~QuorlWriter();
    QuorlWriter(QuorlWriter const&) = delete;
    QuorlWriter& operator=(QuorlWriter const&) = delete;

    // Maps the channel: 1 new, 2 existing (every reader is then told to
    // resynchronise), 8 existing but invalid (message()).
    int attach(std::uint32_t fenixId);
    // Announces a change of `slotIndex`. Priority is carried for the
    // interface; every change uses 0.
    void notify(std::uint32_t slotIndex, int priority = 0) {
        (void)priority;
        if (!header_) {
            ++localSeq_;
            return;
        }
        if (slotIndex >= slotCapacity_) growSlots(slotIndex + 1);
        std::uint64_t s = seq_++;
        __atomic_store_n(&ring_[s & ringMask_], (std::uint64_t(slotIndex) << 32) | std::uint32_t(s), __ATOMIC_RELAXED);
        __atomic_store_n(&slotSeq_[slotIndex], s + 1, __ATOMIC_RELAXED);
        // Release: the entry and slotSeq above are visible with the new writeSeq.
        if (noFence_) {
            // The sleeping reader's global barrier stands in for our fence.
            __atomic_store_n(&header_->writeSeq, s + 1, __ATOMIC_RELEASE);
            __atomic_signal_fence(__ATOMIC_SEQ_CST);
        } else {
            // seq_cst exchange: also the full fence of the wake-up protocol.
            __atomic_exchange_n(&header_->writeSeq, s + 1, __ATOMIC_SEQ_CST);
        }
        if (__atomic_load_n(&readers_->armed, __ATOMIC_RELAXED) != 0) wakeArmed();
    }
    // Makes room for `slots` per-slot sequences (the slot file's largest count).
    void slotCapacityIs(std::uint32_t slots) {
        if (header_ && slots > slotCapacity_) growSlots(slots);
    }
    // Checks the channel against the generation and the largest slot count.
    bool validate(std::uint32_t fenixId, std::uint32_t maxSlots, std::string& message) const;
    // A slot's channel state must not name a notification not yet published.
    bool validateSlot(std::uint32_t slot, std::string& message) const;
    // Wakes every registered reader (attach, detach, wipe).
    void wakeAll();
    // Marks the channel closed and wakes every reader; keeps the files.
    void close();
    void detach();
    // Removes the channel's files, first telling readers of the old files.
    void cleanup();

    std::uint64_t sequence() const { return header_ ? seq_ : localSeq_; }
    std::uint32_t slotCapacity() const { return slotCapacity_; }
    std::string const& shocketName() const { return shocketName_; }
    std::string const& message() const { return message_; }
    std::string toString() const;
    std::uint64_t wakeups() const { return wakeups_; }
    bool attached() const { return header_ != nullptr; }
    // Whether announcements go without a fence (readers run the barrier).
    bool noFence() const { return noFence_; }

private:
    void growSlots(std::uint32_t slots);
    void remapPointers();
    void wakeArmed();
    void wakeReader(std::uint32_t index);
    bool attachReaders();

    Lumo::Platform::DebugHandler* debug_;
    Mem::RootPath root_;
    std::uint32_t ringCapacity_;
    std::uint64_t ringMask_ = 0;
    std::unique_ptr<Mem::Tracked<Mem::SharedMemWrapper>> mem_;
    std::unique_ptr<Mem::Tracked<Mem::SharedMemWrapper>> readersMem_;
    QuorlHeader* header_ = nullptr;
    std::uint64_t* ring_ = nullptr;
    std::uint64_t* slotSeq_ = nullptr;
    ReadersHeader* readers_ = nullptr;
    std::uint32_t slotCapacity_ = 0;
    std::uint64_t seq_ = 0;
    std::uint64_t localSeq_ = 0;
    std::uint64_t wakeups_ = 0;
    std::string shocketName_;
    std::string message_;
    int wakeSocket_ = -1;
    std::uint64_t readersDev_ = 0, readersIno_ = 0;
    bool noFence_ = false;
};

// Process-wide barriers (membarrier's global expedited commands). The
// writer registers once per process; true when the kernel took it.
// X2_QUORL_FENCE=1 in a writer's environment keeps its fence.
bool registerForGlobalBarrier();
// Runs a barrier on every processor that runs a registered process; false
// when the kernel refuses.
bool globalBarrier();

class QuorlReader {
public:
    enum class Status {
        ok,        // every notification since the last call was delivered
        resync,    // the reader fell behind or the writer re-attached: every slot may have changed
        closed,    // the writer detached or wiped the map: re-attach to the new files
    };

    QuorlReader(Lumo::Platform::DebugHandler* debug, Mem::RootPath root);
    ~QuorlReader();
    QuorlReader(QuorlReader const&) = delete;
    QuorlReader& operator=(QuorlReader const&) = delete;

    // Maps the channel read-only, registers this reader and creates its
    // wake-up FIFO. The first service() after attach reports resync (the
    // reader knows nothing yet). Returns false with message() on failure.
    bool attach(std::uint32_t fenixId);
    void detach();

    // Pollable descriptor (POLLIN when woken). Valid after attach. The reader
    // sleeps on it; service() drains it.
    int fd() const { return wakeFd_; }

    // Delivers pending notifications, at most `maxBatch`, to fn(Notif),
    // oldest first, and drains the FIFO. Never blocks.
    template <class F>
    Status service(F&& fn, std::size_t maxBatch = SIZE_MAX);

    // Arms the wake-up and tells whether the caller may sleep: false when a
    // notification arrived meanwhile (call service() again instead).
    bool prepareToWait();
    // prepareToWait() then poll() for up to `timeoutMs`; true when woken or
    // already pending.
    bool wait(int timeoutMs);

    // Whether `n` is still the latest notification of its slot.
    bool validateNotif(Notif n) const;
    // Whether the files at the map's path are no longer the ones mapped.
    bool replaced() const;

    // Whether notifications remain after a service() limited by maxBatch.
    bool pending() const { return header_ && writeSequence() != nextSeq_; }
    std::uint64_t nextSequence() const { return nextSeq_; }
    std::uint64_t writeSequence() const;
    std::uint32_t readerIndex() const { return index_; }
    std::string const& message() const { return message_; }
    std::uint64_t resyncs() const { return resyncs_; }

private:
    void drainFifo();
    void remapIfGrown() const;

    Lumo::Platform::DebugHandler* debug_;
    Mem::RootPath root_;
    std::unique_ptr<Mem::Tracked<Mem::SharedMemWrapper>> mem_;
    std::unique_ptr<Mem::Tracked<Mem::SharedMemWrapper>> readersMem_;
    mutable QuorlHeader const* header_ = nullptr;
    mutable std::uint64_t const* ring_ = nullptr;
    mutable std::uint64_t const* slotSeq_ = nullptr;
    mutable std::uint32_t slotCapacity_ = 0;
    std::uint32_t ringCapacity_ = 0;
    ReadersHeader* readers_ = nullptr;
    std::uint32_t index_ = UINT32_MAX;
    int wakeFd_ = -1;
    std::uint64_t nextSeq_ = 0;
    bool needResync_ = true;
    std::uint64_t resyncs_ = 0;
    std::string message_;
};

template <class F>
QuorlReader::Status QuorlReader::service(F&& fn, std::size_t maxBatch) {
    drainFifo();
    if (!header_) return Status::closed;
    if (__atomic_load_n(&header_->closed, __ATOMIC_ACQUIRE) != 0) return Status::closed;
    // Acquire pairs with the writer's store of writeSeq in notify().
    std::uint64_t ws = __atomic_load_n(&header_->writeSeq, __ATOMIC_ACQUIRE);
    if (needResync_ || ws < nextSeq_ || ws - nextSeq_ > ringCapacity_) {
        needResync_ = false;
        nextSeq_ = ws;
        ++resyncs_;
        return Status::resync;
    }
    std::uint64_t end = ws - nextSeq_ > maxBatch ? nextSeq_ + maxBatch : ws;
    std::uint64_t mask = ringCapacity_ - 1;
    for (std::uint64_t s = nextSeq_; s < end; ++s) {
        std::uint64_t e = __atomic_load_n(&ring_[s & mask], __ATOMIC_ACQUIRE);
        if (std::uint32_t(e) != std::uint32_t(s)) {
            // Overwritten while we lagged: resynchronise from the current head.
            nextSeq_ = __atomic_load_n(&header_->writeSeq, __ATOMIC_ACQUIRE);
            ++resyncs_;
            return Status::resync;
        }
        nextSeq_ = s + 1;
        fn(Notif{std::uint32_t(e >> 32), s});
    }
    return Status::ok;
}

}  // namespace Quorl
