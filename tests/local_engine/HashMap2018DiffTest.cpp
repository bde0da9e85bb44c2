// One behaviour suite, run against the engine with four node types and, to
// check the suite itself, against std::unordered_map. Every step of a random
// sequence of inserts, replacements, deletes, lookups, full walks and
// deletes-while-walking is compared with a std::map oracle; the layout
// invariants, the iteration order and the shared-block reference counts are
// checked along the way.
#include <cstdlib>
#include <map>
#include <random>
#include <set>
#include <unordered_map>
#include <vector>

#include <gtest/gtest.h>

#include "TestNodes.h"

namespace enginetest {
namespace {

std::uint32_t stepsFromEnv(std::uint32_t dflt) {
    char const* e = std::getenv("X2_ENGINE_DIFF_STEPS");
    return e ? std::uint32_t(std::strtoul(e, nullptr, 10)) : dflt;
}

template <class V>
V makeValue(std::mt19937& rng);
template <>
Rec makeValue<Rec>(std::mt19937& rng) {
    Rec r;
    r.tid = rng();
    r.state = rng() % 7;
    return r;
}
template <>
CountedValue makeValue<CountedValue>(std::mt19937& rng) {
    CountedValue v;
    v.tid = rng();
    if (rng() % 8) v.data = Shared(std::uint32_t(rng()));  // some values hold no block
    return v;
}

// The value as stored for key k (records carry their key).
inline Rec stored(Rec v, std::uint32_t k) {
    v.entryIndex = k;
    return v;
}
inline CountedValue const& stored(CountedValue const& v, std::uint32_t) { return v; }

template <class Node>
struct EngineAdapter {
    using Value = std::remove_cvref_t<decltype(std::declval<Node&>().nodeValue())>;
    using Map = Vex::HashMap2018<Node, std::uint32_t, Value>;
    static constexpr bool kOrdered = true;
    static constexpr bool kCounted = !std::is_trivially_copyable_v<Node>;
    Map m{1};

    // Lookups go through the one-node memo; after every change the key
    // looked up last (the one the memo holds) must still answer as a plain
    // lookup does: a memo left stale by a shift, rebuild, copy on write,
    // rehash or clear hands out a moved or freed node.
    bool insert(std::uint32_t k, Value const& v) { return checkRecent(m.insert(k, v).second); }
    void assign(std::uint32_t k, Value const& v) { m.insertOrAssign(k, v), checkRecent(0); }
    bool erase(std::uint32_t k, Value* out) { return checkRecent(out ? m.erase(k, *out) : m.erase(k)); }
    Value const* find(std::uint32_t k) const {
        recent = k;
        Value const* v = m.findRecent(k);
        EXPECT_EQ(v, m.find(k)) << "memo lookup of " << k;
        return v;
    }
    std::size_t size() const { return m.size(); }
    void clear() { m.clear(), checkRecent(0); }
    void check() const { m.generic().checkInvariants(); }
    mutable std::uint32_t recent = 0;
    template <class R>
    R checkRecent(R r) const {
        EXPECT_EQ(m.findRecent(recent), m.find(recent)) << "memo of " << recent << " after a change";
        return r;
    }
    std::uint32_t bucketOf(std::uint32_t k) const { return Map::hashOf(k) & (m.generic().bucketCount() - 1); }

    // Walks the map; `visit(key, value)` returns the keys to delete now
    // (the current one and/or others). Returns the keys in visit order.
    template <class F>
    std::vector<std::uint32_t> walk(F&& visit) {
        std::vector<std::uint32_t> order;
        for (auto it = m.iterator(); !it.atEnd(); it.advance()) {
            std::uint32_t const k = it.key();
            EXPECT_EQ(it.liveNode(), m.lookupNode(k)) << "non-stale node of a present key";
            order.push_back(k);
            for (std::uint32_t d : visit(k, it.value())) {
                EXPECT_TRUE(checkRecent(m.erase(d)));
                if (d == k) {
                    EXPECT_EQ(it.liveNode(), nullptr) << "deleted current node still live";
                    EXPECT_EQ(it.key(), k) << "stale current node keeps its key";
                }
            }
        }
        return order;
    }
};

struct StdAdapter {
    using Value = CountedValue;
    static constexpr bool kOrdered = false;
    static constexpr bool kCounted = true;
    std::unordered_map<std::uint32_t, Value> m;

    bool insert(std::uint32_t k, Value const& v) { return m.emplace(k, v).second; }
    void assign(std::uint32_t k, Value const& v) { m.insert_or_assign(k, v); }
    bool erase(std::uint32_t k, Value* out) {
        auto it = m.find(k);
        if (it == m.end()) return false;
        if (out) *out = std::move(it->second);
        m.erase(it);
        return true;
    }
    Value const* find(std::uint32_t k) const {
        auto it = m.find(k);
        return it == m.end() ? nullptr : &it->second;
    }
    std::size_t size() const { return m.size(); }
    void clear() { m.clear(); }
    void check() const {}
    std::uint32_t bucketOf(std::uint32_t) const { return 0; }
    template <class F>
    std::vector<std::uint32_t> walk(F&& visit) {
        // Deleting others while walking a std::unordered_map is not allowed;
        // the suite only deletes the current key for this adapter.
        std::vector<std::uint32_t> order;
        for (auto it = m.begin(); it != m.end();) {
            std::uint32_t const k = it->first;
            order.push_back(k);
            auto del = visit(k, it->second);
            it = (!del.empty() && del[0] == k) ? m.erase(it) : std::next(it);
        }
        return order;
    }
};

template <class A>
class LocalEngineDiff : public ::testing::Test {
protected:
    using Value = typename A::Value;

    void checkAll() {
        ASSERT_EQ(a.size(), oracle.size());
        a.check();
        std::vector<std::uint32_t> order = a.walk([&](std::uint32_t k, Value const& v) {
            auto it = oracle.find(k);
            EXPECT_NE(it, oracle.end()) << "walk met key " << k << " absent from the oracle";
            if (it != oracle.end()) {
                EXPECT_TRUE(v == stored(it->second, k)) << "value of key " << k;
                if constexpr (A::kCounted) {
                    // One reference held by the map, one by the oracle.
                    if (!v.data.null()) {
                        EXPECT_EQ(v.data.useCount(), 2u) << "key " << k;
                    }
                }
            }
            return std::vector<std::uint32_t>{};
        });
        ASSERT_EQ(order.size(), oracle.size());
        std::set<std::uint32_t> seen(order.begin(), order.end());
        EXPECT_EQ(seen.size(), order.size()) << "a key was visited twice";
        if constexpr (A::kOrdered) {
            for (std::size_t i = 1; i < order.size(); ++i) {
                std::uint32_t const b0 = a.bucketOf(order[i - 1]), b1 = a.bucketOf(order[i]);
                EXPECT_TRUE(b0 < b1 || (b0 == b1 && order[i - 1] < order[i]))
                    << "iteration order broken between " << order[i - 1] << " and " << order[i];
            }
        }
        if constexpr (A::kCounted) {
            std::int64_t blocks = 0;
            for (auto const& [k, v] : oracle) blocks += !v.data.null();
            EXPECT_EQ(Shared::liveBlocks().load() - baseBlocks, blocks) << "leaked or lost shared blocks";
        }
    }

    // Walks once, deleting the current key with probability 1/2 and, on the
    // engine, sometimes another key too; checks that no deleted key is met
    // later, none is met twice, and every key that stayed was met.
    void deleteWhileWalking(std::mt19937& rng) {
        std::set<std::uint32_t> const start = keys();
        std::set<std::uint32_t> visited, deletedUnseen;
        a.walk([&](std::uint32_t k, Value const&) {
            EXPECT_TRUE(visited.insert(k).second) << "key " << k << " visited twice";
            EXPECT_FALSE(deletedUnseen.count(k)) << "deleted key " << k << " visited";
            std::vector<std::uint32_t> del;
            if (rng() % 2) {
                del.push_back(k);
                oracle.erase(k);
            }
            if (A::kOrdered && rng() % 4 == 0 && !oracle.empty()) {
                auto it = oracle.lower_bound(std::uint32_t(rng()));
                if (it == oracle.end()) it = oracle.begin();
                if (it->first != k) {
                    if (!visited.count(it->first)) deletedUnseen.insert(it->first);
                    del.push_back(it->first);
                    oracle.erase(it);
                }
            }
            return del;
        });
        for (std::uint32_t k : start)
            if (!deletedUnseen.count(k)) {
                EXPECT_TRUE(visited.count(k)) << "key " << k << " skipped";
            }
    }

    std::set<std::uint32_t> keys() const {
        std::set<std::uint32_t> s;
        for (auto const& [k, v] : oracle) s.insert(k);
        return s;
    }

    void run(std::uint32_t seed, std::uint32_t keySpace) {
        std::mt19937 rng(seed);
        std::uint32_t const steps = stepsFromEnv(20000);
        auto pickKey = [&]() -> std::uint32_t {
            switch (rng() % 8) {
                case 0: return 0;
                case 1: return 0xffffffffu;
                default: return std::uint32_t(rng() % keySpace) * 2654435761u;  // spread over 32 bits
            }
        };
        for (std::uint32_t step = 0; step < steps; ++step) {
            std::uint32_t const op = rng() % 100;
            std::uint32_t const k = pickKey();
            if (op < 40) {
                Value v = makeValue<Value>(rng);
                bool const present = oracle.count(k) != 0;
                ASSERT_EQ(a.insert(k, v), !present) << "insert of " << k;
                if (!present) oracle.emplace(k, v);
            } else if (op < 55) {
                Value v = stored(makeValue<Value>(rng), k);  // a record carries its own key
                a.assign(k, v);
                oracle.insert_or_assign(k, v);
            } else if (op < 80) {
                Value out{};
                bool const withOut = rng() % 2;
                auto it = oracle.find(k);
                ASSERT_EQ(a.erase(k, withOut ? &out : nullptr), it != oracle.end()) << "erase of " << k;
                if (it != oracle.end()) {
                    if (withOut) {
                        EXPECT_TRUE(out == stored(it->second, k));
                        if constexpr (A::kCounted) {
                            if (!out.data.null()) {
                                EXPECT_EQ(out.data.useCount(), 2u) << "moved-out value";
                            }
                        }
                    }
                    oracle.erase(it);
                }
            } else if (op < 95) {
                Value const* v = a.find(k);
                auto it = oracle.find(k);
                ASSERT_EQ(v != nullptr, it != oracle.end()) << "lookup of " << k;
                if (v) {
                    EXPECT_TRUE(*v == stored(it->second, k));
                }
            } else if (op < 98) {
                deleteWhileWalking(rng);
            } else if (op < 99 && rng() % 20 == 0) {
                a.clear();
                oracle.clear();
            } else {
                checkAll();
            }
            ASSERT_EQ(a.size(), oracle.size()) << "after step " << step;
            if (::testing::Test::HasFailure()) return;
        }
        checkAll();
        a.clear();
        oracle.clear();
        checkAll();
    }

    std::int64_t baseBlocks = Shared::liveBlocks().load();
    A a;
    std::map<std::uint32_t, Value> oracle;
};

using Adapters = ::testing::Types<EngineAdapter<CountedNode>, EngineAdapter<RecNode>, EngineAdapter<ConstHashNode>,
                                  EngineAdapter<FewHashRecNode>, StdAdapter>;
TYPED_TEST_SUITE(LocalEngineDiff, Adapters);

TYPED_TEST(LocalEngineDiff, SmallKeySpaceManyCollisionsOfKeys) { this->run(1, 40); }
TYPED_TEST(LocalEngineDiff, LargeKeySpaceGrowsAndShrinks) { this->run(2, 5000); }
TYPED_TEST(LocalEngineDiff, MediumKeySpaceOtherSeed) { this->run(3, 600); }

}  // namespace
}  // namespace enginetest
