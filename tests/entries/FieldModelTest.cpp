// Every field of every table, set and read by attribute id through the
// entry's inspectOperation (X2::fieldSet / fieldGet), against the bit-by-bit model: random starting
// bytes, random values wider than the field, then the whole entry compared.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <random>
#include <vector>

#include "AsicUtils/FieldOps.h"
#include "hwsim/BitModel.h"
#include "X2/Default/All.h"
#include "X2/Support/Registry.h"

namespace {

using X2::FieldInfo;
using X2::TableInfo;

struct Handle {
    TableInfo const& t;
    void* p;
    explicit Handle(TableInfo const& table) : t(table), p(table.ops.create()) {}
    ~Handle() { t.ops.destroy(p); }
};

std::vector<std::uint8_t> bytesOf(Handle const& e, unsigned k) {
    std::vector<std::uint8_t> buf(e.t.arrays[k]);
    buf.resize(e.t.ops.bytes(e.p, k, buf.data()));
    return buf;
}

// Random starting content: allocated arrays full of random bytes; inline
// arrays of random size that never end in a zero byte (as a field write leaves them).
std::vector<BitModel> randomStart(Handle& e, std::mt19937_64& rng) {
    std::vector<BitModel> model;
    for (unsigned k = 0; k < e.t.arrays.size(); ++k) {
        BitModel m;
        m.capacity = e.t.arrays[k];
        m.inlineForm = e.t.inlineForm;
        unsigned n = m.inlineForm ? unsigned(rng() % (m.capacity + 1)) : m.capacity;
        for (unsigned i = 0; i < n; ++i) m.bytes.push_back(std::uint8_t(rng()));
        if (m.inlineForm)
            while (!m.bytes.empty() && m.bytes.back() == 0) m.bytes.pop_back();
        e.t.ops.bytesIs(e.p, k, m.bytes.data(), std::uint32_t(m.bytes.size()));
        model.push_back(m);
    }
    return model;
}

void expectFieldsMatchModel(Handle const& e, std::vector<BitModel> const& model, std::string const& ctx) {
    for (unsigned k = 0; k < model.size(); ++k) ASSERT_EQ(bytesOf(e, k), model[k].bytes) << ctx << " dataByte" << k;
    // Every field, aggregates and parts alike, reads what the model's bits say.
    for (auto const& g : e.t.fields) {
        auto v = X2::fieldGet(e.t, g, e.p);
        if (g.width > 64)
            ASSERT_EQ(v.wide, model[g.array].readWide(g.offset, g.width)) << ctx << " reading " << g.name;
        else
            ASSERT_EQ(v.scalar, model[g.array].readScalar(g.offset, g.width)) << ctx << " reading " << g.name;
    }
}

class EveryField : public ::testing::TestWithParam<TableInfo const*> {};

TEST_P(EveryField, SetterMatchesBitModelAndKeepsOtherBits) {
    TableInfo const& t = *GetParam();
    std::mt19937_64 rng(std::hash<std::string_view>{}(t.name));
    for (auto const& f : t.fields) {
        for (int round = 0; round < 6; ++round) {
            Handle e(t);
            auto model = randomStart(e, rng);
            X2::FieldValueArg v;
            if (f.width > 64) {
                // Random words, one more than the field needs, so bits above the width are set too.
                for (unsigned w = 0; w <= (f.width + 31u) / 32u; ++w) v.wide.wordIs(w, std::uint32_t(rng()));
                if (round == 0) v.wide = Orrin::PerUnitBitmap(std::vector<std::uint32_t>((f.width + 31) / 32, 0));
            } else {
                v.scalar = round == 0 ? 0 : round == 1 ? ~std::uint64_t(0) : rng();
            }
            X2::fieldSet(t, f, e.p, v);
            model[f.array].write(f.offset, f.width, [&](unsigned k) {
                return f.width > 64 ? v.wide.bit(k) : bool((v.scalar >> k) & 1);
            });
            std::string ctx = std::string(t.name) + "::" + f.name + " round " + std::to_string(round);
            expectFieldsMatchModel(e, model, ctx);
            // Read-back is the value cut to the width.
            auto back = X2::fieldGet(t, f, e.p);
            if (f.width > 64) {
                Orrin::PerUnitBitmap cut;
                for (unsigned k = 0; k < f.width; ++k)
                    if (v.wide.bit(k)) cut.bitIs(k, true);
                ASSERT_EQ(back.wide, cut) << ctx;
            } else {
                std::uint64_t const mask = f.width == 64 ? ~0ull : (1ull << f.width) - 1;
                ASSERT_EQ(back.scalar, v.scalar & mask) << ctx;
            }
        }
    }
}

TEST_P(EveryField, FreshEntryReadsZeroAndIsInvalid) {
    TableInfo const& t = *GetParam();
    Handle e(t);
    EXPECT_FALSE(t.ops.isValid(e.p));
    for (auto const& f : t.fields) {
        auto v = X2::fieldGet(t, f, e.p);
        EXPECT_TRUE(f.width > 64 ? v.wide.isZero() : v.scalar == 0) << f.name;
    }
}

// isValid is true exactly when some field attribute reads non-zero: check
// bits and uncovered bits do not count.
TEST_P(EveryField, ValidityFollowsFieldBitsOnly) {
    TableInfo const& t = *GetParam();
    std::mt19937_64 rng(7);
    for (unsigned k = 0; k < t.arrays.size(); ++k) {
        for (unsigned bit = 0; bit < t.arrays[k] * 8; ++bit) {
            Handle e(t);
            std::vector<std::uint8_t> bytes((bit / 8) + 1, 0);
            bytes[bit / 8] = std::uint8_t(1u << (bit % 8));
            t.ops.bytesIs(e.p, k, bytes.data(), std::uint32_t(bytes.size()));
            bool covered = false;
            for (auto const& f : t.fields)
                if (f.array == k && bit >= f.offset && bit < f.offset + f.width) covered = true;
            ASSERT_EQ(t.ops.isValid(e.p), covered) << t.name << " dataByte" << k << " bit " << bit;
        }
    }
}

TEST_P(EveryField, ClearEccFieldsZeroesOnlyCheckBits) {
    TableInfo const& t = *GetParam();
    ASSERT_EQ(t.ops.clearEcc != nullptr, t.hasCheckBits);
    if (!t.hasCheckBits) return;
    std::mt19937_64 rng(11);
    Handle e(t);
    auto model = randomStart(e, rng);
    t.ops.clearEcc(e.p);
    model[0].write(t.checkOffset, t.checkWidth, [](unsigned) { return false; });
    expectFieldsMatchModel(e, model, std::string(t.name) + " after doClearEccFields");
}

// Equal content means equal entries and equal hashes, whichever way it was built.
TEST_P(EveryField, EqualEntriesHashEqual) {
    TableInfo const& t = *GetParam();
    std::mt19937_64 rng(13);
    Handle a(t), b(t);
    randomStart(a, rng);
    for (unsigned k = 0; k < t.arrays.size(); ++k) {
        auto bytes = bytesOf(a, k);
        t.ops.bytesIs(b.p, k, bytes.data(), std::uint32_t(bytes.size()));
    }
    EXPECT_TRUE(t.ops.isEq(a.p, b.p));
    EXPECT_EQ(t.ops.hash(a.p, 99), t.ops.hash(b.p, 99));
    void* c = t.ops.clone(a.p);
    EXPECT_TRUE(t.ops.isEq(a.p, c));
    EXPECT_EQ(t.ops.hash(a.p, 5), t.ops.hash(c, 5));
    t.ops.destroy(c);
    // A change in any one byte of the value breaks equality.
    for (unsigned k = 0; k < t.arrays.size(); ++k) {
        auto bytes = bytesOf(b, k);
        if (bytes.empty()) continue;
        std::size_t i = rng() % bytes.size();
        bytes[i] ^= 0x10;
        Handle d(t);
        for (unsigned j = 0; j < t.arrays.size(); ++j) {
            auto src = j == k ? bytes : bytesOf(a, j);
            t.ops.bytesIs(d.p, j, src.data(), std::uint32_t(src.size()));
        }
        EXPECT_FALSE(t.ops.isEq(a.p, d.p)) << t.name << " dataByte" << k;
    }
}

std::string tableName(::testing::TestParamInfo<TableInfo const*> const& info) { return info.param->name; }

INSTANTIATE_TEST_SUITE_P(AllTables, EveryField, ::testing::ValuesIn(X2::allTables().begin(), X2::allTables().end()),
                         tableName);

}  // namespace

// The run-time copy into an inline array (the path of fields known only at
// run time, and of wide inline fields): random spans against the bit model,
// from random starting sizes (a full array's size word sometimes damaged),
// growing and trimming as the model does.
TEST(CopyBitsPodArray, RandomSpansMatchTheBitModel) {
    std::mt19937_64 rng(11);
    using Arr = Vex::PodArray<std::uint8_t, std::uint32_t, 24>;
    for (int round = 0; round < 4000; ++round) {
        BitModel m;
        m.capacity = 24;
        m.inlineForm = true;
        Arr a;
        unsigned n = unsigned(rng() % 25);
        for (unsigned i = 0; i < n; ++i) m.bytes.push_back(std::uint8_t(rng()));
        while (!m.bytes.empty() && m.bytes.back() == 0) m.bytes.pop_back();
        std::copy(m.bytes.begin(), m.bytes.end(), a.data());
        a.sizeIs(std::uint32_t(m.bytes.size()));
        if (m.bytes.size() == 24 && rng() % 2) {
            // A size word past the capacity, as damaged shared bytes bring it
            // (the size is the array's first member): it reads as a full array.
            std::uint32_t const bad = 25 + std::uint32_t(rng() % 1000);
            std::memcpy(static_cast<void*>(&a), &bad, sizeof bad);
        }
        std::uint8_t src[16];
        for (auto& b : src) b = std::uint8_t(rng());
        unsigned width = 1 + unsigned(rng() % 64);
        unsigned srcOff = unsigned(rng() % (128 - width + 1));
        unsigned dstOff = unsigned(rng() % (24 * 8 - width + 1));
        Detail::CopyBitsPodArray::doCopy(a, src, width, dstOff, srcOff);
        m.write(dstOff, width, [&](unsigned k) { return ((src[(srcOff + k) / 8] >> ((srcOff + k) % 8)) & 1) != 0; });
        ASSERT_EQ(std::vector<std::uint8_t>(a.data(), a.data() + a.size()), m.bytes)
            << "round " << round << " width " << width << " at " << dstOff << " from " << srcOff;
    }
}
