// Readers as threads of one process, each with its own read-only mapping,
// while the writer storms inserts, overwrites, removes and both tables grow
// and shrink. Every value read must be whole and belong to the key asked
// for; iteration must stay strictly ordered. Runs under ThreadSanitizer,
// which sees every access of the readers' own state and every atomic word
// access (it cannot relate two mappings of one file, which the
// cross-process tests cover by checksums instead).
#include <atomic>
#include <cstdlib>
#include <map>
#include <optional>
#include <set>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "../shm_support/ShmTest.h"
#include "Vorn/VornReader.h"
#include "Vorn/VornShadow.h"

using namespace shmtest;

namespace {

using Reader = Vorn::VornReader<Vorn::BasicOps<Rec64>>;

struct ReaderTally {
    std::uint64_t reads = 0, found = 0, torn = 0, wrongKey = 0, disorder = 0, iterations = 0;
};

TEST(ReaderThreads, WholeValuesAndOrderedIterationDuringAStorm) {
    TempRoot root;
    auto rp = root.map("storm");
    Vorn::MapDescriptor d(8);
    Writer<Rec64> w(debug(), "storm", d, ops<Rec64>(), rp);
    w.initialize("none");
    constexpr std::uint32_t kKeys = 1500;
    int const writes = envInt("X2_SHMR_THREAD_WRITES", 60000);
    std::atomic<bool> stop{false};
    std::atomic<int> ready{0};
    constexpr int kReaders = 3;
    std::vector<ReaderTally> tallies(kReaders);
    std::vector<std::thread> threads;
    for (int t = 0; t < kReaders; ++t) {
        threads.emplace_back([&, t] {
            Reader r(debug(), "storm", rp, ops<Rec64>());
            ASSERT_TRUE(r.initialize("thread"));
            ready.fetch_add(1);
            auto& tl = tallies[t];
            std::uint32_t k = std::uint32_t(t) * 7919;
            while (!stop.load(std::memory_order_relaxed)) {
                Vorn::IterHint h;
                for (int i = 0; i < 200; ++i) {
                    k = (k * 1103515245u + 12345u) % (kKeys + 100);
                    Rec64 v;
                    ++tl.reads;
                    if (r.lookup(k, v, h)) {
                        ++tl.found;
                        if (!v.whole()) ++tl.torn;
                        if (v.key != k) ++tl.wrongKey;
                    }
                }
                // One pass of iteration: strictly ascending (order key, key).
                Rec64 v;
                std::uint64_t lastOrder = 0;
                bool any = false;
                std::uint32_t n = 0;
                for (bool ok = r.first(v, h); ok && n < 4 * kKeys; ok = r.next(v.key, v, h), ++n) {
                    if (!v.whole()) ++tl.torn;
                    std::uint64_t order = (std::uint64_t(Lumo::Util::reverse(r.ops().hash(v.key))) << 32) | v.key;
                    if (any && order <= lastOrder) ++tl.disorder;
                    lastOrder = order;
                    any = true;
                }
                ++tl.iterations;
            }
        });
    }
    while (ready.load() < kReaders) std::this_thread::yield();
    std::mt19937 rng(7);
    std::uint32_t gen = 0;
    std::map<std::uint32_t, Rec64> oracle;
    for (int i = 0; i < writes; ++i) {
        // Phases: fill, churn, drain, so that both tables grow and shrink.
        int phase = (i / 10000) % 3;
        int insertPct = phase == 0 ? 85 : phase == 1 ? 50 : 15;
        std::uint32_t k = rng() % kKeys;
        if (int(rng() % 100) < insertPct) {
            oracle[k] = Rec64::make(k, ++gen);
            w.write(oracle[k], true);
        } else {
            Rec64 out;
            w.remove(k, out);
            oracle.erase(k);
        }
    }
    stop.store(true);
    for (auto& th : threads) th.join();
    ReaderTally sum;
    for (auto const& t : tallies) {
        sum.reads += t.reads;
        sum.found += t.found;
        sum.torn += t.torn;
        sum.wrongKey += t.wrongKey;
        sum.disorder += t.disorder;
        sum.iterations += t.iterations;
    }
    EXPECT_EQ(sum.torn, 0u);
    EXPECT_EQ(sum.wrongKey, 0u);
    EXPECT_EQ(sum.disorder, 0u);
    EXPECT_GT(sum.found, 0u);
    EXPECT_GT(sum.iterations, 0u);
    // Quiet again: a fresh reader agrees with the oracle exactly.
    Reader r(debug(), "storm", rp, ops<Rec64>());
    ASSERT_TRUE(r.initialize("final"));
    Vorn::IterHint h;
    for (std::uint32_t k = 0; k < kKeys; ++k) {
        Rec64 v;
        bool found = r.lookup(k, v, h);
        ASSERT_EQ(found, oracle.count(k) == 1) << k;
        if (found) {
            ASSERT_EQ(v, oracle[k]);
        }
    }
}

// A shadow following the writer from another thread, sleeping on its
// descriptor between batches: its keys and last reports end equal to the
// writer's.
TEST(ShadowThread, FollowsAWriterThread) {
    TempRoot root;
    auto rp = root.map("shadowthread");
    Writer<Rec64> w(debug(), "shadowthread", Vorn::MapDescriptor(8), ops<Rec64>(), rp);
    w.initialize("none");
    int const writes = envInt("X2_SHMR_THREAD_WRITES", 60000) / 2;
    std::atomic<bool> done{false};
    std::map<std::uint32_t, Rec64> oracle;
    std::map<std::uint32_t, std::optional<Rec64>> last;
    std::uint64_t torn = 0;
    bool caughtUp = false;
    std::set<std::uint32_t> keys;
    std::atomic<bool> attached{false};
    std::thread follower([&] {
        using Shadow = Vorn::VornShadow<Vorn::BasicOps<Rec64>>;
        Shadow* self = nullptr;
        Vorn::ShadowCallbacks<Vorn::BasicOps<Rec64>> cb;
        cb.onKeyValue = [&](std::uint32_t k, Rec64 const*) { last[k] = std::nullopt; };
        cb.onKey = [&](std::uint32_t k) {
            Rec64 v;
            if (self->lookup(k, v)) {
                if (!v.whole() || v.key != k) ++torn;
                last[k] = v;
            } else {
                last[k] = std::nullopt;
            }
        };
        Shadow s(debug(), "shadowthread", rp, ops<Rec64>(), cb);
        self = &s;
        ASSERT_TRUE(s.initialize("thread"));
        attached.store(true);
        while (!done.load()) {
            if (!s.service(256) && s.prepareToWait()) s.quorl().wait(5);
        }
        caughtUp = s.serviceUntilSynced(20000);
        s.store().forEachKey([&](std::uint32_t k, std::uint32_t) { keys.insert(k); });
    });
    while (!attached.load()) std::this_thread::yield();
    std::mt19937 rng(3);
    std::uint32_t gen = 0;
    for (int i = 0; i < writes; ++i) {
        std::uint32_t k = rng() % 800;
        if (rng() % 100 < (i / 5000 % 2 ? 30 : 80)) {
            oracle[k] = Rec64::make(k, ++gen);
            w.write(oracle[k], true);
        } else {
            Rec64 out;
            w.remove(k, out);
            oracle.erase(k);
        }
    }
    done.store(true);
    follower.join();
    EXPECT_TRUE(caughtUp);
    EXPECT_EQ(torn, 0u);
    EXPECT_EQ(keys.size(), oracle.size());
    for (auto const& [k, v] : oracle) {
        ASSERT_TRUE(keys.count(k)) << k;
        ASSERT_TRUE(last[k].has_value()) << k;
        EXPECT_EQ(*last[k], v) << k;
    }
    for (auto const& [k, v] : last) EXPECT_TRUE(!v || oracle.count(k)) << k;
}

}  // namespace
