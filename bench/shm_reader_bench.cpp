// Shared-memory map readers beside LMDB, and the notification path.
//
// lookup_idle/<N> and lookup_busy/<N> (N = 1e3, 64e3, 1e6 keys of 64-byte
// values): "subject" is a VornReader lookup in this process; "baseline" is
// an LMDB lookup (mdb_get, value copied out) inside a read transaction that
// is reused with mdb_txn_reset / mdb_txn_renew around every lookup, on the
// same keys and values (LMDB in /dev/shm, MDB_WRITEMAP | MDB_NOSYNC). The
// writer of each store is another process; in the _busy cases it overwrites
// values continuously (its own core on a two-core machine). Keys are looked
// up in a random order fixed per run.
//
// Counters on the lookup rows (latency percentiles come from timing every
// lookup with the cycle counter, converted with its calibrated rate; the
// timing adds about 10 ns to each figure, equally for subject and baseline):
//   p50_ns, p99_ns      lookup latency percentiles
//   retries_per_Mread   restarted attempts per million lookups (subject)
//   spare_per_Mread     values taken from the spare slot per million lookups
//   busy_vs_idle_p50    (lookup_busy subject rows) p50 busy / p50 idle
//   lmdb_vs_map_p50     (subject rows) LMDB p50 / map p50 at the same size and load
//
// change_to_callback/subject: the writer process writes one value every
// 50 us stamped with CLOCK_MONOTONIC; this process follows with a shadow,
// sleeping in poll() on the shadow's descriptor, and takes now - stamp in
// the key callback (value read through the shadow). /baseline: the writer
// sends the same stamps through a pipe this process sleeps on: the floor of
// any cross-process wake-up. Counters p50_ns, p99_ns, p999_ns.
//
// sustained_rate: the writer changes 4096 keys round-robin at a set rate
// for 1 s while the shadow follows; rows per rate report whether the shadow
// reported every key's final value (all_reported) and how often it fell
// back to a full resynchronisation (resyncs). The highest rate with no
// resync is the rate it follows notification by notification; above it,
// the rescans still report every key.
//
// torn_check: a writer process storms inserts, overwrites and removes over
// 20000 keys while this process looks up random keys and checks every
// value's checksum: reads and torn counts. X2_SHMR_TORN_READS sets the
// number of reads (default 100 million).
//
// shadow_reshuffle/<N>/<budget>: a writer in this process holds N keys and,
// while its shadow is not serviced, removes every key and writes them all
// again in a shuffled order, so that each lands in another key's old slot;
// the shadow then follows with service(budget) rounds (budget 0: unbounded)
// until synchronised. /subject times those rounds; /baseline times the same
// shadow following 2N in-place overwrites of the same keys (as many
// notifications, no key moving). Counters: peak_transit (most keys in
// transit seen at a callback or after a round), max_round_ms, rounds, ok
// (the shadow ends indexing N keys, none in transit, none reported gone, at
// least N keys reported). Setup and the writer's burst are outside the
// timing.
//
//   build/<dir>/bench/shm_reader_bench      (release preset for figures)
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include <benchmark/benchmark.h>
#include <lmdb.h>

#include "Lumo/Rdtsc.h"
#include "Mem/RootPath.h"
#include "Vorn/Ops.h"
#include "Vorn/VornReader.h"
#include "Vorn/VornShadow.h"
#include "Vorn/VornWriter.h"
#include "support/Ratio.h"

namespace {

struct Rec64 {
    std::uint32_t key;
    std::uint32_t gen;
    std::uint64_t stamp;  // CLOCK_MONOTONIC ns of the write (latency cases)
    std::uint64_t payload[5];
    std::uint64_t checksum;
    std::uint32_t fwkKey() const { return key; }
    std::uint64_t sum() const {
        std::uint64_t h = 0x9e3779b97f4a7c15ull ^ (std::uint64_t(key) << 32 | gen);
        h = (h ^ stamp) * 0xff51afd7ed558ccdull;
        for (auto p : payload) h = (h ^ p) * 0xc4ceb9fe1a85ec53ull;
        return h ^ (h >> 29);
    }
    bool whole() const { return checksum == sum(); }
};
static_assert(sizeof(Rec64) == 64);

std::uint64_t monoNs() {
    timespec ts;
    ::clock_gettime(CLOCK_MONOTONIC, &ts);
    return std::uint64_t(ts.tv_sec) * 1000000000ull + std::uint64_t(ts.tv_nsec);
}

Rec64 makeRec(std::uint32_t key, std::uint32_t gen, std::uint64_t stamp = 0) {
    Rec64 r{};
    r.key = key;
    r.gen = gen;
    r.stamp = stamp;
    for (int i = 0; i < 5; ++i) r.payload[i] = (std::uint64_t(key) << 32 | gen) * 0x9e3779b97f4a7c15ull + std::uint64_t(i);
    r.checksum = r.sum();
    return r;
}

using Ops = Vorn::BasicOps<Rec64>;
Ops ops() { return Ops(0x7e57c0de, "bench::Rec64"); }

// Kept for the whole process (never destroyed), so that the exit handler
// that removes the directory can still read its name.
std::string const& benchRoot() {
    static std::string const* const dir = [] {
        auto* d = new std::string(std::string("/dev/shm/x2shmrbench.") + std::to_string(::getpid()));
        std::filesystem::create_directories(*d);
        std::atexit([] {
            std::error_code ec;
            std::filesystem::remove_all(benchRoot(), ec);
        });
        return d;
    }();
    return *dir;
}

void lmdbCheck(int rc) {
    if (rc != 0) {
        std::fprintf(stderr, "lmdb: %s\n", mdb_strerror(rc));
        std::abort();
    }
}

struct LmdbEnv {
    MDB_env* env = nullptr;
    MDB_dbi dbi = 0;
    explicit LmdbEnv(std::string const& dir) {
        lmdbCheck(mdb_env_create(&env));
        lmdbCheck(mdb_env_set_mapsize(env, std::size_t(2) << 30));
        lmdbCheck(mdb_env_open(env, dir.c_str(), MDB_WRITEMAP | MDB_NOSYNC, 0664));
        MDB_txn* txn;
        lmdbCheck(mdb_txn_begin(env, nullptr, 0, &txn));
        lmdbCheck(mdb_dbi_open(txn, nullptr, MDB_INTEGERKEY, &dbi));
        lmdbCheck(mdb_txn_commit(txn));
    }
    ~LmdbEnv() { mdb_env_close(env); }
};

// ------------------------------------------------------------------ writer process

// A writer in a child process, driven by one-byte commands on a pipe:
// 'i' idle, 'b' overwrite continuously, 's' storm (insert/overwrite/remove),
// 'p' + 8-byte rate: stamped writes at that rate (0: as fast as possible),
// 'P' + 8-byte rate: stamps sent through the reply pipe instead, 'q' quit.
// The child acknowledges each command with one byte.
class WriterProc {
public:
    enum Store { map, lmdb };

    WriterProc(Store store, std::string dir, std::uint32_t n, std::uint32_t keySpace = 0) : dir_(std::move(dir)) {
        int c[2], r[2];
        if (::pipe(c) != 0 || ::pipe(r) != 0) std::abort();
        pid_ = ::fork();
        if (pid_ == 0) {
            ::close(c[1]);
            ::close(r[0]);
            run(store, dir_, n, keySpace ? keySpace : n, c[0], r[1]);
            std::_Exit(0);
        }
        ::close(c[0]);
        ::close(r[1]);
        cmd_ = c[1];
        reply_ = r[0];
        ack();
    }
    ~WriterProc() {
        send('q');
        ::waitpid(pid_, nullptr, 0);
        ::close(cmd_);
        ::close(reply_);
    }
    void send(char c, std::uint64_t arg = 0) {
        char buf[9];
        buf[0] = c;
        std::memcpy(buf + 1, &arg, 8);
        (void)!::write(cmd_, buf, (c == 'p' || c == 'P') ? 9 : 1);
        if (c != 'q') ack();
    }
    int replyFd() const { return reply_; }

private:
    void ack() {
        char b;
        while (::read(reply_, &b, 1) != 1) {
        }
    }

    static void run(Store store, std::string const& dir, std::uint32_t n, std::uint32_t keySpace, int cmd, int reply) {
        std::unique_ptr<Vorn::VornWriter<Ops>> w;
        std::unique_ptr<LmdbEnv> db;
        if (store == map) {
            Vorn::MapDescriptor d(std::max<std::uint32_t>(n, 16));
            w = std::make_unique<Vorn::VornWriter<Ops>>(nullptr, "bench", d, ops(), Mem::RootPath(dir));
            w->initialize("bench");
            if (w->members() == 0)
                for (std::uint32_t k = 0; k < n; ++k) w->write(makeRec(k, 0), true);
        } else {
            db = std::make_unique<LmdbEnv>(dir);
        }
        char ok = 'k';
        (void)!::write(reply, &ok, 1);
        char mode = 'i';
        std::uint64_t rate = 0;
        std::uint32_t gen = 1, i = 0;
        std::mt19937 rng(99);
        std::uint64_t next = monoNs();
        MDB_txn* txn = nullptr;
        int inTxn = 0;
        for (std::uint64_t loop = 0;; ++loop) {
            // Commands are looked for every 256 changes while busy: a poll per
            // change would bound the writer's rate by the system call.
            pollfd p{cmd, POLLIN, 0};
            if ((mode == 'i' || loop % 256 == 0) && ::poll(&p, 1, mode == 'i' ? -1 : 0) > 0) {
                char buf[9];
                if (::read(cmd, buf, 1) != 1) break;
                if (buf[0] == 'p' || buf[0] == 'P') {
                    if (::read(cmd, &rate, 8) != 8) break;
                    next = monoNs();
                }
                if (txn) {
                    lmdbCheck(mdb_txn_commit(txn));
                    txn = nullptr;
                }
                mode = buf[0];
                if (mode == 'q') break;
                (void)!::write(reply, &ok, 1);
                continue;
            }
            if (mode == 'b' || mode == 's') {
                std::uint32_t k = mode == 'b' ? i++ % n : rng() % keySpace;
                Rec64 v = makeRec(k, gen++);
                if (w) {
                    if (mode == 's' && rng() % 100 < 35) {
                        Rec64 out;
                        w->remove(k, out);
                    } else {
                        w->write(v, true);
                    }
                } else {
                    // Batches of 64 overwrites per transaction keep LMDB's writer busy
                    // without measuring its commit cost.
                    if (!txn) lmdbCheck(mdb_txn_begin(db->env, nullptr, 0, &txn));
                    MDB_val key{sizeof k, &k}, val{sizeof v, &v};
                    lmdbCheck(mdb_put(txn, db->dbi, &key, &val, 0));
                    if (++inTxn == 64) {
                        lmdbCheck(mdb_txn_commit(txn));
                        txn = nullptr;
                        inTxn = 0;
                    }
                }
            } else if (mode == 'p' || mode == 'P') {
                std::uint64_t now = monoNs();
                if (rate && now < next) {
                    if (next - now > 20000) ::usleep(std::uint32_t((next - now) / 1000 / 2));
                    continue;
                }
                if (rate) next += 1000000000ull / rate;
                std::uint32_t k = i++ % n;
                std::uint64_t stamp = monoNs();
                if (mode == 'p') {
                    w->write(makeRec(k, gen++, stamp), true);
                } else {
                    (void)!::write(reply, &stamp, 8);
                }
            }
        }
        if (txn) lmdbCheck(mdb_txn_commit(txn));
        if (w) w->detach();
    }

    std::string dir_;
    pid_t pid_ = -1;
    int cmd_ = -1, reply_ = -1;
};

// ------------------------------------------------------------------ lookups

struct Percentiles {
    double p50 = 0, p99 = 0, p999 = 0;
};
Percentiles percentiles(std::vector<std::uint64_t>& samples, double nsPerUnit) {
    Percentiles p;
    if (samples.empty()) return p;
    std::sort(samples.begin(), samples.end());
    auto at = [&](double q) { return double(samples[std::min(samples.size() - 1, std::size_t(q * double(samples.size())))]) * nsPerUnit; };
    p.p50 = at(0.5);
    p.p99 = at(0.99);
    p.p999 = at(0.999);
    return p;
}
double nsPerCycle() { return 1e9 / double(Lumo::Rdtsc::calibrationRate()); }

// p50 per case name ("map/idle/N"), for the cross-row ratios.
std::map<std::string, double>& p50s() {
    static std::map<std::string, double> m;
    return m;
}

// One data set per size, shared by all its rows: a map and an LMDB copy.
struct DataSet {
    std::string mapDir, lmdbDir;
    std::unique_ptr<WriterProc> mapWriter, lmdbWriter;
};
DataSet& dataSet(std::uint32_t n) {
    static std::map<std::uint32_t, std::unique_ptr<DataSet>> sets;
    auto& s = sets[n];
    if (s) return *s;
    s = std::make_unique<DataSet>();
    s->mapDir = benchRoot() + "/map" + std::to_string(n);
    s->lmdbDir = benchRoot() + "/lmdb" + std::to_string(n);
    std::filesystem::create_directories(s->lmdbDir);
    {
        LmdbEnv db(s->lmdbDir);
        MDB_txn* txn;
        lmdbCheck(mdb_txn_begin(db.env, nullptr, 0, &txn));
        for (std::uint32_t k = 0; k < n; ++k) {
            Rec64 v = makeRec(k, 0);
            MDB_val key{sizeof k, &k}, val{sizeof v, &v};
            lmdbCheck(mdb_put(txn, db.dbi, &key, &val, MDB_APPEND));
        }
        lmdbCheck(mdb_txn_commit(txn));
    }
    s->mapWriter = std::make_unique<WriterProc>(WriterProc::map, s->mapDir, n);
    s->lmdbWriter = std::make_unique<WriterProc>(WriterProc::lmdb, s->lmdbDir, n);
    return *s;
}

std::vector<std::uint32_t> lookupOrder(std::uint32_t n) {
    std::vector<std::uint32_t> keys(1u << 20);  // a power of two: indexed with a mask
    std::mt19937 rng(n);
    for (auto& k : keys) k = rng() % n;
    return keys;
}

void report(benchmark::State& state, std::string const& name, std::vector<std::uint64_t>& samples) {
    auto p = percentiles(samples, nsPerCycle());
    state.counters["p50_ns"] = p.p50;
    state.counters["p99_ns"] = p.p99;
    p50s()[name] = p.p50;
}

void BM_MapLookup(benchmark::State& state, bool busy) {
    std::uint32_t n = std::uint32_t(state.range(0));
    DataSet& ds = dataSet(n);
    Vorn::VornReader<Ops> r(nullptr, "bench", Mem::RootPath(ds.mapDir), ops());
    if (!r.initialize("bench")) {
        state.SkipWithError("reader attach failed");
        return;
    }
    auto keys = lookupOrder(n);
    std::vector<std::uint64_t> samples;
    samples.reserve(1 << 20);
    if (busy) ds.mapWriter->send('b');
    std::size_t i = 0;
    std::uint64_t torn = 0;
    Vorn::IterHint h;
    auto c0 = r.readerCounters();
    for (auto _ : state) {
        Rec64 v;
        std::uint32_t k = keys[i++ & (keys.size() - 1)];
        std::uint64_t t0 = Lumo::Rdtsc::now();
        bool found = r.lookup(k, v, h);
        std::uint64_t t1 = Lumo::Rdtsc::now();
        benchmark::DoNotOptimize(v);
        if (!found || !v.whole()) ++torn;
        if (samples.size() < samples.capacity()) samples.push_back(t1 - t0);
    }
    if (busy) ds.mapWriter->send('i');
    auto c1 = r.readerCounters();
    double reads = double(state.iterations());
    state.counters["retries_per_Mread"] = double(c1.retries + c1.resizeRetries - c0.retries - c0.resizeRetries) / reads * 1e6;
    state.counters["spare_per_Mread"] = double(c1.spareReads - c0.spareReads) / reads * 1e6;
    state.counters["bad"] = double(torn);
    std::string name = fmt::format("map/{}/{}", busy ? "busy" : "idle", n);
    report(state, name, samples);
    if (busy && p50s().count(fmt::format("map/idle/{}", n)))
        state.counters["busy_vs_idle_p50"] = p50s()[name] / p50s()[fmt::format("map/idle/{}", n)];
    std::string lm = fmt::format("lmdb/{}/{}", busy ? "busy" : "idle", n);
    if (p50s().count(lm)) state.counters["lmdb_vs_map_p50"] = p50s()[lm] / p50s()[name];
}

void BM_LmdbLookup(benchmark::State& state, bool busy) {
    std::uint32_t n = std::uint32_t(state.range(0));
    DataSet& ds = dataSet(n);
    LmdbEnv db(ds.lmdbDir);
    MDB_txn* txn;
    lmdbCheck(mdb_txn_begin(db.env, nullptr, MDB_RDONLY, &txn));
    mdb_txn_reset(txn);
    auto keys = lookupOrder(n);
    std::vector<std::uint64_t> samples;
    samples.reserve(1 << 20);
    if (busy) ds.lmdbWriter->send('b');
    std::size_t i = 0;
    std::uint64_t bad = 0;
    for (auto _ : state) {
        Rec64 v;
        std::uint32_t k = keys[i++ & (keys.size() - 1)];
        std::uint64_t t0 = Lumo::Rdtsc::now();
        lmdbCheck(mdb_txn_renew(txn));
        MDB_val key{sizeof k, &k}, val;
        int rc = mdb_get(txn, db.dbi, &key, &val);
        if (rc == 0) std::memcpy(&v, val.mv_data, sizeof v);
        mdb_txn_reset(txn);
        std::uint64_t t1 = Lumo::Rdtsc::now();
        benchmark::DoNotOptimize(v);
        if (rc != 0 || !v.whole()) ++bad;
        if (samples.size() < samples.capacity()) samples.push_back(t1 - t0);
    }
    if (busy) ds.lmdbWriter->send('i');
    mdb_txn_abort(txn);
    state.counters["bad"] = double(bad);
    report(state, fmt::format("lmdb/{}/{}", busy ? "busy" : "idle", n), samples);
}

// Baselines first, so that the subject rows can report the ratios.
#define X2_LOOKUP_CASES(name, busy)                                                                              \
    BENCHMARK_CAPTURE(BM_LmdbLookup, name##_baseline, busy)->Name(#name "/baseline")->Arg(1000)->Arg(64000)->Arg(1000000); \
    BENCHMARK_CAPTURE(BM_MapLookup, name##_subject, busy)->Name(#name "/subject")->Arg(1000)->Arg(64000)->Arg(1000000);

// ------------------------------------------------------------------ notifications

Vorn::ShadowCallbacks<Ops> latencyCallbacks(Vorn::VornShadow<Ops>*& self, std::vector<std::uint64_t>& samples,
                                            std::map<std::uint32_t, std::uint32_t>* lastGen, std::uint64_t& bad) {
    Vorn::ShadowCallbacks<Ops> cb;
    cb.onKey = [&self, &samples, lastGen, &bad](std::uint32_t k) {
        Rec64 v;
        if (!self->lookup(k, v) || !v.whole()) {
            ++bad;
            return;
        }
        std::uint64_t now = monoNs();
        if (v.stamp && samples.size() < samples.capacity()) samples.push_back(now - v.stamp);
        if (lastGen) (*lastGen)[k] = v.gen;
    };
    return cb;
}

void followFor(Vorn::VornShadow<Ops>& s, double seconds) {
    std::uint64_t end = monoNs() + std::uint64_t(seconds * 1e9);
    while (monoNs() < end) {
        if (s.service(4096)) continue;
        if (s.prepareToWait()) {
            pollfd p{s.fd(), POLLIN, 0};
            ::poll(&p, 1, 5);
        }
    }
}

void BM_ChangeToCallback(benchmark::State& state) {
    std::string dir = benchRoot() + "/notify";
    WriterProc wp(WriterProc::map, dir, 1024);
    std::vector<std::uint64_t> samples;
    samples.reserve(1 << 20);
    std::uint64_t bad = 0;
    Vorn::VornShadow<Ops>* self = nullptr;
    Vorn::VornShadow<Ops> s(nullptr, "bench", Mem::RootPath(dir), ops(), latencyCallbacks(self, samples, nullptr, bad));
    self = &s;
    if (!s.initialize("bench") || !s.serviceUntilSynced(5000)) {
        state.SkipWithError("shadow attach failed");
        return;
    }
    samples.clear();
    for (auto _ : state) {
        wp.send('p', 20000);  // one change every 50 us
        followFor(s, 2.0);
        wp.send('i');
        s.serviceUntilSynced(1000);
    }
    auto p = percentiles(samples, 1.0);
    state.counters["p50_ns"] = p.p50;
    state.counters["p99_ns"] = p.p99;
    state.counters["p999_ns"] = p.p999;
    state.counters["samples"] = double(samples.size());
    state.counters["bad"] = double(bad);
    p50s()["notify/map"] = p.p50;
    if (p50s().count("notify/pipe")) state.counters["vs_pipe_p50"] = p.p50 / p50s()["notify/pipe"];
}

void BM_PipeWakeup(benchmark::State& state) {
    std::string dir = benchRoot() + "/pipe";
    WriterProc wp(WriterProc::map, dir, 16);
    std::vector<std::uint64_t> samples;
    samples.reserve(1 << 20);
    for (auto _ : state) {
        wp.send('P', 20000);
        std::uint64_t end = monoNs() + 2000000000ull;
        while (monoNs() < end) {
            pollfd p{wp.replyFd(), POLLIN, 0};
            if (::poll(&p, 1, 5) <= 0) continue;
            std::uint64_t stamp;
            if (::read(wp.replyFd(), &stamp, 8) == 8 && samples.size() < samples.capacity())
                samples.push_back(monoNs() - stamp);
        }
        wp.send('i');
        // Drain what is left (the acknowledgement was read by send()).
        pollfd p{wp.replyFd(), POLLIN, 0};
        std::uint64_t stamp;
        while (::poll(&p, 1, 0) > 0 && ::read(wp.replyFd(), &stamp, 8) == 8) {
        }
    }
    auto p = percentiles(samples, 1.0);
    state.counters["p50_ns"] = p.p50;
    state.counters["p99_ns"] = p.p99;
    state.counters["p999_ns"] = p.p999;
    p50s()["notify/pipe"] = p.p50;
}

void BM_SustainedRate(benchmark::State& state) {
    std::uint64_t rate = std::uint64_t(state.range(0));
    std::string dir = benchRoot() + "/rate" + std::to_string(rate);
    constexpr std::uint32_t kKeys = 4096;
    WriterProc wp(WriterProc::map, dir, kKeys);
    std::vector<std::uint64_t> samples;
    samples.reserve(1 << 20);
    std::map<std::uint32_t, std::uint32_t> lastGen;
    std::uint64_t bad = 0;
    Vorn::VornShadow<Ops>* self = nullptr;
    Vorn::VornShadow<Ops> s(nullptr, "bench", Mem::RootPath(dir), ops(), latencyCallbacks(self, samples, &lastGen, bad));
    self = &s;
    if (!s.initialize("bench") || !s.serviceUntilSynced(5000)) {
        state.SkipWithError("shadow attach failed");
        return;
    }
    std::uint64_t resyncs0 = s.syncer().resyncs();
    for (auto _ : state) {
        wp.send('p', rate);
        followFor(s, 1.0);
        wp.send('i');
        s.serviceUntilSynced(5000);
    }
    // Every key's last report must carry its final value.
    Vorn::VornReader<Ops> r(nullptr, "bench", Mem::RootPath(dir), ops());
    std::uint64_t missed = 0;
    if (r.initialize("check")) {
        Vorn::IterHint h;
        for (std::uint32_t k = 0; k < kKeys; ++k) {
            Rec64 v;
            if (r.lookup(k, v, h) && lastGen[k] != v.gen) ++missed;
        }
    }
    auto p = percentiles(samples, 1.0);
    state.counters["resyncs"] = double(s.syncer().resyncs() - resyncs0);
    state.counters["all_reported"] = missed == 0 && bad == 0 ? 1 : 0;
    state.counters["changes"] = double(s.syncer().delivered());
    state.counters["p99_ns"] = p.p99;
}

void BM_TornCheck(benchmark::State& state) {
    std::string dir = benchRoot() + "/torn";
    constexpr std::uint32_t kKeys = 20000;
    WriterProc wp(WriterProc::map, dir, kKeys / 2, kKeys);
    Vorn::VornReader<Ops> r(nullptr, "bench", Mem::RootPath(dir), ops());
    if (!r.initialize("torn")) {
        state.SkipWithError("reader attach failed");
        return;
    }
    wp.send('s');
    std::uint64_t reads = 0, found = 0, torn = 0, wrong = 0;
    std::uint32_t x = 12345;
    Vorn::IterHint h;
    for (auto _ : state) {
        x = x * 1103515245u + 12345u;
        std::uint32_t k = (x >> 8) % kKeys;
        Rec64 v;
        ++reads;
        if (r.lookup(k, v, h)) {
            ++found;
            if (!v.whole()) ++torn;
            if (v.key != k) ++wrong;
        }
    }
    wp.send('i');
    auto c = r.readerCounters();
    state.counters["reads"] = double(reads);
    state.counters["found"] = double(found);
    state.counters["torn"] = double(torn + wrong);
    state.counters["spare_reads"] = double(c.spareReads);
    state.counters["retries"] = double(c.retries + c.resizeRetries);
}

// ------------------------------------------------------------------ keys in transit

void BM_ShadowReshuffle(benchmark::State& state, bool reshuffle) {
    std::uint32_t const n = std::uint32_t(state.range(0));
    std::size_t const budget = state.range(1) ? std::size_t(state.range(1)) : SIZE_MAX;
    std::size_t peak = 0, rounds = 0;
    double maxRound = 0;
    bool ok = true;
    for (auto _ : state) {
        state.PauseTiming();
        std::string dir = benchRoot() + "/reshuffle";
        std::filesystem::remove_all(dir);
        std::filesystem::create_directories(dir);
        Mem::RootPath rp(dir);
        Vorn::VornWriter<Ops> w(nullptr, "bench", Vorn::MapDescriptor(64), ops(), rp);
        w.initialize("bench");
        std::vector<std::uint32_t> keys(n);
        for (std::uint32_t i = 0; i < n; ++i) keys[i] = i * 7 + 1;
        std::uint32_t gen = 0;
        for (std::uint32_t k : keys) w.write(makeRec(k, ++gen), true);
        Vorn::VornShadow<Ops>* self = nullptr;
        std::uint64_t reported = 0, gone = 0;
        Vorn::ShadowCallbacks<Ops> cb;
        cb.onKey = [&](std::uint32_t) {
            ++reported;
            peak = std::max(peak, self->store().inTransit());
        };
        cb.onKeyValue = [&](std::uint32_t, Rec64 const*) { ++gone; };
        Vorn::VornShadow<Ops> s(nullptr, "bench", rp, ops(), cb);
        self = &s;
        if (!s.initialize("bench") || !s.serviceUntilSynced(60000)) {
            state.SkipWithError("shadow attach failed");
            return;
        }
        reported = 0;
        std::mt19937 rng(7);
        if (reshuffle) {
            Rec64 out;
            for (std::uint32_t k : keys) w.remove(k, out);
            std::shuffle(keys.begin(), keys.end(), rng);
            for (std::uint32_t k : keys) w.write(makeRec(k, ++gen), true);
        } else {
            for (int pass = 0; pass < 2; ++pass)
                for (std::uint32_t k : keys) w.write(makeRec(k, ++gen), true);
        }
        state.ResumeTiming();
        for (;;) {
            std::uint64_t t0 = monoNs();
            bool more = s.service(budget);
            maxRound = std::max(maxRound, double(monoNs() - t0) / 1e6);
            peak = std::max(peak, s.store().inTransit());
            ++rounds;
            if (!more && s.syncer().done() && !s.quorl().pending()) break;
        }
        state.PauseTiming();
        ok = ok && gone == 0 && reported >= n && s.store().keyed() == n && s.store().inTransit() == 0;
        s.detach(true);
        w.detach();
        w.cleanup();
        state.ResumeTiming();
    }
    state.counters["peak_transit"] = double(peak);
    state.counters["max_round_ms"] = maxRound;
    state.counters["rounds"] = double(rounds);
    state.counters["ok"] = ok ? 1 : 0;
}

X2_LOOKUP_CASES(lookup_idle, false)
X2_LOOKUP_CASES(lookup_busy, true)
BENCHMARK(BM_PipeWakeup)->Name("change_to_callback/baseline")->Iterations(1)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ChangeToCallback)->Name("change_to_callback/subject")->Iterations(1)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_SustainedRate)
    ->Name("sustained_rate")
    ->Arg(100000)
    ->Arg(200000)
    ->Arg(400000)
    ->Arg(800000)
    ->Arg(0)
    ->Iterations(1)
    ->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_ShadowReshuffle, baseline, false)
    ->Name("shadow_reshuffle/baseline")
    ->ArgsProduct({{10000, 100000, 1000000}, {4096, 0}})
    ->Iterations(1)
    ->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_ShadowReshuffle, subject, true)
    ->Name("shadow_reshuffle/subject")
    ->ArgsProduct({{10000, 100000, 1000000}, {4096, 0}})
    ->Iterations(1)
    ->Unit(benchmark::kMillisecond);
BENCHMARK(BM_TornCheck)
    ->Name("torn_check")
    ->Iterations([] {
        char const* e = std::getenv("X2_SHMR_TORN_READS");
        return benchmark::IterationCount(e ? std::atoll(e) : 100000000);
    }())
    ->Unit(benchmark::kMillisecond);

}  // namespace

X2_BENCH_MAIN()
