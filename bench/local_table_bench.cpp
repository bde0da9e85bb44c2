// Local-collection table entities: entry(i) lookup and entryIs replace on
// full tables of 128, 1024 and 16384 entries, each beside the same operation
// on an absl::flat_hash_map<uint32_t, Entry> (std::unordered_map where absl
// is missing) holding the same entries.
//
//   lookup:  subject  T::entry(i), a copy sharing the stored blocks
//            baseline find(i), copy of the value (or an empty entry)
//   replace: subject  T::entryIs(i, e): compare with the stored entry, write
//                     the bytes into the memory mirror, replace in place,
//                     publish (nobody watches)
//            baseline insert_or_assign(i, e)
// Each iteration replaces with an entry that differs from the stored one
// (two prepared sets used in turn), so every call does the full work.
//
// Tables: AmaMemEgrVlanTagActionProfileTable (128 entries, two 20-byte
// arrays), IsecScTcam (1024, one of 20 bytes), L2HitSaOnly (16384, one of 4).
//
//   cmake --preset release -B build/<dir> && cmake --build build/<dir> --target local_table_bench
//   build/<dir>/bench/local_table_bench
#include <algorithm>
#include <cstdint>
#include <numeric>
#include <random>
#include <string>
#include <vector>

#include <benchmark/benchmark.h>

#include "X2/Default/All.h"
#include "support/Ratio.h"

#if __has_include(<absl/container/flat_hash_map.h>)
#include <absl/container/flat_hash_map.h>
template <class V>
using BaselineMap = absl::flat_hash_map<std::uint32_t, V>;
#else
#include <unordered_map>
template <class V>
using BaselineMap = std::unordered_map<std::uint32_t, V>;
#endif

namespace {

using namespace bcm56275_a0::Default;

template <class E>
E makeEntry(std::uint32_t seed) {
    E e;
    e.transactionIdIs(seed + 1);
    std::uint8_t buf[256];
    for (unsigned k = 0; k < E::kDataArrays; ++k) {
        std::uint32_t const n = e.rawBytes(k, buf);
        for (std::uint32_t i = 0; i < n; ++i) buf[i] = std::uint8_t(seed * 31 + i * 7 + k);
        e.rawBytesIs(k, buf, n);
    }
    return e;
}

// A full table and a map with the same entries, a shuffled visiting order
// and two sets of replacement entries.
template <class T>
struct Fixture {
    using Entry = typename T::Entry;
    static constexpr std::uint32_t kCount = T::Entry::Index::max() + 1;

    Lumo::Ptr<T> table{new T("bench")};
    BaselineMap<Entry> map;
    std::vector<std::uint32_t> order;
    std::vector<Entry> sets[2];

    Fixture() {
        order.resize(kCount);
        std::iota(order.begin(), order.end(), 0u);
        std::shuffle(order.begin(), order.end(), std::mt19937(kCount));
        for (std::uint32_t i = 0; i < kCount; ++i) {
            Entry const e = makeEntry<Entry>(i);
            table->entryIs(i, e);
            map.emplace(i, e);
            sets[0].push_back(makeEntry<Entry>(i + 100000));
            sets[1].push_back(makeEntry<Entry>(i + 200000));
        }
    }
};

// Built on first use and never destroyed: a table's end of life runs through
// a per-thread queue that may be gone while statics are destroyed.
template <class T>
Fixture<T>& fixture() {
    static Fixture<T>* f = new Fixture<T>;
    return *f;
}

template <class T>
void lookupSubject(benchmark::State& state) {
    auto& f = fixture<T>();
    std::size_t k = 0;
    for (auto _ : state) {
        std::uint32_t const i = f.order[k];
        k = k + 1 == f.order.size() ? 0 : k + 1;
        auto e = f.table->entry(i);
        benchmark::DoNotOptimize(e);
    }
}

template <class T>
void lookupBaseline(benchmark::State& state) {
    auto& f = fixture<T>();
    std::size_t k = 0;
    for (auto _ : state) {
        std::uint32_t const i = f.order[k];
        k = k + 1 == f.order.size() ? 0 : k + 1;
        auto it = f.map.find(i);
        typename T::Entry e = it != f.map.end() ? it->second : typename T::Entry();
        benchmark::DoNotOptimize(e);
    }
}

template <class T>
void replaceSubject(benchmark::State& state) {
    auto& f = fixture<T>();
    std::size_t k = 0;
    unsigned set = 0;
    for (auto _ : state) {
        std::uint32_t const i = f.order[k];
        f.table->entryIs(i, f.sets[set][i]);
        if (++k == f.order.size()) k = 0, set ^= 1;
    }
    benchmark::DoNotOptimize(f.table.ptr());
}

template <class T>
void replaceBaseline(benchmark::State& state) {
    auto& f = fixture<T>();
    std::size_t k = 0;
    unsigned set = 0;
    for (auto _ : state) {
        std::uint32_t const i = f.order[k];
        f.map.insert_or_assign(i, f.sets[set][i]);
        if (++k == f.order.size()) k = 0, set ^= 1;
    }
    benchmark::DoNotOptimize(f.map);
}

template <class T>
void registerTable() {
    std::string const n = std::to_string(Fixture<T>::kCount);
    benchmark::RegisterBenchmark(("entry_lookup/" + n + "/subject").c_str(), &lookupSubject<T>);
    benchmark::RegisterBenchmark(("entry_lookup/" + n + "/baseline").c_str(), &lookupBaseline<T>);
    benchmark::RegisterBenchmark(("entryIs_replace/" + n + "/subject").c_str(), &replaceSubject<T>);
    benchmark::RegisterBenchmark(("entryIs_replace/" + n + "/baseline").c_str(), &replaceBaseline<T>);
}

int const registered = [] {
    registerTable<AmaMemEgrVlanTagActionProfileTable>();
    registerTable<IsecScTcam>();
    registerTable<L2HitSaOnly>();
    return 0;
}();

}  // namespace

X2_BENCH_MAIN()
