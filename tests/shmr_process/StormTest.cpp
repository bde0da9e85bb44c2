// Readers in real processes while a writer process storms the map: inserts,
// overwrites, removes and direct writes in phases that grow and shrink the
// slot file and split and merge the bucket table. Every value carries a
// checksum of its key and payload: a reader must never see a torn or mixed
// value, nor a value under another key. Afterwards every shadow reader's
// keys and last reported values equal the writer's, every key present was
// reported after its last change, and every plain reader agrees with the
// writer key by key.
//
// X2_SHMR_STORM_MS sets the length of the storm (default 2500 ms).
#include <poll.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
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

using Ops = Vorn::BasicOps<Rec64>;
using Reader = Vorn::VornReader<Ops>;
using Shadow = Vorn::VornShadow<Ops>;

constexpr std::uint32_t kKeys = 3000;

int envInt(char const* name, int dflt) {
    char const* v = std::getenv(name);
    return v ? std::atoi(v) : dflt;
}

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

void check(Tally& t, std::uint32_t key, Rec64 const& v) {
    ++t.found;
    if (!v.whole()) ++t.torn;
    if (v.key != key) ++t.wrongKey;
}

// Lookups of random keys and one ordered iteration pass.
template <class R>
void readSome(R& r, Tally& t, std::mt19937& rng) {
    Vorn::IterHint h;
    for (int i = 0; i < 64; ++i) {
        std::uint32_t k = rng() % (kKeys + 50);
        Rec64 v;
        ++t.reads;
        if (r.lookup(k, v, h)) check(t, k, v);
    }
    if (rng() % 8 == 0) {
        Rec64 v;
        std::uint64_t last = 0;
        bool any = false;
        std::uint32_t n = 0;
        for (bool ok = r.first(v, h); ok && n < 4 * kKeys; ok = r.next(v.key, v, h), ++n) {
            ++t.reads;
            check(t, v.key, v);
            std::uint64_t order = (std::uint64_t(Lumo::Util::reverse(r.ops().hash(v.key))) << 32) | v.key;
            if (any && order <= last) ++t.disorder;
            last = order;
            any = true;
        }
    }
}

std::map<std::uint32_t, Rec64> readOracle(std::string const& path) {
    std::map<std::uint32_t, Rec64> m;
    std::ifstream in(path, std::ios::binary);
    Rec64 v;
    while (in.read(reinterpret_cast<char*>(&v), sizeof v)) m[v.key] = v;
    return m;
}

// A plain reader: lookups and iteration until told to stop, then a full
// comparison with the writer's final state.
Tally plainReader(Mem::RootPath const& rp, int stopFd, std::string const& oraclePath) {
    Tally t;
    Reader r(debug(), "storm", rp, ops<Rec64>());
    if (!r.initialize("storm")) {
        t.problem("reader attach failed");
        return t;
    }
    std::mt19937 rng{std::uint32_t(::getpid())};
    while (!readable(stopFd, 0)) readSome(r, t, rng);
    auto oracle = readOracle(oraclePath);
    Vorn::IterHint h;
    for (std::uint32_t k = 0; k < kKeys; ++k) {
        Rec64 v;
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
Tally shadowReader(Mem::RootPath const& rp, int stopFd, std::string const& oraclePath) {
    Tally t;
    std::map<std::uint32_t, std::optional<Rec64>> last;
    Shadow* self = nullptr;
    Vorn::ShadowCallbacks<Ops> cb;
    cb.onKeyValue = [&](std::uint32_t k, Rec64 const*) {
        ++t.callbacks;
        last[k] = std::nullopt;
    };
    cb.onKey = [&](std::uint32_t k) {
        ++t.callbacks;
        Rec64 v;
        ++t.reads;
        if (self->lookup(k, v)) {
            check(t, k, v);
            last[k] = v;
        } else {
            last[k] = std::nullopt;
        }
    };
    cb.onCorruption = [&](std::string const& m) { t.problem("corruption: " + m); };
    Shadow s(debug(), "storm", rp, ops<Rec64>(), cb);
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
        readSome(s.reader(), t, rng);
    }
    if (!s.serviceUntilSynced(20000)) t.problem("shadow did not catch up");
    auto oracle = readOracle(oraclePath);
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

TEST(ShadowAcrossProcesses, StormKeepsEveryReaderWholeAndEveryShadowExact) {
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
            Tally t = c.shadow ? shadowReader(rp, c.stop.r, oraclePath) : plainReader(rp, c.stop.r, oraclePath);
            std::string line = t.line();
            (void)!::write(c.result.w, line.data(), line.size());
            std::_Exit(0);
        }
    }
    Writer<Rec64> w(debug(), "storm", Vorn::MapDescriptor(8), ops<Rec64>(), rp);
    w.initialize("storm");
    for (auto& c : children) (void)!::write(c.go.w, "g", 1);
    std::map<std::uint32_t, Rec64> oracle;
    std::mt19937 rng(11);
    std::uint32_t gen = 0;
    double end = Lumo::time() + envInt("X2_SHMR_STORM_MS", 2500) / 1000.0;
    std::uint64_t ops = 0;
    for (std::uint64_t i = 0; Lumo::time() < end; ++i) {
        // Phases of 4000 operations: fill, churn, drain.
        int phase = int(i / 4000 % 3);
        int insertPct = phase == 0 ? 85 : phase == 1 ? 55 : 12;
        std::uint32_t k = rng() % kKeys;
        if (int(rng() % 100) < insertPct) {
            Rec64 v = Rec64::make(k, ++gen);
            if (rng() % 16 == 0) {
                *w.directWrite(v) = v;
                w.directCommit();
            } else {
                w.write(v, true);
            }
            oracle[k] = v;
        } else {
            Rec64 out;
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
    std::printf("storm: %lu writer ops, %lu checked reads (%lu found), %lu spare reads, %lu retries, %lu shadow "
                "resyncs; slot grows %lu shrinks %lu, bucket grows %lu shrinks %lu\n",
                ops, sum.reads, sum.found, sum.spareReads, sum.retries, sum.resyncs, std::uint64_t(wc.grows),
                std::uint64_t(wc.shrinks), std::uint64_t(wc.bucketGrows), std::uint64_t(wc.bucketShrinks));
}

}  // namespace
