// Statistics counters, the slab allocator and allocation tracking.
#include <algorithm>
#include <cstring>
#include <map>
#include <random>
#include <vector>

#include <gtest/gtest.h>

#include "Lumo/Exception.h"
#include "Vex/Alloc.h"
#include "Vex/Stats.h"

namespace {

TEST(LocalRuntimeStats, CountersAreNamedStableAndShared) {
    auto& w = Vex::Stats::Writer::open("local_runtime_test", 245);
    // The six operation counters of a shared-memory table, in their order.
    std::pair<std::uint32_t, char const*> const ids[] = {{15, "writeResponseIs"}, {16, "writeResponseDel"},
                                                         {19, "writeResponseNotify"}, {7, "entryIs"},
                                                         {8, "entryDel"}, {11, "entryNotify"}};
    std::vector<std::uint64_t*> c;
    for (auto [id, name] : ids) c.push_back(w.counterIs(id, name));
    for (std::size_t i = 0; i < c.size(); ++i) *c[i] += i + 1;
    auto& again = Vex::Stats::Writer::open("local_runtime_test", 245);
    EXPECT_EQ(&again, &w);
    EXPECT_EQ(again.counterIs(7, "entryIs"), c[3]) << "a second owner adds up in the same counter";
    EXPECT_EQ(*again.counter("entryNotify"), 6u);
    EXPECT_EQ(again.counter("nothing"), nullptr);
    EXPECT_THROW(w.counterIs(7, "other"), Lumo::RangeException);
    EXPECT_THROW(w.counterIs(99, "entryIs"), Lumo::RangeException);
    EXPECT_THROW(Vex::Stats::Writer::open("local_runtime_test", 1), Lumo::RangeException);
    EXPECT_FALSE(Vex::Stats::defaultStatsName().empty());
}

// Random allocate/free against an oracle of live blocks, each filled with a
// pattern: no two live blocks may overlap and no free may disturb another.
TEST(LocalRuntimeSlab, BlocksNeverOverlapAndKeepTheirBytes) {
    std::mt19937 rng(7);
    struct Live {
        unsigned char* p;
        std::size_t n;
        unsigned char fill;
    };
    std::vector<Live> live;
    auto check = [](Live const& l) {
        for (std::size_t i = 0; i < l.n; ++i)
            if (l.p[i] != l.fill) return false;
        return true;
    };
    for (int step = 0; step < 20000; ++step) {
        if (live.empty() || rng() % 3) {
            std::size_t const n = 1 + rng() % (rng() % 8 ? 256 : 4000);
            auto* p = static_cast<unsigned char*>(Vex::Slab::allocate(n));
            unsigned char const fill = static_cast<unsigned char>(rng());
            std::memset(p, fill, n);
            live.push_back({p, n, fill});
        } else {
            std::size_t const i = rng() % live.size();
            ASSERT_TRUE(check(live[i])) << "block overwritten";
            Vex::Slab::free(live[i].p, live[i].n);
            live[i] = live.back();
            live.pop_back();
        }
    }
    std::sort(live.begin(), live.end(), [](Live const& a, Live const& b) { return a.p < b.p; });
    for (std::size_t i = 0; i < live.size(); ++i) {
        EXPECT_TRUE(check(live[i]));
        if (i) {

            EXPECT_LE(live[i - 1].p + live[i - 1].n, live[i].p) << "blocks overlap";

        }
    }
    for (auto& l : live) Vex::Slab::free(l.p, l.n);
}

struct Tracked : Vex::SlabAllocated<Tracked> {
    virtual ~Tracked() = default;
    char pad[40];
};
struct TrackedBig : Tracked {
    char more[100];
};

TEST(LocalRuntimeTracking, SlabAllocatedTypesReportTheirAllocations) {
    auto& t = Vex::allocTracker<Tracked>();
    auto const base = t.counts();
    std::vector<Tracked*> v;
    for (int i = 0; i < 10; ++i) v.push_back(new Tracked);
    v.push_back(new TrackedBig);
    auto mid = t.counts();
    EXPECT_EQ(mid.allocations - base.allocations, 11u);
    EXPECT_EQ(mid.liveElements - base.liveElements, 11);
    EXPECT_EQ(mid.liveBytes - base.liveBytes, std::int64_t(10 * sizeof(Tracked) + sizeof(TrackedBig)));
    for (auto* p : v) delete p;
    auto end = t.counts();
    EXPECT_EQ(end.deallocations - base.deallocations, 11u);
    EXPECT_EQ(end.liveElements, base.liveElements);
    EXPECT_EQ(end.liveBytes, base.liveBytes);
    EXPECT_EQ(Vex::AllocTrackTypeInfo::find(typeid(Tracked)), &t);
    auto all = Vex::AllocTrackTypeInfo::all();
    EXPECT_NE(std::find(all.begin(), all.end(), &t), all.end());
    EXPECT_EQ(Vex::AllocTrackTypeInfo::find(typeid(std::map<int, double>)), nullptr);
}

}  // namespace
