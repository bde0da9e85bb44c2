// Shared-memory map writer beside LMDB (MDB_WRITEMAP | MDB_NOSYNC, integer
// keys, both in /dev/shm), at 1 thousand, 64 thousand and 1 million keys of
// 64-byte values. Every operation is measured at the stated size: inserts
// add a batch of new keys to a map holding N keys (the batch is removed again
// untimed), removes take a batch out (re-inserted untimed), overwrites cycle
// over a batch of the N keys, lookups stride over all N. Inserts, removes and
// overwrites run twice over the same key set: in ascending order ("seq",
// LMDB's best case: every key lands beside the last one in its B-tree) and
// in a fixed-seed random permutation ("random"). LMDB runs with one
// transaction per operation ("commit") and with 1,000 operations per
// transaction ("batch"). The map's rows carry the ratio to both LMDB figures
// of the same order measured earlier in the same run (vs_commit, vs_batch),
// and a table of all ratios is printed at the end; the reorganisation row
// reports the longest bucket/slot reorganisation and the longest time slice
// between two yields to the scheduler while a map grows to and shrinks from
// 1 million keys.
//
//   build/<dir>/bench/shm_writer_bench            (release preset for figures)
#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <map>
#include <memory>
#include <random>
#include <string>
#include <tuple>
#include <vector>

#include <unistd.h>

#include <benchmark/benchmark.h>
#include <lmdb.h>

#include "Lumo/Scheduler.h"
#include "Mem/RootPath.h"
#include "Vex/Hash.h"
#include "Vorn/Ops.h"
#include "Vorn/VornWriter.h"

namespace {

struct Rec64 {
    std::uint32_t key;
    std::uint32_t gen;
    std::uint64_t payload[6];
    std::uint64_t checksum;
    std::uint32_t fwkKey() const { return key; }
};
static_assert(sizeof(Rec64) == 64);

Rec64 makeRec(std::uint32_t key, std::uint32_t gen) {
    Rec64 r{};
    r.key = key;
    r.gen = gen;
    for (int i = 0; i < 6; ++i) r.payload[i] = key * 31ull + gen + i;
    r.checksum = key ^ gen;
    return r;
}

using Ops = Vorn::BasicOps<Rec64>;
using Writer = Vorn::VornWriter<Ops>;

std::string benchRoot() {
    static std::string dir = [] {
        std::string d = "/dev/shm/x2shmbench." + std::to_string(::getpid());
        std::filesystem::create_directories(d);
        return d;
    }();
    return dir;
}

std::uint32_t batchFor(std::uint32_t n) { return std::min<std::uint32_t>(n / 2, 20000); }

// The order in which an operation visits its batch of keys.
enum class Order { seq, random };
char const* orderName(Order o) {
    switch (o) {
        case Order::seq: return "seq";
        case Order::random: return "random";
    }
    return "?";
}

// The keys [from, from + count) in the given order: ascending, or one
// fixed-seed permutation of them (the same for the map and LMDB).
std::vector<std::uint32_t> const& keys(std::uint32_t from, std::uint32_t count, Order o) {
    static std::map<std::tuple<std::uint32_t, std::uint32_t, Order>, std::vector<std::uint32_t>> cache;
    auto& v = cache[{from, count, o}];
    if (v.empty()) {
        v.resize(count);
        for (std::uint32_t i = 0; i < count; ++i) v[i] = from + i;
        if (o == Order::random) {
            std::mt19937 rng(0x5eed0000u + count);
            std::shuffle(v.begin(), v.end(), rng);
        }
    }
    return v;
}

// ------------------------------------------------------------------ LMDB

struct Lmdb {
    MDB_env* env = nullptr;
    MDB_dbi dbi = 0;
    std::uint32_t n;
    explicit Lmdb(std::uint32_t n_) : n(n_) {
        std::string dir = benchRoot() + "/lmdb" + std::to_string(n);
        std::filesystem::create_directories(dir);
        check(mdb_env_create(&env));
        check(mdb_env_set_mapsize(env, std::size_t(4) << 30));
        check(mdb_env_open(env, dir.c_str(), MDB_WRITEMAP | MDB_NOSYNC, 0664));
        MDB_txn* txn;
        check(mdb_txn_begin(env, nullptr, 0, &txn));
        check(mdb_dbi_open(txn, nullptr, MDB_INTEGERKEY, &dbi));
        check(mdb_txn_commit(txn));
        putRange(0, n, 0, 1000);
    }
    ~Lmdb() { mdb_env_close(env); }
    static void check(int rc) {
        if (rc != 0) {
            std::fprintf(stderr, "lmdb: %s\n", mdb_strerror(rc));
            std::abort();
        }
    }
    void putRange(std::uint32_t from, std::uint32_t to, std::uint32_t gen, std::uint32_t perTxn) {
        putKeys(keys(from, to - from, Order::seq), gen, perTxn);
    }
    void delRange(std::uint32_t from, std::uint32_t to, std::uint32_t perTxn) {
        delKeys(keys(from, to - from, Order::seq), perTxn);
    }
    void putKeys(std::vector<std::uint32_t> const& ks, std::uint32_t gen, std::uint32_t perTxn) {
        MDB_txn* txn = nullptr;
        std::uint32_t inTxn = 0;
        for (std::uint32_t k : ks) {
            if (!txn) check(mdb_txn_begin(env, nullptr, 0, &txn));
            Rec64 r = makeRec(k, gen);
            MDB_val key{sizeof k, &k}, val{sizeof r, &r};
            check(mdb_put(txn, dbi, &key, &val, 0));
            if (++inTxn == perTxn) {
                check(mdb_txn_commit(txn));
                txn = nullptr;
                inTxn = 0;
            }
        }
        if (txn) check(mdb_txn_commit(txn));
    }
    void delKeys(std::vector<std::uint32_t> const& ks, std::uint32_t perTxn) {
        MDB_txn* txn = nullptr;
        std::uint32_t inTxn = 0;
        for (std::uint32_t k : ks) {
            if (!txn) check(mdb_txn_begin(env, nullptr, 0, &txn));
            MDB_val key{sizeof k, &k};
            check(mdb_del(txn, dbi, &key, nullptr));
            if (++inTxn == perTxn) {
                check(mdb_txn_commit(txn));
                txn = nullptr;
                inTxn = 0;
            }
        }
        if (txn) check(mdb_txn_commit(txn));
    }
};

Lmdb& lmdb(std::uint32_t n) {
    static std::map<std::uint32_t, std::unique_ptr<Lmdb>> envs;
    auto& e = envs[n];
    if (!e) e = std::make_unique<Lmdb>(n);
    return *e;
}

void BM_LmdbInsert(benchmark::State& state, std::uint32_t perTxn, Order o) {
    std::uint32_t n = std::uint32_t(state.range(0));
    auto& db = lmdb(n);
    std::uint32_t b = batchFor(n);
    auto const& ks = keys(n, b, o);
    for (auto _ : state) {
        db.putKeys(ks, 1, perTxn);
        state.PauseTiming();
        db.delRange(n, n + b, 1000);
        state.ResumeTiming();
    }
    state.SetItemsProcessed(state.iterations() * b);
}

void BM_LmdbRemove(benchmark::State& state, std::uint32_t perTxn, Order o) {
    std::uint32_t n = std::uint32_t(state.range(0));
    auto& db = lmdb(n);
    std::uint32_t b = batchFor(n);
    auto const& ks = keys(0, b, o);
    for (auto _ : state) {
        db.delKeys(ks, perTxn);
        state.PauseTiming();
        db.putRange(0, b, 0, 1000);
        state.ResumeTiming();
    }
    state.SetItemsProcessed(state.iterations() * b);
}

void BM_LmdbOverwrite(benchmark::State& state, std::uint32_t perTxn, Order o) {
    std::uint32_t n = std::uint32_t(state.range(0));
    auto& db = lmdb(n);
    std::uint32_t b = batchFor(n);
    auto const& ks = keys(0, b, o);
    std::uint32_t gen = 1;
    for (auto _ : state) db.putKeys(ks, ++gen, perTxn);
    state.SetItemsProcessed(state.iterations() * b);
}

void BM_LmdbLookup(benchmark::State& state) {
    std::uint32_t n = std::uint32_t(state.range(0));
    auto& db = lmdb(n);
    MDB_txn* txn;
    Lmdb::check(mdb_txn_begin(db.env, nullptr, MDB_RDONLY, &txn));
    std::uint32_t k = 0;
    std::uint64_t sum = 0;
    for (auto _ : state) {
        MDB_val key{sizeof k, &k}, val;
        Lmdb::check(mdb_get(txn, db.dbi, &key, &val));
        sum += static_cast<Rec64 const*>(val.mv_data)->gen;
        k = k + 7919 < n ? k + 7919 : (k + 7919) % n;
    }
    benchmark::DoNotOptimize(sum);
    mdb_txn_abort(txn);
    state.SetItemsProcessed(state.iterations());
}

// ------------------------------------------------------------------ map writer

Writer& vorn(std::uint32_t n) {
    static std::map<std::uint32_t, std::unique_ptr<Writer>> writers;
    auto& w = writers[n];
    if (!w) {
        Vorn::MapDescriptor d(128);
        w = std::make_unique<Writer>(Lumo::Platform::getDebugHandler("Bench"), "bench", d, Ops(0x5eed1234, "Rec64"),
                                     Mem::ZorbRootPath(benchRoot(), "vorn" + std::to_string(n)));
        w->initialize("none");
        for (std::uint32_t k = 0; k < n; ++k) w->write(makeRec(k, 0), true);
    }
    return *w;
}

void BM_VornInsert(benchmark::State& state, Order o) {
    std::uint32_t n = std::uint32_t(state.range(0));
    auto& w = vorn(n);
    std::uint32_t b = batchFor(n);
    auto const& ks = keys(n, b, o);
    Rec64 out;
    for (auto _ : state) {
        for (std::uint32_t k : ks) w.write(makeRec(k, 1), true);
        state.PauseTiming();
        for (std::uint32_t k = n; k < n + b; ++k) w.remove(k, out);
        state.ResumeTiming();
    }
    state.SetItemsProcessed(state.iterations() * b);
}

void BM_VornRemove(benchmark::State& state, Order o) {
    std::uint32_t n = std::uint32_t(state.range(0));
    auto& w = vorn(n);
    std::uint32_t b = batchFor(n);
    auto const& ks = keys(0, b, o);
    Rec64 out;
    for (auto _ : state) {
        for (std::uint32_t k : ks) w.remove(k, out);
        state.PauseTiming();
        for (std::uint32_t k = 0; k < b; ++k) w.write(makeRec(k, 0), true);
        state.ResumeTiming();
    }
    state.SetItemsProcessed(state.iterations() * b);
}

void BM_VornOverwrite(benchmark::State& state, Order o) {
    std::uint32_t n = std::uint32_t(state.range(0));
    auto& w = vorn(n);
    std::uint32_t b = batchFor(n);
    auto const& ks = keys(0, b, o);
    std::uint32_t gen = 1;
    for (auto _ : state) {
        ++gen;
        for (std::uint32_t k : ks) w.write(makeRec(k, gen), true);
    }
    state.SetItemsProcessed(state.iterations() * b);
}

void BM_VornLookup(benchmark::State& state) {
    std::uint32_t n = std::uint32_t(state.range(0));
    auto& w = vorn(n);
    std::uint32_t k = 0;
    std::uint64_t sum = 0;
    for (auto _ : state) {
        sum += w.lookup(k)->gen;
        k = k + 7919 < n ? k + 7919 : (k + 7919) % n;
    }
    benchmark::DoNotOptimize(sum);
    state.SetItemsProcessed(state.iterations());
}

// Grows a map from empty to 1 million keys and shrinks it back to empty,
// with the critical-task check on; reports the longest reorganisations.
void BM_VornReorganisation1M(benchmark::State& state) {
    std::uint32_t yields = 0;
    auto task = Lumo::TaskSchedulerRoot::criticalPriorityTaskIs([&] { ++yields; });
    Vorn::WriterCounters c{};
    for (auto _ : state) {
        Vorn::MapDescriptor d(32);
        Writer w(Lumo::Platform::getDebugHandler("Bench"), "reorg", d, Ops(0x77, "Rec64"),
                 Mem::ZorbRootPath(benchRoot(), "reorg"));
        w.initialize("none");
        for (std::uint32_t k = 0; k < 1000000; ++k) w.write(makeRec(k, 0), true);
        Rec64 out;
        for (std::uint32_t k = 0; k < 1000000; ++k) w.remove(k, out);
        c = w.counters();
        w.cleanup();
    }
    Lumo::TaskSchedulerRoot::criticalPriorityTaskDel(task);
    state.counters["longest_bucket_grow_ms"] = c.longestBucketGrowSeconds * 1e3;
    state.counters["longest_bucket_shrink_ms"] = c.longestBucketShrinkSeconds * 1e3;
    state.counters["longest_slot_shrink_ms"] = c.longestSlotShrinkSeconds * 1e3;
    state.counters["longest_slice_ms"] = c.longestSliceSeconds * 1e3;
    state.counters["slice_budget_ms"] = 10;
    state.counters["yields"] = yields;
    state.counters["slot_grows"] = double(c.grows);
    state.counters["slot_shrinks"] = double(c.shrinks);
}

// Rates of one operation at one size and order: the map's and LMDB's.
struct Rates {
    double map = 0, commit = 0, batch = 0;
};
// By (operation, size, order); lookups are filed under the order "stride"
// with LMDB's single rate as "commit".
char const* const kOrders[] = {"seq", "random", "stride"};
std::map<std::tuple<int, std::uint32_t, int>, Rates>& table() {
    static std::map<std::tuple<int, std::uint32_t, int>, Rates> t;
    return t;
}
int orderIndex(std::string const& name) {
    for (int i = 0; i < 3; ++i)
        if (name == kOrders[i]) return i;
    return 2;
}
char const* const kOps[] = {"Insert", "Overwrite", "Remove", "Lookup"};

std::vector<std::string> split(std::string const& s) {
    std::vector<std::string> out;
    std::size_t from = 0;
    for (std::size_t at; (at = s.find('/', from)) != std::string::npos; from = at + 1) out.push_back(s.substr(from, at - from));
    out.push_back(s.substr(from));
    return out;
}

// Records each baseline's items_per_second as it finishes, and adds the
// ratio columns to the map's rows. Names: BM_Lmdb<Op>/<commit|batch>/<order>/N,
// BM_Vorn<Op>/<order>/N, BM_LmdbLookup/N, BM_VornLookup/N.
class RatioReporter : public benchmark::ConsoleReporter {
public:
    void ReportRuns(std::vector<Run> const& runs) override {
        std::vector<Run> copy = runs;
        for (auto& r : copy) {
            auto it = r.counters.find("items_per_second");
            if (it == r.counters.end()) continue;
            double ips = it->second.value;
            auto parts = split(r.benchmark_name());
            if (parts.size() < 2 || parts.back().empty() || !std::isdigit((unsigned char)parts.back()[0])) continue;
            std::uint32_t n = std::uint32_t(std::stoul(parts.back()));
            for (int op = 0; op < 4; ++op) {
                bool lookup = op == 3;
                if (parts[0] == std::string("BM_Lmdb") + kOps[op]) {
                    if (lookup && parts.size() == 2) table()[{op, n, 2}].commit = ips;
                    if (!lookup && parts.size() == 4) {
                        Rates& t = table()[{op, n, orderIndex(parts[2])}];
                        (parts[1] == "commit" ? t.commit : t.batch) = ips;
                    }
                }
                if (parts[0] == std::string("BM_Vorn") + kOps[op]) {
                    Rates& t = table()[{op, n, lookup ? 2 : orderIndex(parts[1])}];
                    t.map = ips;
                    if (t.commit > 0) r.counters[lookup ? "vs_lmdb" : "vs_commit"] = ips / t.commit;
                    if (t.batch > 0) r.counters["vs_batch"] = ips / t.batch;
                }
            }
        }
        ConsoleReporter::ReportRuns(copy);
    }
};

// The ratio table: the map's rate over each LMDB rate, per operation, key
// order and size (CPU time; above 1 the map is faster).
void printRatios() {
    if (table().empty()) return;
    std::printf("\nmap writer / LMDB (items per second, CPU time)\n");
    std::printf("%-10s %-7s %8s %12s %12s %12s\n", "operation", "order", "keys", "map M/s", "vs_commit", "vs_batch");
    for (auto const& [k, t] : table()) {
        auto const& [op, n, order] = k;
        auto ratio = [&](double base) {
            char buf[32] = "-";
            if (base > 0 && t.map > 0) std::snprintf(buf, sizeof buf, "%.2f", t.map / base);
            return std::string(buf);
        };
        std::printf("%-10s %-7s %8u %12.2f %12s %12s\n", kOps[op], kOrders[order], n, t.map / 1e6,
                    ratio(t.commit).c_str(), op == 3 ? "" : ratio(t.batch).c_str());
    }
}

}  // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    using Lmdb = void (*)(benchmark::State&, std::uint32_t, Order);
    using Map = void (*)(benchmark::State&, Order);
    struct Op {
        char const* name;
        Lmdb lmdb;
        Map map;
    };
    Op const ops[] = {{"Insert", BM_LmdbInsert, BM_VornInsert},
                      {"Overwrite", BM_LmdbOverwrite, BM_VornOverwrite},
                      {"Remove", BM_LmdbRemove, BM_VornRemove}};
    for (long n : {1000L, 64000L, 1000000L}) {
        for (Op const& op : ops) {
            for (Order o : {Order::seq, Order::random}) {
                // Baselines first: the map's rows divide by them.
                std::string const lmdb = std::string("BM_Lmdb") + op.name, map = std::string("BM_Vorn") + op.name;
                std::string const order = orderName(o);
                benchmark::RegisterBenchmark((lmdb + "/commit/" + order).c_str(), op.lmdb, 1u, o)
                    ->Arg(n)
                    ->Unit(benchmark::kMillisecond);
                benchmark::RegisterBenchmark((lmdb + "/batch/" + order).c_str(), op.lmdb, 1000u, o)
                    ->Arg(n)
                    ->Unit(benchmark::kMillisecond);
                benchmark::RegisterBenchmark((map + "/" + order).c_str(), op.map, o)->Arg(n)->Unit(benchmark::kMillisecond);
            }
        }
        benchmark::RegisterBenchmark("BM_LmdbLookup", BM_LmdbLookup)->Arg(n);
        benchmark::RegisterBenchmark("BM_VornLookup", BM_VornLookup)->Arg(n);
    }
    benchmark::RegisterBenchmark("BM_VornReorganisation1M", BM_VornReorganisation1M)
        ->Iterations(1)
        ->Unit(benchmark::kMillisecond);
    RatioReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    printRatios();
    benchmark::Shutdown();
    std::error_code ec;
    std::filesystem::remove_all(benchRoot(), ec);
    return 0;
}
