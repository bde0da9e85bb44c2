// The per-type operations table and the engine rules that the differential
// suite does not isolate: descriptor word, key order, move and copy
// reference rules, shift limits, allocation tracking, iterator staleness.
#include <algorithm>
#include <map>
#include <vector>

#include <gtest/gtest.h>

#include "Lumo/Exception.h"
#include "TestNodes.h"
#include "Vex/Alloc.h"

namespace enginetest {
namespace {

using CountedMap = Vex::HashMap2018<CountedNode, std::uint32_t, CountedValue>;
using ConstMap = Vex::HashMap2018<ConstHashNode, std::uint32_t, CountedValue>;
using RecMap = Vex::HashMap2018<RecNode, std::uint32_t, Rec>;
using MoC = Vex::HashMap2018MoveOrCopy;

CountedValue counted(std::uint64_t tid, std::uint32_t payload) { return CountedValue{tid, Shared(payload)}; }

TEST(LocalEngineVTable, DescriptorAndSlots) {
    EXPECT_EQ(CountedMap::vt_.descriptor, 0x108u | (std::uint64_t(24) << 32));
    EXPECT_EQ(RecMap::vt_.descriptor, 0x108u | (std::uint64_t(16) << 32));
    EXPECT_EQ(RecMap::vt_.nodeSize(), 16u);
    EXPECT_EQ(RecMap::vt_.reserved, nullptr);
    EXPECT_EQ(CountedMap::vt_.reserved, nullptr);
    // Trivially copyable nodes use the engine's shared place and shift.
    EXPECT_EQ(RecMap::vt_.place, &Vex::HashMap2018Generic::trivialPlace);
    EXPECT_EQ(RecMap::vt_.shift, &Vex::HashMap2018Generic::trivialShift);
    EXPECT_NE(CountedMap::vt_.place, &Vex::HashMap2018Generic::trivialPlace);
    EXPECT_NE(CountedMap::vt_.shift, &Vex::HashMap2018Generic::trivialShift);
    // One operations table per node type.
    EXPECT_NE(&CountedMap::vt_, reinterpret_cast<Vex::HashMap2018VTable const*>(&ConstMap::vt_));
    EXPECT_EQ(CountedMap::vt_.nodeInfo->keyOffset, 16u);
    EXPECT_EQ(*RecMap::vt_.nodeInfo->type, typeid(RecNode));
}

TEST(LocalEngineVTable, CompareOrLruUnlinkUnsignedOrder) {
    struct Case {
        std::uint32_t a, b, expect;
    };
    // 0 equal, 1 nodeB greater, 2 nodeB less; unsigned comparison.
    Case const cases[] = {{0, 0, 0},          {0, 1, 1},          {1, 0, 2},          {0, 0xffffffffu, 1},
                          {0xffffffffu, 0, 2}, {0x7fffffffu, 0x80000000u, 1}, {0x80000000u, 0x7fffffffu, 2},
                          {0xffffffffu, 0xffffffffu, 0}};
    for (auto const& c : cases) {
        RecNode na(c.a, Rec{}), nb(c.b, Rec{});
        EXPECT_EQ(RecMap::vt_.compareOrLruUnlink(nullptr, &na, &nb), c.expect) << c.a << " vs " << c.b;
        EXPECT_EQ(RecMap::vt_.compareOrLruUnlink(&c.a, nullptr, &nb), c.expect) << c.a << " vs " << c.b;
        EXPECT_EQ(RecMap::vt_.keyEqualsNode(&c.a, &nb), c.a == c.b);
    }
}

TEST(LocalEngineVTable, PlaceMoveLeavesSourceWithoutReferencesCopyAddsOne) {
    CountedNode src(5, counted(9, 77));
    Shared const probe = src.value.data;  // +1
    ASSERT_EQ(probe.useCount(), 2u);
    alignas(CountedNode) unsigned char a[sizeof(CountedNode)], b[sizeof(CountedNode)];

    CountedMap::vt_.place(&CountedMap::vt_, a, &src, MoC::Copy);
    auto* ca = reinterpret_cast<CountedNode*>(a);
    EXPECT_EQ(probe.useCount(), 3u);
    EXPECT_EQ(ca->key, 5u);
    EXPECT_EQ(ca->value.tid, 9u);

    CountedMap::vt_.place(&CountedMap::vt_, b, ca, MoC::Move);
    auto* cb = reinterpret_cast<CountedNode*>(b);
    EXPECT_EQ(probe.useCount(), 3u) << "a move takes no reference";
    EXPECT_TRUE(ca->value.data.null()) << "the moved-from node holds no shared pointer";
    EXPECT_EQ(cb->value.data.payload(), 77u);
    ca->~CountedNode();
    cb->~CountedNode();
    EXPECT_EQ(probe.useCount(), 2u);
}

TEST(LocalEngineVTable, ShiftOpensOneSlotAndClosesGapsReleasingReferences) {
    std::int64_t const base = Shared::liveBlocks();
    alignas(CountedNode) unsigned char buf[5 * sizeof(CountedNode)];
    auto* n = reinterpret_cast<CountedNode*>(buf);
    for (std::uint32_t i = 0; i < 4; ++i) ::new (&n[i]) CountedNode(i * 10, counted(i, i));
    // Open position 1.
    CountedMap::vt_.shift(&CountedMap::vt_, buf, 1, 4, 1);
    ::new (&n[1]) CountedNode(5, counted(100, 100));
    std::vector<std::uint32_t> keys;
    for (int i = 0; i < 5; ++i) keys.push_back(n[i].key);
    EXPECT_EQ(keys, (std::vector<std::uint32_t>{0, 5, 10, 20, 30}));
    EXPECT_EQ(Shared::liveBlocks() - base, 5);
    // Close a gap of two at position 1: nodes 5 and 10 are released.
    CountedMap::vt_.shift(&CountedMap::vt_, buf, 1, 5, -2);
    EXPECT_EQ(Shared::liveBlocks() - base, 3);
    EXPECT_EQ(n[1].key, 20u);
    EXPECT_EQ(n[2].key, 30u);
    EXPECT_EQ(n[2].value.data.payload(), 3u);
    for (int i = 0; i < 3; ++i) n[i].~CountedNode();
    EXPECT_EQ(Shared::liveBlocks(), base);
}

TEST(LocalEngineVTableDeathTest, ShiftByMoreThanOneStops) {
    alignas(8) unsigned char buf[8 * 24] = {};
    EXPECT_DEATH(CountedMap::vt_.shift(&CountedMap::vt_, buf, 0, 2, 2), "slotsToShift == 1");
    EXPECT_DEATH(RecMap::vt_.shift(&RecMap::vt_, buf, 0, 2, 3), "slotsToShift == 1");
}

TEST(LocalEngineKeys, ExtremeKeysOrderFirstAndLastInABucket) {
    ConstMap m;  // every key in one bucket
    for (std::uint32_t k : {7u, 0xffffffffu, 0u, 0x80000000u, 1u, 0xfffffffeu}) m.insert(k, counted(k, k));
    std::vector<std::uint32_t> order;
    for (auto it = m.iterator(); !it.atEnd(); it.advance()) order.push_back(it.key());
    EXPECT_EQ(order, (std::vector<std::uint32_t>{0u, 1u, 7u, 0x80000000u, 0xfffffffeu, 0xffffffffu}));
    EXPECT_EQ(m.generic().bucketCount(), 16u) << "growth keeps the load factor at most 0.5";
    m.generic().checkInvariants();
}

TEST(LocalEngineKeys, IteratorFromKeyStartsThereOrAtTheNext) {
    ConstMap m;
    for (std::uint32_t k : {10u, 20u, 30u}) m.insert(k, counted(k, k));
    EXPECT_EQ(m.iterator(20u).key(), 20u);
    EXPECT_EQ(m.iterator(15u).key(), 20u);
    EXPECT_TRUE(m.iterator(31u).atEnd());
}

TEST(LocalEngineKeys, FullBucketRefusesAndLosesNothing) {
    using Few = Vex::HashMap2018<FewHashRecNode, std::uint32_t, Rec>;
    Few m;
    // key % 3 == 0 all share one hash: ascending inserts append.
    std::uint32_t const max = Vex::HashMap2018Bucket::kMaxLength;
    for (std::uint32_t i = 0; i < max; ++i) m.insert(i * 3, Rec{i, 0, 0});
    EXPECT_THROW(m.insert(max * 3, Rec{}), Lumo::RangeException);
    EXPECT_EQ(m.size(), max);
    EXPECT_FALSE(m.contains(max * 3));
    EXPECT_EQ(m.find(3 * 100)->tid, 100u);
    m.generic().checkInvariants();
}

TEST(LocalEngineIterator, DeletingCurrentKeepsStaleNodeReadable) {
    ConstMap m;
    for (std::uint32_t k = 1; k <= 5; ++k) m.insert(k, counted(k, k * 11));
    auto it = m.iterator(3u);
    Shared const probe = it.value().data;
    EXPECT_EQ(probe.useCount(), 2u);
    CountedValue out;
    ASSERT_TRUE(m.erase(3u, out));
    // Copy on write: the iterator's bucket still holds its own reference,
    // and the removed value was copied out.
    EXPECT_TRUE(it.generic().stale());
    EXPECT_EQ(it.key(), 3u);
    EXPECT_EQ(it.value().data.payload(), 33u);
    EXPECT_EQ(it.liveNode(), nullptr);
    EXPECT_EQ(probe.useCount(), 3u);
    // Also delete the next key: the walk must not meet it.
    ASSERT_TRUE(m.erase(4u));
    it.advance();
    EXPECT_EQ(it.key(), 5u);
    EXPECT_FALSE(it.generic().stale());
    EXPECT_EQ(probe.useCount(), 2u) << "the stale bucket was freed when the iterator left it";
    it.advance();
    EXPECT_TRUE(it.atEnd());
}

TEST(LocalEngineIterator, ReplacementInPlaceIsSeenAndNonStaleAfterInsert) {
    ConstMap m;
    for (std::uint32_t k = 1; k <= 3; ++k) m.insert(k, counted(k, k));
    auto it = m.iterator(2u);
    m.insertOrAssign(2u, counted(200, 200));
    EXPECT_EQ(it.value().tid, 200u) << "an in-place replacement changes the bucket the iterator stands on";
    m.insert(9u, counted(9, 9));  // copy on write: the iterator's bucket goes stale
    EXPECT_TRUE(it.generic().stale());
    ASSERT_NE(it.liveNode(), nullptr);
    EXPECT_EQ(it.liveNode()->value.tid, 200u);
    m.insertOrAssign(2u, counted(201, 201));
    EXPECT_EQ(it.value().tid, 200u) << "the stale node keeps the older value";
    EXPECT_EQ(it.liveNode()->value.tid, 201u);
    std::vector<std::uint32_t> rest;
    for (; !it.atEnd(); it.advance()) rest.push_back(it.key());
    EXPECT_EQ(rest, (std::vector<std::uint32_t>{2u, 3u, 9u}));
}

TEST(LocalEngineIterator, NoRehashWhileIteratingThenCatchUp) {
    CountedMap m;
    {
        auto it = m.iterator();
        for (std::uint32_t k = 0; k < 100; ++k) m.insert(k, counted(k, k));
        EXPECT_EQ(m.generic().bucketCount(), 1u) << "the table may not move under an iterator";
        m.generic().checkInvariants();
    }
    m.insert(1000u, counted(1, 1));
    m.insert(1001u, counted(1, 1));
    EXPECT_GE(m.generic().bucketCount(), 4u);
    m.generic().checkInvariants();
}

// Tracked live elements and bytes must equal what the buckets hold.
template <class Map, class Node>
void expectTrackingMatches(Map const& m, Vex::AllocTrackTypeInfo::Counts const& nodeBase,
                           Vex::AllocTrackTypeInfo::Counts const& hdrBase) {
    std::int64_t lengths = 0, buckets = 0;
    auto const& g = m.generic();
    for (std::uint32_t i = 0; i < g.bucketCount(); ++i) {
        std::uint32_t const h = *g.bucketAt(i);
        if (h & Vex::HashMap2018Bucket::kStaticFlag) continue;
        lengths += Vex::HashMap2018Bucket::length(h);
        ++buckets;
    }
    auto const nodes = Vex::allocTracker<Node>().counts();
    auto const hdrs = Vex::allocTracker<Vex::HashMap2018BucketHeader>().counts();
    EXPECT_EQ(nodes.liveElements - nodeBase.liveElements, lengths);
    EXPECT_EQ(nodes.liveBytes - nodeBase.liveBytes, lengths * std::int64_t(sizeof(Node) + 4));
    EXPECT_EQ(hdrs.liveElements - hdrBase.liveElements, buckets);
}

TEST(LocalEngineTracking, BucketAllocationsAreTrackedPerNodeType) {
    auto* found = Vex::AllocTrackTypeInfo::find(typeid(RecNode));
    auto const nodeBase = Vex::allocTracker<RecNode>().counts();
    auto const hdrBase = Vex::allocTracker<Vex::HashMap2018BucketHeader>().counts();
    EXPECT_TRUE(found == nullptr || found == &Vex::allocTracker<RecNode>());
    {
        RecMap m;
        for (std::uint32_t k = 0; k < 3000; ++k) m.insert(k, Rec{k, 1, 0});
        expectTrackingMatches<RecMap, RecNode>(m, nodeBase, hdrBase);
        EXPECT_GT(Vex::allocTracker<RecNode>().counts().allocations, nodeBase.allocations);
        for (std::uint32_t k = 0; k < 3000; k += 2) m.erase(k);
        expectTrackingMatches<RecMap, RecNode>(m, nodeBase, hdrBase);
        EXPECT_EQ(Vex::AllocTrackTypeInfo::find(typeid(RecNode)), &Vex::allocTracker<RecNode>());
        EXPECT_NE(Vex::allocTracker<RecNode>().typeName().find("RecNode"), std::string::npos);
    }
    auto const after = Vex::allocTracker<RecNode>().counts();
    EXPECT_EQ(after.liveElements, nodeBase.liveElements);
    EXPECT_EQ(after.liveBytes, nodeBase.liveBytes);
    EXPECT_EQ(after.allocations - nodeBase.allocations, after.deallocations - nodeBase.deallocations);
    EXPECT_EQ(Vex::allocTracker<Vex::HashMap2018BucketHeader>().counts().liveElements, hdrBase.liveElements);
}

TEST(LocalEngineTracking, ClearReleasesEveryBlockAndBucket) {
    std::int64_t const base = Shared::liveBlocks();
    auto const hdrBase = Vex::allocTracker<Vex::HashMap2018BucketHeader>().counts();
    CountedMap m(64);
    for (std::uint32_t k = 0; k < 500; ++k) m.insert(k, counted(k, k));
    EXPECT_EQ(Shared::liveBlocks() - base, 500);
    m.clear();
    EXPECT_EQ(Shared::liveBlocks(), base);
    EXPECT_EQ(m.generic().bucketCount(), 64u) << "clear goes back to the initial table";
    EXPECT_EQ(Vex::allocTracker<Vex::HashMap2018BucketHeader>().counts().liveElements, hdrBase.liveElements);
}

TEST(LocalEngineShape, DeletionsKeepBlocksTheNextInsertShrinksInOnePass) {
    auto const hdrBase = Vex::allocTracker<Vex::HashMap2018BucketHeader>().counts();
    // Keys hashed to themselves: the placement does not depend on the
    // process's hash seed. (With a random seed, a bucket longer than 4 nodes
    // that the deletions bring to half its length is rebuilt smaller, as it
    // should be, and the re-insert then allocates.)
    Vex::HashMap2018<IdentityRecNode, std::uint32_t, Rec> m(16);
    for (std::uint32_t k = 0; k < 1000; ++k) m.insert(k, Rec{});
    EXPECT_EQ(m.generic().bucketCount(), 2048u);
    std::int64_t const blocks = Vex::allocTracker<Vex::HashMap2018BucketHeader>().counts().liveElements - hdrBase.liveElements;
    // Deleting and inserting the same keys again allocates nothing.
    auto const before = Vex::allocTracker<IdentityRecNode>().counts().allocations;
    for (std::uint32_t k = 950; k < 1000; ++k) m.erase(k);
    for (std::uint32_t k = 950; k < 1000; ++k) m.insert(k, Rec{});
    EXPECT_EQ(Vex::allocTracker<IdentityRecNode>().counts().allocations, before);
    m.generic().checkInvariants();
    for (std::uint32_t k = 0; k < 900; ++k) m.erase(k);
    EXPECT_EQ(m.generic().bucketCount(), 2048u) << "deletions never rehash";
    EXPECT_EQ(Vex::allocTracker<Vex::HashMap2018BucketHeader>().counts().liveElements - hdrBase.liveElements, blocks)
        << "emptied buckets keep their blocks";
    // 100 left: the next insert shrinks to a load between 1/4 and 1/2.
    m.insert(5000u, Rec{});
    EXPECT_EQ(m.generic().bucketCount(), 512u);
    m.generic().checkInvariants();
    for (std::uint32_t k = 900; k < 1000; ++k) EXPECT_TRUE(m.contains(k)) << k;
    for (std::uint32_t k = 900; k < 1000; ++k) m.erase(k);
    m.insert(5001u, Rec{});
    EXPECT_EQ(m.generic().bucketCount(), 16u) << "never below the initial size";
    EXPECT_LE(Vex::allocTracker<Vex::HashMap2018BucketHeader>().counts().liveElements - hdrBase.liveElements, 2)
        << "the shrink freed the emptied blocks";
    Vex::HashMap2018<RecNode, std::uint32_t, Rec> keep(1, /*shrink=*/false);
    for (std::uint32_t k = 0; k < 100; ++k) keep.insert(k, Rec{});
    std::uint32_t const grown = keep.generic().bucketCount();
    for (std::uint32_t k = 0; k < 100; ++k) keep.erase(k);
    keep.insert(1u, Rec{});
    EXPECT_EQ(keep.generic().bucketCount(), grown);
}

// A doubling moves the high side of a split bucket to a new block and keeps
// the low side in the old one, with its length: the next insert into that
// slot needs no new block. Keys hash to themselves: 0 and 8 share slot 0 of
// an 8-slot table and part when it doubles to 16; 16 then joins 0.
template <class Node, class Value>
void splitKeepsLowSideBlock(Value (*make)(std::uint32_t)) {
    Vex::HashMap2018<Node, std::uint32_t, Value> m(8);
    for (std::uint32_t k : {0u, 8u, 1u, 2u}) m.insert(k, make(k));
    ASSERT_EQ(m.generic().bucketCount(), 8u);
    std::uint32_t const* slot0 = m.generic().bucketAt(0);
    EXPECT_EQ(Vex::HashMap2018Bucket::live(*slot0), 2u);
    m.insert(3u, make(3));  // 5 > 8 / 2: doubles
    ASSERT_EQ(m.generic().bucketCount(), 16u);
    EXPECT_EQ(m.generic().bucketAt(0), slot0) << "the low side stays in its block";
    EXPECT_EQ(Vex::HashMap2018Bucket::live(*slot0), 1u);
    EXPECT_EQ(Vex::HashMap2018Bucket::length(*slot0), 2u);
    EXPECT_EQ(Vex::HashMap2018Bucket::live(*m.generic().bucketAt(8)), 1u);
    m.generic().checkInvariants();
    auto const before = Vex::allocTracker<Node>().counts().allocations;
    m.insert(16u, make(16));
    EXPECT_EQ(Vex::allocTracker<Node>().counts().allocations, before) << "the room left by the split is used";
    EXPECT_EQ(m.generic().bucketAt(0), slot0);
    m.generic().checkInvariants();
    for (std::uint32_t k : {0u, 1u, 2u, 3u, 8u, 16u}) {
        ASSERT_NE(m.lookupNode(k), nullptr) << k;
        EXPECT_EQ(m.lookupNode(k)->nodeValue(), make(k)) << k;
    }
}

TEST(LocalEngineShape, SplitKeepsTheLowSideInItsBlock) {
    splitKeepsLowSideBlock<IdentityRecNode, Rec>([](std::uint32_t k) { return Rec{k + 100, k, k}; });
    std::int64_t const base = Shared::liveBlocks();
    splitKeepsLowSideBlock<IdentityCountedNode, CountedValue>([](std::uint32_t k) { return counted(k, k); });
    EXPECT_EQ(Shared::liveBlocks(), base) << "no shared block leaked or freed twice by the split";
}

TEST(LocalEngineShape, BucketLengthsFollowTheGrowthSeries) {
    using Vex::HashMap2018Bucket::capFor;
    std::vector<std::uint32_t> got;
    for (std::uint32_t n : {1u, 2u, 3u, 4u, 5u, 6u, 7u, 8u, 9u, 12u, 13u, 17u, 100u}) got.push_back(capFor(n));
    EXPECT_EQ(got, (std::vector<std::uint32_t>{1, 2, 3, 4, 6, 6, 8, 8, 12, 12, 16, 24, 128}));
    EXPECT_EQ(capFor(Vex::HashMap2018Bucket::kMaxLength), Vex::HashMap2018Bucket::kMaxLength);
    EXPECT_THROW(capFor(Vex::HashMap2018Bucket::kMaxLength + 1), Lumo::RangeException);
}

}  // namespace
}  // namespace enginetest

namespace enginetest {
namespace {
TEST(LocalEngineKeysDeathTest, ReplacingARecordWithAnotherKeyStops) {
    RecMap m;
    m.insert(4u, Rec{1, 0, 4});
    EXPECT_DEATH(m.insertOrAssign(4u, Rec{2, 0, 5}), "fwkKey\\(\\) == KeyFunktor\\(\\)\\( _value \\)");
}
}  // namespace
}  // namespace enginetest

namespace enginetest {
namespace {
// seed = process seed XOR the node type's constant; hash = hashSingleAttr(seed, key);
// the node lands in bucket hash & mask (checked by the invariants).
TEST(LocalEngineKeys, HashIsSingleAttrOfTheTypeSeed) {
    std::uint32_t const seed = Vex::HashHelper::hashSeed32() ^ 0x36d8a9aau;
    for (std::uint32_t k : {0u, 1u, 127u, 0xfffffffeu, 0xffffffffu}) {
        EXPECT_EQ(CountedMap::hashOf(k), Vex::hashSingleAttr(seed, k)) << k;
        EXPECT_EQ(RecMap::hashOf(k), Vex::hashSingleAttr(Vex::HashHelper::hashSeed32() ^ 0x49c2d19cu, k)) << k;
    }
    EXPECT_NE(CountedMap::seed(), RecMap::seed()) << "distinct constants give distinct seeds";
    CountedMap m;
    for (std::uint32_t k = 0; k < 64; ++k) m.insert(k, counted(k, k));
    for (std::uint32_t k = 0; k < 64; ++k) {
        std::uint32_t* b = m.generic().bucketOf(CountedMap::hashOf(k));
        auto* nodes = reinterpret_cast<CountedNode*>(Vex::HashMap2018Bucket::nodes(b));
        bool found = false;
        for (std::uint32_t i = 0; i < Vex::HashMap2018Bucket::live(*b); ++i) found |= nodes[i].key == k;
        EXPECT_TRUE(found) << "key " << k << " not in the bucket its hash names";
    }
}
}  // namespace
}  // namespace enginetest
