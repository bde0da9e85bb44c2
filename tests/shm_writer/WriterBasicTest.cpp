#include <map>

#include <gtest/gtest.h>

#include "../shm_support/ShmTest.h"

using namespace shmtest;

TEST(VornWriterBasic, InsertLookupRemoveShared) {
    TempRoot root;
    Vorn::MapDescriptor d(16);
    Writer<Rec64> w(debug(), "basic", d, ops<Rec64>(), root.map("basic"));
    ASSERT_TRUE(w.initialize("none"));
    std::map<std::uint32_t, Rec64> oracle;
    for (std::uint32_t k = 0; k < 100; ++k) {
        auto r = Rec64::make(k * 7 + 1, 1);
        w.write(r, true);
        oracle[r.key] = r;
        ASSERT_TRUE(matchesOracle(w, oracle)) << k;
    }
    for (std::uint32_t k = 0; k < 100; k += 2) {
        Rec64 out;
        ASSERT_TRUE(w.remove(k * 7 + 1, out));
        EXPECT_EQ(out, oracle[k * 7 + 1]);
        oracle.erase(k * 7 + 1);
        ASSERT_TRUE(matchesOracle(w, oracle)) << k;
    }
}
