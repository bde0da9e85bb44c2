// The slot sequence protocol between threads: a reader copying a slot while
// the writer overwrites it gets either the old or the new value, whole. Runs
// under ThreadSanitizer too (every shared access is atomic), which a test
// across processes cannot.
#include <atomic>
#include <thread>

#include <gtest/gtest.h>

#include "../shm_support/ShmTest.h"
#include "Vorn/SlotSequence.h"

using namespace shmtest;

TEST(SlotSequence, ConcurrentReaderNeverSeesAMixedValue) {
    TempRoot root;
    Vorn::MapDescriptor d(64);
    Writer<Rec64> w(debug(), "seq", d, ops<Rec64>(), root.map("seq"));
    w.initialize("none");
    constexpr std::uint32_t kKeys = 8;
    for (std::uint32_t k = 0; k < kKeys; ++k) w.write(Rec64::make(k, 0), true);
    std::atomic<bool> stop{false};
    std::atomic<std::uint64_t> reads{0}, spareReads{0}, torn{0};
    using Slot = Vorn::SlotTable<Rec64>::Slot;
    auto const& table = w.slotTable();
    std::thread reader([&] {
        Slot const& spare = table.header().spare;
        std::uint32_t spareCount = 0;
        while (!stop.load(std::memory_order_relaxed)) {
            for (std::uint32_t s = 0; s < kKeys; ++s) {
                Slot const& slot = table.slotUnchecked(s);
                alignas(8) unsigned char buf[Vorn::SlotTable<Rec64>::kPayloadSize];
                bool ok;
                std::uint32_t seq = Vorn::SlotSequence::read(slot.word, slot.value, spare.value, buf, sizeof buf, ok,
                                                             spareCount);
                if (!ok || !(seq & Vorn::kSeqOccupied)) continue;
                Rec64 v;
                std::memcpy(&v, buf, sizeof v);
                if (!v.whole()) torn.fetch_add(1, std::memory_order_relaxed);
                reads.fetch_add(1, std::memory_order_relaxed);
            }
        }
        spareReads.store(spareCount);
    });
    // Overwrites only: the slot table never moves under the reader thread.
    for (std::uint32_t gen = 1; gen < 200000; ++gen) w.write(Rec64::make(gen % kKeys, gen), true);
    stop.store(true);
    reader.join();
    EXPECT_EQ(torn.load(), 0u);
    EXPECT_GT(reads.load(), 0u);
    std::printf("reads %llu, from the spare slot %llu, torn %llu\n", (unsigned long long)reads.load(),
                (unsigned long long)spareReads.load(), (unsigned long long)torn.load());
}
