// Local-collection table entities, the cases the oracle run over every table
// (AllTablesTest) does not reach: transaction ids and the stored entry itself
// in a repeated write, direct inserts, sharing of data blocks, null arrays and
// reads of the mirror, reloads from the mirror, the control, write and read
// records with their previous values, end of life.
#include <set>
#include <vector>

#include <gtest/gtest.h>

#include "Lumo/Exception.h"
#include "Pell/Core/Collection.h"
#include "Recorder.h"
#include "X2/Default/All.h"

namespace {

using namespace bcm56275_a0::Default;
using tabletest::Recorder;
using tabletest::Seen;
using Control = Pell::Core::Memory::Control::Collection;
using Bytes = std::vector<std::uint8_t>;

using Ama = AmaMemEgrVlanTagActionProfileTable;  // 128 entries, two arrays of 20 bytes
using L2 = L2HitSaOnly;                          // read table, 16384 entries, one array of 4 bytes
using State = Asic::HwTable::EntryState;

// An entry whose array k holds bytes seeded by `seed` (never all zero).
template <class E>
E makeEntry(std::uint8_t seed, Asic::TransactionId tid = 0) {
    E e;
    e.transactionIdIs(tid);
    std::uint8_t buf[256];
    for (unsigned k = 0; k < E::kDataArrays; ++k) {
        std::uint32_t const n = e.rawBytes(k, buf);
        for (std::uint32_t i = 0; i < n; ++i) buf[i] = std::uint8_t(seed + 7 * i + 13 * k + 1);
        e.rawBytesIs(k, buf, n);
    }
    return e;
}

Bytes mirrorBytes(Control const& c, std::uint32_t attr, std::uint32_t index) {
    auto s = c.bytes(attr, index);
    return Bytes(s.begin(), s.end());
}

template <class E>
Bytes entryBytes(E const& e, unsigned k) {
    std::uint8_t buf[256];
    std::uint32_t const n = e.rawBytes(k, buf);
    return Bytes(buf, buf + n);
}

template <class T>
struct Watched {
    Lumo::Ptr<T> table{new T("t")};
    Recorder rec;
    Watched() { rec.publisherIs(&table->publisher()); }
};

// ---- entries ------------------------------------------------------------------------

TEST(LocalTableEntry, SameEntryTwicePublishesOnce) {
    Watched<Ama> w;
    Ama::Entry const e = makeEntry<Ama::Entry>(1, 5);
    w.table->entryIs(3, e);
    w.table->entryIs(3, e);
    w.table->entryIs(3, makeEntry<Ama::Entry>(1, 5));  // equal bytes in other blocks
    w.table->entryIs(3, *w.table->entryDirect(3));     // the stored entry itself
    auto seen = w.rec.take();
    ASSERT_EQ(seen.size(), 1u);
    EXPECT_EQ(seen[0].field, 770u);
    EXPECT_TRUE(seen[0].hasKey);
    EXPECT_EQ(seen[0].key, 3u);
    EXPECT_FALSE(seen[0].recursive);

    w.table->entryIs(3, makeEntry<Ama::Entry>(1, 6));  // another transaction id
    w.table->entryIs(3, makeEntry<Ama::Entry>(2, 6));  // other bytes
    w.table->entryIs(4, makeEntry<Ama::Entry>(2, 6));  // another index
    seen = w.rec.take();
    ASSERT_EQ(seen.size(), 3u);
    EXPECT_EQ(seen[2].key, 4u);
    EXPECT_EQ(w.table->collections().entryMap().size(), 2u);
    EXPECT_EQ(w.table->entry(3), makeEntry<Ama::Entry>(2, 6));
}

TEST(LocalTableEntry, DirectInsertIsSilentUntilNotified) {
    Watched<Ama> w;
    Control& c = *w.table->entryControl();
    Bytes raw(20);
    for (std::size_t i = 0; i < raw.size(); ++i) raw[i] = std::uint8_t(0x40 + i);
    c.bytesIs(5, 17, raw);

    Ama::Entry* e = w.table->entryDirectIs(17);
    ASSERT_NE(e, nullptr);
    EXPECT_TRUE(w.rec.seen.empty()) << "a direct insert does not publish";
    EXPECT_EQ(e->transactionId(), 0u);
    EXPECT_EQ(entryBytes(*e, 1), raw) << "built from the mirror";
    EXPECT_EQ(entryBytes(*e, 0), Bytes(20, 0));
    EXPECT_EQ(w.table->entryDirectIs(17), e) << "present: the same entry, nothing inserted";
    e->transactionIdIs(77);
    w.table->entryNotify(17);
    auto seen = w.rec.take();
    ASSERT_EQ(seen.size(), 1u);
    EXPECT_EQ(seen[0].field, 770u);
    EXPECT_EQ(seen[0].key, 17u);
    EXPECT_EQ(w.table->entry(17).transactionId(), 77u);
    EXPECT_EQ(w.table->entryDirect(18), nullptr);
    EXPECT_FALSE(w.table->entryDirectDel(18)) << "nothing to delete";

    EXPECT_TRUE(w.table->entryDirectDel(17));
    ASSERT_EQ(w.rec.take().size(), 1u);
    EXPECT_EQ(mirrorBytes(c, 5, 17), Bytes(20, 0)) << "the slot is reset";
}

TEST(LocalTableEntry, StoredEntriesShareTheirDataBlocksWithCopies) {
    Lumo::Ptr<Ama> t(new Ama("t"));
    Ama::Entry e = makeEntry<Ama::Entry>(3, 1);
    ASSERT_EQ(e.dataByte0().useCount(), 1u);
    t->entryIs(2, e);
    EXPECT_EQ(e.dataByte0().useCount(), 2u) << "the stored entry shares e's block";
    EXPECT_EQ(e.dataByte1().useCount(), 2u);
    {
        Ama::Entry const copy = t->entry(2);
        EXPECT_TRUE(copy.dataByte0().sameBlock(e.dataByte0()));
        EXPECT_EQ(e.dataByte0().useCount(), 3u);
    }
    EXPECT_EQ(e.dataByte0().useCount(), 2u);
    // Writing through e is seen in the table: the block is shared.
    e.dataByte0Is(0, 0xee);
    EXPECT_EQ(t->entry(2).dataByte0(0), 0xee);

    Ama::Entry other = makeEntry<Ama::Entry>(9, 1);
    t->entryIs(2, other);  // replaced in place: e's blocks are let go
    EXPECT_EQ(e.dataByte0().useCount(), 1u);
    EXPECT_EQ(other.dataByte0().useCount(), 2u);
    Ama::Entry const removed = t->entryDel(2);
    EXPECT_TRUE(removed.dataByte0().sameBlock(other.dataByte0()));
    EXPECT_EQ(other.dataByte0().useCount(), 2u) << "the removed entry took over the table's reference";
}

// (Mirroring of stored entries and its reset on delete are checked for every
// table against the oracle in AllTablesTest.)
TEST(LocalTableMirror, ANullArrayWritesZerosAndAbsentEntriesReadTheMirror) {
    Lumo::Ptr<Ama> t(new Ama("t"));
    Control& c = *t->entryControl();
    t->entryIs(127, makeEntry<Ama::Entry>(0x21, 4));
    Ama::Entry half;
    half.dataByte1Is(19, 0x80);
    t->entryIs(127, half);
    EXPECT_EQ(mirrorBytes(c, 4, 127), Bytes(20, 0));
    EXPECT_EQ(mirrorBytes(c, 5, 127), entryBytes(half, 1));

    // Absent: the mirror's bytes with transaction id 0, nothing stored.
    Bytes raw(20, 0);
    raw[0] = 1;
    raw[19] = 2;
    c.bytesIs(4, 50, raw);
    Ama::Entry const read = t->entry(50);
    EXPECT_EQ(read.transactionId(), 0u);
    EXPECT_EQ(entryBytes(read, 0), raw);
    EXPECT_EQ(entryBytes(read, 1), Bytes(20, 0));
    EXPECT_TRUE(read.dataByte1().isNull()) << "an all-zero slot needs no block";
    EXPECT_EQ(t->collections().entryMap().size(), 1u);
}

TEST(LocalTableMirror, ReloadInsertsReplacesOrDeletesAndRefusesIndicesBeyondTheTable) {
    Watched<Ama> w;
    Control& c = *w.table->entryControl();
    Ama::Entry const valid = makeEntry<Ama::Entry>(0x31);
    ASSERT_TRUE(valid.isValid());
    c.bytesIs(4, 8, entryBytes(valid, 0));
    c.bytesIs(5, 8, entryBytes(valid, 1));
    c.reload(8);
    ASSERT_NE(w.table->entryDirect(8), nullptr) << "valid bytes insert";
    EXPECT_EQ(*w.table->entryDirect(8), valid);

    w.table->entryIs(9, makeEntry<Ama::Entry>(0x44, 12));
    Ama::Entry const other = makeEntry<Ama::Entry>(0x55);
    c.bytesIs(4, 9, entryBytes(other, 0));
    c.bytesIs(5, 9, entryBytes(other, 1));
    c.reload(9);
    EXPECT_EQ(w.table->entry(9), other) << "valid bytes replace (transaction id 0)";

    c.reset(8);
    c.reload(8);
    EXPECT_EQ(w.table->entryDirect(8), nullptr) << "invalid bytes delete";
    c.reload(100);  // invalid and absent: nothing
    EXPECT_EQ(w.table->collections().entryMap().size(), 1u);

    EXPECT_THROW(c.reload(128), Lumo::RangeException);
    EXPECT_THROW(c.reload(0xffffffffu), Lumo::RangeException);
    EXPECT_EQ(w.table->collections().entryMap().size(), 1u) << "a refused reload changes nothing";
    ASSERT_EQ(w.rec.seen.size(), 1u) << "only the entryIs published; reloads do not";
}

// ---- the entry control ----------------------------------------------------------------

TEST(LocalTableControl, SameControlPublishesNothingAnotherPublishesOnceWithTheOld) {
    Watched<Ama> w;
    Lumo::Ptr<Control> const first = w.table->entryControl();
    w.table->entryControlIs(first);
    EXPECT_TRUE(w.rec.seen.empty());

    std::uint32_t const sizes[] = {20, 20};
    Lumo::Ptr<Control> second = Pell::Core::Memory::Control::initializeCollection(128, sizes, {}, &Pell::Core::Memory::Control::packedChunks);
    w.table->entryControlIs(second);
    auto seen = w.rec.take();
    ASSERT_EQ(seen.size(), 1u);
    EXPECT_EQ(seen[0].field, 771u);
    EXPECT_FALSE(seen[0].hasKey);
    EXPECT_TRUE(seen[0].recursive);
    EXPECT_EQ(seen[0].prev<Control*>(), first.ptr()) << "the old control is the previous value";
    EXPECT_EQ(w.table->entryControl(), second);
    EXPECT_EQ(first->useCount(), 1u) << "the table let the old control go";
    EXPECT_FALSE(first->reloadCallback()) << "and its reload callback";

    // Entries now mirror into the new control.
    Ama::Entry const e = makeEntry<Ama::Entry>(6, 1);
    w.table->entryIs(1, e);
    EXPECT_EQ(mirrorBytes(*second, 4, 1), entryBytes(e, 0));
    EXPECT_EQ(mirrorBytes(*first, 4, 1), Bytes(20, 0));
    w.rec.take();

    // Without a control entries still work, unmirrored.
    w.table->entryControlIs(nullptr);
    ASSERT_EQ(w.rec.take().size(), 1u);
    w.table->entryIs(2, e);
    EXPECT_EQ(w.table->entry(2), e);
    EXPECT_EQ(w.table->entry(3), Ama::Entry());
    EXPECT_EQ(w.table->entryDel(2), e);
}

// ---- write responses --------------------------------------------------------------------

TEST(LocalTableWriteResponse, InsertReplaceInPlaceDeleteWithThePreviousRecord) {
    Watched<Ama> w;
    using W = Ama::WriteResponse;
    W const pending(7, 100, State::entryStatePending);
    w.table->writeResponseIs(pending);
    w.table->writeResponseIs(pending);
    auto seen = w.rec.take();
    ASSERT_EQ(seen.size(), 1u);
    EXPECT_EQ(seen[0].field, 772u);
    EXPECT_EQ(seen[0].key, 7u);
    EXPECT_TRUE(seen[0].recursive);
    EXPECT_FALSE(seen[0].hasPrevious) << "an insertion has no previous record";

    W const* stored = w.table->collections().recordMap().find(7);
    W const written(7, 100, State::entryStateWritten);  // differs only in the state
    w.table->writeResponseIs(written);
    seen = w.rec.take();
    ASSERT_EQ(seen.size(), 1u);
    ASSERT_TRUE(seen[0].hasPrevious);
    EXPECT_EQ(seen[0].prev<W>(), pending);
    EXPECT_EQ(w.table->collections().recordMap().find(7), stored) << "replaced in place";
    EXPECT_EQ(w.table->writeResponse(7), written);
    EXPECT_EQ(w.table->writeResponse(8), W());

    EXPECT_EQ(w.table->writeResponseDel(8), W());
    EXPECT_TRUE(w.rec.seen.empty());
    EXPECT_EQ(w.table->writeResponseDel(7), written);
    seen = w.rec.take();
    ASSERT_EQ(seen.size(), 1u);
    EXPECT_EQ(seen[0].prev<W>(), written);
    EXPECT_EQ(w.table->writeResponse(7), W());

    // Entries and write responses are independent.
    w.table->entryIs(7, makeEntry<Ama::Entry>(1));
    w.table->writeResponseIs(written);
    w.table->entryDel(7);
    EXPECT_EQ(w.table->writeResponse(7), written);
}

TEST(LocalTableWriteResponse, DeleteAllInOneStepWithoutWatcherOneByOneWithOne) {
    for (bool watched : {true, false}) {
        Lumo::Ptr<Ama> t(new Ama("t"));
        Recorder rec;
        if (watched) rec.publisherIs(&t->publisher());
        for (std::uint32_t i = 0; i < 40; ++i) t->writeResponseIs(Ama::WriteResponse(i, i + 1, State::entryStateWritten));
        rec.take();
        t->writeResponseDelAll();
        EXPECT_EQ(t->collections().recordMap().size(), 0u);
        EXPECT_EQ(rec.seen.size(), watched ? 40u : 0u);
        std::set<std::uint32_t> keys;
        for (Seen const& s : rec.seen) {
            EXPECT_EQ(s.field, 772u);
            EXPECT_EQ(s.prev<Ama::WriteResponse>(), Ama::WriteResponse(s.key, s.key + 1, State::entryStateWritten));
            keys.insert(s.key);
        }
        EXPECT_EQ(keys.size(), rec.seen.size());
    }
}

// ---- read tables -------------------------------------------------------------------------

TEST(LocalTableReadRequest, RequestsPublishRecursivelyWithThePreviousRequest) {
    Watched<L2> w;
    w.rec.previousBytes[772] = sizeof(Asic::HwTable::ReadRequest);
    w.table->readRequestIs(5, {11});
    w.table->addReadRequest(5, {11});
    auto seen = w.rec.take();
    ASSERT_EQ(seen.size(), 1u);
    EXPECT_EQ(seen[0].field, 772u);
    EXPECT_EQ(seen[0].key, 5u);
    EXPECT_FALSE(seen[0].hasPrevious);

    w.table->readRequestIs(5, {12});
    seen = w.rec.take();
    ASSERT_EQ(seen.size(), 1u);
    EXPECT_EQ(seen[0].prev<Asic::TransactionId>(), 11u);
    EXPECT_EQ(w.table->readRequest(5).transactionId, 12u);
    EXPECT_EQ(w.table->readRequest(6).transactionId, 0u);

    w.table->addReadAllRequest({99});
    seen = w.rec.take();
    ASSERT_EQ(seen.size(), 1u);
    EXPECT_EQ(seen[0].key, 4294967294u);
    EXPECT_EQ(w.table->readRequest(4294967294u).transactionId, 99u);

    EXPECT_EQ(w.table->readRequestDel(6).transactionId, 0u);
    EXPECT_TRUE(w.rec.seen.empty());
    EXPECT_EQ(w.table->readRequestDel(5).transactionId, 12u);
    seen = w.rec.take();
    ASSERT_EQ(seen.size(), 1u);
    EXPECT_EQ(seen[0].prev<Asic::TransactionId>(), 12u);

    w.table->readRequestDelAll();
    seen = w.rec.take();
    ASSERT_EQ(seen.size(), 1u) << "one per removed request with a watcher";
    EXPECT_EQ(seen[0].key, 4294967294u);

    w.rec.publisherIs(nullptr);
    w.table->readRequestIs(1, {1});
    w.table->readRequestIs(2, {2});
    w.table->readRequestDelAll();
    EXPECT_EQ(w.table->collections().recordMap().size(), 0u);
    EXPECT_TRUE(w.rec.seen.empty());
}

TEST(LocalTableReadRequest, BulkReadResponsePublishesOnlyAChange) {
    Watched<L2> w;
    w.table->bulkReadResponseIs(0);
    EXPECT_TRUE(w.rec.seen.empty());
    Asic::DirectIndexTable& base = *w.table;
    base.bulkReadResponseTidIs(42);
    base.bulkReadResponseTidIs(42);
    auto seen = w.rec.take();
    ASSERT_EQ(seen.size(), 1u);
    EXPECT_EQ(seen[0].field, 775u);
    EXPECT_FALSE(seen[0].hasKey);
    EXPECT_EQ(seen[0].prev<Asic::TransactionId>(), 0u);
    w.table->bulkReadResponseIs(43);
    seen = w.rec.take();
    ASSERT_EQ(seen.size(), 1u);
    EXPECT_EQ(seen[0].prev<Asic::TransactionId>(), 42u);
    EXPECT_EQ(w.table->bulkReadResponse(), 43u);
}

TEST(LocalTableReadRequest, TheReadAllIndexHoldsAnEntryWithoutAMirrorSlot) {
    Watched<L2> w;
    L2::Entry const e = makeEntry<L2::Entry>(5, 3);
    w.table->entryIs(4294967294u, e);
    EXPECT_EQ(w.table->entry(4294967294u), e);
    ASSERT_EQ(w.rec.take().size(), 1u);
    EXPECT_EQ(w.table->entryDel(4294967294u), e);
    EXPECT_EQ(w.table->entry(4294967294u), L2::Entry());
    EXPECT_THROW(w.table->entryIs(16384, e), Lumo::RangeException) << "the index type refuses it";
    Lumo::Ptr<Ama> a(new Ama("a"));
    EXPECT_THROW(a->entryIs(4294967294u, makeEntry<Ama::Entry>(1)), Lumo::RangeException);
}

// ---- end of life ---------------------------------------------------------------------------

TEST(LocalTableLifetime, LastUserGoneFreesTheTableAndUnbindsItsMirror) {
    std::uint64_t const blocks = Pell::Core::Memory::Impl::liveBlocks();
    Lumo::Ptr<Control> keep;
    {
        Lumo::Ptr<Ama> t(new Ama("t"));
        for (std::uint32_t i = 0; i < 20; ++i) t->entryIs(i, makeEntry<Ama::Entry>(std::uint8_t(i)));
        keep = t->entryControl();
        EXPECT_TRUE(keep->reloadCallback());
    }
    EXPECT_EQ(Pell::Core::Memory::Impl::liveBlocks(), blocks) << "every data block was released";
    EXPECT_FALSE(keep->reloadCallback()) << "the mirror no longer calls into the dead table";
    keep->reload(3);  // nothing happens
    EXPECT_EQ(keep->useCount(), 1u);
}

}  // namespace
