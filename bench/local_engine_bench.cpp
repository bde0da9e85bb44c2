// The local hash map engine against absl::flat_hash_map<uint32_t, Node> and
// std::unordered_map<uint32_t, Node> holding the same nodes, for lookups,
// inserts and erases at 128, 1024 and 16384 entries (keys 0..n-1, the
// indices of a table). Each benchmark times the three containers in the same
// iteration, interleaved, and reports nanoseconds per operation of each and
// the ratios engine/absl and engine/std (goal: lookup <= 1.0, insert and
// erase <= 1.5 against absl), plus bytes held per stored entry. The heap
// is kept warm (see main()).
//
// Nodes: "Entry32", the 32-byte node of a table with one data array (a
// transaction id, a counted pointer to a shared 12-byte block, the key); and
// "Rec16", the 16-byte write-response record keyed at bytes 12..15.
//
//   cmake --preset release -B build/<dir> && cmake --build build/<dir> --target local_engine_bench
//   build/<dir>/bench/local_engine_bench
#include <algorithm>
#include <chrono>
#include <malloc.h>
#include <cstdint>
#include <numeric>
#include <random>
#include <unordered_map>
#include <vector>

#include <benchmark/benchmark.h>

#include "Pell/Memory.h"
#include "Vex/HashMap2018.h"

#if __has_include(<absl/container/flat_hash_map.h>)
#include <absl/container/flat_hash_map.h>
#define X2_HAVE_ABSL 1
#else
#define X2_HAVE_ABSL 0
#endif

namespace {

using Block12 = Pell::Core::Memory::Pointer<Pell::Core::Memory::Array<unsigned char, unsigned int, 12u>>;

struct Entry32Value {
    std::uint64_t tid = 0;
    Block12 data;
};
struct Entry32 {
    static constexpr std::uint32_t kHashSeed = 0x5eed0032u;
    static constexpr std::uint32_t kKeyOffset = 24;
    Entry32Value value;
    std::uint32_t key = 0;
    std::uint32_t pad = 0;
    Entry32() = default;
    Entry32(std::uint32_t k, Entry32Value const& v) : value(v), key(k) {}
    Entry32(std::uint32_t k, Entry32Value&& v) : value(std::move(v)), key(k) {}
    std::uint32_t nodeKey() const { return key; }
    Entry32Value& nodeValue() { return value; }
    Entry32Value const& nodeValue() const { return value; }
};
static_assert(sizeof(Entry32) == 32);

struct Rec16Value {
    std::uint64_t tid = 0;
    std::uint32_t state = 0;
    std::uint32_t entryIndex = 0;
};
struct Rec16 : Rec16Value {
    static constexpr std::uint32_t kHashSeed = 0x5eed0016u;
    static constexpr std::uint32_t kKeyOffset = 12;
    Rec16() = default;
    Rec16(std::uint32_t k, Rec16Value const& v) : Rec16Value(v) { entryIndex = k; }
    std::uint32_t nodeKey() const { return entryIndex; }
    Rec16Value& nodeValue() { return *this; }
    Rec16Value const& nodeValue() const { return *this; }
};
static_assert(sizeof(Rec16) == 16);

template <class Node>
using ValueOf = std::remove_cvref_t<decltype(std::declval<Node&>().nodeValue())>;

template <class Node>
ValueOf<Node> makeValue(std::uint32_t i);
template <>
Entry32Value makeValue<Entry32>(std::uint32_t i) {
    Entry32Value v;
    v.tid = i;
    v.data.allocate()[0] = static_cast<unsigned char>(i);
    return v;
}
template <>
Rec16Value makeValue<Rec16>(std::uint32_t i) {
    return Rec16Value{i, i % 3, i};
}

using Clock = std::chrono::steady_clock;
double since(Clock::time_point t0) { return std::chrono::duration<double, std::nano>(Clock::now() - t0).count(); }

template <class Node>
struct Containers {
    using Value = ValueOf<Node>;
    using Engine = Vex::HashMap2018<Node, std::uint32_t, Value>;
    Engine engine{1};
#if X2_HAVE_ABSL
    absl::flat_hash_map<std::uint32_t, Node> absl;
#endif
    std::unordered_map<std::uint32_t, Node> stdmap;
};

struct Totals {
    double engine = 0, absl = 0, stdmap = 0;
    std::uint64_t ops = 0;
};

void report(benchmark::State& state, Totals const& t) {
    double const ops = double(t.ops);
    state.counters["engine_ns"] = t.engine / ops;
    state.counters["std_ns"] = t.stdmap / ops;
    state.counters["ratio_vs_std"] = t.engine / t.stdmap;
#if X2_HAVE_ABSL
    state.counters["absl_ns"] = t.absl / ops;
    state.counters["ratio_vs_absl"] = t.engine / t.absl;
#endif
}

template <class Node>
void memoryCounters(benchmark::State& state, Containers<Node> const& c, std::size_t n) {
    state.counters["engine_B_per_entry"] = double(c.engine.bytesUsed()) / double(n);
#if X2_HAVE_ABSL
    // Slots plus one control byte each, plus the trailing group of control bytes.
    using Slot = typename absl::flat_hash_map<std::uint32_t, Node>::slot_type;
    state.counters["absl_B_per_entry"] =
        double(c.absl.bucket_count() * (sizeof(Slot) + 1) + 16) / double(n);
#endif
    // A node per entry (value, cached hash, next pointer) and a bucket pointer array.
    state.counters["std_B_per_entry"] =
        double(n * (sizeof(std::pair<const std::uint32_t, Node>) + 16) + c.stdmap.bucket_count() * 8) / double(n);
}

template <class Node>
void fill(Containers<Node>& c, std::vector<ValueOf<Node>> const& values) {
    for (std::uint32_t i = 0; i < values.size(); ++i) {
        c.engine.insert(i, values[i]);
#if X2_HAVE_ABSL
        c.absl.try_emplace(i, i, values[i]);
#endif
        c.stdmap.try_emplace(i, i, values[i]);
    }
}

template <class Node>
void BM_Lookup(benchmark::State& state) {
    std::uint32_t const n = std::uint32_t(state.range(0));
    std::vector<ValueOf<Node>> values;
    for (std::uint32_t i = 0; i < n; ++i) values.push_back(makeValue<Node>(i));
    Containers<Node> c;
    fill(c, values);
    std::vector<std::uint32_t> order(n);
    std::iota(order.begin(), order.end(), 0u);
    std::shuffle(order.begin(), order.end(), std::mt19937(n));
    std::uint32_t const passes = std::max<std::uint32_t>(1, 16384 / n);
    Totals t;
    std::uint64_t sink = 0;
    for (auto _ : state) {
        auto t0 = Clock::now();
        for (std::uint32_t p = 0; p < passes; ++p)
            for (std::uint32_t k : order) sink += c.engine.lookupNode(k)->nodeKey();
        double const e = since(t0);
#if X2_HAVE_ABSL
        t0 = Clock::now();
        for (std::uint32_t p = 0; p < passes; ++p)
            for (std::uint32_t k : order) sink += c.absl.find(k)->second.nodeKey();
        t.absl += since(t0);
#endif
        t0 = Clock::now();
        for (std::uint32_t p = 0; p < passes; ++p)
            for (std::uint32_t k : order) sink += c.stdmap.find(k)->second.nodeKey();
        t.stdmap += since(t0);
        t.engine += e;
        t.ops += std::uint64_t(passes) * n;
        state.SetIterationTime(e * 1e-9);
    }
    benchmark::DoNotOptimize(sink);
    report(state, t);
    memoryCounters(state, c, n);
}

// Insert n keys into empty containers (growth included), then erase them
// all in random order; `timeErase` selects which phase is reported.
template <class Node, bool timeErase>
void BM_InsertErase(benchmark::State& state) {
    std::uint32_t const n = std::uint32_t(state.range(0));
    std::vector<ValueOf<Node>> values;
    for (std::uint32_t i = 0; i < n; ++i) values.push_back(makeValue<Node>(i));
    std::vector<std::uint32_t> insertOrder(n), eraseOrder(n);
    std::iota(insertOrder.begin(), insertOrder.end(), 0u);
    std::iota(eraseOrder.begin(), eraseOrder.end(), 0u);
    std::mt19937 rng(n);
    std::shuffle(insertOrder.begin(), insertOrder.end(), rng);
    std::shuffle(eraseOrder.begin(), eraseOrder.end(), rng);
    std::uint32_t const rounds = std::max<std::uint32_t>(1, 4096 / n);
    Totals t;
    for (auto _ : state) {
        double ins[3] = {0, 0, 0}, era[3] = {0, 0, 0};
        for (std::uint32_t r = 0; r < rounds; ++r) {
            Containers<Node> c;
            auto t0 = Clock::now();
            for (std::uint32_t k : insertOrder) c.engine.insert(k, values[k]);
            ins[0] += since(t0);
#if X2_HAVE_ABSL
            t0 = Clock::now();
            for (std::uint32_t k : insertOrder) c.absl.try_emplace(k, k, values[k]);
            ins[1] += since(t0);
#endif
            t0 = Clock::now();
            for (std::uint32_t k : insertOrder) c.stdmap.try_emplace(k, k, values[k]);
            ins[2] += since(t0);

            t0 = Clock::now();
            for (std::uint32_t k : eraseOrder) c.engine.erase(k);
            era[0] += since(t0);
#if X2_HAVE_ABSL
            t0 = Clock::now();
            for (std::uint32_t k : eraseOrder) c.absl.erase(k);
            era[1] += since(t0);
#endif
            t0 = Clock::now();
            for (std::uint32_t k : eraseOrder) c.stdmap.erase(k);
            era[2] += since(t0);
        }
        double const* m = timeErase ? era : ins;
        t.engine += m[0];
        t.absl += m[1];
        t.stdmap += m[2];
        t.ops += std::uint64_t(rounds) * n;
        state.SetIterationTime(m[0] * 1e-9);
    }
    report(state, t);
}

#define X2_SIZES ->Arg(128)->Arg(1024)->Arg(16384)->UseManualTime()
BENCHMARK(BM_Lookup<Entry32>) X2_SIZES;
BENCHMARK(BM_Lookup<Rec16>) X2_SIZES;
BENCHMARK(BM_InsertErase<Entry32, false>)->Name("BM_Insert<Entry32>") X2_SIZES;
BENCHMARK(BM_InsertErase<Rec16, false>)->Name("BM_Insert<Rec16>") X2_SIZES;
BENCHMARK(BM_InsertErase<Entry32, true>)->Name("BM_Erase<Entry32>") X2_SIZES;
BENCHMARK(BM_InsertErase<Rec16, true>)->Name("BM_Erase<Rec16>") X2_SIZES;

}  // namespace

int main(int argc, char** argv) {
    // A warm heap for all three containers: freed memory stays with the
    // process instead of going back to the kernel, so that a round's time
    // does not depend on whether the allocator trimmed the heap (and the
    // next round page-faults it in again) after the previous one.
    mallopt(M_TRIM_THRESHOLD, 1 << 30);
    mallopt(M_MMAP_THRESHOLD, 1 << 30);
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
