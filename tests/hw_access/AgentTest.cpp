// The simulated hardware agent over every local-collection table, through
// the generic accessors and the descriptors alone. A user agent sets random
// field values through the typed setters and commits the entry; the chip
// must then hold the bytes of the bit-by-bit model of the catalogue's field
// layout at the memory the descriptor names, and the write response must
// carry the entry's transaction id. Read tables answer read requests and
// read-all requests with what the chip holds.
#include <algorithm>
#include <cstring>
#include <map>
#include <random>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "hwsim/BitModel.h"
#include "hwsim/SimAgent.h"
#include "../local_tables/Recorder.h"
#include "X2/Default/All.h"
#include "X2/Support/Registry.h"

namespace {

using Bytes = std::vector<std::uint8_t>;
using Asic::HwTable::EntryState;

using hwsim::descriptorOf;

struct AnyEntry {
    X2::TableInfo const& t;
    void* p;
    explicit AnyEntry(X2::TableInfo const& table) : t(table), p(table.ops.create()) {}
    AnyEntry(AnyEntry const&) = delete;
    ~AnyEntry() { t.ops.destroy(p); }
    Bytes bytes(unsigned k) const {
        Bytes b(t.arrays[k]);
        b.resize(t.ops.bytes(p, k, b.data()));
        return b;
    }
};

// Every field set to a random value, in random order (aggregates and their
// parts, aliases: the later write wins, in the model as in the entry).
std::vector<BitModel> fillRandom(AnyEntry& e, std::mt19937_64& rng) {
    std::vector<BitModel> model;
    for (std::uint32_t cap : e.t.arrays) {
        BitModel m;
        m.capacity = cap;
        m.bytes.assign(cap, 0);
        model.push_back(m);
    }
    std::vector<X2::FieldInfo const*> fields;
    for (auto const& f : e.t.fields) fields.push_back(&f);
    std::shuffle(fields.begin(), fields.end(), rng);
    for (X2::FieldInfo const* f : fields) {
        X2::FieldValueArg v;
        if (f->width > 64) {
            for (unsigned k = 0; k < f->width; ++k) v.wide.bitIs(k, rng() & 1);
            model[f->array].write(f->offset, f->width, [&](unsigned k) { return v.wide.bit(k); });
        } else {
            v.scalar = rng() & (f->width == 64 ? ~0ull : (1ull << f->width) - 1);
            model[f->array].write(f->offset, f->width, [&](unsigned k) { return ((v.scalar >> k) & 1) != 0; });
        }
        X2::fieldSet(e.t, *f, e.p, v);
    }
    return model;
}

bool anySet(std::vector<BitModel> const& model) {
    for (auto const& m : model)
        for (std::uint8_t b : m.bytes)
            if (b) return true;
    return false;
}

Asic::MemLayout const& layoutOf(LogicalFap::HwTableDesc const& d) { return d.memLayouts()[0].layouts[0]; }

using hwsim::chipBytes;
using hwsim::Where;
using hwsim::whereOf;

std::vector<std::uint32_t> someIndices(std::uint32_t last, std::mt19937_64& rng) {
    std::vector<std::uint32_t> out{0, last};
    for (int k = 0; k < 3; ++k) out.push_back(std::uint32_t(rng() % (std::uint64_t(last) + 1)));
    std::sort(out.begin(), out.end());
    out.erase(std::unique(out.begin(), out.end()), out.end());
    return out;
}

struct Harness {
    hwsim::SimChip chip;
    hwsim::SimAgent agent{chip};
    std::map<std::string, Lumo::Ptr<Asic::DirectIndexTable>> tables;

    Asic::DirectIndexTable& table(X2::TableInfo const& t) {
        auto& p = tables[t.name];
        if (!p) {
            p = t.table.create(std::string("hw") + t.name);
            agent.watch(*p, *descriptorOf(t));
        }
        return *p;
    }
};

void writeTable(Harness& h, X2::TableInfo const& t, std::mt19937_64& rng) {
    LogicalFap::HwTableDesc const& d = *descriptorOf(t);
    Asic::DirectIndexTable& table = h.table(t);
    auto* notifying = table.notifyingAccessor(0);
    std::uint32_t const entries = std::uint32_t(layoutOf(d).entries);
    for (std::uint32_t i : someIndices(t.lastIndex, rng)) {
        SCOPED_TRACE("index " + std::to_string(i));
        AnyEntry e(t);
        std::vector<BitModel> model = fillRandom(e, rng);
        Asic::TransactionId const tid = rng() | 1;
        t.ops.transactionIdIs(e.p, tid);
        t.table.entryIs(table, i, e.p);
        EXPECT_EQ(h.agent.pending(), 1u) << "one publication of the entry";
        h.agent.run();
        bool const valid = anySet(model);
        bool const onChip = i < entries;  // the chip follows the descriptor
        for (std::uint32_t m = 0; m < t.arrays.size(); ++m) {
            Where const w = whereOf(d, i, m);
            ASSERT_TRUE(w.present);
            Bytes const expected = valid && onChip ? model[m].bytes : Bytes(onChip ? t.arrays[m] : 0, 0);
            EXPECT_EQ(chipBytes(h.chip, w), expected) << "memory " << m << " (physical " << w.id << ")";
        }
        Asic::HwTable::OptionalWriteResponse const r = notifying->writeResponse(&i);
        EXPECT_EQ(r.present, valid);
        if (valid) {
            EXPECT_EQ(r.transactionId, tid);
            EXPECT_EQ(r.entryIndex, i);
            EXPECT_EQ(r.entryState, onChip ? EntryState::entryStateWritten : EntryState::entryStateFailed);
        }
    }
    // Deleting every entry clears the chip and removes the write responses.
    t.table.entryDelAll(table);
    h.agent.run();
    for (std::uint32_t i : someIndices(t.lastIndex, rng)) {
        for (std::uint32_t m = 0; m < t.arrays.size(); ++m) {
            Bytes const b = chipBytes(h.chip, whereOf(d, i, m));
            EXPECT_EQ(std::count(b.begin(), b.end(), 0), std::ptrdiff_t(b.size())) << "index " << i;
        }
    }
    EXPECT_EQ(t.table.recordCount(table), 0u);
}

// What a read of entry i must leave in data array k, from the chip's memories.
Bytes expectedRead(hwsim::SimChip& chip, LogicalFap::HwTableDesc const& d, X2::TableInfo const& t, std::uint32_t i,
                   unsigned k) {
    if (layoutOf(d).instances == 1) return chipBytes(chip, whereOf(d, i, k));
    // Egress timestamps: two 4-byte registers, upper half first; or one 8-byte register.
    Bytes out(t.arrays[0], 0);
    Bytes const m0 = chipBytes(chip, whereOf(d, i, 0));
    Where const w1 = whereOf(d, i, 1);
    if (!w1.present) return m0;
    Bytes const m1 = chipBytes(chip, w1);
    std::copy(m0.begin(), m0.begin() + 4, out.begin() + 4);
    std::copy(m1.begin(), m1.begin() + 4, out.begin());
    return out;
}

void randomizeChip(hwsim::SimChip& chip, LogicalFap::HwTableDesc const& d, std::uint32_t i, std::mt19937_64& rng) {
    Asic::MemLayout const& l = layoutOf(d);
    for (std::uint32_t m = 0; m < l.dataMemories; ++m) {
        Where const w = whereOf(d, i, m);
        if (!w.present) continue;
        std::uint8_t* p = chip.at(w.id, w.at.instance, w.at.index);
        if (!p) continue;
        for (std::uint32_t b = 0; b < chip.memory(w.id, w.at.instance)->width; ++b) p[b] = std::uint8_t(rng());
    }
}

void expectReadBack(Harness& h, X2::TableInfo const& t, std::uint32_t i, Asic::TransactionId tid) {
    LogicalFap::HwTableDesc const& d = *descriptorOf(t);
    AnyEntry e(t);
    t.table.entry(h.table(t), i, e.p);
    EXPECT_EQ(t.ops.transactionId(e.p), tid) << "index " << i;
    for (unsigned k = 0; k < t.arrays.size(); ++k)
        EXPECT_EQ(e.bytes(k), expectedRead(h.chip, d, t, i, k)) << "index " << i << " dataByte" << k;
}

void readTable(Harness& h, X2::TableInfo const& t, std::mt19937_64& rng) {
    LogicalFap::HwTableDesc const& d = *descriptorOf(t);
    Asic::DirectIndexTable& table = h.table(t);
    std::uint32_t const entries = std::uint32_t(layoutOf(d).entries);
    Asic::TransactionId tid = rng() | 1;
    for (std::uint32_t i : someIndices(t.lastIndex, rng)) {
        if (i >= entries) {
            // The chip lacks the entry: the request stays unanswered.
            std::uint64_t const before = h.agent.unanswered;
            t.table.recordIs(table, i, ++tid, EntryState::entryStateUnknown);
            h.agent.run();
            EXPECT_EQ(h.agent.unanswered, before + 1);
            EXPECT_EQ(h.table(t).accessor(0)->entryExists(&i), false);
            continue;
        }
        randomizeChip(h.chip, d, i, rng);
        t.table.recordIs(table, i, ++tid, EntryState::entryStateUnknown);
        h.agent.run();
        expectReadBack(h, t, i, tid);
    }
    // The whole table: every entry the chip has, then one bulk response.
    for (std::uint32_t i = 0; i < entries; ++i) randomizeChip(h.chip, d, i, rng);
    tabletest::Recorder rec;
    rec.notifierIs(&table);
    t.table.recordIs(table, Asic::kReadAllIndex, ++tid, EntryState::entryStateUnknown);
    h.agent.run();
    rec.notifierIs(nullptr);
    std::size_t bulk = 0, answered = 0;
    for (auto const& s : rec.seen) {
        bulk += s.field == 775;
        answered += s.field == 770;
    }
    EXPECT_EQ(bulk, 1u);
    EXPECT_EQ(answered, entries);
    for (std::uint32_t i = 0; i < entries; ++i) expectReadBack(h, t, i, tid);
    EXPECT_EQ(h.table(t).notifyingAccessor(0)->readRequestTransactionId(&Asic::kReadAllIndex), tid);
}

TEST(SimulatedAgent, ProgramsEveryLocalTableBitExactAndAnswersEveryReadTable) {
    std::mt19937_64 rng(std::getenv("X2_SEED") ? std::strtoull(std::getenv("X2_SEED"), nullptr, 10) : 20261206);
    Harness h;
    std::size_t local = 0, read = 0;
    for (X2::TableInfo const* t : X2::allTables()) {
        if (!t->table.create) continue;  // shared-memory tables
        SCOPED_TRACE(t->name);
        ASSERT_NE(descriptorOf(*t), nullptr);
        if (t->kind == X2::Kind::read) {
            ++read;
            readTable(h, *t, rng);
        } else {
            ++local;
            writeTable(h, *t, rng);
        }
    }
    EXPECT_EQ(local + read, 85u);
    EXPECT_EQ(read, 10u);
    EXPECT_EQ(h.agent.pending(), 0u);
}

TEST(SimulatedAgent, EsecSaTableReadsBackWhatEsecSaTableWrote) {
    std::mt19937_64 rng(7);
    Harness h;
    X2::TableInfo const& w = *X2::findTable("EsecSaTable");
    X2::TableInfo const& r = *X2::findTable("EsecSaTableRead");
    for (std::uint32_t i : {0u, 517u, 1023u}) {
        AnyEntry e(w);
        std::vector<BitModel> model = fillRandom(e, rng);
        w.table.entryIs(h.table(w), i, e.p);
        h.agent.run();
        r.table.recordIs(h.table(r), i, 40 + i, EntryState::entryStateUnknown);
        h.agent.run();
        AnyEntry back(r);
        r.table.entry(h.table(r), i, back.p);
        EXPECT_EQ(back.bytes(0), model[0].bytes) << "index " << i;
        EXPECT_EQ(r.ops.transactionId(back.p), 40 + i);
    }
}

}  // namespace
