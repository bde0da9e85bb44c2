// The table accessor and the notifying accessor: the interfaces' slot order,
// the rules every local table follows (checked over the whole catalogue),
// and the edge cases of single tables: spans, publication counts, check
// bits, write responses, read requests, the egress timestamp halves and the
// assertions.
#include <cstring>
#include <set>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "../local_tables/Recorder.h"
#include "Asic/AmaMem/IndexTable.h"
#include "Lumo/Exception.h"
#include "Pell/Core/Collection.h"
#include "X2/Default/All.h"
#include "X2/Support/Registry.h"

namespace {

using namespace bcm56275_a0::Default;
using tabletest::Recorder;
using Bytes = std::vector<std::uint8_t>;
using State = Asic::HwTable::EntryState;

// ---- interfaces ------------------------------------------------------------------

// Slot of a virtual function in its class's vtable, from the Itanium ABI's
// member pointer (1 + byte offset in the vtable).
template <class M>
std::ptrdiff_t slot(M m) {
    static_assert(sizeof(M) == 2 * sizeof(std::uintptr_t));
    std::uintptr_t w[2];
    std::memcpy(w, &m, sizeof w);
    return std::ptrdiff_t((w[0] - 1) / sizeof(void*));
}

TEST(AccessorInterfaces, VirtualOperationsSitInTheirSlots) {
    using A = Asic::IndexTableAccessor;
    EXPECT_EQ(slot(&A::writeResponse), 0);
    EXPECT_EQ(slot(&A::updateWriteResponse), 1);
    EXPECT_EQ(slot(&A::deleteWriteResponse), 2);
    EXPECT_EQ(slot(&A::numOfSubEntries), 3);
    EXPECT_EQ(slot(&A::entryExists), 4);
    EXPECT_EQ(slot(&A::entryIsValid), 5);
    EXPECT_EQ(slot(&A::entryTransactionId), 6);
    EXPECT_EQ(slot(&A::entryDataMemIdMax), 7);
    EXPECT_EQ(slot(&A::entryDataMaxSize), 8);
    EXPECT_EQ(slot(&A::entryDataPtr), 9);
    EXPECT_EQ(slot(&A::entryDataPtrIs), 10);
    EXPECT_EQ(slot(&A::readRequestTransactionId), 11);
    EXPECT_EQ(slot(&A::entryPublish), 12);
    EXPECT_EQ(slot(&A::entryPublishIfValid), 13);
    EXPECT_EQ(slot(&A::entryDelete), 14);
    EXPECT_EQ(slot(&A::dmaBusAddress), 15);

    using N = Asic::HwIndexTableNotificationAccessor;
    EXPECT_EQ(slot(&N::getEntryAccessor), 0);
    EXPECT_EQ(slot(&N::numEntryAccessors), 1);
    EXPECT_EQ(slot(&N::writeResponse), 2);
    EXPECT_EQ(slot(&N::writeResponseHwEntryIndex), 3);
    EXPECT_EQ(slot(&N::updateWriteResponse), 4);
    EXPECT_EQ(slot(&N::deleteWriteResponse), 5);
    EXPECT_EQ(slot(&N::entryExists), 6);
    EXPECT_EQ(slot(&N::entryTransactionId), 7);
    EXPECT_EQ(slot(&N::readRequestTransactionId), 8);
    EXPECT_EQ(slot(&N::entryPublish), 9);
    EXPECT_EQ(slot(&N::entryPublishIfValid), 10);
    EXPECT_EQ(slot(&N::entryDelete), 11);
}

// Every entity starts with the destructors (0, 1), lastUserGone, publisher,
// typeData and handleParent; both table bases then give the table entity's
// operations, and the descriptor base the descriptor's.
template <class T>
void expectTableSlots() {
    using Acc = Asic::IndexTable::Accessor;
    using NAcc = Asic::IndexTable::NotifyingAccessor;
    EXPECT_EQ(slot(&T::lastUserGone), 2);
    EXPECT_EQ(slot(&T::publisher), 3);
    EXPECT_EQ(slot(&T::typeData), 4);
    EXPECT_EQ(slot(&T::handleParent), 5);
    EXPECT_EQ(slot(&T::entryAttrId), 6);
    EXPECT_EQ(slot(static_cast<Acc const* (T::*)(Asic::CollectionId) const>(&T::accessor)), 7);
    EXPECT_EQ(slot(static_cast<Acc* (T::*)(Asic::CollectionId)>(&T::accessor)), 8);
    EXPECT_EQ(slot(static_cast<NAcc* (T::*)(Asic::CollectionId)>(&T::notifyingAccessor)), 9);
    EXPECT_EQ(slot(static_cast<NAcc const* (T::*)(Asic::CollectionId) const>(&T::notifyingAccessor)), 10);
    EXPECT_EQ(slot(&T::writeResponseAttrId), 11);
    EXPECT_EQ(slot(&T::bulkReadResponseAttrId), 12);
    EXPECT_EQ(slot(&T::bulkReadResponseTidIs), 13);
    EXPECT_EQ(slot(&T::initCapacityCount), 14);
    EXPECT_EQ(slot(&T::updateCapacityCount), 15);
    EXPECT_EQ(slot(&T::readRequestAttrId), 16);
}

TEST(AccessorInterfaces, EntitiesAndDescriptorsKeepTheirSlots) {
    expectTableSlots<Asic::DirectIndexTable>();
    expectTableSlots<Asic::AmaMem::IndexTable>();
    expectTableSlots<MirrorSessionTable>();
    expectTableSlots<EgrVlanTagActionProfileTable>();

    using D = EgrVlanTagActionProfileTableDesc;
    EXPECT_EQ(slot(&D::lastUserGone), 2);
    EXPECT_EQ(slot(&D::publisher), 3);
    EXPECT_EQ(slot(&D::typeData), 4);
    EXPECT_EQ(slot(&D::handleParent), 5);
    EXPECT_EQ(slot(&D::tableVexType), 6);
    EXPECT_EQ(slot(&D::getResourceStub), 7);
    EXPECT_EQ(slot(&D::init), 8);
    EXPECT_EQ(slot(&D::accessTableVexType), 9);
    EXPECT_EQ(slot(&D::numEntries), 10);
    EXPECT_EQ(slot(&D::hasModes), 11);
    EXPECT_EQ(slot(&D::isValidUnitId), 12);
    EXPECT_EQ(slot(&D::needsParityCorrection), 13);
    EXPECT_EQ(slot(&D::downloadInterval), 14);
    EXPECT_EQ(slot(&D::tileStatusVexType), 15);
    EXPECT_EQ(slot(&D::tileGroup), 16);
}

TEST(AccessorInterfaces, TheInterfaceIsTheFirstBase) {
    Lumo::Ptr<MirrorSessionTable> t(new MirrorSessionTable("t"));
    Asic::IndexTable::Accessor* a = t->accessor(0);
    auto* impl = static_cast<Asic::TableAccessorImpl<MirrorSessionTable, 0, 0>*>(a);
    EXPECT_EQ(static_cast<void*>(a), static_cast<void*>(impl));
    EXPECT_EQ(impl->table(), t.ptr());
    auto* n = t->notifyingAccessor(0);
    EXPECT_EQ(static_cast<void*>(n),
              static_cast<void*>(static_cast<Asic::NotifyingCollectionAccessorImpl<MirrorSessionTable, 0>*>(n)));
}

// ---- every local table --------------------------------------------------------------

// The tables whose data lies in registers: no DMA bus address.
std::set<std::string> const kRegisters = {
    "BscAgGroupFlushConfig", "BscAgPeriodicExport", "EgrHgMirrorEditCtrlReg", "EsecFipsControl",
    "EsecFipsDataReg",       "EsecFipsKeyReg",      "IngMiscConfig2Reg",      "IsecCntrl",
    "IsecFipsControl",       "IsecFipsDataReg",     "IsecFipsKeyReg",         "IsecMgmRuleDaEtype1StCtrl",
    "IsecRudMgmtRule",       "MirrorSelectReg",     "EgressTimestampTable",   "EsecAesCalcIcvReg",
    "EsecFipsEncDataReg",    "EsecFipsStatus",      "IsecAesCalcIcvReg",      "IsecFipsEncDataReg",
    "IsecFipsStatus"};

struct AnyEntry {
    X2::TableInfo const& t;
    void* p;
    explicit AnyEntry(X2::TableInfo const& table) : t(table), p(table.ops.create()) {}
    AnyEntry(AnyEntry const&) = delete;
    ~AnyEntry() { t.ops.destroy(p); }
};

template <class F>
void expectRange(F&& f, std::string const& text) {
    try {
        f();
        ADD_FAILURE() << "no range failure, expected: " << text;
    } catch (Lumo::RangeException const& e) {
        EXPECT_EQ(std::string(e.what()), text);
    }
}

TEST(TableAccessor, EveryLocalTableFollowsTheRules) {
    std::size_t tables = 0, dma = 0;
    for (X2::TableInfo const* ti : X2::allTables()) {
        if (!ti->table.create) continue;
        X2::TableInfo const& t = *ti;
        SCOPED_TRACE(t.name);
        ++tables;
        Lumo::Ptr<Asic::DirectIndexTable> table = t.table.create("t");
        Asic::IndexTable::Accessor* a = table->accessor(0);
        auto* n = table->notifyingAccessor(0);
        ASSERT_NE(a, nullptr);
        EXPECT_EQ(table->accessor(0), a);
        EXPECT_EQ(static_cast<Asic::DirectIndexTable const&>(*table).accessor(0), a);
        EXPECT_EQ(static_cast<Asic::DirectIndexTable const&>(*table).notifyingAccessor(0), n);
        EXPECT_NE(n->getEntryAccessor(0), a);
        EXPECT_EQ(n->getEntryAccessor(0), n->getEntryAccessor(0));
        EXPECT_EQ(n->getEntryAccessor(1), nullptr);
        EXPECT_EQ(n->numEntryAccessors(), 1u);
        EXPECT_EQ(a->numOfSubEntries(), 1u);
        bool const read = t.kind == X2::Kind::read;
        bool const egress = std::string(t.name) == "EgressTimestampTable";
        std::uint32_t const max = std::uint32_t(t.arrays.size() - 1);
        std::string const memIdText = std::string("bcm56275_a0::Default::") + t.name +
                                      "::Entry::DataMemId::value > max() not allowed";

        // Memory ids and capacities.
        EXPECT_EQ(a->entryDataMemIdMax(), max);
        for (std::uint32_t m = 0; m <= max; ++m) EXPECT_EQ(a->entryDataMaxSize(m), t.arrays[m]);
        if (egress) {
            EXPECT_EQ(a->entryDataMaxSize(max + 1), 8u);
        } else {
            expectRange([&] { a->entryDataMaxSize(max + 1); }, memIdText);
        }

        Recorder rec;
        rec.notifierIs(table.ptr());
        // entryDataPtrIs of an absent entry creates it, without publishing;
        // a refused memory id leaves the created entry in place.
        std::uint32_t const i = t.lastIndex;
        if (!egress) {
            EXPECT_FALSE(a->entryExists(&i));
            expectRange([&] { a->entryDataPtrIs(&i, max + 1); }, memIdText);
            EXPECT_TRUE(a->entryExists(&i));
            expectRange([&] { a->entryDataPtr(&i, max + 1); }, memIdText);
        }
        for (std::uint32_t m = 0; m <= max; ++m) {
            std::span<unsigned char> s = a->entryDataPtrIs(&i, m);
            if (!egress) {
                ASSERT_EQ(s.size(), t.arrays[m]);
            }
            for (std::size_t b = 0; b < s.size(); ++b) s[b] = std::uint8_t(m * 31 + b + 1);
            std::span<unsigned char const> r = a->entryDataPtr(&i, m);
            EXPECT_EQ(r.data(), s.data());
            EXPECT_EQ(r.size(), s.size());
        }
        EXPECT_TRUE(rec.take().empty()) << "filling publishes nothing";
        EXPECT_EQ(a->entryTransactionId(&i), 0u);
        EXPECT_EQ(a->entryIsValid(&i, 7), t.fields.size() != 0) << "the bytes of every field are set";

        // Publication: once, under 770 and the index, with the transaction id.
        a->entryPublish(i, 99);
        auto seen = rec.take();
        ASSERT_EQ(seen.size(), 1u);
        EXPECT_EQ(seen[0].field, 770u);
        EXPECT_EQ(seen[0].key, i);
        EXPECT_EQ(n->entryTransactionId(&i), 99u);
        n->entryPublish(i, 100);
        EXPECT_EQ(rec.take().size(), 1u);
        EXPECT_EQ(a->entryTransactionId(&i), 100u);
        // Another index, asked while the lookup memo holds i, answers for itself.
        if (i > 0) {
            std::uint32_t const other = i - 1;
            EXPECT_EQ(a->entryTransactionId(&other), 0u);
            EXPECT_FALSE(a->entryIsValid(&other, 0));
            EXPECT_FALSE(a->entryExists(&other));
        }

        // Index range: the read-all key only in read tables; nothing changes on refusal.
        std::uint32_t const beyond = i + 1;
        EXPECT_THROW(a->entryPublish(beyond, 1), Lumo::RangeException);
        EXPECT_THROW(n->entryPublishIfValid(beyond, 1), Lumo::RangeException);
        EXPECT_THROW(a->entryDelete(beyond), Lumo::RangeException);
        EXPECT_TRUE(rec.take().empty());
        if (read) {
            a->entryPublish(Asic::kReadAllIndex, 5);
            EXPECT_EQ(rec.take().size(), 1u);
            a->entryDelete(Asic::kReadAllIndex);
            EXPECT_EQ(rec.take().size(), 1u);
        } else {
            EXPECT_THROW(a->entryPublish(Asic::kReadAllIndex, 5), Lumo::RangeException);
        }

        // DMA bus address: the mirror's field 4 + m, and the mirror holds
        // what entryDataPtr shows after entryIs.
        bool const hasDma = !kRegisters.count(t.name);
        dma += hasDma;
        Lumo::Ptr<Pell::Core::Memory::Control::Collection> mirror = t.table.entryControl(*table);
        AnyEntry e(t);
        std::vector<Bytes> written;
        for (std::uint32_t m = 0; m <= max; ++m) {
            Bytes b(t.arrays[m]);
            for (std::size_t k = 0; k < b.size(); ++k) b[k] = std::uint8_t(k * 7 + m + 3);
            t.ops.bytesIs(e.p, m, b.data(), std::uint32_t(b.size()));
            written.push_back(b);
        }
        std::uint32_t const j = 0;
        t.table.entryIs(*table, j, e.p);
        rec.take();
        for (std::uint32_t m = 0; m <= max; ++m) {
            std::uint64_t const bus = a->dmaBusAddress(j, m);
            if (!hasDma) {
                EXPECT_EQ(bus, 0u);
                continue;
            }
            EXPECT_EQ(bus, mirror->addressBus(4 + m, j));
            std::span<std::uint8_t const> viaBus = mirror->busBytes(bus, t.arrays[m]);
            std::span<unsigned char const> data = a->entryDataPtr(&j, m);
            ASSERT_EQ(viaBus.size(), t.arrays[m]);
            EXPECT_EQ(Bytes(viaBus.begin(), viaBus.end()), written[m]) << "memory " << m;
            if (!egress) {
                EXPECT_EQ(Bytes(data.begin(), data.end()), written[m]) << "memory " << m;
            }
        }
        EXPECT_EQ(a->dmaBusAddress(j, max + 1), 0u) << "field 0";

        // entryDelete removes the entry and publishes once; an absent one publishes nothing.
        a->entryDelete(j);
        EXPECT_EQ(rec.take().size(), 1u);
        EXPECT_FALSE(n->entryExists(&j));
        n->entryDelete(j);
        EXPECT_TRUE(rec.take().empty());
        // An absent entry shows the mirror's slot, reset by the deletion,
        // also right after entryExists has found it absent.
        EXPECT_FALSE(a->entryExists(&j));
        EXPECT_FALSE(a->entryIsValid(&j, 0));
        EXPECT_EQ(a->entryTransactionId(&j), 0u);
        if (!egress) {
            std::span<unsigned char const> s = a->entryDataPtr(&j, 0);
            EXPECT_EQ(s.size(), t.arrays[0]);
            EXPECT_EQ(Bytes(s.begin(), s.end()), Bytes(t.arrays[0], 0));
            EXPECT_FALSE(a->entryExists(&j)) << "reading creates nothing";
        }

        // Write responses, or the defaults in read tables.
        Asic::HwTable::WriteResponse w;
        w.transactionId = 77;
        w.entryState = State::entryStateWritten;
        a->updateWriteResponse(&j, w);
        Asic::HwTable::OptionalWriteResponse r = n->writeResponse(&j);
        if (read) {
            EXPECT_FALSE(r.present);
            EXPECT_TRUE(rec.take().empty());
        } else {
            EXPECT_TRUE(r.present);
            EXPECT_EQ(r.transactionId, 77u);
            EXPECT_EQ(r.entryState, State::entryStateWritten);
            EXPECT_EQ(rec.take().size(), 1u);
            n->updateWriteResponse(&j, w);
            EXPECT_TRUE(rec.take().empty()) << "the same response again";
            n->deleteWriteResponse(&j);
            EXPECT_EQ(rec.take().size(), 1u);
        }
        r = a->writeResponse(&j);
        EXPECT_FALSE(r.present);
        EXPECT_EQ(r.transactionId, 0u);
        EXPECT_EQ(r.entryState, State::entryStateUnknown);
        EXPECT_EQ(r.entryIndex, 0u);
        EXPECT_EQ(a->readRequestTransactionId(&j), 0u);
        rec.notifierIs(nullptr);
    }
    EXPECT_EQ(tables, 85u);
    EXPECT_EQ(dma, 64u);
}

// ---- single tables -------------------------------------------------------------

TEST(TableAccessor, EntryPublishIfValidClearsCheckBitsWithoutAFurtherPublication) {
    Lumo::Ptr<BscDgFlowGroupTable> t(new BscDgFlowGroupTable("t"));  // check bits 183..191 of dataByte0
    Recorder rec;
    rec.notifierIs(t.ptr());
    auto* n = t->notifyingAccessor(0);
    std::uint32_t const i = 9;
    std::span<unsigned char> s = t->accessor(0)->entryDataPtrIs(&i, 0);
    std::memset(s.data(), 0xff, s.size());
    n->entryPublishIfValid(i, 41);
    auto seen = rec.take();
    ASSERT_EQ(seen.size(), 1u);
    EXPECT_EQ(seen[0].key, i);
    Bytes expected(24, 0xff);
    for (unsigned b = 183; b < 192; ++b) expected[b / 8] &= std::uint8_t(~(1u << (b % 8)));
    std::uint8_t buf[24];
    t->entryDirect(i)->rawBytes(0, buf);
    EXPECT_EQ(Bytes(buf, buf + 24), expected);
    EXPECT_EQ(t->entryDirect(i)->transactionId(), 41u);

    // Not valid: deleted, one publication; absent and not valid: nothing.
    std::memset(t->accessor(0)->entryDataPtrIs(&i, 0).data(), 0, 24);
    n->entryPublishIfValid(i, 42);
    EXPECT_EQ(rec.take().size(), 1u);
    EXPECT_EQ(t->entryDirect(i), nullptr);
    n->entryPublishIfValid(i, 43);
    EXPECT_TRUE(rec.take().empty());
    rec.notifierIs(nullptr);

    // A table without check bits keeps its bytes.
    Lumo::Ptr<MirrorSessionTable> m(new MirrorSessionTable("m"));
    std::uint32_t const k = 2;
    std::memset(m->accessor(0)->entryDataPtrIs(&k, 1).data(), 0xff, 20);
    m->accessor(0)->entryPublishIfValid(k, 5);
    m->entryDirect(k)->rawBytes(1, buf);
    EXPECT_EQ(Bytes(buf, buf + 20), Bytes(20, 0xff));
}

TEST(TableAccessor, WithoutAMirrorAnAbsentEntryHasNoBytes) {
    Lumo::Ptr<MirrorEncapCombinedTable> t(new MirrorEncapCombinedTable("t"));
    EXPECT_EQ(t->accessor(0)->entryDataMaxSize(2), 20u);
    t->entryControlIs({});
    std::uint32_t const i = 3;
    EXPECT_EQ(t->accessor(0)->entryDataPtr(&i, 2).size(), 0u);
    EXPECT_EQ(t->accessor(0)->dmaBusAddress(i, 0), 0u);
    EXPECT_EQ(t->accessor(0)->entryDataPtrIs(&i, 2).size(), 20u);
}

TEST(NotifyingAccessor, ReadTablesAnswerReadRequestsAndKeepTheWriteResponseDefaults) {
    Lumo::Ptr<L2HitSaOnly> t(new L2HitSaOnly("t"));
    auto* n = t->notifyingAccessor(0);
    t->addReadAllRequest({12});
    t->addReadRequest(5, {13});
    EXPECT_EQ(n->readRequestTransactionId(&Asic::kReadAllIndex), 12u);
    std::uint32_t const i = 5, j = 6;
    EXPECT_EQ(n->readRequestTransactionId(&i), 13u);
    EXPECT_EQ(n->getEntryAccessor(0)->readRequestTransactionId(&j), 0u);
    EXPECT_EQ(n->writeResponseHwEntryIndex(&i), 5u);
    EXPECT_FALSE(n->writeResponse(&i).present);
    Lumo::Ptr<MirrorSessionTable> m(new MirrorSessionTable("m"));
    std::uint32_t const k = 17;
    EXPECT_EQ(m->notifyingAccessor(0)->writeResponseHwEntryIndex(&k), 17u);
}

// ---- the egress timestamp table -----------------------------------------------------

TEST(EgressTimestamp, MemoryIdsMapOntoHalvesBelowIndex56) {
    Lumo::Ptr<EgressTimestampTable> t(new EgressTimestampTable("t"));
    Asic::IndexTable::Accessor* a = t->accessor(0);
    EXPECT_EQ(a->entryDataMemIdMax(), 0u);
    EXPECT_EQ(a->entryDataMaxSize(1), 8u);
    for (std::uint32_t i : {10u, 55u}) {
        std::span<unsigned char> upper = a->entryDataPtrIs(&i, 0);
        std::span<unsigned char> lower = a->entryDataPtrIs(&i, 1);
        ASSERT_EQ(upper.size(), 4u);
        ASSERT_EQ(lower.size(), 4u);
        std::memcpy(upper.data(), "\x11\x22\x33\x44", 4);
        std::memcpy(lower.data(), "\x55\x66\x77\x88", 4);
        std::uint8_t buf[8];
        t->entryDirect(i)->rawBytes(0, buf);
        EXPECT_EQ(Bytes(buf, buf + 8), (Bytes{0x55, 0x66, 0x77, 0x88, 0x11, 0x22, 0x33, 0x44})) << i;
        EXPECT_EQ(a->entryDataPtr(&i, 0).data(), upper.data());
        EXPECT_EQ(a->entryDataPtr(&i, 1).data(), lower.data());
        EXPECT_EQ(a->entryDataPtr(&i, 1).size(), 4u);
    }
    std::uint32_t const single = 56;
    std::span<unsigned char> all = a->entryDataPtrIs(&single, 0);
    EXPECT_EQ(all.size(), 8u);
    EXPECT_EQ(a->entryDataPtr(&single, 0).size(), 8u);
}

// `s` as a death-test pattern that matches it literally.
std::string quoted(std::string const& s) {
    std::string out;
    for (char c : s) {
        if (std::strchr("[](){}*.+?|^$\\", c)) out += '\\';
        out += c;
    }
    return out;
}

TEST(AccessorDeathTest, EgressMemoryIdsOutsideTheHelpersRuleStopTheProcess) {
    Lumo::Ptr<EgressTimestampTable> t(new EgressTimestampTable("t"));
    Asic::IndexTable::Accessor* a = t->accessor(0);
    std::uint32_t const single = 56, split = 10;
    std::string const fn = "ReturnType DefaultEgressTimestampTableHelper::memAccessInfo(VoidPtr, Asic::HwTable::MemId, bool) ";
    EXPECT_DEATH(a->entryDataPtrIs(&single, 1),
                 quoted("Trident3/DefaultEgressTimestampTableHelper, function " + fn +
                        "[with ReturnType = std::span<unsigned char>; VoidPtr = unsigned char*], line ") +
                     "[0-9]+: memId == 0");
    EXPECT_DEATH(a->entryDataPtr(&split, 2),
                 quoted("Trident3/DefaultEgressTimestampTableHelper, function " + fn +
                        "[with ReturnType = std::span<const unsigned char>; VoidPtr = const unsigned char*], line ") +
                     "[0-9]+: invalid memId");
}

TEST(AccessorDeathTest, ACollectionOtherThanZeroStopsTheProcess) {
    Lumo::Ptr<EgrMirrorTable> t(new EgrMirrorTable("t"));
    EXPECT_DEATH(t->accessor(1),
                 quoted("X2/Default/EgrMirrorTable, function virtual Asic::IndexTable::Accessor* "
                        "bcm56275_a0::Default::EgrMirrorTable::accessor(Asic::CollectionId), line ") +
                     "[0-9]+: Invalid CollectionId\\.");
    Lumo::Ptr<AmaMemIngVlanTagActionProfileTable> twin(new AmaMemIngVlanTagActionProfileTable("t"));
    EXPECT_DEATH(twin->notifyingAccessor(2),
                 quoted("X2/Default/IngVlanTagActionProfileTable, function virtual "
                        "Asic::IndexTable::NotifyingAccessor* "
                        "bcm56275_a0::Default::AmaMemIngVlanTagActionProfileTable::notifyingAccessor("
                        "Asic::CollectionId), line ") +
                     "[0-9]+: Invalid CollectionId\\.");
    // A shared-memory table's factories check the same way.
    Lumo::Ptr<EgrVlanTagActionProfileTable> shared(new EgrVlanTagActionProfileTable("t"));
    std::string const accessorFn =
        "virtual Asic::IndexTable::Accessor* bcm56275_a0::Default::EgrVlanTagActionProfileTable::accessor(Asic::CollectionId)";
    std::string const notifyingFn =
        "virtual Asic::IndexTable::NotifyingAccessor* bcm56275_a0::Default::EgrVlanTagActionProfileTable::notifyingAccessor(Asic::CollectionId)";
    EXPECT_DEATH(shared->accessor(1),
                 quoted("X2/Default/EgrVlanTagActionProfileTable, function " + accessorFn + ", line ") +
                     "[0-9]+: Invalid CollectionId\\.");
    EXPECT_DEATH(shared->notifyingAccessor(1),
                 quoted("X2/Default/EgrVlanTagActionProfileTable, function " + notifyingFn + ", line ") +
                     "[0-9]+: Invalid CollectionId\\.");
}

}  // namespace
