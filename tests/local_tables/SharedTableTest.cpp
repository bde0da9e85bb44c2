// Shared-memory table entities in one process, against a std::map oracle:
// every entry and write-response operation in every role a process can take
// (temporary local writer, writer, and a reader and both shadow types
// following that writer), with what each publishes and counts; mounting,
// re-pathing and orphans; the corruption guard; end of life.
#include <algorithm>
#include <cstring>
#include <functional>
#include <map>
#include <random>
#include <set>
#include <string>
#include <vector>

#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "../shm_support/ShmTest.h"
#include "Lumo/Exception.h"
#include "Lumo/Inspect.h"
#include "Recorder.h"
#include "Vex/Stats.h"
#include "VexSharedMem/CollectionControl.h"
#include "X2/Default/All.h"

namespace {

using namespace bcm56275_a0::Default;
using tabletest::Recorder;
using Vorn::MapDescriptor;
using Vorn::VornType;

MapDescriptor desc(VornType type, std::uint32_t size = 64) {
    MapDescriptor d(size);
    d.type = type;
    return d;
}

std::uint64_t counter(char const* name) {
    auto* w = Vex::Stats::Writer::find(Vex::Stats::defaultStatsName());
    auto const* c = w ? w->counter(name) : nullptr;
    return c ? *c : 0;
}

struct Counts {
    std::uint64_t v[6];
    static constexpr char const* kNames[6] = {"entryIs",         "entryDel",         "entryNotify",
                                              "writeResponseIs", "writeResponseDel", "writeResponseNotify"};
    static Counts now() {
        Counts c{};
        for (int i = 0; i < 6; ++i) c.v[i] = counter(kNames[i]);
        return c;
    }
};

// A per-test directory for the maps' files.
struct Root {
    shmtest::TempRoot tmp;
    Root() { Mem::ZorbRootPath::rootDirIs(tmp.dir()); }
    ~Root() { Mem::ZorbRootPath::rootDirIs(""); }
};

template <class T>
struct SharedTables : ::testing::Test {
    using Entry = typename T::Entry;
    using WR = typename T::WriteResponse;
    static constexpr std::uint32_t kIndices = Entry::Index::max() + 1;

    Root root;
    std::map<std::uint32_t, Entry> entries;
    std::map<std::uint32_t, WR> wrs;
    std::uint32_t gen = 1;
    std::mt19937 rng{12345};

    // A table named `name` under a fresh parent "agent" (or none).
    static Lumo::Ptr<T> make(Lumo::Ptr<Vex::Entity>* parent, char const* name = "vtap") {
        Lumo::Ptr<T> t(new T(name));
        if (parent) {
            *parent = new Vex::Entity("agent");
            (*parent)->childIs(t);
        }
        return t;
    }

    // What `t` holds equals the oracle, index by index, through the typed
    // calls and through the reflection glue (lookup, count, iterators).
    ::testing::AssertionResult holdsOracle(T const& t) {
        for (std::uint32_t i = 0; i < kIndices; ++i) {
            auto e = entries.find(i);
            Entry want = e == entries.end() ? Entry() : e->second;
            if (!(t.entry(i) == want)) return ::testing::AssertionFailure() << "entry " << i;
            auto w = wrs.find(i);
            WR wantW = w == wrs.end() ? WR() : w->second;
            if (!(t.writeResponse(i) == wantW)) return ::testing::AssertionFailure() << "writeResponse " << i;
            if (auto r = accessorHolds(t, i, e == entries.end() ? nullptr : &want, w == wrs.end() ? nullptr : &wantW); !r)
                return r;
        }
        if (auto r = glueHolds(t, 770, entries); !r) return r;
        return glueHolds(t, 772, wrs);
    }

    // The hardware side's view of index i through the const accessors.
    static ::testing::AssertionResult accessorHolds(T const& t, std::uint32_t i, Entry const* e, WR const* w) {
        Asic::IndexTable::Accessor const* a = t.accessor(0);
        auto const* n = t.notifyingAccessor(0);
        if (a->entryExists(&i) != (e != nullptr) || n->entryExists(&i) != (e != nullptr))
            return ::testing::AssertionFailure() << "accessor entryExists " << i;
        Entry const want = e ? *e : Entry();
        if (a->entryIsValid(&i, 0) != want.isValid() || a->entryTransactionId(&i) != want.transactionId())
            return ::testing::AssertionFailure() << "accessor validity or transaction id " << i;
        for (unsigned m = 0; m < Entry::kDataArrays; ++m) {
            std::uint8_t buf[64];
            std::uint32_t const size = want.rawBytes(m, buf);
            std::span<unsigned char const> got = a->entryDataPtr(&i, m);
            if (got.size() != size || (size && std::memcmp(got.data(), buf, size) != 0))
                return ::testing::AssertionFailure() << "accessor bytes " << i << " memory " << m;
        }
        Asic::HwTable::OptionalWriteResponse const r = n->writeResponse(&i);
        if (r.present != (w != nullptr) || (w && (r.transactionId != w->transactionId || r.entryState != w->entryState ||
                                                  r.entryIndex != i)))
            return ::testing::AssertionFailure() << "accessor writeResponse " << i;
        return ::testing::AssertionSuccess();
    }

    template <class R>
    static ::testing::AssertionResult glueHolds(T const& t, Lumo::FieldId id, std::map<std::uint32_t, R> const& want) {
        Lumo::Inspect::TypeGlue const& g = *Lumo::Inspect::findType(T::kTypeName).glue;
        void* object = const_cast<T*>(&t);
        for (std::uint32_t i = 0; i < kIndices; ++i) {
            R got;
            std::uint32_t const status =
                g.inspectOperation(&got, object, Lumo::FieldDescriptor(id), Lumo::inspectLookup, &i, nullptr);
            auto w = want.find(i);
            if (Lumo::inspectStatusCode(status) != (w == want.end() ? Lumo::inspectKeyAbsent : Lumo::inspectDone) ||
                !(got == (w == want.end() ? R() : w->second)))
                return ::testing::AssertionFailure() << "glue lookup " << id << " " << i;
        }
        std::uint32_t n = 0;
        g.inspectOperation(&n, object, Lumo::FieldDescriptor(id), Lumo::inspectCount, nullptr, nullptr);
        if (n != want.size()) return ::testing::AssertionFailure() << "glue count " << id << ": " << n;
        void const* fns = nullptr;
        void* it = g.genericIfIterator(object, nullptr, Lumo::FieldDescriptor(id), &fns);
        auto const& f = *static_cast<Lumo::Inspect::IteratorFnTable const*>(fns);
        std::map<std::uint32_t, R> walked;
        for (; f.iterNonnull({id}, it); f.iterInc({id}, it)) {
            typename Entry::Index k;
            R v;
            f.iterKey({id}, it, &k);
            f.iterObj({id}, it, &v);
            walked.emplace(k.value(), v);
        }
        f.iterDel({id}, it);
        if (walked.size() != want.size() || !std::equal(walked.begin(), walked.end(), want.begin(), [](auto& a, auto& b) {
                return a.first == b.first && a.second == b.second;
            }))
            return ::testing::AssertionFailure() << "glue iterator " << id << ": " << walked.size() << " walked";
        return ::testing::AssertionSuccess();
    }

    // `n` random operations on `t`, each checked against the oracle: its
    // result, its publications on `rec`, and the six counters.
    void drive(T& t, Recorder& rec, int n) {
        Counts before = Counts::now();
        std::uint64_t expect[6] = {};
        for (int step = 0; step < n; ++step) {
            std::uint32_t const k = rng() % kIndices;
            std::vector<std::pair<Lumo::FieldId, std::uint32_t>> want;
            unsigned const op = rng() % 16;
            Asic::IndexTable::Accessor* a = t.accessor(0);
            Asic::IndexTable::NotifyingAccessor* n = t.notifyingAccessor(0);
            // The oracle's side of a delete of k's entry or write response,
            // by whichever path: published and counted as removed only when
            // it was there.
            auto entryGone = [&] {
                if (entries.erase(k)) {
                    want = {{770, k}};
                    expect[2]++;
                }
                expect[1]++;
            };
            auto responseGone = [&] {
                if (wrs.erase(k)) {
                    want = {{772, k}};
                    expect[5]++;
                }
                expect[4]++;
            };
            switch (op) {
            case 0: case 1: case 2: case 3: {
                Entry e = shmtest::makeValue<Entry>(k, gen++);
                t.entryIs(e);
                entries[k] = e;
                want = {{770, k}};
                expect[0]++, expect[2]++;
                break;
            }
            case 4: {  // direct mode: edit in place, then commit
                Entry e = shmtest::makeValue<Entry>(k, gen++);
                // An existing entry is edited from its stored value.
                auto* p = t.entryMap().directWrite(e);
                if (auto it = entries.find(k); it != entries.end()) {
                    EXPECT_TRUE(Entry(*p) == it->second);
                }
                static_cast<Entry&>(*p) = e;
                p->transactionIdIs(gen);
                t.entryCommit(p);
                e.transactionIdIs(gen++);
                entries[k] = e;
                want = {{770, k}};
                expect[0]++, expect[2]++;
                break;
            }
            case 5: case 6: {
                auto it = entries.find(k);
                Entry got = t.entryDel(k);
                EXPECT_TRUE(got == (it == entries.end() ? Entry() : it->second)) << k;
                entryGone();
                break;
            }
            case 7: case 8: {
                WR w = shmtest::makeValue<WR>(k, gen++);
                t.writeResponseIs(w);
                wrs[k] = w;
                want = {{772, k}};
                expect[3]++, expect[5]++;
                break;
            }
            case 9: {
                auto it = wrs.find(k);
                WR got = t.writeResponseDel(k);
                EXPECT_TRUE(got == (it == wrs.end() ? WR() : it->second)) << k;
                responseGone();
                break;
            }
            case 10: {
                if (rng() % 8) break;
                for (auto& [i, e] : entries) want.push_back({770, i});
                expect[1] += entries.size(), expect[2] += entries.size();
                entries.clear();
                t.entryDelAll();
                break;
            }
            case 11: {
                if (rng() % 8) break;
                for (auto& [i, w] : wrs) want.push_back({772, i});
                expect[4] += wrs.size(), expect[5] += wrs.size();
                wrs.clear();
                t.writeResponseDelAll();
                break;
            }
            case 12: case 13: {  // the hardware side fills an entry in place and publishes it
                auto it = entries.find(k);
                Entry e = it == entries.end() ? Entry(typename Entry::Index(k)) : it->second;
                bool const zero = rng() % 4 == 0;
                for (unsigned m = 0; m < Entry::kDataArrays; ++m) {
                    std::span<unsigned char> s = (rng() % 2 ? a : n->getEntryAccessor(0))->entryDataPtrIs(&k, m);
                    EXPECT_EQ(s.size(), a->entryDataMaxSize(m));
                    for (auto& b : s) b = zero ? 0 : std::uint8_t(rng() | 1);
                    e.rawBytesIs(m, s.data(), std::uint32_t(s.size()));
                    EXPECT_EQ(a->entryDataPtr(&k, m).data(), s.data());
                }
                EXPECT_TRUE(a->entryExists(&k)) << "filling creates the entry";
                Asic::TransactionId const tid = gen++;
                if (op == 12) {
                    (rng() % 2 ? a->entryPublish(k, tid) : n->entryPublish(k, tid));
                } else if (e.isValid()) {
                    n->entryPublishIfValid(k, tid);
                    e.doClearEccFields();
                } else {
                    a->entryPublishIfValid(k, tid);  // deleted: the filled entry existed
                    entries[k] = e;
                    entryGone();
                    break;
                }
                e.transactionIdIs(tid);
                entries[k] = e;
                want = {{770, k}};
                expect[2]++;
                break;
            }
            case 14:
                (rng() % 2 ? a->entryDelete(k) : n->entryDelete(k));
                entryGone();
                break;
            case 15: {
                Asic::HwTable::WriteResponse r;
                r.transactionId = gen++;
                r.entryState = Asic::HwTable::EntryState(r.transactionId % 5);
                if (rng() % 4 == 0) {
                    (rng() % 2 ? a->deleteWriteResponse(&k) : n->deleteWriteResponse(&k));
                    responseGone();
                    break;
                }
                (rng() % 2 ? a->updateWriteResponse(&k, r) : n->updateWriteResponse(&k, r));
                wrs[k] = WR(typename Entry::Index(k), r.transactionId, r.entryState);
                want = {{772, k}};
                expect[3]++, expect[5]++;
                break;
            }
            }
            std::vector<std::pair<Lumo::FieldId, std::uint32_t>> got;
            for (auto const& s : rec.take()) {
                EXPECT_TRUE(s.hasKey && !s.recursive);
                got.push_back({s.field, s.key});
            }
            // A delete-all visits the map in its own order.
            std::sort(got.begin(), got.end());
            std::sort(want.begin(), want.end());
            ASSERT_EQ(got, want) << "step " << step;
            ASSERT_TRUE(t.entry(k) == (entries.count(k) ? entries[k] : Entry())) << "op " << op << " key " << k;
        }
        Counts after = Counts::now();
        for (int i = 0; i < 6; ++i) EXPECT_EQ(after.v[i] - before.v[i], expect[i]) << Counts::kNames[i];
        EXPECT_TRUE(holdsOracle(t));
    }
};

using Tables = ::testing::Types<EgrVlanTagActionProfileTable, IngVlanTagActionProfileTable>;
TYPED_TEST_SUITE(SharedTables, Tables);

// Every role one process can take, each against the same oracle.
TYPED_TEST(SharedTables, EveryRoleAgainstOracle) {
    using T = TypeParam;
    // Temporary local writer before the table has a parent.
    Lumo::Ptr<T> w = this->make(nullptr);
    EXPECT_EQ(w->entryMap().path(), "vtap/entry");
    Recorder rec;
    rec.notifierIs(w.ptr());
    this->drive(*w, rec, 300);
    EXPECT_TRUE(rec.take().empty());

    // The accessors: one object each, the entry accessor handed out by the
    // notifying one its own; a refused memory id after entryDataPtrIs leaves
    // the created entry (unpublished); an absent entry has no bytes.
    {
        using Entry = typename T::Entry;
        Asic::IndexTable::Accessor* a = w->accessor(0);
        auto* n = w->notifyingAccessor(0);
        EXPECT_EQ(w->accessor(0), a);
        EXPECT_EQ(static_cast<Asic::AmaMem::IndexTable const&>(*w).accessor(0), a);
        EXPECT_EQ(static_cast<Asic::AmaMem::IndexTable const&>(*w).notifyingAccessor(0), n);
        EXPECT_NE(n->getEntryAccessor(0), a);
        EXPECT_EQ(n->getEntryAccessor(1), nullptr);
        std::uint32_t const i = Entry::Index::max();
        std::string const memIdText =
            std::string(T::kTypeName) + "::Entry::DataMemId::value > max() not allowed";
        std::uint32_t const memMax = Entry::kDataArrays - 1;
        EXPECT_EQ(a->entryDataMemIdMax(), memMax);
        this->entries.erase(i);
        w->entryDel(i);
        rec.take();
        for (auto f : {std::function<void()>([&] { a->entryDataMaxSize(memMax + 1); }),
                       std::function<void()>([&] { a->entryDataPtrIs(&i, memMax + 1); }),
                       std::function<void()>([&] { a->entryDataPtr(&i, memMax + 1); })}) {
            try {
                f();
                ADD_FAILURE() << "no range failure";
            } catch (Lumo::RangeException const& e) {
                EXPECT_EQ(std::string(e.what()), memIdText);
            }
        }
        EXPECT_TRUE(a->entryExists(&i));
        EXPECT_EQ(a->entryDataPtr(&i, 0).size(), 0u) << "created with empty arrays";
        EXPECT_TRUE(rec.take().empty());
        w->entryDel(i);
        rec.take();
        EXPECT_EQ(a->entryDataPtr(&i, 0).size(), 0u);
        EXPECT_EQ(a->dmaBusAddress(0, 0), 0u);
        EXPECT_EQ(a->readRequestTransactionId(&i), 0u);
        EXPECT_THROW(n->entryPublish(i + 1, 1), Lumo::RangeException);
    }

    // Attached: re-pathed, a fresh local writer, the entries dropped.
    Lumo::Ptr<Vex::Entity> agent = new Vex::Entity("agent");
    agent->childIs(w);
    EXPECT_EQ(w->entryMap().path(), "/agent/vtap/entry");
    EXPECT_EQ(w->writeResponseMap().path(), "/agent/vtap/writeResponse");
    this->entries.clear();
    this->wrs.clear();
    EXPECT_TRUE(this->holdsOracle(*w));

    // Mounted as the writer of the shared files.
    VexSharedMem::Mounter m;
    m.mount(w->writeResponseControl(), desc(VornType::writer));
    m.mount(w->entryControl(), desc(VornType::writer));
    EXPECT_EQ(w->entryControl()->mountStatus(), Vorn::mounted);
    EXPECT_TRUE(w->entryControl()->quiesced() && w->writeResponseControl()->quiesced());
    EXPECT_EQ(w->entryMap().mountStatus(), Vorn::mounted);
    this->drive(*w, rec, 400);

    // A reader and both shadow types follow it (same full path, other trees).
    Lumo::Ptr<Vex::Entity> pr, p1, p3;
    Lumo::Ptr<T> r = this->make(&pr), s1 = this->make(&p1), s3 = this->make(&p3);
    VexSharedMem::Mounter rm;
    MapDescriptor value = desc(VornType::valueShadow);
    value.captureNotifyValues = true;
    for (auto* t : {r.ptr(), s1.ptr(), s3.ptr()}) {
        MapDescriptor d = t == r.ptr() ? desc(VornType::reader) : t == s1.ptr() ? desc(VornType::shadow) : value;
        rm.mount(t->writeResponseControl(), d);
        rm.mount(t->entryControl(), d);
    }
    ASSERT_TRUE(rm.settle());
    Recorder rec1, rec3;
    rec1.notifierIs(s1.ptr());
    rec3.notifierIs(s3.ptr());
    for (auto* t : {r.ptr(), s1.ptr(), s3.ptr()}) {
        EXPECT_EQ(t->entryControl()->mountStatus(), Vorn::mounted);
        EXPECT_TRUE(this->holdsOracle(*t));
    }
    // Each round of writes reaches the shadows as key notifications, and
    // every reader answers like the oracle.
    for (int round = 0; round < 4; ++round) {
        auto before = this->entries;
        auto beforeW = this->wrs;
        this->drive(*w, rec, 60);
        ASSERT_TRUE(rm.settle());
        std::set<std::pair<Lumo::FieldId, std::uint32_t>> changed;
        for (std::uint32_t i = 0; i < this->kIndices; ++i) {
            bool a = before.count(i), b = this->entries.count(i);
            if (a != b || (a && !(before.at(i) == this->entries.at(i)))) changed.insert({770, i});
            a = beforeW.count(i), b = this->wrs.count(i);
            if (a != b || (a && !(beforeW.at(i) == this->wrs.at(i)))) changed.insert({772, i});
        }
        for (Recorder* rr : {&rec1, &rec3}) {
            std::set<std::pair<Lumo::FieldId, std::uint32_t>> heard;
            for (auto const& s : rr->take()) heard.insert({s.field, s.key});
            for (auto const& c : changed) EXPECT_TRUE(heard.count(c)) << c.first << " " << c.second;
        }
        for (auto* t : {r.ptr(), s1.ptr(), s3.ptr()}) EXPECT_TRUE(this->holdsOracle(*t));
    }
    rec.notifierIs(nullptr);
    rec1.notifierIs(nullptr);
    rec3.notifierIs(nullptr);
}

// Mount-time initialisation: repeated, incompatible and invalid descriptors.
TYPED_TEST(SharedTables, InitRules) {
    using T = TypeParam;
    Lumo::Ptr<Vex::Entity> agent;
    Lumo::Ptr<T> t = this->make(&agent);
    auto& m = t->entryMap();
    EXPECT_THROW(
        try { m.init(desc(VornType::writer, 0)); } catch (Lumo::InvalidInitializeException const& e) {
            EXPECT_NE(e.msg().find("0 is not a valid initialization size for collection entry in writer mode"),
                      std::string::npos);
            throw;
        },
        Lumo::InvalidInitializeException);
    MapDescriptor heap = desc(VornType::writer);
    heap.heapAllocation = true;
    EXPECT_THROW(m.init(heap), Lumo::InvalidInitializeException);
    m.init(desc(VornType::writer));
    m.init(desc(VornType::writer, 500));  // compatible: sizes may differ
    EXPECT_TRUE(m.initialized());
    try {
        m.init(desc(VornType::reader));
        ADD_FAILURE() << "incompatible init accepted";
    } catch (Lumo::InvalidInitializeException const& e) {
        EXPECT_NE(e.msg().find("name:entry failed subsequent initialize; old "), std::string::npos) << e.msg();
    }
    // A local writer mounted by init keeps working without files.
    Lumo::Ptr<Vex::Entity> a2;
    Lumo::Ptr<T> l = this->make(&a2, "local");
    MapDescriptor loc = desc(VornType::writer);
    loc.local = true;
    loc.heapAllocation = true;
    l->entryMap().init(loc);
    l->entryIs(shmtest::makeValue<typename T::Entry>(3, 1));
    EXPECT_TRUE(l->entry(3) == shmtest::makeValue<typename T::Entry>(3, 1));
}

// Orphans, re-attachment, controls and end of life.
TYPED_TEST(SharedTables, ParentsControlsAndLifetime) {
    using T = TypeParam;
    using Entry = typename T::Entry;
    auto& track = Vex::allocTracker<T>();
    auto& trackW = Vex::allocTracker<typename T::Notifiee>();
    std::int64_t const live0 = track.counts().liveElements, liveW0 = trackW.counts().liveElements;
    {
        Lumo::Ptr<Vex::Entity> agent;
        Lumo::Ptr<T> t = this->make(&agent);
        EXPECT_EQ(track.counts().liveElements, live0 + 1);
        EXPECT_EQ(trackW.counts().liveElements, liveW0 + 1);
        t->entryIs(shmtest::makeValue<Entry>(5, 1));
        // Detached: an orphan finds nothing; attaching again is refused.
        agent->childDel("vtap");
        EXPECT_EQ(t->entryMap().path(), "vtap/entry");
        EXPECT_TRUE(t->entryMap().orphan() && t->writeResponseMap().orphan());
        EXPECT_TRUE(t->entry(5) == Entry());
        try {
            agent->childIs(t);
            ADD_FAILURE() << "re-attachment accepted";
        } catch (Lumo::InvalidInitializeException const& e) {
            EXPECT_EQ(e.msg(), "Entity vtap already initialized");
        }
        // The same control publishes nothing; another one publishes 771 with the old one.
        Recorder rec;
        rec.notifierIs(t.ptr());
        t->entryControlIs(t->entryControl());
        EXPECT_TRUE(rec.take().empty());
        auto old = t->entryControl();
        Lumo::Ptr<VexVorn::CollectionControl> other = new VexVorn::CollectionControl("x", &t->entryMap());
        t->entryControlIs(other);
        auto seen = rec.take();
        ASSERT_EQ(seen.size(), 1u);
        EXPECT_TRUE(seen[0].recursive && seen[0].field == 771u && !seen[0].hasKey);
        EXPECT_EQ(seen[0].template prev<VexVorn::CollectionControl*>(), old.ptr());
        t->entryControlIs(old);
        rec.notifierIs(nullptr);
    }
    // Nobody held the controls: the table went with its last user.
    EXPECT_EQ(track.counts().liveElements, live0);
    EXPECT_EQ(trackW.counts().liveElements, liveW0);

    // Mounted: the mounter's controls keep the table until they go.
    VexSharedMem::Mounter m;
    {
        Lumo::Ptr<Vex::Entity> agent;
        Lumo::Ptr<T> t = this->make(&agent);
        m.mount(t->writeResponseControl(), desc(VornType::writer));
        m.mount(t->entryControl(), desc(VornType::writer));
        t->entryIs(shmtest::makeValue<Entry>(9, 1));
        agent = nullptr;
    }
    EXPECT_EQ(track.counts().liveElements, live0 + 1);
    m.unmountAll();
    EXPECT_EQ(track.counts().liveElements, live0);
}

using SharedTablesDeathTest = SharedTables<EgrVlanTagActionProfileTable>;

TEST_F(SharedTablesDeathTest, OrphanAccessStops) {
    Lumo::Ptr<Vex::Entity> agent;
    auto t = make(&agent);
    t->entryMap().assertOnOrphanAccessIs(true);
    agent->childDel("vtap");
    EXPECT_DEATH(t->entry(3), "invoked, name:vtap/entry rootpath: key:3. If you're seeing this, you're trying to "
                              "operate on an orphan vorn entity");
    EXPECT_DEATH(t->entryMap().init(desc(VornType::writer)),
                 "Re-initializing a collection that has already become an orphan and has assertOnOrphanAccess set");
}

TEST_F(SharedTablesDeathTest, ReadOnlyAndCorruption) {
    using Entry = EgrVlanTagActionProfileTable::Entry;
    Lumo::Ptr<Vex::Entity> aw, ar;
    auto w = make(&aw);
    auto r = make(&ar);
    VexSharedMem::Mounter m;
    m.mount(w->entryControl(), desc(VornType::writer, 256));
    m.mount(r->entryControl(), desc(VornType::reader));
    for (std::uint32_t k = 0; k < 100; ++k) w->entryIs(shmtest::makeValue<Entry>(k, 1));
    EXPECT_DEATH(r->entryIs(shmtest::makeValue<Entry>(1, 2)), "write to read-only Vorn table");
    EXPECT_DEATH(r->entryDel(1), "remove to read-only Vorn table");
    std::uint32_t const one = 1;
    EXPECT_DEATH(r->accessor(0)->entryDataPtrIs(&one, 0), "write to read-only Vorn table");
    EXPECT_DEATH(r->notifyingAccessor(0)->entryPublish(one, 5), "write to read-only Vorn table");
    EXPECT_TRUE(r->accessor(0)->entryExists(&one)) << "a reader reads";
    EXPECT_DEATH(r->entryMap().scratchpadIs(1), "invalid attempt to write scratchpad as reader");

    // Every bucket head names a slot far beyond the file: each walk of the
    // index meets the damage.
    auto& map = w->entryMap();
    auto* impl = dynamic_cast<Vorn::WriterImpl<EgrVlanTagActionProfileTable::EntryMap::OpsType>*>(map.impl());
    ASSERT_NE(impl, nullptr);
    std::uint32_t const buckets = impl->writer().buckets();
    std::string const file = map.root().filePath("buckets");
    int fd = ::open(file.c_str(), O_RDWR);
    ASSERT_GE(fd, 0);
    std::size_t const len = 24 + 8 * std::size_t(buckets);
    void* base = ::mmap(nullptr, len, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    ASSERT_NE(base, MAP_FAILED);
    for (std::uint32_t b = 0; b < buckets; ++b) {
        std::uint64_t word;
        std::memcpy(&word, static_cast<char*>(base) + 24 + 8 * b, 8);
        word = (std::uint64_t(0x00ffffffu) << 32) | std::uint32_t(word);
        std::memcpy(static_cast<char*>(base) + 24 + 8 * b, &word, 8);
    }
    ::munmap(base, len);
    ::close(fd);
    Recorder rec;
    rec.notifierIs(w.ptr());
    std::uint64_t const notify = counter("entryNotify");
    EXPECT_DEATH(w->entryIs(shmtest::makeValue<Entry>(120, 2)),
                 "class VornMap, Vorn/VornMap, function safeWrite, line 337: in no man's land");
    EXPECT_DEATH(w->entryDel(3), "class VornMap, Vorn/VornMap, function safeRemove, line 315: in no man's land");
    EXPECT_DEATH(w->notifyingAccessor(0)->entryPublish(121, 2),
                 "class VornMap, Vorn/VornMap, function safeWrite, line 337: in no man's land");
    // A lookup reports nothing; a delete-all whose walk meets the damage returns.
    EXPECT_TRUE(w->entry(3) == Entry());
    std::uint64_t const seen = map.corruptions();
    w->entryDelAll();
    EXPECT_GT(map.corruptions(), seen);
    EXPECT_EQ(counter("entryNotify"), notify);
    EXPECT_TRUE(rec.take().empty());
    rec.notifierIs(nullptr);
    // The reflection glue: a lookup finds nothing; an iterator that meets the
    // damage while seeking its first element reports it and is at its end.
    auto const& g = *Lumo::Inspect::findType(EgrVlanTagActionProfileTable::kTypeName).glue;
    Entry got = shmtest::makeValue<Entry>(7, 7);
    std::uint32_t k = 3;
    EXPECT_EQ(Lumo::inspectStatusCode(g.inspectOperation(&got, w.ptr(), Lumo::FieldDescriptor(770),
                                                         Lumo::inspectLookup, &k, nullptr)),
              Lumo::inspectKeyAbsent);
    EXPECT_TRUE(got == Entry());
    std::uint64_t const before = map.corruptions();
    void const* fns = nullptr;
    void* it = g.genericIfIterator(w.ptr(), nullptr, Lumo::FieldDescriptor(770), &fns);
    ASSERT_TRUE(it && fns);
    auto const& f = *static_cast<Lumo::Inspect::IteratorFnTable const*>(fns);
    EXPECT_FALSE(f.iterNonnull({770}, it));
    EXPECT_EQ(map.corruptions(), before + 1);
    f.iterDel({770}, it);
}

// A construction that fails (a counter id taken under another name) undoes
// what it built and publishes nothing.
TEST_F(SharedTablesDeathTest, ConstructionFailureUndoes) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");  // a fresh process: no counter registered yet
    EXPECT_EXIT(
        {
            auto& w = Vex::Stats::Writer::open(Vex::Stats::defaultStatsName(), 245);
            w.counterIs(11, "somethingElse");
            auto& track = Vex::allocTracker<EgrVlanTagActionProfileTable>();
            auto const live = track.counts().liveElements;
            auto undone = [&] {
                return track.counts().liveElements == live &&
                       Vex::allocTracker<EgrVlanTagActionProfileTable::Notifiee>().counts().liveElements == 0;
            };
            try {
                Lumo::Ptr<EgrVlanTagActionProfileTable> t(new EgrVlanTagActionProfileTable("x"));
                std::exit(1);
            } catch (Lumo::RangeException const&) {
                if (!undone()) std::exit(2);
            }
            // Made by name: the glue undoes its allocation tracking too.
            auto const before = track.counts();
            auto const& g = *Lumo::Inspect::findType(EgrVlanTagActionProfileTable::kTypeName).glue;
            try {
                Lumo::Ptr<Vex::Entity> t(g.newEntityForDir("x", nullptr));
                std::exit(3);
            } catch (Lumo::RangeException const&) {
                std::exit(undone() && track.counts().allocations == before.allocations + 1 &&
                                  track.counts().deallocations == before.deallocations + 1
                              ? 0
                              : 4);
            }
        },
        ::testing::ExitedWithCode(0), "");
}

}  // namespace
