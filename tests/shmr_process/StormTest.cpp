// Readers in real processes while a writer process storms the map: inserts,
// overwrites, removes and direct writes in phases that grow and shrink the
// slot file and split and merge the bucket table. Every value is checkable
// for wholeness (a checksum over key and payload, or, for the real records of
// the shared tables, contents derived from the key and the generation held in
// the transaction id): a reader must never see a torn or mixed value, nor a
// value under another key. Afterwards every shadow reader's keys and last
// reported values equal the writer's, every key present was reported after
// its last change, and every plain reader agrees with the writer key by key.
//
// X2_SHMR_STORM_MS sets the length of the storm of the checksummed record
// (default 2500 ms); each real record storms for a fifth of it.
#include <poll.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <map>
#include <optional>
#include <random>
#include <set>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "../shm_support/ShmTest.h"
#include "Lumo/Time.h"
#include "Vorn/VornReader.h"
#include "Vorn/VornShadow.h"

using namespace shmtest;

namespace {

template <class V>
using Ops = Vorn::BasicOps<V>;
template <class V>
using Reader = Vorn::VornReader<Ops<V>>;
template <class V>
using Shadow = Vorn::VornShadow<Ops<V>>;

template <class V>
constexpr std::uint32_t kKeys = std::min<std::uint32_t>(3000, Values<V>::kKeySpace);

bool readable(int fd, int timeoutMs) {
    pollfd p{fd, POLLIN, 0};
    return ::poll(&p, 1, timeoutMs) > 0;
}

struct Pipe {
    int r = -1, w = -1;
    Pipe() {
        int fds[2];
        if (::pipe(fds) == 0) {
            r = fds[0];
            w = fds[1];
        }
    }
};

// Counts of one reader process, sent back as one line of text.
struct Tally {
    std::uint64_t reads = 0, found = 0, torn = 0, wrongKey = 0, disorder = 0, mismatches = 0, callbacks = 0,
                  resyncs = 0, spareReads = 0, retries = 0;
    std::string firstProblem;
    std::string line() const {
        return fmt::format("{} {} {} {} {} {} {} {} {} {} |{}", reads, found, torn, wrongKey, disorder, mismatches,
                           callbacks, resyncs, spareReads, retries, firstProblem);
    }
    static Tally parse(std::string const& s) {
        Tally t;
        auto bar = s.find('|');
        std::sscanf(s.c_str(), "%lu %lu %lu %lu %lu %lu %lu %lu %lu %lu", &t.reads, &t.found, &t.torn, &t.wrongKey,
                    &t.disorder, &t.mismatches, &t.callbacks, &t.resyncs, &t.spareReads, &t.retries);
        if (bar != std::string::npos) t.firstProblem = s.substr(bar + 1);
        return t;
    }
    void problem(std::string const& p) {
        ++mismatches;
        if (firstProblem.empty()) firstProblem = p;
    }
};

template <class V>
void check(Tally& t, std::uint32_t key, V const& v) {
    ++t.found;
    if (!Values<V>::whole(v)) ++t.torn;
    if (keyOf(v) != key) ++t.wrongKey;
}

// Lookups of random keys (some beyond the key space) and one ordered
// iteration pass.
template <class V, class R>
void readSome(R& r, Tally& t, std::mt19937& rng) {
    Vorn::IterHint h;
    for (int i = 0; i < 64; ++i) {
        std::uint32_t k = rng() % (kKeys<V> + 50);
        V v;
        ++t.reads;
        if (r.lookup(k, v, h)) check(t, k, v);
    }
    if (rng() % 8 == 0) {
        V v;
        std::uint64_t last = 0;
        bool any = false;
        std::uint32_t n = 0;
        for (bool ok = r.first(v, h); ok && n < 4 * kKeys<V>; ok = r.next(keyOf(v), v, h), ++n) {
            ++t.reads;
            check(t, keyOf(v), v);
            std::uint64_t order = (std::uint64_t(Lumo::Util::reverse(r.ops().hash(keyOf(v)))) << 32) | keyOf(v);
            if (any && order <= last) ++t.disorder;
            last = order;
            any = true;
        }
    }
}

// A plain reader: lookups and iteration until told to stop, then a full
// comparison with the writer's final state.
template <class V>
Tally plainReader(Mem::RootPath const& rp, int stopFd, std::string const& oraclePath) {
    Tally t;
    Reader<V> r(debug(), "storm", rp, ops<V>());
    if (!r.initialize("storm")) {
        t.problem("reader attach failed");
        return t;
    }
    std::mt19937 rng{std::uint32_t(::getpid())};
    while (!readable(stopFd, 0)) readSome<V>(r, t, rng);
    auto oracle = readOracle<V>(oraclePath);
    Vorn::IterHint h;
    for (std::uint32_t k = 0; k < kKeys<V>; ++k) {
        V v;
        bool found = r.lookup(k, v, h);
        auto it = oracle.find(k);
        if (found != (it != oracle.end()) || (found && !(v == it->second)))
            t.problem(fmt::format("final lookup of {} found:{}", k, found));
    }
    auto c = r.readerCounters();
    t.spareReads = c.spareReads;
    t.retries = c.retries + c.resizeRetries;
    return t;
}

// A shadow reader: services the channel from its own poll loop, reads in
// between, and records what it was told about every key.
template <class V>
Tally shadowReader(Mem::RootPath const& rp, int stopFd, std::string const& oraclePath) {
    Tally t;
    std::map<std::uint32_t, std::optional<V>> last;
    Shadow<V>* self = nullptr;
    Vorn::ShadowCallbacks<Ops<V>> cb;
    cb.onKeyValue = [&](std::uint32_t k, V const*) {
        ++t.callbacks;
        last[k] = std::nullopt;
    };
    cb.onKey = [&](std::uint32_t k) {
        ++t.callbacks;
        V v;
        ++t.reads;
        if (self->lookup(k, v)) {
            check(t, k, v);
            last[k] = v;
        } else {
            last[k] = std::nullopt;
        }
    };
    cb.onCorruption = [&](std::string const& m) { t.problem("corruption: " + m); };
    Shadow<V> s(debug(), "storm", rp, ops<V>(), cb);
    self = &s;
    if (!s.initialize("storm")) {
        t.problem("shadow attach failed");
        return t;
    }
    std::mt19937 rng{std::uint32_t(::getpid())};
    while (!readable(stopFd, 0)) {
        if (!s.service(512) && s.prepareToWait()) {
            pollfd p[2] = {{s.fd(), POLLIN, 0}, {stopFd, POLLIN, 0}};
            ::poll(p, 2, 20);
        }
        readSome<V>(s.reader(), t, rng);
    }
    if (!s.serviceUntilSynced(20000)) t.problem("shadow did not catch up");
    auto oracle = readOracle<V>(oraclePath);
    std::set<std::uint32_t> keys;
    s.store().forEachKey([&](std::uint32_t k, std::uint32_t) { keys.insert(k); });
    if (keys.size() != oracle.size()) t.problem(fmt::format("shadow holds {} keys, writer {}", keys.size(), oracle.size()));
    for (auto const& [k, v] : oracle) {
        if (!keys.count(k)) t.problem(fmt::format("shadow misses {}", k));
        auto it = last.find(k);
        if (it == last.end() || !it->second || !(*it->second == v))
            t.problem(fmt::format("key {} not reported after its last change", k));
    }
    for (auto const& [k, v] : last)
        if (v && !oracle.count(k)) t.problem(fmt::format("key {} not reported gone", k));
    t.resyncs = s.syncer().resyncs();
    auto c = s.reader().readerCounters();
    t.spareReads = c.spareReads;
    t.retries = c.retries + c.resizeRetries;
    return t;
}

template <class V>
class ShadowAcrossProcesses : public ::testing::Test {};
using StormTypes = ::testing::Types<Rec64, VexVorn::EgrEntry, VexVorn::EgrWriteResponse, VexVorn::IngEntry,
                                    VexVorn::IngWriteResponse>;
TYPED_TEST_SUITE(ShadowAcrossProcesses, StormTypes, ValueNames);

TYPED_TEST(ShadowAcrossProcesses, StormKeepsEveryReaderWholeAndEveryShadowExact) {
    using V = TypeParam;
    constexpr std::uint32_t keys = kKeys<V>;
    // Phases of operations: fill, churn, drain; long enough to grow the map
    // well past its key count's slots and back.
    constexpr std::uint64_t phaseOps = keys >= 3000 ? 4000 : 400;
    int const stormMs = envInt("X2_SHMR_STORM_MS", 2500) / (std::is_same_v<V, Rec64> ? 1 : 5);
    TempRoot root;
    auto rp = root.map("storm");
    std::string oraclePath = root.dir() + "/oracle";
    constexpr int kPlain = 2, kShadows = 2;
    struct Child {
        pid_t pid;
        Pipe go, stop, result;
        bool shadow;
    };
    std::vector<Child> children(kPlain + kShadows);
    for (int i = 0; i < kPlain + kShadows; ++i) {
        Child& c = children[i];
        c.shadow = i >= kPlain;
        c.pid = ::fork();
        if (c.pid == 0) {
            readable(c.go.r, 20000);
            Tally t = c.shadow ? shadowReader<V>(rp, c.stop.r, oraclePath) : plainReader<V>(rp, c.stop.r, oraclePath);
            std::string line = t.line();
            (void)!::write(c.result.w, line.data(), line.size());
            std::_Exit(0);
        }
    }
    Writer<V> w(debug(), "storm", Vorn::MapDescriptor(8), ops<V>(), rp);
    w.initialize("storm");
    for (auto& c : children) (void)!::write(c.go.w, "g", 1);
    std::map<std::uint32_t, V> oracle;
    std::mt19937 rng(11);
    std::uint32_t gen = 0;
    double end = Lumo::time() + stormMs / 1000.0;
    std::uint64_t ops = 0;
    for (std::uint64_t i = 0; Lumo::time() < end; ++i) {
        int phase = int(i / phaseOps % 3);
        int insertPct = phase == 0 ? 85 : phase == 1 ? 55 : 12;
        std::uint32_t k = rng() % keys;
        if (int(rng() % 100) < insertPct) {
            V v = makeValue<V>(k, ++gen);
            if (rng() % 16 == 0) {
                *w.directWrite(v) = v;
                w.directCommit();
            } else {
                w.write(v, true);
            }
            oracle[k] = v;
        } else {
            V out;
            w.remove(k, out);
            oracle.erase(k);
        }
        ++ops;
        if (i % 256 == 0) ::sched_yield();  // let readers in on two cores
    }
    {
        std::ofstream out(oraclePath, std::ios::binary);
        for (auto const& [k, v] : oracle) out.write(reinterpret_cast<char const*>(&v), sizeof v);
    }
    auto wc = w.counters();
    for (auto& c : children) (void)!::write(c.stop.w, "s", 1);
    Tally sum;
    for (auto& c : children) {
        ::close(c.result.w);
        std::string line;
        char buf[512];
        ssize_t n;
        while (readable(c.result.r, 60000) && (n = ::read(c.result.r, buf, sizeof buf)) > 0) line.append(buf, std::size_t(n));
        int status = 0;
        ::waitpid(c.pid, &status, 0);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "reader process died, status " << status;
        Tally t = Tally::parse(line);
        EXPECT_EQ(t.mismatches, 0u) << (c.shadow ? "shadow" : "reader") << ": " << t.firstProblem;
        EXPECT_GT(t.found, 0u);
        if (c.shadow) {
            EXPECT_GT(t.callbacks, 0u);
        }
        sum.reads += t.reads;
        sum.found += t.found;
        sum.torn += t.torn;
        sum.wrongKey += t.wrongKey;
        sum.disorder += t.disorder;
        sum.resyncs += t.resyncs;
        sum.spareReads += t.spareReads;
        sum.retries += t.retries;
    }
    EXPECT_EQ(sum.torn, 0u);
    EXPECT_EQ(sum.wrongKey, 0u);
    EXPECT_EQ(sum.disorder, 0u);
    // The storm did what it is for.
    EXPECT_GT(wc.grows, 0u);
    EXPECT_GT(wc.shrinks, 0u);
    EXPECT_GT(wc.bucketGrows, 0u);
    EXPECT_GT(wc.bucketShrinks, 0u);
    std::printf("storm %s: %lu writer ops, %lu checked reads (%lu found), %lu spare reads, %lu retries, %lu shadow "
                "resyncs; slot grows %lu shrinks %lu, bucket grows %lu shrinks %lu\n",
                ValueNames::GetName<V>(0).c_str(), ops, sum.reads, sum.found, sum.spareReads, sum.retries, sum.resyncs, std::uint64_t(wc.grows),
                std::uint64_t(wc.shrinks), std::uint64_t(wc.bucketGrows), std::uint64_t(wc.bucketShrinks));
}

}  // namespace
