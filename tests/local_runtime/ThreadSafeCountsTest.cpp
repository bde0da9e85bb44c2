// Reference counts, slab and allocation tracking used from several threads
// in thread-safe mode. Run under ThreadSanitizer in CI (.tsan in this folder).
#include <atomic>
#include <cstdlib>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "../local_engine/TestNodes.h"
#include "Lumo/Node.h"
#include "Vex/Alloc.h"

namespace {

int roundsFromEnv(int dflt) {
    char const* e = std::getenv("X2_TSAN_ROUNDS");
    return e ? std::atoi(e) : dflt;
}

class ThreadSafeMode : public ::testing::Test {
protected:
    void SetUp() override {
        was_ = Lumo::threadSafeMode();
        Lumo::threadSafeModeIs(true);
    }
    void TearDown() override { Lumo::threadSafeModeIs(was_); }
    bool was_ = false;
};

class Probe : public Lumo::Node {
public:
    explicit Probe(std::atomic<int>* dead) : dead_(dead) {}
    ~Probe() override { dead_->fetch_add(1); }

private:
    std::atomic<int>* dead_;
};

TEST_F(ThreadSafeMode, PtrCopiesOnManyThreadsKeepTheCountExact) {
    std::atomic<int> dead{0};
    int const rounds = roundsFromEnv(20000);
    Lumo::Ptr<Probe> shared(new Probe(&dead));
    std::vector<std::thread> ts;
    for (int t = 0; t < 4; ++t) {
        ts.emplace_back([shared, rounds] {  // each thread starts with its own use
            for (int i = 0; i < rounds; ++i) {
                Lumo::Ptr<Probe> a = shared;
                Lumo::Ptr<Probe> b = a;
                a = nullptr;
            }
        });
    }
    for (auto& t : ts) t.join();
    EXPECT_EQ(shared->useCount(), 1u);
    EXPECT_EQ(dead.load(), 0);
    // The last use dropped on another thread destroys the node exactly once.
    std::thread last([p = std::move(shared)]() mutable { p = nullptr; });
    last.join();
    EXPECT_EQ(dead.load(), 1);
}

TEST_F(ThreadSafeMode, MapsOnSeveralThreadsShareCountedValues) {
    using Map = Vex::HashMap2018<enginetest::CountedNode, std::uint32_t, enginetest::CountedValue>;
    int const rounds = roundsFromEnv(20000) / 2000 + 2;
    std::int64_t const baseBlocks = enginetest::Shared::liveBlocks();
    std::vector<enginetest::CountedValue> values;
    for (std::uint32_t i = 0; i < 200; ++i) values.push_back({i, enginetest::Shared(i)});
    auto const trackBase = Vex::allocTracker<enginetest::CountedNode>().counts();
    std::vector<std::thread> ts;
    for (int t = 0; t < 4; ++t) {
        ts.emplace_back([&values, rounds, t] {
            for (int r = 0; r < rounds; ++r) {
                Map m;
                for (std::uint32_t i = 0; i < values.size(); ++i) m.insert(i * 7 + std::uint32_t(t), values[i]);
                for (std::uint32_t i = 0; i < values.size(); i += 2) m.erase(i * 7 + std::uint32_t(t));
                for (auto it = m.iterator(); !it.atEnd(); it.advance())
                    if (it.key() % 3 == 0) m.erase(it.key());
            }
        });
    }
    for (auto& t : ts) t.join();
    for (auto const& v : values) EXPECT_EQ(v.data.useCount(), 1u);
    auto const after = Vex::allocTracker<enginetest::CountedNode>().counts();
    EXPECT_EQ(after.liveElements, trackBase.liveElements);
    EXPECT_EQ(after.liveBytes, trackBase.liveBytes);
    values.clear();
    EXPECT_EQ(enginetest::Shared::liveBlocks(), baseBlocks);
}

TEST_F(ThreadSafeMode, SlabBlocksFreedOnAnotherThread) {
    int const n = roundsFromEnv(20000);
    std::vector<void*> blocks(std::size_t(n), nullptr);
    std::thread producer([&] {
        for (int i = 0; i < n; ++i) {
            blocks[std::size_t(i)] = Vex::Slab::allocate(24 + std::size_t(i % 5) * 8);
            std::memset(blocks[std::size_t(i)], i & 0xff, 24);
        }
    });
    producer.join();  // the producer's cache goes to the depot as it ends
    std::thread consumer([&] {
        for (int i = 0; i < n; ++i) {
            auto* p = static_cast<unsigned char*>(blocks[std::size_t(i)]);
            ASSERT_EQ(p[23], static_cast<unsigned char>(i & 0xff));
            Vex::Slab::free(p, 24 + std::size_t(i % 5) * 8);
        }
        // And reuse from this thread.
        for (int i = 0; i < 100; ++i) Vex::Slab::free(Vex::Slab::allocate(32), 32);
    });
    consumer.join();
}

}  // namespace
