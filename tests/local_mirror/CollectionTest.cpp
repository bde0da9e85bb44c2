// The memory mirror: byte round trips against an oracle, reset, the reload
// callback, bus addresses and refused input.
#include <map>
#include <random>
#include <set>
#include <span>
#include <vector>

#include <gtest/gtest.h>

#include "Lumo/Exception.h"
#include "Pell/Core/Collection.h"

namespace {

namespace C = Pell::Core::Memory::Control;
using Bytes = std::vector<std::uint8_t>;

std::vector<std::uint8_t> zeros(std::size_t n) { return Bytes(n, 0); }
Bytes toVec(std::span<std::uint8_t const> s) { return Bytes(s.begin(), s.end()); }

// Layouts of real tables: (entry count, data array widths).
struct Layout {
    std::uint32_t entries;
    std::vector<std::uint32_t> sizes;
};
class LocalMirrorRoundTrip : public ::testing::TestWithParam<Layout> {};

TEST_P(LocalMirrorRoundTrip, BytesMatchAnOracleThroughWritesAndResets) {
    Layout const& l = GetParam();
    auto c = C::initializeCollection(l.entries, l.sizes, C::ReloadCallback{}, &C::packedChunks);
    ASSERT_EQ(c->attributes(), l.sizes.size());
    std::map<std::pair<std::uint32_t, std::uint32_t>, Bytes> oracle;
    std::mt19937 rng(l.entries);
    auto expected = [&](std::uint32_t a, std::uint32_t i) {
        auto it = oracle.find({a, i});
        return it == oracle.end() ? zeros(l.sizes[a - 4]) : it->second;
    };
    for (int step = 0; step < 3000; ++step) {
        std::uint32_t const a = 4 + rng() % std::uint32_t(l.sizes.size());
        std::uint32_t const i = rng() % l.entries;
        std::uint32_t const size = l.sizes[a - 4];
        switch (rng() % 4) {
            case 0:
            case 1: {
                Bytes d(rng() % (size + 1));
                for (auto& b : d) b = std::uint8_t(rng());
                c->bytesIs(a, i, d);
                d.resize(size, 0);  // the rest is zero-filled
                oracle[{a, i}] = d;
                break;
            }
            case 2:
                c->reset(i);
                for (std::uint32_t k = 0; k < l.sizes.size(); ++k) oracle.erase({4 + k, i});
                break;
            default:
                ASSERT_EQ(toVec(c->bytes(a, i)), expected(a, i)) << "attribute " << a << " index " << i;
        }
    }
    for (std::uint32_t a = 4; a < 4 + l.sizes.size(); ++a)
        for (std::uint32_t i = 0; i < l.entries; ++i) ASSERT_EQ(toVec(c->bytes(a, i)), expected(a, i));
}

INSTANTIATE_TEST_SUITE_P(Tables, LocalMirrorRoundTrip,
                         ::testing::Values(Layout{128, {20, 20}}, Layout{4096, {12}}, Layout{64, {8, 8, 8, 8, 8}},
                                           Layout{1, {4, 4, 4, 4, 4, 4, 4, 4, 4, 4, 4}}, Layout{9000, {37}}));

TEST(LocalMirror, WritesThroughTheSpanAreKept) {
    std::uint32_t const sizes[] = {12};
    auto c = C::initializeCollection(100, sizes, {}, &C::packedChunks);
    auto s = c->bytes(4, 7);
    ASSERT_EQ(s.size(), 12u);
    s[0] = 0xab;
    s[11] = 0xcd;
    EXPECT_EQ(c->bytes(4, 7)[0], 0xab);
    EXPECT_EQ(std::as_const(*c).bytes(4, 7)[11], 0xcd);
    EXPECT_EQ(c->bytes(4, 8)[0], 0) << "neighbours untouched";
    EXPECT_EQ(c->bytes(4, 6)[11], 0);
}

TEST(LocalMirror, RefusesBadInputAndLosesNothing) {
    std::uint32_t const sizes[] = {4, 8};
    auto c = C::initializeCollection(10, sizes, {}, &C::packedChunks);
    Bytes const four = {1, 2, 3, 4};
    c->bytesIs(4, 3, four);
    EXPECT_THROW(c->bytesIs(4, 3, Bytes(5, 9)), Lumo::RangeException);
    EXPECT_EQ(toVec(c->bytes(4, 3)), four) << "a refused write changes nothing";
    EXPECT_THROW(c->bytes(4, 10), Lumo::RangeException);
    EXPECT_THROW(c->bytes(6, 0), Lumo::RangeException);
    EXPECT_THROW(c->bytes(0, 0), Lumo::RangeException);
    EXPECT_THROW(c->attributeIs(5, 8, 10), Lumo::InvalidInitializeException);
    EXPECT_THROW(c->attributeIs(9, 0, 10), Lumo::InvalidInitializeException);
    EXPECT_THROW(c->attributeIs(9, C::kChunkBytes + 1, 10), Lumo::InvalidInitializeException);
    EXPECT_EQ(c->attributeSize(5), 8u);
    EXPECT_EQ(c->attributeSize(9), 0u);
    EXPECT_EQ(c->entryCount(4), 10u);
    c->reset(10);  // beyond every attribute: nothing
    EXPECT_EQ(toVec(c->bytes(4, 3)), four);
}

TEST(LocalMirror, ReloadCallbackGetsTheIndexAndItsFailuresPass) {
    struct Ctx {
        std::vector<unsigned> got;
        unsigned limit = 5;
    } ctx;
    std::uint32_t const sizes[] = {4};
    auto c = C::initializeCollection(
        8, sizes,
        C::ReloadCallback{[](void* p, unsigned i) {
                              auto* x = static_cast<Ctx*>(p);
                              if (i >= x->limit) Lumo::raise<Lumo::RangeException>("index {} out of range", i);
                              x->got.push_back(i);
                          },
                          &ctx},
        &C::packedChunks);
    c->reload(3);
    c->reload(0);
    EXPECT_THROW(c->reload(5), Lumo::RangeException);
    EXPECT_EQ(ctx.got, (std::vector<unsigned>{3, 0}));
    ctx.limit = 100;
    ctx.got.clear();
    c->reloadAll();
    EXPECT_EQ(ctx.got, (std::vector<unsigned>{0, 1, 2, 3, 4, 5, 6, 7}));
    c->reloadCallbackIs({});
    c->reload(1);  // no callback: nothing
    EXPECT_EQ(ctx.got.size(), 8u);
}

// A map type bound through initializeCollection(map, chunkFunction).
struct FakeTable {
    std::uint32_t mirrorEntryCount() const { return 16; }
    std::span<std::uint32_t const> mirrorAttributeSizes() const { return sizes; }
    void mirrorReload(unsigned index) { reloaded.push_back(index); }
    std::vector<std::uint32_t> sizes{20, 20};
    std::vector<unsigned> reloaded;
};

TEST(LocalMirror, InitializeFromAMapDeclaresAttributesFromFour) {
    FakeTable t;
    auto c = C::initializeCollection(t, &C::packedChunks);
    EXPECT_EQ(c->attributes(), 2u);
    EXPECT_EQ(c->attributeSize(4), 20u);
    EXPECT_EQ(c->attributeSize(5), 20u);
    EXPECT_EQ(c->attributeSize(6), 0u);
    EXPECT_EQ(c->entryCount(5), 16u);
    c->reload(9);
    EXPECT_EQ(t.reloaded, (std::vector<unsigned>{9}));
}

TEST(LocalMirror, BusAddressIsChunkBasePlusOffset) {
    std::uint32_t const sizes[] = {12, 20};
    std::uint32_t const n = 20000;  // 12-byte entries span several 64 KiB chunks
    auto c = C::initializeCollection(n, sizes, {}, &C::packedChunks);
    std::uint32_t const perChunk = C::kChunkBytes / 12;
    std::set<std::uint64_t> seen;
    for (std::uint32_t i = 0; i < n; ++i) {
        std::uint64_t const a = c->addressBus(4, i);
        ASSERT_NE(a, 0u);
        ASSERT_TRUE(seen.insert(a).second) << "two entries share a bus address";
        if (i % perChunk) {
            ASSERT_EQ(a - c->addressBus(4, i - 1), 12u) << "entries of one chunk are packed";
        } else {
            EXPECT_EQ(a % C::kChunkBytes, 0u) << "a chunk starts at its bus base";
        }
    }
    // Another attribute lives in other chunks.
    for (std::uint32_t i = 0; i < 100; ++i) EXPECT_FALSE(seen.count(c->addressBus(5, i)));
    EXPECT_EQ(c->addressBus(5, 1) - c->addressBus(5, 0), 20u);
    // Unknown fields answer 0; field 0 is never an attribute.
    EXPECT_EQ(c->addressBus(0, 0), 0u);
    EXPECT_EQ(c->addressBus(6, 0), 0u);
    EXPECT_THROW(c->addressBus(4, n), Lumo::RangeException);
}

TEST(LocalMirror, ChunksWithoutBusMappingAnswerZero) {
    std::uint32_t const sizes[] = {8};
    auto c = C::initializeCollection(32, sizes, {}, &C::unmappedChunks);
    for (std::uint32_t i = 0; i < 32; ++i) EXPECT_EQ(c->addressBus(4, i), 0u);
    c->bytesIs(4, 1, Bytes{1, 2});
    EXPECT_EQ(c->bytes(4, 1)[1], 2) << "bytes are stored all the same";
}

TEST(LocalMirror, ChunkFunctionMistakesAreRefused) {
    // Places entries beyond the chunk, and maps chunk 0 both ways.
    auto beyond = [](std::uint32_t, std::uint32_t index, std::uint32_t) {
        return C::ChunkLocation{0, C::kChunkBytes - 4 + index, true};
    };
    auto mixed = [](std::uint32_t, std::uint32_t index, std::uint32_t size) {
        return C::ChunkLocation{0, index * size, index % 2 == 0};
    };
    std::uint32_t const sizes[] = {8};
    auto b = C::initializeCollection(4, sizes, {}, +beyond);
    EXPECT_THROW(b->bytes(4, 0), Lumo::InvalidInitializeException);
    auto m = C::initializeCollection(4, sizes, {}, +mixed);
    EXPECT_NE(m->addressBus(4, 0), 0u);
    EXPECT_THROW(m->addressBus(4, 1), Lumo::InvalidInitializeException);
}

}  // namespace
