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
//   build/<dir>/bench/shm_table_bench      (release preset for figures)
#include <cstdio>
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
    Lumo::Ptr<Vex::Entity> wp, rp;
    Lumo::Ptr<T> w, r;
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
        watcher.notifierIs(w.ptr());
        for (std::uint32_t k = 0; k < 128; ++k) entries.push_back(makeEntry(k, 1));
        for (std::uint32_t k = 0; k < 128; k += 2) w->entryIs(entries[k]);
    }
    ~Fixture() {
        watcher.notifierIs(nullptr);
        m.unmountAll();
        w = nullptr;
        r = nullptr;
        wp = nullptr;
        rp = nullptr;
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

BENCHMARK_CAPTURE(entryIsEntryDel, subject, true);
BENCHMARK_CAPTURE(entryIsEntryDel, baseline, false);
BENCHMARK_CAPTURE(entryLookup, subject, true);
BENCHMARK_CAPTURE(entryLookup, baseline, false);

}  // namespace

X2_BENCH_MAIN()
