// Every writer transition of the slot sequence protocol against concurrent
// readers: the writer thread runs only that transition (and what it needs to
// repeat it) on a small slot array, a reader thread copies every slot under
// the protocol all the while, and no copy may be torn or mixed (the record's
// checksum), go back in time (per-slot generations only grow), or be absent
// where the transition never empties the slot. Runs under ThreadSanitizer
// too (every shared access is atomic), which a test across processes cannot.
#include <atomic>
#include <cstdlib>
#include <functional>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "../shm_support/ShmTest.h"
#include "Mem/SafeCopy.h"
#include "Vorn/SlotSequence.h"

using namespace shmtest;

namespace {

using Layout = Vorn::SlotTable<Rec64>;
using Slot = Layout::Slot;
constexpr std::uint32_t kSlots = 4;

int steps() {
    char const* s = std::getenv("X2_SEQ_STRESS_STEPS");
    return s ? std::atoi(s) : 60000;
}

// Widens the windows between the steps of a transition so that the reader
// lands inside them often, whatever the machine's load.
struct Spin {
    void operator()() const {
        for (int i = 0; i < 64; ++i) asm volatile("pause");
    }
};

// A header (with its spare slot) and kSlots slots, laid out as in a slot file.
struct Arena {
    std::vector<std::uint64_t> words = std::vector<std::uint64_t>((Layout::kHeaderSize + kSlots * Layout::kSlotSize) / 8);
    Layout::Header& header() { return *reinterpret_cast<Layout::Header*>(words.data()); }
    Slot& spare() { return header().spare; }
    Slot& slot(std::uint32_t i) {
        return *reinterpret_cast<Slot*>(reinterpret_cast<char*>(words.data()) + Layout::kHeaderSize +
                                        i * Layout::kSlotSize);
    }
    // Key of slot i: i. A fresh value of slot i with generation g.
    static Rec64 value(std::uint32_t i, std::uint32_t g) { return Rec64::make(i, g); }
    void put(std::uint32_t i, std::uint32_t g) {
        Rec64 v = value(i, g);
        Vorn::SlotSequence::overwrite(slot(i).word, slot(i).payload(), spare().payload(), &v, sizeof v, 0, Spin{});
    }
};

// What a transition may do to a slot's presence.
enum class Presence { always, mayBeAbsent };

struct Transition {
    char const* name;
    Presence presence;
    // Prepares the arena, then one step of the transition at step number n.
    std::function<void(Arena&)> setup;
    std::function<void(Arena&, std::uint32_t n)> step;
};

std::vector<Transition> transitions() {
    using S = Vorn::SlotSequence;
    auto allPresent = [](Arena& a) {
        for (std::uint32_t i = 0; i < kSlots; ++i) a.put(i, 1);
    };
    return {
        {"overwrite", Presence::always, allPresent, [](Arena& a, std::uint32_t n) { a.put(n % kSlots, n + 2); }},
        {"directCommit", Presence::always, allPresent,
         [](Arena& a, std::uint32_t n) {
             Slot& s = a.slot(n % kSlots);
             S::directBegin(s.payload(), a.spare().payload(), Layout::kPayloadSize);
             // The caller edits the copy in the spare, field by field.
             Rec64 v = Arena::value(n % kSlots, n + 2);
             Mem::wordCopy(a.spare().value, &v, sizeof v);
             S::directCommit(s.word, s.payload(), a.spare().payload(), Layout::kPayloadSize, Spin{});
         }},
        {"relink and mark", Presence::always, allPresent,
         [](Arena& a, std::uint32_t n) {
             Slot& s = a.slot(n % kSlots);
             if (n & 1)
                 S::markIs(s.word, (n & 2) != 0);
             else
                 S::relink(s.word, n % 1000);
         }},
        {"vacate, fill and publish", Presence::mayBeAbsent, allPresent,
         [](Arena& a, std::uint32_t n) {
             Slot& s = a.slot(n % kSlots);
             switch (n / kSlots % 3) {
             case 0: S::vacate(s.word, Vorn::kLinkNone); break;
             case 1: a.put(n % kSlots, n + 2); break;  // a fill of a free slot
             case 2:
                 // A new slot of direct mode: filled in place while free, then published.
                 S::vacate(s.word, Vorn::kLinkNone);
                 Rec64 v = Arena::value(n % kSlots, n + 2);
                 Mem::wordCopy(s.value, &v, sizeof v);
                 S::publish(s.word);
                 break;
             }
         }},
        {"move and clear", Presence::mayBeAbsent,
         [](Arena& a) { a.put(0, 1); },
         [](Arena& a, std::uint32_t n) {
             // Compaction moves key 0 into the free one of slots 0 and 1 and
             // clears the slot it left; its value is refreshed first, so that a
             // stale copy would show as an older generation.
             std::uint32_t from = n & 1, to = from ^ 1;
             Slot& f = a.slot(from);
             Slot& t = a.slot(to);
             Rec64 v = Arena::value(0, n + 2);
             Vorn::SlotSequence::overwrite(f.word, f.payload(), a.spare().payload(), &v, sizeof v, 0, Spin{});
             S::moveInto(t.word, t.payload(), f.word, f.payload(), Layout::kPayloadSize, Spin{});
             S::movedAway(f.word);
         }},
        {"initFree", Presence::mayBeAbsent, allPresent,
         [](Arena& a, std::uint32_t n) {
             Slot& s = a.slot(n % kSlots);
             S::vacate(s.word, Vorn::kLinkNone);
             S::initFree(s.word, s.payload(), sizeof(Rec64), (n + 1) % kSlots);
             a.put(n % kSlots, n + 2);
         }},
    };
}

class SlotTransition : public ::testing::TestWithParam<std::size_t> {};

TEST_P(SlotTransition, ReadersSeeWholeValuesThatNeverGoBack) {
    Transition t = transitions()[GetParam()];
    Arena a;
    t.setup(a);
    std::atomic<bool> stop{false};
    std::atomic<std::uint64_t> progress{0};
    std::uint64_t reads = 0, absent = 0, unknown = 0, torn = 0, back = 0, foreign = 0;
    std::uint32_t spareReads = 0;
    std::thread reader([&] {
        std::vector<std::uint32_t> lastGen(kSlots, 0);
        while (!stop.load(std::memory_order_relaxed)) {
            for (std::uint32_t i = 0; i < kSlots; ++i) {
                Slot& s = a.slot(i);
                alignas(8) unsigned char buf[Layout::kPayloadSize];
                Vorn::SlotRead r;
                Vorn::SlotSequence::readWord(s.word, s.value, a.spare().value, buf, sizeof buf, r, spareReads, 1u << 12);
                ++reads;
                progress.store(reads, std::memory_order_relaxed);
                if (r == Vorn::SlotRead::unknown) {
                    ++unknown;
                    continue;
                }
                if (r == Vorn::SlotRead::absent) {
                    ++absent;
                    continue;
                }
                Rec64 v;
                std::memcpy(&v, buf, sizeof v);
                if (!v.whole()) {
                    ++torn;
                    continue;
                }
                // A moved value carries its key into the other slot.
                std::uint32_t k = v.key;
                if (k >= kSlots) {
                    ++foreign;
                    continue;
                }
                if (v.gen < lastGen[k]) ++back;
                lastGen[k] = v.gen;
            }
        }
    });
    // At least as many steps as asked, and until the reader has made as many
    // reads: the two really overlap whatever the scheduler does.
    std::uint64_t n = std::uint64_t(steps());
    for (std::uint64_t i = 0; i < n || progress.load(std::memory_order_relaxed) < n; ++i) t.step(a, std::uint32_t(i));
    stop.store(true);
    reader.join();
    EXPECT_EQ(torn, 0u) << t.name;
    EXPECT_EQ(back, 0u) << t.name;
    EXPECT_EQ(foreign, 0u) << t.name;
    if (t.presence == Presence::always) {
        EXPECT_EQ(absent, 0u) << t.name;
    }
    EXPECT_GT(reads, unknown) << t.name;
    std::printf("%s: %llu reads, %llu absent, %llu unknown, %u from the spare\n", t.name, (unsigned long long)reads,
                (unsigned long long)absent, (unsigned long long)unknown, spareReads);
}

INSTANTIATE_TEST_SUITE_P(AllTransitions, SlotTransition, ::testing::Range<std::size_t>(0, transitions().size()),
                         [](auto const& info) {
                             std::string n = transitions()[info.param].name;
                             for (auto& c : n)
                                 if (!std::isalnum(static_cast<unsigned char>(c))) c = '_';
                             return n;
                         });

// The writer's overwrite through a real map, as before: the slot table
// never moves under the reader thread (overwrites only).
TEST(SlotSequence, ConcurrentReaderOfAMapNeverSeesAMixedValue) {
    TempRoot root;
    Vorn::MapDescriptor d(64);
    Writer<Rec64> w(debug(), "seq", d, ops<Rec64>(), root.map("seq"));
    w.initialize("none");
    constexpr std::uint32_t kKeys = 8;
    for (std::uint32_t k = 0; k < kKeys; ++k) w.write(Rec64::make(k, 0), true);
    std::atomic<bool> stop{false};
    std::atomic<std::uint64_t> reads{0}, torn{0};
    auto const& table = w.slotTable();
    std::thread reader([&] {
        Slot const& spare = table.header().spare;
        std::uint32_t spareCount = 0;
        while (!stop.load(std::memory_order_relaxed)) {
            for (std::uint32_t s = 0; s < kKeys; ++s) {
                Slot const& slot = table.slotUnchecked(s);
                alignas(8) unsigned char buf[Layout::kPayloadSize];
                Vorn::SlotRead r;
                Vorn::SlotSequence::readWord(slot.word, slot.value, spare.value, buf, sizeof buf, r, spareCount);
                if (r != Vorn::SlotRead::present) continue;
                Rec64 v;
                std::memcpy(&v, buf, sizeof v);
                if (!v.whole()) torn.fetch_add(1, std::memory_order_relaxed);
                reads.fetch_add(1, std::memory_order_relaxed);
            }
        }
    });
    for (std::uint32_t gen = 1; gen < 100000 || reads.load(std::memory_order_relaxed) < 100000; ++gen)
        w.write(Rec64::make(gen % kKeys, gen), true);
    stop.store(true);
    reader.join();
    EXPECT_EQ(torn.load(), 0u);
    EXPECT_GT(reads.load(), 0u);
}

// Mem::safeHeaderCopy: a header nobody changes is copied whole and reported
// agreed; one larger than the snapshot bound is copied once and not; one
// whose words change all the while still ends within the bound of tries,
// and an agreed copy of it holds a counter value the writer did store.
TEST(SafeHeaderCopy, AgreesOnAStableHeaderAndEndsOnAChangingOne) {
    alignas(8) static std::uint64_t src[Mem::kSnapshotMax / 8 + 1], dst[Mem::kSnapshotMax / 8 + 1];
    for (std::size_t n : {std::size_t(608), Mem::kSnapshotMax, Mem::kSnapshotMax + 8}) {
        for (std::size_t i = 0; i < n / 8; ++i) {
            src[i] = 0x9e3779b97f4a7c15ull * (i + n);
            dst[i] = 0;
        }
        EXPECT_EQ(Mem::safeHeaderCopy(dst, src, n), n <= Mem::kSnapshotMax) << n;
        EXPECT_EQ(std::memcmp(dst, src, n), 0) << n;
    }
    // The writer counts up from 1: the word starts below it, so that the
    // wait below really waits for the writer and every value read is its own.
    src[3] = 0;
    std::atomic<bool> stop{false};
    std::thread writer([&] {
        for (std::uint64_t g = 1; !stop.load(std::memory_order_relaxed); ++g)
            std::atomic_ref<std::uint64_t>(src[3]).store(g, std::memory_order_relaxed);
    });
    while (std::atomic_ref<std::uint64_t>(src[3]).load(std::memory_order_relaxed) < 1000) {
    }
    for (int i = 0; i < 2000; ++i) {
        std::uint64_t const before = std::atomic_ref<std::uint64_t>(src[3]).load(std::memory_order_relaxed);
        bool const agreed = Mem::safeHeaderCopy(dst, src, 608);
        std::uint64_t const after = std::atomic_ref<std::uint64_t>(src[3]).load(std::memory_order_relaxed);
        EXPECT_TRUE(dst[3] >= before && dst[3] <= after) << agreed;
        EXPECT_EQ(dst[4], src[4]);
    }
    stop.store(true);
    writer.join();
}

}  // namespace
