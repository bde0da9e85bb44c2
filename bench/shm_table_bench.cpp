// The shared-memory table entities over their maps.
//
// entryIs_entryDel/subject: EgrVlanTagActionProfileTable mounted as the
// writer; each iteration stores one entry with entryIs and deletes another
// with entryDel (counting, publishing to one watcher). /baseline: the same
// records written and removed with Vorn::VornWriter::write / remove on the
// table's own map (its writer), no counting, no publication.
//
// entry_lookup/subject: a table mounted as a reader of that map; each
// iteration reads one index with entry(i). /baseline: the reader's own
// lookup (Vorn::VornReader::lookup, value copied out) on the same map.
//
// change/subject: the hardware agent's table (entry map mounted as a shadow
// reader, write-response map as the writer) handles one changed key through
// the generic accessors, as the hardware side does: entryExists,
// entryIsValid, entryTransactionId, every entryDataPtr (bytes copied out),
// updateWriteResponse. /baseline: the same through the typed calls: entry(i),
// isValid, transactionId, each data array, writeResponseIs.
//
//   build/<dir>/bench/shm_table_bench      (release preset for figures)
#include <cstdio>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include <benchmark/benchmark.h>
#include <unistd.h>

#include "VexSharedMem/CollectionControl.h"
#include "X2/Default/EgrVlanTagActionProfileTable.h"
#include "support/Ratio.h"

namespace {

using T = bcm56275_a0::Default::EgrVlanTagActionProfileTable;
using Entry = T::Entry;
using Ops = T::EntryMap::OpsType;

Entry makeEntry(std::uint32_t k, std::uint32_t gen) {
    Entry e{Entry::Index(k)};
    e.transactionIdIs((std::uint64_t(gen) << 32) | k);
    std::uint8_t b[20];
    for (unsigned i = 0; i < 20; ++i) b[i] = std::uint8_t(k * 7 + gen + i);
    e.rawBytesIs(0, b, 20);
    e.rawBytesIs(1, b, 12);
    return e;
}

struct Watcher : Vex::NotifieeConst {
    std::uint64_t n = 0;
    void onAttribute(Lumo::FieldId, void const*) override { ++n; }
};

// One writer table and one reader table over the same files.
struct Fixture {
    std::string dir = "/dev/shm/x2tablebench." + std::to_string(::getpid());
    Lumo::Ptr<Vex::Entity> wp, rp, hp;
    Lumo::Ptr<T> w, r, h;
    VexSharedMem::Mounter m;
    Watcher watcher;
    std::vector<Entry> entries;

    Fixture() {
        Mem::ZorbRootPath::rootDirIs(dir);
        wp = new Vex::Entity("agent");
        rp = new Vex::Entity("agent");
        w = new T("vtap");
        r = new T("vtap");
        wp->childIs(w);
        rp->childIs(r);
        Vorn::MapDescriptor d(256);
        m.mount(w->entryControl(), d);
        d.type = Vorn::VornType::reader;
        m.mount(r->entryControl(), d);
        hp = new Vex::Entity("agent");
        h = new T("vtap");
        hp->childIs(h);
        d.type = Vorn::VornType::writer;
        m.mount(h->writeResponseControl(), d);
        d.type = Vorn::VornType::shadow;
        m.mount(h->entryControl(), d);
        watcher.notifierIs(w.ptr());
        for (std::uint32_t k = 0; k < 128; ++k) entries.push_back(makeEntry(k, 1));
        for (std::uint32_t k = 0; k < 128; k += 2) w->entryIs(entries[k]);
        if (!m.settle()) std::fprintf(stderr, "the shadow did not settle\n");
    }
    ~Fixture() {
        watcher.notifierIs(nullptr);
        m.unmountAll();
        w = nullptr;
        r = nullptr;
        h = nullptr;
        wp = nullptr;
        rp = nullptr;
        hp = nullptr;
        std::string cmd = "rm -rf " + dir;
        if (std::system(cmd.c_str()) != 0) std::fprintf(stderr, "cleanup of %s failed\n", dir.c_str());
    }
    Vorn::VornWriter<Ops>& writer() {
        return dynamic_cast<Vorn::WriterImpl<Ops>&>(*w->entryMap().impl()).writer();
    }
    Vorn::VornReader<Ops>& reader() {
        return dynamic_cast<Vorn::ReaderImpl<Ops>&>(*r->entryMap().impl()).reader();
    }
};

Fixture& fixture() {
    static Fixture f;
    return f;
}

// Odd indices: absent before, so each iteration inserts one and removes it.
void entryIsEntryDel(benchmark::State& st, bool subject) {
    Fixture& f = fixture();
    std::uint32_t k = 1;
    T::EntryValue out;
    for (auto _ : st) {
        if (subject) {
            f.w->entryIs(f.entries[k]);
            benchmark::DoNotOptimize(f.w->entryDel(k));
        } else {
            f.writer().write(f.entries[k], true);
            benchmark::DoNotOptimize(f.writer().remove(k, out));
        }
        k = (k + 2) & 127;
    }
}

void entryLookup(benchmark::State& st, bool subject) {
    Fixture& f = fixture();
    std::vector<std::uint32_t> keys(1024);
    std::mt19937 rng(7);
    for (auto& k : keys) k = (rng() % 64) * 2;
    std::size_t i = 0;
    T::EntryValue v;
    Vorn::IterHint h;
    for (auto _ : st) {
        std::uint32_t const k = keys[i++ & 1023];
        if (subject) {
            benchmark::DoNotOptimize(f.r->entry(k));
        } else {
            benchmark::DoNotOptimize(f.reader().lookup(k, v, h));
            benchmark::DoNotOptimize(v);
        }
    }
}

// Present keys (even), each answered with a new transaction id.
void change(benchmark::State& st, bool subject) {
    Fixture& f = fixture();
    Asic::IndexTable::NotifyingAccessor* n = f.h->notifyingAccessor(0);
    Asic::IndexTableAccessor* a = n->getEntryAccessor(0);
    Asic::HwTable::MemId const memMax = a->entryDataMemIdMax();
    std::uint8_t chip[2][20];
    std::uint32_t k = 0;
    std::uint64_t tid = 1;
    for (auto _ : st) {
        if (subject) {
            if (n->entryExists(&k) && a->entryIsValid(&k, 0)) {
                Asic::HwTable::WriteResponse r;
                r.transactionId = a->entryTransactionId(&k) + tid;
                for (Asic::HwTable::MemId m = 0; m <= memMax; ++m) {
                    std::span<unsigned char const> s = a->entryDataPtr(&k, m);
                    std::memcpy(chip[m], s.data(), s.size());
                }
                r.entryState = Asic::HwTable::EntryState::entryStateWritten;
                n->updateWriteResponse(&k, r);
            }
        } else {
            Entry const e = f.h->entry(k);
            if (e.isValid()) {
                std::memcpy(chip[0], e.dataByte0().data(), e.dataByte0().size());
                std::memcpy(chip[1], e.dataByte1().data(), e.dataByte1().size());
                f.h->writeResponseIs(T::WriteResponse(k, e.transactionId() + tid,
                                                      Asic::HwTable::EntryState::entryStateWritten));
            }
        }
        benchmark::DoNotOptimize(chip);
        k = (k + 2) & 127;
        ++tid;
    }
}

BENCHMARK_CAPTURE(change, subject, true);
BENCHMARK_CAPTURE(change, baseline, false);
BENCHMARK_CAPTURE(entryIsEntryDel, subject, true);
BENCHMARK_CAPTURE(entryIsEntryDel, baseline, false);
BENCHMARK_CAPTURE(entryLookup, subject, true);
BENCHMARK_CAPTURE(entryLookup, baseline, false);

}  // namespace

X2_BENCH_MAIN()
