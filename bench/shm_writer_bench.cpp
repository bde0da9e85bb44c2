// Shared-memory map writer beside LMDB (MDB_WRITEMAP | MDB_NOSYNC, integer
// keys, both in /dev/shm), at 1 thousand, 64 thousand and 1 million keys of
// 64-byte values. Every operation is measured at the stated size: inserts
// add a batch of new keys to a map holding N keys (the batch is removed again
// untimed), removes take a batch out (re-inserted untimed), overwrites and
// lookups cycle over the N keys. LMDB runs with one transaction per
// operation ("commit") and with 1,000 operations per transaction ("batch").
// The map's rows carry the ratio to both LMDB figures measured earlier in
// the same run (vs_commit, vs_batch); the reorganisation row reports the
// longest bucket/slot reorganisation and the longest time slice between
// two yields to the scheduler while a map grows to and shrinks from 1
// million keys.
//
//   build/<dir>/bench/shm_writer_bench            (release preset for figures)
#include <cctype>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <map>
#include <memory>
#include <string>

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

// Rates (operations per second) of the baselines, by "op/N".
std::map<std::string, double>& rates() {
    static std::map<std::string, double> r;
    return r;
}
std::string rateKey(char const* sys, char const* op, std::uint32_t n) {
    return std::string(sys) + "/" + op + "/" + std::to_string(n);
}

std::uint32_t batchFor(std::uint32_t n) { return std::min<std::uint32_t>(n / 2, 20000); }

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
        MDB_txn* txn = nullptr;
        std::uint32_t inTxn = 0;
        for (std::uint32_t k = from; k < to; ++k) {
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
    void delRange(std::uint32_t from, std::uint32_t to, std::uint32_t perTxn) {
        MDB_txn* txn = nullptr;
        std::uint32_t inTxn = 0;
        for (std::uint32_t k = from; k < to; ++k) {
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

void BM_LmdbInsert(benchmark::State& state, std::uint32_t perTxn) {
    std::uint32_t n = std::uint32_t(state.range(0));
    auto& db = lmdb(n);
    std::uint32_t b = batchFor(n);
    for (auto _ : state) {
        db.putRange(n, n + b, 1, perTxn);
        state.PauseTiming();
        db.delRange(n, n + b, 1000);
        state.ResumeTiming();
    }
    state.SetItemsProcessed(state.iterations() * b);
}

void BM_LmdbRemove(benchmark::State& state, std::uint32_t perTxn) {
    std::uint32_t n = std::uint32_t(state.range(0));
    auto& db = lmdb(n);
    std::uint32_t b = batchFor(n);
    for (auto _ : state) {
        db.delRange(0, b, perTxn);
        state.PauseTiming();
        db.putRange(0, b, 0, 1000);
        state.ResumeTiming();
    }
    state.SetItemsProcessed(state.iterations() * b);
}

void BM_LmdbOverwrite(benchmark::State& state, std::uint32_t perTxn) {
    std::uint32_t n = std::uint32_t(state.range(0));
    auto& db = lmdb(n);
    std::uint32_t b = batchFor(n);
    std::uint32_t gen = 1;
    for (auto _ : state) db.putRange(0, b, ++gen, perTxn);
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

void report(benchmark::State& state, char const* op, std::uint32_t n, double itemsPerIter) {
    // Items per second of this run, from the framework's own time.
    (void)itemsPerIter;
    double commit = rates()[rateKey("lmdb-commit", op, n)];
    double batch = rates()[rateKey("lmdb-batch", op, n)];
    state.counters["lmdb_commit_ops"] = commit;
    state.counters["lmdb_batch_ops"] = batch;
    // The ratio columns divide this row's rate by the baselines' (computed
    // after the run from items_per_second, see main()).
}

void BM_VornInsert(benchmark::State& state) {
    std::uint32_t n = std::uint32_t(state.range(0));
    auto& w = vorn(n);
    std::uint32_t b = batchFor(n);
    Rec64 out;
    for (auto _ : state) {
        for (std::uint32_t k = n; k < n + b; ++k) w.write(makeRec(k, 1), true);
        state.PauseTiming();
        for (std::uint32_t k = n; k < n + b; ++k) w.remove(k, out);
        state.ResumeTiming();
    }
    state.SetItemsProcessed(state.iterations() * b);
    report(state, "insert", n, b);
}

void BM_VornRemove(benchmark::State& state) {
    std::uint32_t n = std::uint32_t(state.range(0));
    auto& w = vorn(n);
    std::uint32_t b = batchFor(n);
    Rec64 out;
    for (auto _ : state) {
        for (std::uint32_t k = 0; k < b; ++k) w.remove(k, out);
        state.PauseTiming();
        for (std::uint32_t k = 0; k < b; ++k) w.write(makeRec(k, 0), true);
        state.ResumeTiming();
    }
    state.SetItemsProcessed(state.iterations() * b);
    report(state, "remove", n, b);
}

void BM_VornOverwrite(benchmark::State& state) {
    std::uint32_t n = std::uint32_t(state.range(0));
    auto& w = vorn(n);
    std::uint32_t b = batchFor(n);
    std::uint32_t gen = 1;
    for (auto _ : state) {
        ++gen;
        for (std::uint32_t k = 0; k < b; ++k) w.write(makeRec(k, gen), true);
    }
    state.SetItemsProcessed(state.iterations() * b);
    report(state, "overwrite", n, b);
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
    state.counters["lmdb_lookup_ops"] = rates()[rateKey("lmdb", "lookup", n)];
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

// Records each baseline's items_per_second as it finishes, and adds the
// ratio columns to the map's rows.
class RatioReporter : public benchmark::ConsoleReporter {
public:
    void ReportRuns(std::vector<Run> const& runs) override {
        std::vector<Run> copy = runs;
        for (auto& r : copy) {
            std::string name = r.benchmark_name();
            auto it = r.counters.find("items_per_second");
            if (it == r.counters.end()) continue;
            double ips = it->second.value;
            auto slash = name.rfind('/');
            std::string tail = slash == std::string::npos ? std::string() : name.substr(slash + 1);
            if (tail.empty() || !std::isdigit((unsigned char)tail[0])) continue;
            std::uint32_t n = std::uint32_t(std::stoul(tail));
            static const char* ops[] = {"Insert", "Remove", "Overwrite"};
            for (char const* op : ops) {
                std::string lower = op;
                lower[0] = char(std::tolower(lower[0]));
                if (name.find(std::string("BM_Lmdb") + op + "/commit") == 0) rates()[rateKey("lmdb-commit", lower.c_str(), n)] = ips;
                if (name.find(std::string("BM_Lmdb") + op + "/batch") == 0) rates()[rateKey("lmdb-batch", lower.c_str(), n)] = ips;
                if (name.find(std::string("BM_Vorn") + op + "/") == 0) {
                    double c = rates()[rateKey("lmdb-commit", lower.c_str(), n)];
                    double b = rates()[rateKey("lmdb-batch", lower.c_str(), n)];
                    if (c > 0) r.counters["vs_commit"] = ips / c;
                    if (b > 0) r.counters["vs_batch"] = ips / b;
                    r.counters.erase("lmdb_commit_ops");
                    r.counters.erase("lmdb_batch_ops");
                }
            }
            if (name.find("BM_LmdbLookup/") == 0) rates()[rateKey("lmdb", "lookup", n)] = ips;
            if (name.find("BM_VornLookup/") == 0) {
                double l = rates()[rateKey("lmdb", "lookup", n)];
                if (l > 0) r.counters["vs_lmdb"] = ips / l;
                r.counters.erase("lmdb_lookup_ops");
            }
        }
        ConsoleReporter::ReportRuns(copy);
    }
};

}  // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    for (long n : {1000L, 64000L, 1000000L}) {
        // Baselines first: the map's rows divide by them.
        benchmark::RegisterBenchmark("BM_LmdbInsert/commit", BM_LmdbInsert, 1u)->Arg(n)->Unit(benchmark::kMillisecond);
        benchmark::RegisterBenchmark("BM_LmdbInsert/batch", BM_LmdbInsert, 1000u)->Arg(n)->Unit(benchmark::kMillisecond);
        benchmark::RegisterBenchmark("BM_VornInsert", BM_VornInsert)->Arg(n)->Unit(benchmark::kMillisecond);
        benchmark::RegisterBenchmark("BM_LmdbOverwrite/commit", BM_LmdbOverwrite, 1u)->Arg(n)->Unit(benchmark::kMillisecond);
        benchmark::RegisterBenchmark("BM_LmdbOverwrite/batch", BM_LmdbOverwrite, 1000u)->Arg(n)->Unit(benchmark::kMillisecond);
        benchmark::RegisterBenchmark("BM_VornOverwrite", BM_VornOverwrite)->Arg(n)->Unit(benchmark::kMillisecond);
        benchmark::RegisterBenchmark("BM_LmdbRemove/commit", BM_LmdbRemove, 1u)->Arg(n)->Unit(benchmark::kMillisecond);
        benchmark::RegisterBenchmark("BM_LmdbRemove/batch", BM_LmdbRemove, 1000u)->Arg(n)->Unit(benchmark::kMillisecond);
        benchmark::RegisterBenchmark("BM_VornRemove", BM_VornRemove)->Arg(n)->Unit(benchmark::kMillisecond);
        benchmark::RegisterBenchmark("BM_LmdbLookup", BM_LmdbLookup)->Arg(n);
        benchmark::RegisterBenchmark("BM_VornLookup", BM_VornLookup)->Arg(n);
    }
    benchmark::RegisterBenchmark("BM_VornReorganisation1M", BM_VornReorganisation1M)
        ->Iterations(1)
        ->Unit(benchmark::kMillisecond);
    RatioReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    benchmark::Shutdown();
    std::error_code ec;
    std::filesystem::remove_all(benchRoot(), ec);
    return 0;
}
