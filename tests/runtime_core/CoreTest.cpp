// Base runtime pieces the records rest on: bit copy, bitmaps, shared blocks,
// record text, traces and assertions.
#include <gtest/gtest.h>

#include <random>
#include <vector>

#include "Detail/CopyBits.h"
#include "Lumo/Assert.h"
#include "Lumo/Trace.h"
#include "Orrin/PerUnitBitmap.h"
#include "Pell/Memory.h"
#include "Vex/CharRange.h"
#include "Vex/Hash.h"

namespace {

bool bitOf(std::vector<std::uint8_t> const& v, std::size_t i) { return (v[i / 8] >> (i % 8)) & 1; }

TEST(CopyBits, MatchesBitByBitCopyAtEveryAlignment) {
    std::mt19937_64 rng(3);
    for (int round = 0; round < 3000; ++round) {
        std::vector<std::uint8_t> src(1 + rng() % 12), dst(1 + rng() % 12);
        for (auto& b : src) b = std::uint8_t(rng());
        for (auto& b : dst) b = std::uint8_t(rng());
        std::size_t const sOff = rng() % (src.size() * 8), dOff = rng() % (dst.size() * 8);
        std::size_t const n = rng() % 70;
        auto expected = dst;
        std::size_t const copied = std::min({n, src.size() * 8 - sOff, dst.size() * 8 - dOff});
        for (std::size_t k = 0; k < copied; ++k) {
            std::size_t const d = dOff + k;
            expected[d / 8] = std::uint8_t((expected[d / 8] & ~(1u << (d % 8))) | (unsigned(bitOf(src, sOff + k)) << (d % 8)));
        }
        Detail::copyBits(dst.data(), dst.size(), src.data(), src.size(), n, dOff, sOff);
        ASSERT_EQ(dst, expected) << "round " << round;
    }
}

TEST(PerUnitBitmap, EqualityIgnoresZeroWordsAndHexRoundTrips) {
    EXPECT_EQ(Orrin::PerUnitBitmap{}, (Orrin::PerUnitBitmap{0, 0}));
    EXPECT_NE((Orrin::PerUnitBitmap{1}), (Orrin::PerUnitBitmap{0, 1}));
    Orrin::PerUnitBitmap b;
    b.bitsOr(0xFF, 28);  // straddles two words
    EXPECT_EQ(b.word(0), 0xF0000000u);
    EXPECT_EQ(b.word(1), 0xFu);
    EXPECT_EQ(b.toHex(), "0xff0000000");
    Orrin::PerUnitBitmap back;
    ASSERT_TRUE(Orrin::PerUnitBitmap::fromHex(b.toHex(), back));
    EXPECT_EQ(back, b);
    EXPECT_FALSE(Orrin::PerUnitBitmap::fromHex("0xz1", back));
    EXPECT_THROW(b.word(5), Lumo::RangeException);
}

TEST(SharedBlock, ReferencesFollowCopiesAndTheLastOneFrees) {
    using P = Pell::Core::Memory::Pointer<Pell::Core::Memory::Array<unsigned char, unsigned int, 12u, 0u>>;
    auto const live = Pell::Core::Memory::Impl::liveBlocks();
    {
        P a;
        EXPECT_EQ(a.useCount(), 0u);
        P b = a;  // copies of a null pointer stay independent
        a.allocate()[3] = 7;
        EXPECT_TRUE(b.isNull());
        EXPECT_TRUE(b == P());
        P c = a;
        EXPECT_EQ(a.useCount(), 2u);
        EXPECT_EQ(c.get()[3], 7);
        P d = std::move(c);
        EXPECT_TRUE(c.isNull());
        EXPECT_EQ(a.useCount(), 2u);
        EXPECT_FALSE(a == b);
        a.allocate()[3] = 0;
        EXPECT_TRUE(a == b);  // all zero equals null
        EXPECT_EQ(Pell::Core::Memory::Impl::liveBlocks(), live + 1);
    }
    EXPECT_EQ(Pell::Core::Memory::Impl::liveBlocks(), live);
}

TEST(RecordText, NumbersIdentifiersAndPunctuation) {
    Vex::CharRange r("  Foo::Bar( a = 0x1F , b=255)");
    r.needPre("Foo::Bar", "a");
    EXPECT_EQ(Vex::deserializeAttr<std::uint8_t>(r), 0x1F);
    r.needSep("b");
    EXPECT_EQ(Vex::deserializeAttr<std::uint8_t>(r), 255);
    {
        Vex::DesAttrPost post(r);
        post.close();
    }
    Vex::CharRangeCheckAllDataConsumed(r);
    Vex::CharRange over("256");
    EXPECT_THROW(Vex::deserializeAttr<std::uint8_t>(over), Lumo::RangeException);
    Vex::CharRange huge("99999999999999999999999");
    EXPECT_THROW(Vex::deserializeAttr<std::uint64_t>(huge), Lumo::RangeException);
    Vex::CharRange bad("Foo(");
    EXPECT_THROW(bad.needPre("Foo", "a"), Lumo::ParseException);
}

TEST(Hash, SeedAndEveryValueByteMatter) {
    EXPECT_NE(Vex::hashSingleAttr(1u, 5u), Vex::hashSingleAttr(2u, 5u));
    EXPECT_NE(Vex::hashSingleAttr(1u, 5u), Vex::hashSingleAttr(1u, 6u));
    EXPECT_NE(Vex::hashSingleAttr(1u, std::uint64_t(1) << 40), Vex::hashSingleAttr(1u, std::uint64_t(0)));
    EXPECT_EQ(Vex::HashHelper::hashSeed32(), Vex::HashHelper::hashSeed32());
    // Consecutive keys spread over the low bits that pick a bucket.
    std::vector<int> buckets(64);
    for (std::uint32_t k = 0; k < 64 * 64; ++k) ++buckets[Vex::hashSingleAttr(7u, k) % 64];
    for (int n : buckets) EXPECT_GT(n, 20);
}

TEST(Trace, LevelsFilterAndTheSinkSeesTheLine) {
    auto* h = Lumo::Platform::getDebugHandler("CoreTest");
    std::vector<std::string> lines;
    Lumo::Platform::traceSinkIs([&](std::string_view l) { lines.emplace_back(l); });
    h->levelIs(2);
    LUMO_FMTRACE(h, 5, "Table", "hidden {}", 1);
    LUMO_FMTRACE(h, 2, "Table", "deleting state {}", 7);
    Lumo::Platform::traceSinkIs(nullptr);
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_NE(lines[0].find("[CoreTest:2] Table::"), std::string::npos) << lines[0];
    EXPECT_NE(lines[0].find("CoreTest.cpp:"), std::string::npos);
    EXPECT_NE(lines[0].find("deleting state 7"), std::string::npos);
    EXPECT_EQ(Lumo::Platform::getDebugHandler("CoreTest"), h);
    EXPECT_EQ(Lumo::Platform::getDebugHandler("NeverMade", false), nullptr);
}

TEST(Assert, StopsNamingClassFileFunctionAndLine) {
    EXPECT_DEATH(LUMO_FMASSERT(1 + 1 == 3, "VornMap", "in no man's land"),
                 "class VornMap, .*CoreTest.cpp, function .*, line [0-9]+: in no man's land");
}

}  // namespace
