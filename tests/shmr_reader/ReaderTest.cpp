// The reader against the writer and an oracle (std::map) in one process: two
// mappings of the same files, the reader's read-only. Lookups, iteration
// and slot reads after every step of random sequences that grow and shrink
// both tables, for a checksummed record and the real records of both shared
// tables; attach failures; corrupted files.
#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <map>
#include <random>
#include <set>
#include <vector>

#include <gtest/gtest.h>

#include "../shm_support/ShmTest.h"
#include "Vorn/VornReader.h"

using namespace shmtest;

namespace {

template <class V>
using Reader = Vorn::VornReader<Vorn::BasicOps<V>>;

Vorn::MapDescriptor growable(std::uint32_t size) {
    Vorn::MapDescriptor d(size);
    d.shrinkSlots = true;
    d.shrinkBuckets = true;
    return d;
}

// Everything a reader can say about the map, checked against the oracle.
template <class V>
::testing::AssertionResult readerMatches(Reader<V>& r, std::map<std::uint32_t, V> const& oracle,
                                         std::uint32_t keySpace) {
    Vorn::IterHint hint;
    for (std::uint32_t k = 0; k < keySpace; ++k) {
        V v;
        bool found = r.lookup(k, v, hint);
        auto it = oracle.find(k);
        if (found != (it != oracle.end()))
            return ::testing::AssertionFailure() << "key " << k << " found:" << found << " oracle disagrees";
        if (found && !(v == it->second)) return ::testing::AssertionFailure() << "key " << k << " wrong value";
        if (found) {
            // The hint names the slot; reading the slot gives the same value.
            V byslot;
            Vorn::IterHint h2;
            if (!r.getValue(hint.slot, byslot, h2) || !(byslot == v))
                return ::testing::AssertionFailure() << "slot " << hint.slot << " of key " << k << " disagrees";
        }
    }
    std::set<std::uint32_t> seen;
    std::uint32_t lastOrder = 0;
    V v;
    for (bool ok = r.first(v, hint); ok; ok = r.next(keyOf(v), v, hint)) {
        std::uint32_t const key = keyOf(v);
        if (!oracle.count(key)) return ::testing::AssertionFailure() << "iterated unknown key " << key;
        if (!seen.insert(key).second) return ::testing::AssertionFailure() << "iterated key twice " << key;
        std::uint32_t order = Lumo::Util::reverse(r.ops().hash(key));
        if (seen.size() > 1 && order < lastOrder) return ::testing::AssertionFailure() << "iteration out of order";
        lastOrder = order;
    }
    if (seen.size() != oracle.size())
        return ::testing::AssertionFailure() << "iterated " << seen.size() << " of " << oracle.size();
    // next() without a hint (a key that is gone or never was) resumes in order too.
    if (r.members() != oracle.size()) return ::testing::AssertionFailure() << "members " << r.members();
    return ::testing::AssertionSuccess();
}

struct Scenario {
    char const* name;
    std::uint32_t initialSlots;
    std::uint32_t keySpace;
    std::uint32_t steps;
    int insertPercent;  // the rest are removes
    bool direct;        // use direct mode for some writes
};

// Runs a scenario over values of type V. A real record has its table's 128
// keys only: a larger key space shrinks to that.
template <class V>
void runScenario(Scenario sc) {
    sc.keySpace = std::min(sc.keySpace, Values<V>::kKeySpace);
    TempRoot root;
    auto rp = root.map(sc.name);
    Writer<V> w(debug(), sc.name, growable(sc.initialSlots), ops<V>(), rp);
    w.initialize("none");
    Reader<V> r(debug(), sc.name, rp, ops<V>());
    ASSERT_TRUE(r.initialize("test"));
    std::map<std::uint32_t, V> oracle;
    std::mt19937 rng(42);
    std::uint32_t gen = 0;
    for (std::uint32_t i = 0; i < sc.steps; ++i) {
        std::uint32_t k = rng() % sc.keySpace;
        if (int(rng() % 100) < sc.insertPercent) {
            V v = makeValue<V>(k, ++gen);
            if (sc.direct && rng() % 4 == 0) {
                V* p = w.directWrite(v);
                *p = v;
                w.directCommit();
            } else {
                w.write(v, true);
            }
            oracle[k] = v;
        } else {
            V out;
            EXPECT_EQ(w.remove(k, out), oracle.erase(k) == 1);
        }
        if (i % 37 == 0 || i + 1 == sc.steps) {
            ASSERT_TRUE(readerMatches(r, oracle, sc.keySpace)) << "step " << i;
        }
    }
    // Drain to empty: the tables shrink under the reader.
    for (auto it = oracle.begin(); it != oracle.end();) {
        V out;
        ASSERT_TRUE(w.remove(it->first, out));
        it = oracle.erase(it);
        if (oracle.size() % 23 == 0) {
            ASSERT_TRUE(readerMatches(r, oracle, sc.keySpace));
        }
    }
    ASSERT_TRUE(readerMatches(r, oracle, sc.keySpace));
    EXPECT_GT(r.readerCounters().remaps, 0u);
}

struct ValueKind {
    char const* name;
    void (*run)(Scenario);
};

class ReaderOracle : public ::testing::TestWithParam<std::tuple<Scenario, ValueKind>> {};

TEST_P(ReaderOracle, EveryStepMatches) {
    auto const& [sc, kind] = GetParam();
    kind.run(sc);
}

INSTANTIATE_TEST_SUITE_P(Shapes, ReaderOracle,
                         ::testing::Combine(::testing::Values(Scenario{"small", 4, 64, 1500, 60, false},
                                                              Scenario{"growing", 8, 2000, 6000, 80, true},
                                                              Scenario{"churn", 32, 300, 6000, 50, true}),
                                            ::testing::Values(ValueKind{"Rec64", runScenario<Rec64>},
                                                              ValueKind{"EgrEntry", runScenario<VexVorn::EgrEntry>},
                                                              ValueKind{"EgrWriteResponse",
                                                                        runScenario<VexVorn::EgrWriteResponse>},
                                                              ValueKind{"IngEntry", runScenario<VexVorn::IngEntry>},
                                                              ValueKind{"IngWriteResponse",
                                                                        runScenario<VexVorn::IngWriteResponse>})),
                         [](auto const& info) {
                             return std::string(std::get<0>(info.param).name) + "_" + std::get<1>(info.param).name;
                         });

TEST(ReaderAttach, FailsWithoutFilesAndOnAnotherGeneration) {
    TempRoot root;
    auto rp = root.map("absent");
    Reader<Rec64> r(debug(), "absent", rp, ops<Rec64>());
    EXPECT_FALSE(r.initialize("none"));
    EXPECT_EQ(r.mountStatus(), 0);
    Rec64 v;
    Vorn::IterHint h;
    EXPECT_THROW(r.lookup(1, v, h), Lumo::IllegalOperationException);

    Writer<Rec64> w(debug(), "gen", growable(16), ops<Rec64>(), rp);
    w.initialize("none");
    w.write(Rec64::make(7, 1), true);
    ASSERT_TRUE(r.initialize("none"));
    EXPECT_EQ(r.fenixId(), w.fenixId());
    EXPECT_EQ(r.mountStatus(), 1);
    EXPECT_TRUE(r.validateVersionAnchor());
    // A new generation of the files: the old anchor no longer holds.
    SharedMem::FenixFile(debug(), rp, true).write(w.fenixId() + 1);
    EXPECT_FALSE(r.validateVersionAnchor());
    Reader<Rec64> r2(debug(), "gen", rp, ops<Rec64>());
    EXPECT_FALSE(r2.initialize("none"));  // the files' fenix id no longer matches
    r.detach();
    EXPECT_EQ(r.mountStatus(), 0);
}

TEST(ReaderAttach, ReadOnlyMappingCannotWrite) {
    TempRoot root;
    auto rp = root.map("ro");
    Writer<Rec64> w(debug(), "ro", growable(16), ops<Rec64>(), rp);
    w.initialize("none");
    w.write(Rec64::make(3, 1), true);
    Reader<Rec64> r(debug(), "ro", rp, ops<Rec64>());
    ASSERT_TRUE(r.initialize("none"));
    // Both files are mapped without write permission (a shared read-only
    // mapping shows as "r--s" in the process's map list).
    auto perms = [](void const* addr) {
        std::FILE* f = std::fopen("/proc/self/maps", "r");
        char line[512];
        std::string found;
        auto a = reinterpret_cast<std::uintptr_t>(addr);
        while (f && std::fgets(line, sizeof line, f)) {
            unsigned long lo, hi;
            char p[5];
            if (std::sscanf(line, "%lx-%lx %4s", &lo, &hi, p) == 3 && a >= lo && a < hi) found = p;
        }
        if (f) std::fclose(f);
        return found;
    };
    EXPECT_EQ(perms(&r.slotTable().header()), "r--s");
    EXPECT_EQ(perms(&w.slotTable().header()), "rw-s");
}

TEST(ReaderResize, RemapsBeforeReadingNewSlots) {
    TempRoot root;
    auto rp = root.map("grow");
    Writer<Rec64> w(debug(), "grow", growable(4), ops<Rec64>(), rp);
    w.initialize("none");
    Reader<Rec64> r(debug(), "grow", rp, ops<Rec64>());
    ASSERT_TRUE(r.initialize("none"));
    std::uint32_t before = r.numSlots();
    for (std::uint32_t k = 0; k < 500; ++k) w.write(Rec64::make(k, 1), true);
    EXPECT_EQ(r.numSlots(), before);  // not yet noticed
    // A slot beyond the old count is read after a remap.
    Rec64 v;
    Vorn::IterHint h;
    std::uint32_t last = w.capacity() - 1;
    bool occupied = r.getValue(last, v, h);
    EXPECT_EQ(r.numSlots(), w.capacity());
    EXPECT_EQ(occupied, w.members() == w.capacity());
    EXPECT_TRUE(r.lookup(499, v, h));
    EXPECT_EQ(v, Rec64::make(499, 1));
    EXPECT_EQ(r.buckets(), w.buckets());
    EXPECT_EQ(r.capacity(), w.capacity());
    EXPECT_EQ(r.members(), 500u);
    // Beyond the slot count: absent, not an error.
    EXPECT_FALSE(r.getValue(w.capacity() + 5, v, h));
    EXPECT_FALSE(h.valid());
}

// An iteration paused while the bucket table doubled or halved several
// times resumes from its hint with exactly the keys that follow the one it
// stopped at, whatever bucket that key has moved to meanwhile. Only keys
// ordered before it change, so that its slot, and so the hint, stays valid.
TEST(ReaderResume, HintTakenBeforeTheBucketTableChangedSize) {
    struct Case {
        std::uint32_t before, after;
    };
    for (Case c : {Case{24, 600}, Case{600, 24}}) {
        // Growing adds keys before the stop and shrinking removes them, so
        // stop late enough for a shrink to have keys to remove.
        std::uint32_t from = c.after > c.before ? c.before / 8 : c.before - c.before / 8;
        for (std::uint32_t stop = from; stop < c.before; stop += 1 + stop / 3) {
            TempRoot root;
            auto rp = root.map("resume");
            Writer<Rec64> w(debug(), "resume", growable(4), ops<Rec64>(), rp);
            w.initialize("none");
            Reader<Rec64> r(debug(), "resume", rp, ops<Rec64>());
            ASSERT_TRUE(r.initialize("none"));
            auto order = [&](std::uint32_t k) {
                return std::uint64_t(Lumo::Util::reverse(r.ops().hash(k))) << 32 | k;
            };
            std::set<std::uint32_t> keys;
            for (std::uint32_t k = 0; k < c.before; ++k) {
                w.write(Rec64::make(k, 1), true);
                keys.insert(k);
            }
            Rec64 v;
            Vorn::IterHint h;
            ASSERT_TRUE(r.first(v, h));
            for (std::uint32_t i = 0; i < stop; ++i) ASSERT_TRUE(r.next(v.key, v, h));
            std::uint32_t const at = v.key;
            std::uint32_t const bucketsBefore = w.buckets();
            Vorn::IterHint wh;  // the writer's own iteration, paused at the same key
            bool found = false;
            ASSERT_NE(w.lookup(at, found, wh), nullptr);
            for (std::uint32_t k = c.before; keys.size() < c.after && k < 1000000; ++k) {
                if (order(k) < order(at)) {
                    w.write(Rec64::make(k, 1), true);
                    keys.insert(k);
                }
            }
            for (auto it = keys.begin(); it != keys.end() && keys.size() > c.after;) {
                Rec64 out;
                if (order(*it) < order(at)) {
                    ASSERT_TRUE(w.remove(*it, out));
                    it = keys.erase(it);
                } else {
                    ++it;
                }
            }
            if (c.after > c.before) {
                EXPECT_GE(w.buckets(), 4 * bucketsBefore);
            } else {
                EXPECT_LT(w.buckets(), bucketsBefore);
            }
            std::set<std::uint64_t> expected;
            for (auto k : keys)
                if (order(k) > order(at)) expected.insert(order(k));
            std::set<std::uint64_t> got;
            for (bool ok = r.next(at, v, h); ok; ok = r.next(v.key, v, h)) got.insert(order(v.key));
            std::set<std::uint64_t> gotWriter;
            for (bool ok = w.next(at, v, wh); ok; ok = w.next(v.key, v, wh)) gotWriter.insert(order(v.key));
            EXPECT_EQ(gotWriter, expected);
            EXPECT_EQ(got, expected) << "stopped at key " << at << " after " << stop << ", " << c.before << " -> "
                                     << c.after << " keys";
        }
    }
}

// Direct damage to the files through a writable mapping of our own.
class Corruptor {
public:
    Corruptor(Mem::RootPath const& rp, char const* file) {
        fd_ = ::open(rp.filePath(file).c_str(), O_RDWR);
        size_ = std::size_t(::lseek(fd_, 0, SEEK_END));
        base_ = static_cast<unsigned char*>(::mmap(nullptr, size_, PROT_READ | PROT_WRITE, MAP_SHARED, fd_, 0));
    }
    ~Corruptor() {
        ::munmap(base_, size_);
        ::close(fd_);
    }
    template <class T>
    void put(std::size_t off, T v) {
        std::memcpy(base_ + off, &v, sizeof v);
    }
    template <class T>
    T get(std::size_t off) const {
        T v;
        std::memcpy(&v, base_ + off, sizeof v);
        return v;
    }

private:
    int fd_;
    std::size_t size_;
    unsigned char* base_;
};

constexpr std::size_t kHdr = Vorn::SlotTable<Rec64>::kHeaderSize;
constexpr std::size_t kSlot = Vorn::SlotTable<Rec64>::kSlotSize;

struct Damage {
    char const* name;
    void (*apply)(Corruptor& slots, Corruptor& buckets, std::uint32_t numSlots, std::uint32_t headSlot);
    char const* message;  // prefix of the corruption message
};

class ReaderCorruption : public ::testing::TestWithParam<Damage> {};

TEST_P(ReaderCorruption, RaisesNeverCrashes) {
    TempRoot root;
    auto rp = root.map("bad");
    Vorn::MapDescriptor d(8);
    d.fixedSize = true;  // no resize: corruption is reported, not retried
    Writer<Rec64> w(debug(), "bad", d, ops<Rec64>(), rp);
    w.initialize("none");
    for (std::uint32_t k = 0; k < 6; ++k) w.write(Rec64::make(k, 1), true);
    Reader<Rec64> r(debug(), "bad", rp, ops<Rec64>());
    ASSERT_TRUE(r.initialize("none"));
    Corruptor slots(rp, "slots"), buckets(rp, "buckets");
    // A key whose bucket chain starts at a slot.
    std::uint32_t key = 0, head = 0, n = w.buckets();
    for (; key < 6; ++key) {
        std::uint32_t b = w.ops().hash(key) & (n - 1);
        std::uint32_t l = std::uint32_t(buckets.get<std::uint64_t>(24 + 8 * b) >> 32);
        if (!(l & 0x80000000u)) {
            head = l & 0x3fffffffu;
            break;
        }
    }
    ASSERT_LT(key, 6u);
    GetParam().apply(slots, buckets, w.capacity(), head);
    Vorn::IterHint h;
    Rec64 v;
    bool raisedLookup = false, raisedIter = false;
    try {
        for (std::uint32_t k = 0; k < 6; ++k) r.lookup(k, v, h);
    } catch (Lumo::CorruptionDetectedException const& e) {
        raisedLookup = true;
        EXPECT_EQ(std::string(e.msg()).rfind(GetParam().message, 0), 0u) << e.msg();
    }
    try {
        std::uint32_t n2 = 0;
        for (bool ok = r.first(v, h); ok && n2 < 100; ok = r.next(v.key, v, h)) ++n2;
    } catch (Lumo::CorruptionDetectedException const&) {
        raisedIter = true;
    }
    EXPECT_TRUE(raisedLookup || raisedIter);
    EXPECT_TRUE(raisedLookup) << "lookup missed the damage";
}

INSTANTIATE_TEST_SUITE_P(
    Files, ReaderCorruption,
    ::testing::Values(
        Damage{"LinkBeyondSlots",
               [](Corruptor& s, Corruptor&, std::uint32_t n, std::uint32_t head) {
                   auto w = s.get<std::uint64_t>(kHdr + head * kSlot);
                   s.put<std::uint64_t>(kHdr + head * kSlot, (w & 0xffffffffu) | (std::uint64_t(n + 3) << 32));
               },
               "out-of-range index:"},
        Damage{"ChainCycle",
               [](Corruptor& s, Corruptor&, std::uint32_t, std::uint32_t head) {
                   auto w = s.get<std::uint64_t>(kHdr + head * kSlot);
                   s.put<std::uint64_t>(kHdr + head * kSlot, (w & 0xffffffffu) | (std::uint64_t(head) << 32));
               },
               ""},
        Damage{"FreedSlotInChain",
               [](Corruptor& s, Corruptor&, std::uint32_t, std::uint32_t head) {
                   auto w = s.get<std::uint64_t>(kHdr + head * kSlot);
                   s.put<std::uint64_t>(kHdr + head * kSlot, w & ~std::uint64_t(1));
               },
               "slot "},
        Damage{"KeyOfAnotherBucket",
               [](Corruptor& s, Corruptor&, std::uint32_t, std::uint32_t head) {
                   s.put<std::uint32_t>(kHdr + head * kSlot + 8, 0x7777777u);
               },
               "slot "},
        Damage{"BucketCountNotPowerOfTwo",
               [](Corruptor&, Corruptor& b, std::uint32_t, std::uint32_t) { b.put<std::uint32_t>(20, 3); },
               "bad bucket count:"},
        Damage{"SlotCountBeyondFile",
               [](Corruptor& s, Corruptor&, std::uint32_t, std::uint32_t) {
                   s.put<std::uint64_t>(584, (std::uint64_t(1u << 20) << 32) | (s.get<std::uint32_t>(584) + 1));
               },
               "failed to resize"}),
    [](auto const& info) { return std::string(info.param.name); });

}  // namespace
