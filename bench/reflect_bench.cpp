// A field read and written by attribute id through the type-erased glue (the
// entry type found by name, inspectOperation through its function pointer)
// beside the typed getter and setter on the same entries. Allocated form
// (AmaMemEgrVlanTagActionProfileTable) and inline form
// (EgrVlanTagActionProfileTable), field dtIcfiAction0 (2 bits at bit 116).
// The pairs are named <case>/subject and <case>/baseline; the ratios are
// printed at the end. calls/subject is the loop of allocatedGet/subject
// through a function of the same signature that only stores a constant:
// what the call through the glue's pointer costs by itself.
//
//   ./build/release/bench/reflect_bench
#include <random>
#include <vector>

#include "Lumo/Inspect.h"
#include "X2/Default/All.h"
#include "support/Ratio.h"

namespace {

using namespace bcm56275_a0::Default;
constexpr std::size_t kEntries = 1024;

template <class E>
std::vector<E> makeEntries() {
    std::vector<E> v(kEntries);
    std::mt19937 rng(1);
    for (auto& e : v) {
        e.dtIcfiAction0Is(rng() & 3);
        e.itpidAction0Is(rng() & 7);
    }
    return v;
}

template <class T>
Lumo::Inspect::TypeGlue const& glueOf() {
    auto found = Lumo::Inspect::findType(std::string(T::kTypeName) + "::Entry");
    if (!found) std::abort();
    return *found.glue;
}

// Field id of dtIcfiAction0: the first field of both tables.
template <class T>
Lumo::FieldDescriptor fieldOf() {
    return Lumo::FieldDescriptor(Lumo::FieldId(T::tableInfo().firstFieldId));
}

using InspectFn = decltype(Lumo::Inspect::TypeGlue::inspectOperation);

// Field `f` of every entry read through `op` (an inspectOperation).
template <class E>
void getLoop(benchmark::State& s, InspectFn op, Lumo::FieldDescriptor f) {
    auto v = makeEntries<E>();
    for (auto _ : s) {
        unsigned sum = 0;
        for (auto& e : v) {
            U2 x = 0;
            op(&x, &e, f, Lumo::inspectGet, nullptr, nullptr);
            sum += x;
        }
        benchmark::DoNotOptimize(sum);
    }
    s.SetItemsProcessed(std::int64_t(s.iterations() * kEntries));
}
template <class T>
void inspectGet(benchmark::State& s) {
    getLoop<typename T::Entry>(s, glueOf<T>().inspectOperation, fieldOf<T>());
}

std::uint32_t storeOne(void* result, void*, Lumo::FieldDescriptor, unsigned char, void*, void*) {
    *static_cast<U2*>(result) = 1;
    return 0;
}

void callsAlone(benchmark::State& s) {
    InspectFn op = &storeOne;
    benchmark::DoNotOptimize(op);
    getLoop<AmaMemEgrVlanTagActionProfileTable::Entry>(s, op, fieldOf<AmaMemEgrVlanTagActionProfileTable>());
}

template <class T>
void typedGet(benchmark::State& s) {
    auto v = makeEntries<typename T::Entry>();
    for (auto _ : s) {
        unsigned sum = 0;
        for (auto const& e : v) sum += e.dtIcfiAction0();
        benchmark::DoNotOptimize(sum);
    }
    s.SetItemsProcessed(std::int64_t(s.iterations() * kEntries));
}
template <class T>
void inspectSet(benchmark::State& s) {
    auto v = makeEntries<typename T::Entry>();
    auto const& g = glueOf<T>();
    auto const f = fieldOf<T>();
    unsigned n = 0;
    for (auto _ : s) {
        for (auto& e : v) {
            U2 x = U2(++n & 3);
            g.inspectOperation(nullptr, &e, f, Lumo::inspectSet, nullptr, &x);
        }
        benchmark::ClobberMemory();
    }
    s.SetItemsProcessed(std::int64_t(s.iterations() * kEntries));
}
template <class T>
void typedSet(benchmark::State& s) {
    auto v = makeEntries<typename T::Entry>();
    unsigned n = 0;
    for (auto _ : s) {
        for (auto& e : v) e.dtIcfiAction0Is(U2(++n & 3));
        benchmark::ClobberMemory();
    }
    s.SetItemsProcessed(std::int64_t(s.iterations() * kEntries));
}

BENCHMARK(inspectGet<AmaMemEgrVlanTagActionProfileTable>)->Name("allocatedGet/subject");
BENCHMARK(typedGet<AmaMemEgrVlanTagActionProfileTable>)->Name("allocatedGet/baseline");
BENCHMARK(inspectSet<AmaMemEgrVlanTagActionProfileTable>)->Name("allocatedSet/subject");
BENCHMARK(typedSet<AmaMemEgrVlanTagActionProfileTable>)->Name("allocatedSet/baseline");
BENCHMARK(callsAlone)->Name("calls/subject");
BENCHMARK(typedGet<AmaMemEgrVlanTagActionProfileTable>)->Name("calls/baseline");
BENCHMARK(inspectGet<EgrVlanTagActionProfileTable>)->Name("inlineGet/subject");
BENCHMARK(typedGet<EgrVlanTagActionProfileTable>)->Name("inlineGet/baseline");
BENCHMARK(inspectSet<EgrVlanTagActionProfileTable>)->Name("inlineSet/subject");
BENCHMARK(typedSet<EgrVlanTagActionProfileTable>)->Name("inlineSet/baseline");

}  // namespace

X2_BENCH_MAIN()
