// The hardware side's path through the generic accessors against the same
// work through the typed table calls, and the simulated agent's rate.
//
//   change:  subject  one entry change as the hardware side handles it:
//                     entryExists, entryIsValid, entryTransactionId, every
//                     entryDataPtr (bytes copied out), updateWriteResponse,
//                     through the notifying accessor and its entry accessor
//            baseline the same through the typed calls: entryDirect,
//                     isValid, transactionId, each data array, writeResponseIs
//   calls:   subject  the loop of change/subject through an accessor whose
//                     operations do nothing (support/NoWork.h, one 20-byte
//                     span, no lookup): what the interface's calls cost by
//                     themselves
//            baseline change/baseline over IsecScTcam, again
//   agent:   subject  a user's entryIs followed by the simulated agent's
//                     answer (chip write and write response)
//            baseline the user's entryIs alone
// Each iteration takes the next index of a full table and a transaction id
// the stored write response does not hold, so every call does the full work.
// Tables: MirrorSessionTable (4 entries, two 20-byte arrays), IsecScTcam
// (1024 entries, one 20-byte array).
//
//   cmake --build --preset release --target hw_accessor_bench
//   build/release/bench/hw_accessor_bench
#include <cstdint>
#include <cstring>
#include <string>

#include <benchmark/benchmark.h>

#include "hwsim/SimAgent.h"
#include "X2/Default/All.h"
#include "support/NoWork.h"
#include "support/Ratio.h"

namespace {

using namespace bcm56275_a0::Default;

template <class T>
Lumo::Ptr<T> fullTable() {
    Lumo::Ptr<T> t(new T("bench"));
    for (std::uint32_t i = 0; i <= T::Entry::Index::max(); ++i) {
        typename T::Entry e;
        e.transactionIdIs(i + 1);
        std::uint8_t buf[256];
        for (unsigned k = 0; k < T::Entry::kDataArrays; ++k) {
            std::uint32_t const n = e.rawBytes(k, buf);
            for (std::uint32_t b = 0; b < n; ++b) buf[b] = std::uint8_t(i * 31 + b * 7 + k + 1);
            e.rawBytesIs(k, buf, n);
        }
        t->entryIs(i, e);
    }
    return t;
}

constexpr std::uint32_t kMaxBytes = 256;

// The hardware side's handling of one entry change per iteration, through
// the notifying accessor `n` and its entry accessor `a`; indices 0 to `max`.
template <class Notifying>
void changeLoop(benchmark::State& state, Notifying* n, Asic::IndexTableAccessor* a, std::uint32_t max) {
    Asic::HwTable::MemId const memMax = a->entryDataMemIdMax();
    std::uint8_t out[kMaxBytes * 4];
    std::uint32_t i = 0;
    Asic::TransactionId tid = 1;
    for (auto _ : state) {
        if (n->entryExists(&i) && a->entryIsValid(&i, 0)) {
            Asic::HwTable::WriteResponse w;
            w.transactionId = n->entryTransactionId(&i) + tid;
            std::uint8_t* o = out;
            for (Asic::HwTable::MemId m = 0; m <= memMax; ++m) {
                std::span<unsigned char const> s = a->entryDataPtr(&i, m);
                std::memcpy(o, s.data(), s.size());
                o += s.size();
            }
            w.entryState = Asic::HwTable::EntryState::entryStateWritten;
            n->updateWriteResponse(&i, w);
        }
        benchmark::DoNotOptimize(out);
        i = i == max ? 0 : i + 1;
        tid += i == 0;
    }
}

template <class T>
void changeSubject(benchmark::State& state) {
    Lumo::Ptr<T> t = fullTable<T>();
    Asic::IndexTable::NotifyingAccessor* n = t->notifyingAccessor(0);
    changeLoop(state, n, n->getEntryAccessor(0), T::Entry::Index::max());
}

template <class T>
void changeBaseline(benchmark::State& state) {
    Lumo::Ptr<T> t = fullTable<T>();
    std::uint8_t out[kMaxBytes * 4];
    std::uint32_t i = 0;
    Asic::TransactionId tid = 1;
    for (auto _ : state) {
        typename T::Entry const* e = t->entryDirect(i);
        if (e && e->isValid()) {
            Asic::TransactionId const id = e->transactionId() + tid;
            std::uint8_t* o = out;
            std::apply(
                [&](auto const&... arr) {
                    ((std::memcpy(o, arr.allocate(), std::remove_cvref_t<decltype(arr)>::kBytes),
                      o += std::remove_cvref_t<decltype(arr)>::kBytes),
                     ...);
                },
                T::HN_Entry::arrays(*e));
            t->writeResponseIs(typename T::WriteResponse(i, id, Asic::HwTable::EntryState::entryStateWritten));
        }
        benchmark::DoNotOptimize(out);
        i = i == T::Entry::Index::max() ? 0 : i + 1;
        tid += i == 0;
    }
}

// The entry accessor serves as the notifying one too: the same calls.
void callsAlone(benchmark::State& state) {
    Asic::IndexTableAccessor* a = &x2bench::noWorkAccessor();
    changeLoop(state, a, a, IsecScTcam::Entry::Index::max());
}

template <class T>
LogicalFap::HwTableDesc const& descriptorOf() {
    auto e = Vex::Entity::singletonExists(std::string(T::kTypeName) + "Desc");
    return *dynamic_cast<LogicalFap::HwTableDesc const*>(e.ptr());
}

template <class T, bool WithAgent>
void agent(benchmark::State& state) {
    Lumo::Ptr<T> t = fullTable<T>();
    hwsim::SimChip chip;
    hwsim::SimAgent sim(chip);
    if (WithAgent) sim.watch(*t, descriptorOf<T>());
    typename T::Entry e = t->entry(0);
    std::uint32_t i = 0;
    Asic::TransactionId tid = 1000;
    for (auto _ : state) {
        e.transactionIdIs(++tid);
        t->entryIs(i, e);
        if (WithAgent) sim.run();
        i = i == T::Entry::Index::max() ? 0 : i + 1;
    }
    state.SetItemsProcessed(state.iterations());
}

BENCHMARK(changeSubject<MirrorSessionTable>)->Name("change/subject/MirrorSessionTable");
BENCHMARK(changeBaseline<MirrorSessionTable>)->Name("change/baseline/MirrorSessionTable");
BENCHMARK(changeSubject<IsecScTcam>)->Name("change/subject/IsecScTcam");
BENCHMARK(changeBaseline<IsecScTcam>)->Name("change/baseline/IsecScTcam");
BENCHMARK(callsAlone)->Name("calls/subject/IsecScTcam");
BENCHMARK(changeBaseline<IsecScTcam>)->Name("calls/baseline/IsecScTcam");
BENCHMARK(agent<IsecScTcam, true>)->Name("agent/subject/IsecScTcam");
BENCHMARK(agent<IsecScTcam, false>)->Name("agent/baseline/IsecScTcam");

}  // namespace

X2_BENCH_MAIN()
