// The rules of the two entry forms, on concrete tables: what the bit model
// over every field (FieldModelTest) does not reach, such as byte operations,
// equality of index, transaction id and array sizes, sharing of blocks.
#include <gtest/gtest.h>

#include "ExpectedTables.h"
#include "Lumo/Exception.h"
#include "X2/Default/All.h"

namespace {

using namespace bcm56275_a0::Default;
using Egr = EgrVlanTagActionProfileTable;
using Flush = BscAgGroupFlushConfig;

std::vector<std::uint8_t> bytes0(Egr::Entry const& e) {
    auto const& a = e.dataByte0();
    return std::vector<std::uint8_t>(a.data(), a.data() + a.size());
}

TEST(InlineEntry, WorkedExampleGrowsThenTrimsToEmpty) {
    Egr::Entry e(Egr::Entry::Index(5));
    EXPECT_EQ(e.dataByte0().size(), 0u);
    e.dtIcfiAction0Is(2);
    std::vector<std::uint8_t> expected(15, 0);
    expected[14] = 0x20;
    EXPECT_EQ(bytes0(e), expected);
    EXPECT_EQ(e.dtIcfiAction0(), 2);
    EXPECT_EQ(e.dtIcfiAction1(), 0);
    EXPECT_TRUE(e.isValid());
    e.dtIcfiAction0Is(0);
    EXPECT_EQ(e.dataByte0().size(), 0u);
    EXPECT_FALSE(e.isValid());
}

TEST(InlineEntry, ByteOperationsGrowWithoutTrim) {
    Egr::Entry e;
    e.dataByte0Is(5, 0x7);
    EXPECT_EQ(e.dataByte0().size(), 6u);
    for (unsigned i = 0; i < 5; ++i) EXPECT_EQ(e.dataByte0(i), 0);
    e.dataByte0Is(8, 0);  // a zero byte may end the array after a byte write
    EXPECT_EQ(e.dataByte0().size(), 9u);
    EXPECT_EQ(e.dataByte0Del(8), 0);  // removing the last byte trims back to byte 5
    EXPECT_EQ(e.dataByte0().size(), 6u);
    EXPECT_EQ(e.dataByte0Del(2), 0);  // not the last: becomes zero, size stays
    EXPECT_EQ(e.dataByte0().size(), 6u);
    EXPECT_EQ(e.dataByte0Del(5), 0x7);
    EXPECT_EQ(e.dataByte0().size(), 0u);
    EXPECT_EQ(e.dataByte0Del(10), 0);  // beyond the size
}

TEST(InlineEntry, ClearEccOfOnlyCheckBitsLeavesArrayEmpty) {
    Egr::Entry e;
    e.dataByte0Is(17, 0xF8);  // bits 139..143
    e.dataByte0Is(18, 0x0F);  // bits 144..147
    EXPECT_FALSE(e.isValid());
    e.dataByte1Is(3, 0x10);
    e.doClearEccFields();
    EXPECT_EQ(e.dataByte0().size(), 0u);
    EXPECT_EQ(e.dataByte1().size(), 4u);  // the other memory is untouched
}

TEST(InlineEntry, EqualityAndHashCoverIndexTransactionAndSizes) {
    Egr::Entry a(Egr::Entry::Index(3)), b(Egr::Entry::Index(3));
    a.dtItagAction1Is(4);
    b.dtItagAction1Is(4);
    EXPECT_EQ(a, b);
    EXPECT_EQ(a.hash(1), b.hash(1));
    b.transactionIdIs(9);
    EXPECT_FALSE(a == b);
    EXPECT_NE(a.hash(1), b.hash(1));
    Egr::Entry c(Egr::Entry::Index(4));
    c.dtItagAction1Is(4);
    EXPECT_FALSE(a == c);
    EXPECT_NE(a.hash(1), c.hash(1));
    // A grown all-zero array differs from an empty one: sizes differ.
    Egr::Entry z1, z2;
    z1.dataByte0Is(3, 0);
    EXPECT_EQ(z1.dataByte0().size(), 4u);
    EXPECT_FALSE(z1 == z2);
    EXPECT_TRUE(Egr::Entry::isEq(&z1, &z1));
}

TEST(InlineEntry, IsFlatAndCopiesByValue) {
    static_assert(std::is_standard_layout_v<Egr::Entry>);
    Egr::Entry a(Egr::Entry::Index(7));
    a.sotIpriAction1Is(5);
    Egr::Entry b = a;
    b.sotIpriAction1Is(1);
    EXPECT_EQ(a.sotIpriAction1(), 5);
    EXPECT_EQ(b.fwkKey().value(), 7u);
}

TEST(AllocatedEntry, CopiesShareBlocks) {
    Flush::Entry a;
    a.groupId0ValidIs(1);
    Flush::Entry b = a;
    EXPECT_EQ(a.dataByte0().useCount(), 2u);
    b.groupId0ValidIs(0);
    EXPECT_EQ(a.groupId0Valid(), 0);  // written through the copy, seen through the original
    // A getter allocates the block of a fresh entry, so later copies share it.
    Flush::Entry fresh;
    EXPECT_TRUE(fresh.dataByte0().isNull());
    (void)fresh.groupId0Valid();
    EXPECT_FALSE(fresh.dataByte0().isNull());
    Flush::Entry copy = fresh;
    copy.groupId0ValidIs(1);
    EXPECT_EQ(fresh.groupId0Valid(), 1);
}

TEST(AllocatedEntry, NeverWrittenEqualsAllZeroWritten) {
    Flush::Entry never, zeroed;
    zeroed.groupId0ValidIs(0);
    zeroed.groupId1Is(0);
    EXPECT_TRUE(never.dataByte0().isNull());
    EXPECT_FALSE(zeroed.dataByte0().isNull());
    EXPECT_EQ(never, zeroed);
    EXPECT_EQ(never.hash(17), zeroed.hash(17));
    EXPECT_FALSE(bool(never));
    zeroed.transactionIdIs(1);
    EXPECT_TRUE(bool(zeroed));
    EXPECT_FALSE(never == zeroed);
}

TEST(AllocatedEntry, ByteOperations) {
    Flush::Entry e;
    EXPECT_EQ(e.dataByte0Del(3), 0);  // null block
    EXPECT_TRUE(e.dataByte0().isNull());
    e.dataByte0Is(3, 0xAB);
    EXPECT_EQ(e.dataByte0Del(3), 0xAB);
    EXPECT_EQ(e.dataByte0(3), 0);
    e.dataByte0Is(0, 1);
    e.dataByte0DelAll();
    EXPECT_FALSE(bool(e));
}

TEST(WideField, RoundTripAndTooFewWords) {
    IngVlanRangeTable::Entry e;
    e.eccData0Is(Orrin::PerUnitBitmap{0x11111111, 0x22222222, 0x33333333});
    EXPECT_EQ(e.vlanMin0(), 0x111);
    EXPECT_EQ(e.vlanMax0(), 0x111);
    EXPECT_EQ(e.vlanMin1(), 0x211);
    EXPECT_EQ(e.eccData0(), (Orrin::PerUnitBitmap{0x11111111, 0x22222222, 0x33333333}));
    e.vlanMax3Is(0xABC);  // a part: bits 84..95 of the aggregate
    EXPECT_EQ(e.eccData0().word(2), 0xABC33333u);
    // Two words cannot fill 96 bits: refused before anything changes.
    auto before = e.eccData0();
    EXPECT_THROW(e.eccData0Is(Orrin::PerUnitBitmap{1, 2}), Lumo::RangeException);
    EXPECT_EQ(e.eccData0(), before);
}

// Every short id, not only the ids near the field range that the catalogue
// check below walks: a table without fields accepts none.
TEST(UserWritable, ATableWithoutFieldsRefusesEveryId) {
    for (int id = -40000 % 32768; id < 32768; id += 7) EXPECT_FALSE(BscDtPdeProfile::Entry::isUserWritable(short(id)));
}

// The registry against a hand transcription of the chip documentation.
TEST(Catalogue, EveryTableHasTheDocumentedShape) {
    ASSERT_EQ(X2::allTables().size(), std::size(kExpectedTables));
    unsigned fields = 0;
    for (auto const& x : kExpectedTables) {
        auto const* t = X2::findTable(x.name);
        ASSERT_NE(t, nullptr) << x.name;
        EXPECT_EQ(X2::kindName(t->kind), x.kind) << x.name;
        EXPECT_EQ(t->lastIndex, x.lastIndex) << x.name;
        EXPECT_EQ(std::vector<std::uint32_t>(t->arrays.begin(), t->arrays.end()), std::vector<std::uint32_t>(x.arrays)) << x.name;
        EXPECT_EQ(t->firstFieldId, x.firstFieldId) << x.name;
        EXPECT_EQ(t->lastFieldId, x.lastFieldId) << x.name;
        EXPECT_EQ(t->hasCheckBits, x.checkWidth != 0) << x.name;
        if (x.checkWidth) {
            EXPECT_EQ(t->checkOffset, x.checkOffset) << x.name;
            EXPECT_EQ(t->checkWidth, x.checkWidth) << x.name;
        }
        EXPECT_EQ(t->fields.size(), x.fieldCount) << x.name;
        EXPECT_EQ(t->hasWriteResponse, std::string_view(x.kind) != "read") << x.name;
        fields += x.fieldCount;
        // Ids are consecutive in byte-wise name order, and isUserWritable answers exactly them.
        for (std::size_t i = 0; i < t->fields.size(); ++i) {
            EXPECT_EQ(t->fields[i].id, t->firstFieldId + short(i)) << x.name;
            if (i) {
                EXPECT_LT(std::string_view(t->fields[i - 1].name), std::string_view(t->fields[i].name)) << x.name;
            }
        }
        for (int id = -2; id < 200; ++id)
            EXPECT_EQ(t->ops.isUserWritable(short(id)), x.firstFieldId >= 0 && id >= x.firstFieldId && id <= x.lastFieldId)
                << x.name << " id " << id;
    }
    EXPECT_EQ(fields, 1383u);
}

TEST(EntryText, IsRefused) {
    EXPECT_DEATH(
        {
            Vex::CharRange r("anything");
            Flush::Entry e(r);
        },
        "affirm");
}

}  // namespace

namespace {
TEST(EntryText, FormatterShowsValueBytes) {
    using namespace bcm56275_a0::Default;
    EgrVlanTagActionProfileTable::Entry e(EgrVlanTagActionProfileTable::Entry::Index(5));
    e.transactionIdIs(9);
    e.utItagAction1Is(5);
    EXPECT_EQ(fmt::format("{}", e),
              "bcm56275_a0::Default::EgrVlanTagActionProfileTable::Entry(transactionId=9, entryIndex=5, dataByte0=, "
              "dataByte1=05)");
    MirrorSelectReg::Entry m;
    m.mtpType1Is(0xA);
    EXPECT_EQ(fmt::format("{}", m),
              "bcm56275_a0::Default::MirrorSelectReg::Entry(transactionId=0, dataByte0=00000000, dataByte1=0a000000)");
}
}  // namespace
