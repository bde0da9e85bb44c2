// Bounded index types: ranges, texts and the exact failure messages.
#include <gtest/gtest.h>

#include "Lumo/Exception.h"
#include "X2/Default/All.h"
#include "X2/Support/Registry.h"

namespace {

using namespace bcm56275_a0::Default;
using Egr = EgrVlanTagActionProfileTable;

template <class F>
std::string messageOf(F&& f) {
    try {
        f();
    } catch (Lumo::Exception const& e) {
        return e.msg();
    }
    return "(no exception)";
}

// The text constructor of a byte index checks its range like the numeric one
// (whose messages ReflectTest checks over every table and index type).
TEST(IndexTypes, ByteIndexTextIsChecked) {
    EXPECT_EQ(messageOf([] {
                  Vex::CharRange r("20");
                  Egr::Entry::DataByte0Index i(r);
              }),
              "bcm56275_a0::Default::EgrVlanTagActionProfileTable::Entry::DataByte0Index::value < "
              "bcm56275_a0::Default::EgrVlanTagActionProfileTable::Entry::DataByte0Index::min or > "
              "bcm56275_a0::Default::EgrVlanTagActionProfileTable::Entry::DataByte0Index::max not allowed");
    Vex::CharRange ok("19");
    EXPECT_EQ(Egr::Entry::DataByte0Index(ok).value(), 19u);
}

TEST(IndexTypes, IndexTextIsUncheckedUntilDoInit) {
    Vex::CharRange r("128");
    Egr::Entry::Index i(r);  // accepted by the text constructor
    EXPECT_EQ(i.value(), 128u);
    EXPECT_THROW(i.doInit(), Lumo::RangeException);
    EXPECT_THROW(Egr::Entry::Index(128), Lumo::RangeException);
    EXPECT_EQ(Egr::Entry::Index(127).value(), 127u);
    Vex::CharRange bad("4294967296");
    EXPECT_THROW(Egr::Entry::Index{bad}, Lumo::RangeException);
    Vex::CharRange junk("x");
    EXPECT_THROW(Egr::Entry::Index{junk}, Lumo::ParseException);
}

TEST(IndexTypes, ReadTablesAcceptTheReadAllKeyOnly) {
    EXPECT_EQ(L2HitSaOnly::Entry::Index(4294967294u).value(), 4294967294u);
    EXPECT_THROW(L2HitSaOnly::Entry::Index(4294967295u), Lumo::RangeException);
    EXPECT_THROW(L2HitSaOnly::Entry::Index(16384), Lumo::RangeException);
    EXPECT_THROW(MirrorControlTable::Entry::Index(4294967294u), Lumo::RangeException);
    EXPECT_TRUE(L2HitSaOnly::Entry::Index(3) < L2HitSaOnly::Entry::Index(4));
}

// Over the whole catalogue: the last value of every bound is accepted and the next refused.
TEST(IndexTypes, EveryBoundOfEveryTable) {
    for (auto const* t : X2::allTables()) {
        EXPECT_NO_THROW(t->ops.makeIndex(t->lastIndex)) << t->name;
        // Reported as (module, type index) and named through the module's type names:
        // each table's own Index, the twins' too.
        EXPECT_EQ(messageOf([&] { t->ops.makeIndex(t->lastIndex + 1); }),
                  fmt::format("bcm56275_a0::Default::{}::Entry::Index: index {} out of range", t->name, t->lastIndex + 1));
        if (t->kind == X2::Kind::read) {
            EXPECT_NO_THROW(t->ops.makeIndex(4294967294u)) << t->name;
        } else {
            EXPECT_THROW(t->ops.makeIndex(4294967294u), Lumo::RangeException) << t->name;
        }
        EXPECT_NO_THROW(t->ops.makeDataMemId(std::uint32_t(t->arrays.size() - 1))) << t->name;
        EXPECT_THROW(t->ops.makeDataMemId(std::uint32_t(t->arrays.size())), Lumo::RangeException) << t->name;
        for (unsigned k = 0; k < t->arrays.size(); ++k) {
            EXPECT_NO_THROW(t->ops.makeDataByteIndex(k, t->arrays[k] - 1)) << t->name;
            std::string msg = messageOf([&] { t->ops.makeDataByteIndex(k, t->arrays[k]); });
            std::string type = fmt::format("bcm56275_a0::Default::{}::Entry::DataByte{}Index", t->name, k);
            EXPECT_EQ(msg, fmt::format("{0}::value < {0}::min or > {0}::max not allowed", type));
        }
    }
}

TEST(WriteResponse, FlatSixteenBytesWithIndexAtTwelve) {
    Egr::WriteResponse w(Egr::Entry::Index(0x42), 7, Asic::HwTable::EntryState::entryStateWritten);
    ASSERT_EQ(sizeof w, 16u);
    std::uint8_t raw[16];
    std::memcpy(raw, &w, 16);
    std::uint32_t idx;
    std::memcpy(&idx, raw + 12, 4);
    EXPECT_EQ(idx, 0x42u);
    std::uint64_t tid;
    std::memcpy(&tid, raw, 8);
    EXPECT_EQ(tid, 7u);
}

TEST(WriteResponse, EqualityRules) {
    using W = MirrorControlTable::WriteResponse;
    W a(W::Index(1), 5, Asic::HwTable::EntryState::entryStateWritten);
    W b(W::Index(2), 5, Asic::HwTable::EntryState::entryStateWritten);
    EXPECT_FALSE(a == b);
    EXPECT_TRUE(W() == W(W::Index(0)));
    W c = a;
    c.entryState = Asic::HwTable::EntryState::entryStateFailed;
    EXPECT_FALSE(a == c);
    EXPECT_TRUE(W::isEq(&a, &a));
}

TEST(WriteResponse, TextRoundTrip) {
    using W = IngVlanRangeTable::WriteResponse;
    W w(W::Index(200), 0xFFFFFFFFFFFFFFFFull, Asic::HwTable::EntryState::entryStatePending);
    std::string text = Vex::valueToStrep(w);
    EXPECT_EQ(text,
              "bcm56275_a0::Default::IngVlanRangeTable::WriteResponse(transactionId=18446744073709551615, "
              "entryState=entryStatePending, entryIndex=200)");
    EXPECT_EQ(Vex::strepToValue<W>(text), w);
    EXPECT_EQ(Vex::strepToValue<W>(" bcm56275_a0::Default::IngVlanRangeTable::WriteResponse ( transactionId = 0x10 ,"
                                   "entryState=entryStateFailed,entryIndex=9 ) "),
              W(W::Index(9), 16, Asic::HwTable::EntryState::entryStateFailed));
}

TEST(WriteResponse, ParseFailuresNameTheAttribute) {
    using W = IngVlanRangeTable::WriteResponse;
    std::string const pre = "bcm56275_a0::Default::IngVlanRangeTable::WriteResponse(";
    auto parseMsg = [&](std::string const& body) { return messageOf([&] { Vex::strepToValue<W>(pre + body); }); };
    EXPECT_EQ(parseMsg("transactionId=18446744073709551616, entryState=entryStateFailed, entryIndex=1)")
                  .rfind("transactionId: ", 0),
              0u);
    EXPECT_EQ(parseMsg("transactionId=1, entryState=bogus, entryIndex=1)").rfind("entryState: ", 0), 0u);
    EXPECT_EQ(parseMsg("transactionId=1, entryState=entryStateFailed, entryIndex=99999999999)").rfind("entryIndex: ", 0),
              0u);
    // The text constructor of the index does not range-check: 300 parses for a 256-entry table.
    EXPECT_EQ(Vex::strepToValue<W>(pre + "transactionId=1, entryState=entryStateFailed, entryIndex=300)").entryIndex().value(),
              300u);
    EXPECT_THROW(Vex::strepToValue<W>(pre + "transactionId=1, entryIndex=1)"), Lumo::ParseException);
    EXPECT_THROW(Vex::strepToValue<W>(pre + "transactionId=1, entryState=entryStateFailed, entryIndex=1"),
                 Lumo::ParseException);
    EXPECT_THROW(Vex::strepToValue<W>(pre + "transactionId=1, entryState=entryStateFailed, entryIndex=1) x"),
                 Lumo::ParseException);
    EXPECT_THROW(Vex::strepToValue<W>("bcm56275_a0::Default::MirrorControlTable::WriteResponse(transactionId=1, "
                                      "entryState=entryStateFailed, entryIndex=1)"),
                 Lumo::ParseException);
}

}  // namespace
