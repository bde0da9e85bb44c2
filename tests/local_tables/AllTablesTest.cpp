// Every local-collection table, constructed by name through the registry and
// driven with random operations against an oracle: a std::map from index to
// the entry's data bytes, and one from index to the record's transaction id.
// After every step the publications are those the operation rules demand;
// at checkpoints the stored entries, their iteration and the mirror's bytes
// agree with the oracle.
#include <cstdlib>
#include <map>
#include <random>
#include <set>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "Asic/DirectIndexTable.h"
#include "Lumo/Exception.h"
#include "Lumo/Inspect.h"
#include "Pell/Core/Collection.h"
#include "Recorder.h"
#include "X2/Default/All.h"
#include "X2/Support/Registry.h"

namespace {

using tabletest::Recorder;
using Bytes = std::vector<std::uint8_t>;
using EntryBytes = std::vector<Bytes>;  // per data byte array

// An untyped entry record of one table (EntryOps), freed on scope exit.
class AnyEntry {
public:
    explicit AnyEntry(X2::TableInfo const& t) : t_(t), p_(t.ops.create()) {}
    AnyEntry(AnyEntry const&) = delete;
    AnyEntry& operator=(AnyEntry const&) = delete;
    ~AnyEntry() { t_.ops.destroy(p_); }
    void* get() { return p_; }
    EntryBytes bytes() const {
        EntryBytes out;
        std::uint8_t buf[256];
        for (unsigned k = 0; k < t_.arrays.size(); ++k) {
            std::uint32_t const n = t_.ops.bytes(p_, k, buf);
            out.emplace_back(buf, buf + n);
        }
        return out;
    }
    void bytesIs(EntryBytes const& b) {
        for (unsigned k = 0; k < b.size(); ++k) t_.ops.bytesIs(p_, k, b[k].data(), std::uint32_t(b[k].size()));
    }

private:
    X2::TableInfo const& t_;
    void* p_;
};

EntryBytes zeroBytes(X2::TableInfo const& t) {
    EntryBytes z;
    for (std::uint32_t cap : t.arrays) z.emplace_back(cap, 0);
    return z;
}

std::vector<X2::TableInfo const*> localTables() {
    std::vector<X2::TableInfo const*> out;
    for (X2::TableInfo const* t : X2::allTables())
        if (t->table.create) out.push_back(t);
    return out;
}

TEST(LocalTablesRegistry, EveryLocalAndReadTableIsConstructibleByName) {
    std::size_t local = 0, read = 0, shared = 0;
    for (X2::TableInfo const* t : X2::allTables()) {
        switch (t->kind) {
            case X2::Kind::shared:
                ++shared;
                EXPECT_EQ(t->table.create, nullptr) << t->name;
                continue;
            case X2::Kind::local: ++local; break;
            case X2::Kind::read: ++read; break;
        }
        ASSERT_NE(t->table.create, nullptr) << t->name;
        Lumo::Ptr<Asic::DirectIndexTable> e = t->table.create(std::string("x") + t->name);
        ASSERT_TRUE(e) << t->name;
        EXPECT_EQ(e->name(), std::string("x") + t->name);
        EXPECT_EQ(e->useCount(), 1u);
        EXPECT_EQ(e->entryAttrId().attributeId(), 770u) << t->name;
        // The entity's own type, as the framework finds it by name.
        Lumo::Inspect::FoundType const self = Lumo::Inspect::findType(std::string("bcm56275_a0::Default::") + t->name);
        ASSERT_TRUE(self) << t->name;
        EXPECT_EQ(e->typeData().module, std::string(t->source)) << t->name;
        EXPECT_EQ(std::string(self.type.module), std::string(t->source)) << t->name;
        EXPECT_EQ(e->typeData().index, self.type.index) << t->name;
        if (t->kind == X2::Kind::read) {
            EXPECT_EQ(e->readRequestAttrId().attributeId(), 772u);
            EXPECT_EQ(e->bulkReadResponseAttrId().attributeId(), 775u);
            EXPECT_FALSE(e->writeResponseAttrId());
        } else {
            EXPECT_EQ(e->writeResponseAttrId().attributeId(), 772u);
            EXPECT_FALSE(e->readRequestAttrId());
        }
        auto c = t->table.entryControl(*e);
        ASSERT_TRUE(c) << t->name;
        ASSERT_EQ(c->attributes(), t->arrays.size()) << t->name;
        for (std::uint32_t k = 0; k < t->arrays.size(); ++k) {
            EXPECT_EQ(c->attributeSize(4 + k), t->arrays[k]) << t->name;
            EXPECT_EQ(c->entryCount(4 + k), t->lastIndex + 1) << t->name;
        }
        EXPECT_EQ(c->attributeSize(4 + std::uint32_t(t->arrays.size())), 0u) << t->name;
        EXPECT_EQ(t->table.entryCount(*e), 0u);
        EXPECT_EQ(t->table.recordCount(*e), 0u);
    }
    EXPECT_EQ(local, 75u);
    EXPECT_EQ(read, 10u);
    EXPECT_EQ(shared, 2u);
}

// Steps per table; LOCAL_TABLES_STEPS raises it for a longer run.
int steps() {
    char const* s = std::getenv("LOCAL_TABLES_STEPS");
    return s ? std::atoi(s) : 400;
}

class LocalTablesOracle : public ::testing::TestWithParam<X2::TableInfo const*> {};

TEST_P(LocalTablesOracle, RandomOperationsAgreeWithTheOracleAndPublishByTheRules) {
    X2::TableInfo const& t = *GetParam();
    bool const read = t.kind == X2::Kind::read;
    Lumo::Ptr<Asic::DirectIndexTable> table = t.table.create(t.name);
    Recorder rec;
    rec.previousBytes[772] = read ? sizeof(Asic::HwTable::ReadRequest) : 16;
    rec.publisherIs(&table->publisher());
    auto control = t.table.entryControl(*table);

    std::map<std::uint32_t, EntryBytes> entries;      // oracle of the stored entries
    std::map<std::uint32_t, Asic::TransactionId> records;  // oracle of write responses / read requests
    std::mt19937 rng(std::uint32_t(std::hash<std::string>()(t.name)));
    std::uint32_t const count = t.lastIndex + 1;
    // Mostly a small range so that replaces and deletes hit; sometimes the ends.
    auto pickIndex = [&]() -> std::uint32_t {
        switch (rng() % 8) {
            case 0: return t.lastIndex;
            case 1: return rng() % count;
            case 2:
                if (read) return 4294967294u;
                [[fallthrough]];
            default: return rng() % (count < 24 ? count : 24);
        }
    };
    auto randomBytes = [&]() {
        EntryBytes b = zeroBytes(t);
        unsigned const style = rng() % 4;  // all zero, one byte, random, or a copy of another entry
        if (style == 0) return b;
        if (style == 3 && !entries.empty()) return entries.begin()->second;
        for (auto& arr : b) {
            if (style == 1) {
                arr[rng() % arr.size()] = std::uint8_t(1 + rng() % 255);
            } else {
                for (auto& x : arr) x = std::uint8_t(rng());
            }
        }
        return b;
    };
    auto mirrorOf = [&](std::uint32_t i) {
        EntryBytes out;
        for (std::uint32_t k = 0; k < t.arrays.size(); ++k) {
            auto s = control->bytes(4 + k, i);
            out.emplace_back(s.begin(), s.end());
        }
        return out;
    };
    auto expectPublished = [&](std::vector<std::pair<Lumo::FieldId, std::uint32_t>> const& want, char const* op) {
        std::vector<std::pair<Lumo::FieldId, std::uint32_t>> got;
        for (auto const& s : rec.seen) {
            EXPECT_TRUE(s.hasKey) << op;
            got.emplace_back(s.field, s.key);
        }
        EXPECT_EQ(got, want) << t.name << " " << op;
    };

    for (int step = 0; step < steps(); ++step) {
        rec.seen.clear();
        std::uint32_t const i = pickIndex();
        switch (rng() % 10) {
            case 0:
            case 1:
            case 2: {  // entryIs
                EntryBytes const b = randomBytes();
                AnyEntry e(t);
                e.bytesIs(b);
                auto it = entries.find(i);
                bool const same = it != entries.end() && it->second == b;
                t.table.entryIs(*table, i, e.get());
                entries[i] = b;
                expectPublished(same ? std::vector<std::pair<Lumo::FieldId, std::uint32_t>>{}
                                     : std::vector<std::pair<Lumo::FieldId, std::uint32_t>>{{770, i}},
                                "entryIs");
                break;
            }
            case 3:
            case 4: {  // entryDel
                AnyEntry out(t);
                t.table.entryDel(*table, i, out.get());
                auto it = entries.find(i);
                if (it == entries.end()) {
                    EXPECT_EQ(out.bytes(), zeroBytes(t)) << "an absent delete returns an empty entry";
                    expectPublished({}, "entryDel absent");
                } else {
                    EXPECT_EQ(out.bytes(), it->second) << "the removed entry is returned";
                    entries.erase(it);
                    expectPublished({{770, i}}, "entryDel");
                }
                break;
            }
            case 5: {  // entry: stored, else the mirror (zeros where nothing was stored)
                AnyEntry out(t);
                t.table.entry(*table, i, out.get());
                auto it = entries.find(i);
                EXPECT_EQ(out.bytes(), it == entries.end() ? zeroBytes(t) : it->second) << t.name << " entry " << i;
                expectPublished({}, "entry");
                break;
            }
            case 6: {  // recordIs
                Asic::TransactionId const tid = 1 + rng() % 3;
                std::uint32_t const key = i;
                auto it = records.find(key);
                bool const same = it != records.end() && it->second == tid;
                Asic::TransactionId const prev = it == records.end() ? 0 : it->second;
                bool const had = it != records.end();
                t.table.recordIs(*table, key, tid, Asic::HwTable::EntryState::entryStateWritten);
                records[key] = tid;
                if (same) {
                    expectPublished({}, "recordIs same");
                } else {
                    expectPublished({{772, key}}, "recordIs");
                    ASSERT_EQ(rec.seen.size(), 1u);
                    EXPECT_TRUE(rec.seen[0].recursive);
                    EXPECT_EQ(rec.seen[0].hasPrevious, had);
                    if (had) {
                        EXPECT_EQ(rec.seen[0].prev<Asic::TransactionId>(), prev);
                    }
                }
                break;
            }
            case 7: {  // recordDel
                std::uint32_t const key = i;
                auto it = records.find(key);
                Asic::TransactionId const got = t.table.recordDel(*table, key);
                if (it == records.end()) {
                    EXPECT_EQ(got, 0u);
                    expectPublished({}, "recordDel absent");
                } else {
                    EXPECT_EQ(got, it->second);
                    expectPublished({{772, key}}, "recordDel");
                    if (!rec.seen.empty()) {
                        EXPECT_EQ(rec.seen[0].prev<Asic::TransactionId>(), it->second);
                    }
                    records.erase(it);
                }
                break;
            }
            case 8: {  // a delete-all now and then, watched or not
                if (rng() % 8) break;
                bool const watched = rng() % 2;
                if (!watched) rec.publisherIs(nullptr);
                std::set<std::uint32_t> want;
                for (auto const& [k, v] : entries) want.insert(k);
                t.table.entryDelAll(*table);
                std::set<std::uint32_t> got;
                for (auto const& s : rec.seen) {
                    EXPECT_EQ(s.field, 770u);
                    EXPECT_TRUE(got.insert(s.key).second) << "published twice: " << s.key;
                }
                EXPECT_EQ(got, watched ? want : std::set<std::uint32_t>{}) << t.name;
                for (auto const& [k, v] : entries) {
                    if (k < count) {
                        EXPECT_EQ(mirrorOf(k), zeroBytes(t)) << t.name << " index " << k;
                    }
                }
                entries.clear();
                rec.seen.clear();
                t.table.recordDelAll(*table);
                EXPECT_EQ(rec.seen.size(), watched ? records.size() : 0u) << t.name;
                records.clear();
                rec.publisherIs(&table->publisher());
                break;
            }
            default: {  // checkpoint: contents, iteration order and the mirror
                std::map<std::uint32_t, EntryBytes> seen;
                std::vector<std::uint32_t> order;
                struct Ctx {
                    X2::TableInfo const* t;
                    std::map<std::uint32_t, EntryBytes>* seen;
                    std::vector<std::uint32_t>* order;
                } ctx{&t, &seen, &order};
                t.table.forEachEntry(
                    *table,
                    [](void* c, std::uint32_t index, void const* entry) {
                        auto& x = *static_cast<Ctx*>(c);
                        EntryBytes b;
                        std::uint8_t buf[256];
                        for (unsigned k = 0; k < x.t->arrays.size(); ++k) {
                            std::uint32_t const n = x.t->ops.bytes(entry, k, buf);
                            b.emplace_back(buf, buf + n);
                        }
                        (*x.seen)[index] = b;
                        x.order->push_back(index);
                    },
                    &ctx);
                EXPECT_EQ(order.size(), seen.size()) << "iteration visits each entry once";
                EXPECT_EQ(seen, entries) << t.name;
                EXPECT_EQ(t.table.entryCount(*table), entries.size());
                EXPECT_EQ(t.table.recordCount(*table), records.size());
                for (auto const& [k, v] : entries) {
                    if (k < count) {
                        EXPECT_EQ(mirrorOf(k), v) << t.name << " mirror of " << k;
                    }
                }
                expectPublished({}, "checkpoint");
            }
        }
        if (::testing::Test::HasFatalFailure()) return;
    }
    // The mirror of every index the run never stored at is still zero. A
    // reload of each index keeps the valid stored entries and deletes the
    // invalid ones; the mirror keeps their bytes, so entry() still reads them.
    std::uint32_t const probe = count < 64 ? count : 64;
    for (std::uint32_t k = 0; k < probe; ++k) {
        if (!entries.count(k)) {
            EXPECT_EQ(mirrorOf(k), zeroBytes(t)) << t.name << " index " << k;
        }
    }
    rec.seen.clear();
    std::size_t storedAfter = entries.size();
    for (std::uint32_t k = 0; k < probe; ++k) {
        control->reload(k);
        auto it = entries.find(k);
        if (it == entries.end()) continue;
        AnyEntry e(t);
        e.bytesIs(it->second);
        if (!t.ops.isValid(e.get())) --storedAfter;
    }
    EXPECT_TRUE(rec.seen.empty()) << "reloads publish nothing";
    EXPECT_EQ(t.table.entryCount(*table), storedAfter) << t.name;
    for (std::uint32_t k = 0; k < probe; ++k) {
        AnyEntry out(t);
        t.table.entry(*table, k, out.get());
        auto it = entries.find(k);
        EXPECT_EQ(out.bytes(), it == entries.end() ? zeroBytes(t) : it->second);
    }
    EXPECT_THROW(control->reload(count), Lumo::RangeException) << t.name;
    EXPECT_EQ(t.table.entryCount(*table), storedAfter) << "a refused reload changes nothing";
}

INSTANTIATE_TEST_SUITE_P(All, LocalTablesOracle, ::testing::ValuesIn(localTables()),
                         [](auto const& info) { return std::string(info.param->name); });

}  // namespace
