// The shadow against the writer and an oracle in one process: after every
// synchronisation the shadow's keys equal the writer's and the last report
// of every key matches its current value (or its absence), for a
// checksummed record and the real records of both shared tables; the edge cases
// of notifications (beyond the file, a slot changing key, records
// shrinking), overflow of the channel, flush on detach and disconnect.
#include <algorithm>
#include <map>
#include <optional>
#include <random>
#include <set>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "../shm_support/ShmTest.h"
#include "Vorn/VornShadow.h"

using namespace shmtest;

namespace {

template <class V>
using Shadow = Vorn::VornShadow<Vorn::BasicOps<V>>;

// What the owner was told: per key, the value read when it was last
// reported, or nullopt when it was last reported gone.
template <class V>
struct Reports {
    std::map<std::uint32_t, std::optional<V>> last;
    std::vector<std::string> log;
    std::vector<int> mountStatus;
    int disconnects = 0;
};

template <class V>
Vorn::ShadowCallbacks<Vorn::BasicOps<V>> callbacks(Reports<V>& rep, Shadow<V>*& self) {
    Vorn::ShadowCallbacks<Vorn::BasicOps<V>> cb;
    cb.onKeyValue = [&rep](std::uint32_t k, V const* v) {
        rep.last[k] = v ? std::optional<V>(*v) : std::nullopt;
        rep.log.push_back(fmt::format("gone {}", k));
    };
    cb.onKey = [&rep, &self](std::uint32_t k) {
        V v;
        if (self->lookup(k, v))
            rep.last[k] = v;
        else
            rep.last[k] = std::nullopt;
        rep.log.push_back(fmt::format("key {}", k));
    };
    cb.onMountStatus = [&rep](int s) { rep.mountStatus.push_back(s); };
    cb.onDisconnect = [&rep] { ++rep.disconnects; };
    return cb;
}

// The shadow's keys and the owner's reports both equal the oracle.
template <class V>
::testing::AssertionResult shadowMatches(Shadow<V>& s, Reports<V> const& rep, std::map<std::uint32_t, V> const& oracle) {
    std::set<std::uint32_t> keys;
    bool dup = false;
    s.store().forEachKey([&](std::uint32_t k, std::uint32_t) { dup |= !keys.insert(k).second; });
    if (dup) return ::testing::AssertionFailure() << "a key is indexed twice";
    if (keys.size() != oracle.size() || s.store().keyed() != oracle.size())
        return ::testing::AssertionFailure() << "shadow holds " << keys.size() << " keys, oracle " << oracle.size();
    for (auto const& [k, v] : oracle) {
        if (!keys.count(k)) return ::testing::AssertionFailure() << "shadow misses key " << k;
        auto it = rep.last.find(k);
        if (it == rep.last.end() || !it->second) return ::testing::AssertionFailure() << "key " << k << " never reported";
        if (!(*it->second == v)) return ::testing::AssertionFailure() << "key " << k << " last reported stale";
        V cur;
        if (!s.lookup(k, cur) || !(cur == v)) return ::testing::AssertionFailure() << "lookup of " << k;
    }
    for (auto const& [k, v] : rep.last)
        if (v && !oracle.count(k)) return ::testing::AssertionFailure() << "key " << k << " not reported gone";
    return ::testing::AssertionSuccess();
}

template <class V>
struct ShadowOf : ::testing::Test {
    TempRoot root;
    Mem::RootPath rp = root.map("shadow");
    Reports<V> rep;
    Shadow<V>* self = nullptr;
    std::unique_ptr<Writer<V>> w;
    std::unique_ptr<Shadow<V>> s;
    std::map<std::uint32_t, V> oracle;
    std::uint32_t gen = 0;

    void open(std::uint32_t slots, Vorn::ShadowConfig cfg = {}) {
        Vorn::MapDescriptor d(slots);
        w = std::make_unique<Writer<V>>(debug(), "shadow", d, ops<V>(), rp);
        w->initialize("none");
        s = std::make_unique<Shadow<V>>(debug(), "shadow", rp, ops<V>(), callbacks(rep, self), cfg);
        self = s.get();
        ASSERT_TRUE(s->initialize("test"));
        ASSERT_TRUE(s->serviceUntilSynced(5000));
    }
    void put(std::uint32_t k) {
        oracle[k] = makeValue<V>(k, ++gen);
        w->write(oracle[k], true);
    }
    void del(std::uint32_t k) {
        V out;
        w->remove(k, out);
        oracle.erase(k);
    }
    void sync() { ASSERT_TRUE(s->serviceUntilSynced(5000)); }
};
using ShadowFixture = ShadowOf<Rec64>;

template <class V>
using ShadowFollows = ShadowOf<V>;
using FollowedTypes = ::testing::Types<Rec64, VexVorn::EgrEntry, VexVorn::EgrWriteResponse, VexVorn::IngEntry,
                                       VexVorn::IngWriteResponse>;
TYPED_TEST_SUITE(ShadowFollows, FollowedTypes, ValueNames);

// A real record has its table's 128 keys: its rounds are shorter, so the
// map still fills, churns and drains.
TYPED_TEST(ShadowFollows, EveryChangeThroughGrowthAndShrink) {
    using V = TypeParam;
    constexpr std::uint32_t keySpace = std::min<std::uint32_t>(Values<V>::kKeySpace, 700);
    constexpr std::uint32_t maxBatch = keySpace >= 700 ? 150 : 40;
    this->open(8);
    EXPECT_EQ(this->s->mountStatus(), 1);
    std::mt19937 rng(5);
    for (int round = 0; round < 60; ++round) {
        int insertPct = round < 20 ? 85 : round < 40 ? 50 : 10;
        int n = 1 + int(rng() % maxBatch);
        for (int i = 0; i < n; ++i) {
            std::uint32_t k = rng() % keySpace;
            if (int(rng() % 100) < insertPct)
                this->put(k);
            else
                this->del(k);
        }
        // Serviced in small batches, so notifications interleave with rescans.
        while (this->s->service(1 + rng() % 64)) {
        }
        this->sync();
        ASSERT_TRUE(shadowMatches(*this->s, this->rep, this->oracle)) << "round " << round;
    }
    EXPECT_GT(this->s->store().resizes(), 1u);
}

TEST_F(ShadowFixture, ASlotChangingKeyReportsBoth) {
    open(8);
    put(10);
    sync();
    rep.log.clear();
    auto slotOfA = s->store().slotOf(10);
    ASSERT_GE(slotOfA, 0);
    // Removing A frees its slot at the head of the free list; B takes it.
    del(10);
    put(11);
    ASSERT_EQ(s->store().slotOf(10), slotOfA);  // not yet serviced
    sync();
    EXPECT_EQ(rep.log, (std::vector<std::string>{"gone 10", "key 11"}));
    EXPECT_EQ(s->store().slotOf(11), slotOfA);
    EXPECT_EQ(s->store().discarded(), 1u);  // the removal's notification was superseded
    ASSERT_TRUE(shadowMatches(*s, rep, oracle));
}

TEST_F(ShadowFixture, NotificationBeyondFileAndShadowIsIgnored) {
    open(8);
    put(1);
    sync();
    std::vector<std::string> lines;
    Lumo::Platform::traceSinkIs([&](std::string_view l) { lines.emplace_back(l); });
    int level = debug()->level();
    debug()->levelIs(5);
    rep.log.clear();
    s->store().doSlot(100000, 1, false, [](std::uint64_t) { return true; });
    debug()->levelIs(level);
    Lumo::Platform::traceSinkIs(nullptr);
    EXPECT_TRUE(rep.log.empty());
    EXPECT_EQ(s->store().records(), w->capacity());
    bool traced = false;
    for (auto const& l : lines)
        traced |= l.find("complete. Never learned of slotIndex:100000 so it is safe to ignore.") != std::string::npos;
    EXPECT_TRUE(traced);
}

TEST_F(ShadowFixture, RecordsGrowWithTheFileAndShrinkWhenSparse) {
    Vorn::ShadowConfig cfg;
    open(8, cfg);
    for (std::uint32_t k = 0; k < 600; ++k) put(k);
    sync();
    std::uint32_t grown = s->store().records();
    std::uint32_t grownBuckets = s->store().indexBuckets();
    EXPECT_EQ(grown, w->capacity());
    ASSERT_TRUE(shadowMatches(*s, rep, oracle));
    // The writer compacts its file as keys go; the shadow follows it down.
    for (std::uint32_t k = 0; k < 590; ++k) del(k);
    sync();
    ASSERT_TRUE(shadowMatches(*s, rep, oracle));
    EXPECT_LT(s->store().records(), grown / 4);
    EXPECT_LE(s->store().records(), w->capacity());
    // The index halved as it emptied.
    EXPECT_LT(s->store().indexBuckets(), grownBuckets);
}

TEST_F(ShadowFixture, ChannelOverflowLeadsToAFullResync) {
    open(64);
    std::uint64_t before = s->syncer().resyncs();
    for (int i = 0; i < 20000; ++i) put(std::uint32_t(i % 50));  // beyond the ring, unserviced
    for (std::uint32_t k = 50; k < 60; ++k) put(k);
    del(3);
    sync();
    EXPECT_GT(s->syncer().resyncs(), before);
    ASSERT_TRUE(shadowMatches(*s, rep, oracle));
}

TEST_F(ShadowFixture, DetachFlushesEveryKeyAsynchronously) {
    open(16);
    for (std::uint32_t k = 0; k < 40; ++k) put(k);
    sync();
    rep.log.clear();
    s->detach(false);
    EXPECT_EQ(s->mountStatus(), 3);
    EXPECT_TRUE(rep.log.empty());  // nothing flushed yet
    while (s->service(7)) {
    }
    EXPECT_EQ(s->mountStatus(), 0);
    EXPECT_EQ(rep.log.size(), 40u);
    for (auto const& [k, v] : rep.last) EXPECT_FALSE(v) << k;
    EXPECT_EQ(s->store().keyed(), 0u);
    // Re-attach: everything is reported again.
    ASSERT_TRUE(s->initialize("again"));
    sync();
    ASSERT_TRUE(shadowMatches(*s, rep, oracle));
    // A forced detach during an asynchronous flush completes it at once.
    s->detach(false);
    s->service(3);
    EXPECT_EQ(s->mountStatus(), 3);
    s->detach(true);
    EXPECT_EQ(s->mountStatus(), 0);
    EXPECT_EQ(s->store().keyed(), 0u);
    EXPECT_EQ(rep.mountStatus.back(), 0);
}

TEST_F(ShadowFixture, WriterCleanupDisconnectsAndFlushes) {
    open(16);
    for (std::uint32_t k = 0; k < 10; ++k) put(k);
    sync();
    w->cleanup();
    while (s->service()) {
    }
    EXPECT_EQ(rep.disconnects, 1);
    while (s->service()) {
    }
    EXPECT_EQ(s->mountStatus(), 0);
    for (auto const& [k, v] : rep.last) EXPECT_FALSE(v) << k;
}

// Keys on their way between two slots. After each writer step not marked
// `sync`, the shadow is serviced while it can read only the slots the key
// occupied before the step (the others read as still changing, as under a
// busy writer): it learns that the key left its slot and still exists, but
// cannot index it where it went. The writer then goes on (removes it, moves
// it again, rewrites it) before the shadow reads that slot. At every step
// marked `sync` the owner's view, built from the callbacks alone, equals the
// map; no key is ever reported gone twice, nor with a value other than the
// last one reported. A shuffle (every key removed, most written again in
// another order, so that each lands in another key's old slot) puts many
// keys in transit at once; held, only even slots are readable, and a thin
// (every third key removed) then leaves many of them gone before their new
// slots are read.
enum class TransitOp { move, compact, remove, add, detach, shuffle, thin };
struct TransitStep {
    TransitOp op;
    bool sync;  // else held: only the key's former slots readable
};
struct TransitCase {
    char const* name;
    std::vector<TransitStep> steps;
};

TEST(ShadowTransit, AKeyMovedAndChangedBeforeItsNewSlotIsReadIsReportedRight) {
    using V = Rec64;
    using Op = TransitOp;
    constexpr bool held = false, sync = true;
    std::vector<TransitCase> const cases = {
        {"move, remove", {{Op::move, held}, {Op::remove, sync}}},
        {"compaction, remove", {{Op::compact, held}, {Op::remove, sync}}},
        {"move twice, remove", {{Op::move, held}, {Op::move, held}, {Op::remove, sync}}},
        {"compaction, move, remove", {{Op::compact, held}, {Op::move, held}, {Op::remove, sync}}},
        {"move, rewrite", {{Op::move, held}, {Op::add, sync}}},
        {"move, remove, re-add", {{Op::move, held}, {Op::remove, held}, {Op::add, sync}, {Op::remove, sync}}},
        {"move, move", {{Op::move, held}, {Op::move, sync}, {Op::remove, sync}}},
        {"move, detach", {{Op::move, held}, {Op::detach, sync}}},
        {"move, remove, then again", {{Op::move, held}, {Op::remove, sync}, {Op::add, sync}, {Op::move, held},
                                      {Op::remove, sync}}},
        {"shuffle, remove", {{Op::shuffle, sync}, {Op::remove, sync}}},
        {"shuffle, thin", {{Op::shuffle, held}, {Op::thin, sync}, {Op::remove, sync}}},
        {"move, shuffle, detach", {{Op::move, held}, {Op::shuffle, sync}, {Op::detach, sync}}},
    };
    constexpr std::uint32_t kKey = 7, kFillers = 200;
    // One case; a failed assertion ends it, not the others.
    auto run = [&](TransitCase const& c, bool capture) {
        SCOPED_TRACE(fmt::format("{}, value capture {}", c.name, capture));
        TempRoot root;
        Mem::RootPath rp = root.map("transit");
        Writer<V> w(debug(), "transit", Vorn::MapDescriptor(8), ops<V>(), rp);
        w.initialize("none");
        std::map<std::uint32_t, V> oracle;
        std::map<std::uint32_t, std::optional<V>> view;  // the owner's: value when captured
        std::vector<std::string> errors;
        bool flushing = false;  // a flush reports every key gone, held or not
        Shadow<V>* self = nullptr;
        std::size_t peakTransit = 0;
        Vorn::ShadowCallbacks<Vorn::BasicOps<V>> cb;
        cb.onKey = [&](std::uint32_t k) {
            view.try_emplace(k);
            peakTransit = std::max(peakTransit, self->store().inTransit());
        };
        cb.onValue = [&](V const& v, V const*) { view[keyOf(v)] = v; };
        cb.onKeyValue = [&](std::uint32_t k, V const* v) {
            auto it = view.find(k);
            if (!flushing && w.lookup(k)) errors.push_back(fmt::format("key {} reported gone while the map holds it", k));
            if (it == view.end())
                errors.push_back(fmt::format("key {} reported gone while not held", k));
            else if (capture && (!v || !it->second || !(*v == *it->second)))
                errors.push_back(fmt::format("key {} reported gone without its last value", k));
            else
                view.erase(it);
        };
        Vorn::ShadowConfig cfg;
        cfg.captureValues = capture;
        Shadow<V> s(debug(), "transit", rp, ops<V>(), cb, cfg);
        self = &s;
        ASSERT_TRUE(s.initialize("test"));
        std::uint32_t gen = 0, nextFiller = 1000;
        std::mt19937 rng(11);
        auto put = [&](std::uint32_t k) {
            oracle[k] = makeValue<V>(k, ++gen);
            w.write(oracle[k], true);
        };
        auto del = [&](std::uint32_t k) {
            V out;
            ASSERT_TRUE(w.remove(k, out));
            oracle.erase(k);
        };
        auto slotOfKey = [&]() -> std::int32_t {
            V v;
            Vorn::IterHint h;
            return s.reader().lookup(kKey, v, h) ? std::int32_t(h.slot) : -1;
        };
        auto matches = [&]() -> ::testing::AssertionResult {
            if (!errors.empty()) return ::testing::AssertionFailure() << errors.front();
            std::vector<std::uint32_t> seen, want;
            for (auto const& [k, v] : view) {
                seen.push_back(k);
                auto it = oracle.find(k);
                if (capture && it != oracle.end() && !(v && *v == it->second))
                    return ::testing::AssertionFailure() << "key " << k << " holds a stale value";
            }
            for (auto const& [k, v] : oracle) want.push_back(k);
            if (seen != want) {
                std::string extra, missing;
                for (std::uint32_t k : seen)
                    if (!oracle.count(k)) extra += fmt::format(" {}", k);
                for (std::uint32_t k : want)
                    if (!view.count(k)) missing += fmt::format(" {}", k);
                return ::testing::AssertionFailure()
                       << "the owner's view holds keys the map does not {" << extra << " } and lacks {" << missing
                       << " }";
            }
            return ::testing::AssertionSuccess();
        };
        // Fillers below the key, so that the key sits in a high slot.
        for (std::uint32_t f = 0; f < kFillers; ++f) put(nextFiller++);
        put(kKey);
        ASSERT_TRUE(s.serviceUntilSynced(5000));
        ASSERT_TRUE(matches());
        for (std::size_t i = 0; i < c.steps.size(); ++i) {
            SCOPED_TRACE(fmt::format("step {}", i));
            std::int32_t before = slotOfKey();
            switch (c.steps[i].op) {
                case Op::move:
                    // The freed slot is reused first: a filler takes it
                    // and the key lands in another one.
                    del(kKey);
                    put(nextFiller++);
                    put(kKey);
                    ASSERT_NE(slotOfKey(), before);
                    break;
                case Op::compact:
                    // Removals leave the file sparse; the writer compacts
                    // it, moving the key down.
                    for (std::uint32_t f = 0; f < kFillers - 2 && slotOfKey() == before; ++f)
                        del(oracle.begin()->first == kKey ? std::next(oracle.begin())->first : oracle.begin()->first);
                    ASSERT_NE(slotOfKey(), before);
                    ASSERT_GE(slotOfKey(), 0);
                    break;
                case Op::remove:
                    del(kKey);
                    break;
                case Op::add:
                    put(kKey);
                    break;
                case Op::shuffle: {
                    std::vector<std::uint32_t> keys;
                    for (auto const& [k, v] : oracle) keys.push_back(k);
                    for (std::uint32_t k : keys) del(k);
                    for (std::size_t j = keys.size(); j > 1; --j) std::swap(keys[j - 1], keys[rng() % j]);
                    for (std::size_t j = 0; j < keys.size(); ++j)
                        if (j % 5 != 4 || keys[j] == kKey) put(keys[j]);
                    peakTransit = 0;
                    break;
                }
                case Op::thin: {
                    std::vector<std::uint32_t> keys;
                    for (auto const& [k, v] : oracle) keys.push_back(k);
                    for (std::size_t j = 1; j < keys.size(); j += 3) del(keys[j]);
                    break;
                }
                case Op::detach:
                    flushing = true;
                    s.detach(false);
                    while (s.service()) {
                    }
                    flushing = false;
                    ASSERT_TRUE(errors.empty()) << errors.front();
                    ASSERT_TRUE(view.empty()) << view.size() << " keys not flushed, first " << view.begin()->first;
                    ASSERT_TRUE(s.initialize("again"));
                    break;
            }
            if (c.steps[i].sync) {
                ASSERT_TRUE(s.serviceUntilSynced(5000));
                ASSERT_TRUE(matches());
                // What the case is about: chains of moves deeper than the
                // shadow follows at once leave many keys in transit.
                if (c.steps[i].op == Op::shuffle) {
                    ASSERT_GE(peakTransit, 8u);
                }
                continue;
            }
            if (c.steps[i].op == Op::shuffle)
                s.store().holdSlotsIs([](std::uint32_t slot) { return slot % 2 == 1; });
            else
                s.store().holdSlotsIs([before](std::uint32_t slot) { return std::int32_t(slot) != before; });
            for (int round = 0; round < 4; ++round) s.service();
            s.store().holdSlotsIs(nullptr);
            if (c.steps[i].op == Op::shuffle) {
                ASSERT_GE(s.store().inTransit(), 8u);
            }
            if (c.steps[i].op == Op::move || c.steps[i].op == Op::compact) {
                // What the case is about: the owner knows the key, the map
                // holds it, the shadow has it in no slot.
                ASSERT_LT(s.store().slotOf(kKey), 0);
                ASSERT_TRUE(view.count(kKey));
            }
        }
        EXPECT_GT(s.store().movedAway(), 0u);
        EXPECT_EQ(s.store().inTransit(), 0u);
    };
    for (bool capture : {false, true})
        for (auto const& c : cases) run(c, capture);
}

TEST(ShadowIndex, SplitsAndMergesKeepChainsOrdered) {
    Vorn::ShadowStore store(debug(), "idx", true);
    store.grow(4096);
    Vorn::ShadowHashMap map(debug(), "idx", store, 0);
    std::mt19937 rng(9);
    std::map<std::pair<std::uint32_t, std::uint32_t>, std::uint32_t> model;  // (rhash, key) -> record
    std::uint32_t occupied = 0;
    auto check = [&] {
        std::vector<std::pair<std::uint32_t, std::uint32_t>> seen;
        for (std::uint32_t b = 0; b < map.numBuckets(); ++b) {
            std::int32_t prev = -(std::int32_t(b) + 2);
            for (std::int32_t i = map.head(b); i != -1; i = store[std::uint32_t(i)].next) {
                auto const& r = store[std::uint32_t(i)];
                EXPECT_EQ(r.prev, prev);
                EXPECT_EQ(map.bucketOf(r.rhash), b);
                seen.emplace_back(r.rhash, r.key);
                prev = i;
            }
        }
        // Buckets by top bits, chains by (rhash, key): the whole is sorted.
        std::vector<std::pair<std::uint32_t, std::uint32_t>> want;
        for (auto const& [k, v] : model) want.push_back(k);
        EXPECT_EQ(seen, want);
    };
    for (int i = 0; i < 20000; ++i) {
        std::uint32_t rec = rng() % 4096;
        if (store[rec].linked()) {
            model.erase({store[rec].rhash, store[rec].key});
            map.remove(rec, --occupied);
        } else {
            std::uint32_t key = rng() % 100000;
            std::uint32_t rhash = rng() % 8 == 0 ? 0x80000000u : std::uint32_t(rng());  // some equal hashes
            if (map.find(key, rhash) >= 0) continue;
            model[{rhash, key}] = rec;
            map.insert(rec, key, rhash);
            map.maybeGrow(++occupied);
        }
        if (i % 997 == 0) check();
    }
    check();
    for (auto const& [k, rec] : model) EXPECT_EQ(map.find(k.second, k.first), std::int32_t(rec));
}

TEST(ShadowCounters, LargestOccupiedFollowsSetsAndClears) {
    Vorn::SlotCounters c;
    c.resize(1000);
    std::set<std::uint32_t> model;
    std::mt19937 rng(3);
    for (int i = 0; i < 5000; ++i) {
        std::uint32_t x = rng() % 1000;
        if (rng() % 2) {
            c.set(x);
            model.insert(x);
        } else {
            c.clear(x);
            model.erase(x);
        }
        ASSERT_EQ(c.occupied(), model.size());
        if (i % 7 == 0) {
            ASSERT_EQ(c.largestOccupied(), model.empty() ? 0u : *model.rbegin() + 1);
        }
    }
}

}  // namespace
