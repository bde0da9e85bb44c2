// Shared-memory tables across real processes.
//
// publication: the writer process stores one entry with entryIs; a reader
// process, whose EgrVlanTagActionProfileTable is mounted as a shadow reader
// of that entry map and which sleeps in the map's descriptor, services the
// map, and its table's subscriber, on the key, writes one byte to a pipe
// back to the writer. Interleaved with it, the baseline: a pipe round trip
// to the same process, woken in the same poll loop. Counters: p50 and p99
// of both (µs) and the ratio of the p50s (subject / baseline).
//
// sustained/<rate>: eight reader processes (shadow readers, each with a
// subscriber) follow a writer storming entryIs/entryDel at `rate` changes
// per second (0: as fast as it can) for one second. Counters: changes made
// per second, key notifications delivered per second per reader, channel
// resynchronisations (all readers), and readers whose final table differs
// from the writer's (must be 0).
//
// roundtrip: a user agent process writes one entry with entryIs; a hardware
// agent process (entry map: shadow reader; write-response map: writer)
// follows the entry map, reads the entry through the generic accessors
// alone (exists, valid, transaction id, each memory's bytes) and answers
// with updateWriteResponse; the time runs until the response with the
// entry's transaction id is in the user agent's table (its write-response
// map: shadow reader). Baseline, interleaved: a pipe round trip to the same
// hardware agent process, woken in the same poll loop. Counters as for
// publication.
//
// agent_rate: the user agent writes entries as fast as it can for one
// second while taking in the responses. Counters: entries written per
// second, changes the hardware agent handled per second (a shadow folds
// several changes of one key into one notification), responses that came
// back per second, and keys whose final response does not carry the
// entry's transaction id after the agent caught up (must be 0).
//
//   cmake --preset release && cmake --build --preset release --target shm_process_bench
//   build/release/bench/shm_process_bench
#include <poll.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <random>
#include <string>
#include <vector>

#include <benchmark/benchmark.h>
#include <fmt/format.h>

#include "Lumo/Time.h"
#include "Mem/Sentry.h"
#include "VexSharedMem/CollectionControl.h"
#include "X2/Default/EgrVlanTagActionProfileTable.h"

namespace {

using T = bcm56275_a0::Default::EgrVlanTagActionProfileTable;
using Entry = T::Entry;
using Index = Entry::Index;
constexpr std::uint32_t kKeys = Index::max() + 1;

Entry makeEntry(std::uint32_t k, std::uint32_t gen) {
    Entry e{Index(k)};
    e.transactionIdIs((std::uint64_t(gen) << 32) | k);
    std::uint8_t b[20];
    for (unsigned i = 0; i < 20; ++i) b[i] = std::uint8_t(k * 7 + gen + i);
    e.rawBytesIs(0, b, 20);
    e.rawBytesIs(1, b, gen % 21);
    return e;
}

Vorn::MapDescriptor desc(Vorn::VornType type) {
    Vorn::MapDescriptor d(256);
    d.type = type;
    return d;
}

struct Agent {
    Lumo::Ptr<Vex::Entity> parent;
    Lumo::Ptr<T> table;
    VexSharedMem::Mounter mounter;
    explicit Agent(Vorn::VornType type) {
        parent = new Vex::Entity("agent");
        table = new T("vtap");
        parent->childIs(table);
        mounter.mount(table->entryControl(), desc(type));
    }
    // Services; sleeps in the map's descriptor and `extra` when idle.
    void step(int ms, int extra) {
        if (mounter.poll()) return;
        if (!table->entryMap().prepareToWait()) return;
        pollfd p[2] = {{table->entryMap().fd(), POLLIN, 0}, {extra, POLLIN, 0}};
        ::poll(p, 2, ms);
    }
    bool settled() {
        auto& m = table->entryMap();
        auto* s = dynamic_cast<Mem::ReaderSentry*>(m.mounter());
        return !mounter.poll() && m.mountStatus() == Vorn::mounted && m.quiesced() && s && s->writerStillThere();
    }
};

struct Echo : Vex::NotifieeConst {
    int fd = -1;
    std::uint64_t n = 0;
    void onAttribute(Lumo::FieldId f, void const*) override {
        if (f != 770) return;
        ++n;
        if (fd >= 0) {
            char c = 'k';
            (void)!::write(fd, &c, 1);
        }
    }
};

bool readByte(int fd, int ms) {
    pollfd p{fd, POLLIN, 0};
    if (::poll(&p, 1, ms) <= 0) return false;
    char c;
    return ::read(fd, &c, 1) == 1;
}

std::string benchRoot() {
    std::string r = "/dev/shm/x2procbench.";
    return r.append(std::to_string(::getpid()));
}
void removeAll(std::string const& path) {
    std::error_code ec;
    std::filesystem::remove_all(path, ec);
}

double pct(std::vector<double> v, double q) {
    if (v.empty()) return 0;
    std::sort(v.begin(), v.end());
    return v[std::min(v.size() - 1, std::size_t(q * double(v.size())))];
}

void publication(benchmark::State& state) {
    std::string const root = benchRoot();
    Mem::ZorbRootPath::rootDirIs(root);
    int ping[2], pong[2], ready[2];
    if (::pipe(ping) || ::pipe(pong) || ::pipe(ready)) {
        state.SkipWithError("pipe");
        return;
    }
    {
        // The writer exists first, so the reader attaches at once.
        Agent w(Vorn::VornType::writer);
        pid_t child = ::fork();
        if (child == 0) {
            Agent r(Vorn::VornType::shadow);
            Echo echo;
            echo.notifierIs(r.table.ptr());
            while (!r.settled()) r.step(5, ping[0]);
            echo.fd = pong[1];
            (void)!::write(ready[1], "r", 1);
            for (;;) {
                r.step(1000, ping[0]);
                pollfd p{ping[0], POLLIN, 0};
                if (::poll(&p, 1, 0) > 0) {
                    char c;
                    if (::read(ping[0], &c, 1) != 1 || c == 'q') break;
                    (void)!::write(pong[1], &c, 1);
                }
            }
            std::_Exit(0);
        }
        if (!readByte(ready[0], 30000)) {
            state.SkipWithError("reader did not attach");
            ::kill(child, SIGKILL);
            ::waitpid(child, nullptr, 0);
            return;
        }
        std::vector<double> subject, baseline;
        std::uint32_t gen = 0;
        for (auto _ : state) {
            double t0 = Lumo::time();
            (void)!::write(ping[1], "p", 1);
            readByte(pong[0], 5000);
            double t1 = Lumo::time();
            w.table->entryIs(makeEntry(gen % kKeys, gen + 1));
            ++gen;
            readByte(pong[0], 5000);
            double t2 = Lumo::time();
            baseline.push_back((t1 - t0) * 1e6);
            subject.push_back((t2 - t1) * 1e6);
        }
        (void)!::write(ping[1], "q", 1);
        ::waitpid(child, nullptr, 0);
        double const s50 = pct(subject, 0.5), b50 = pct(baseline, 0.5);
        state.counters["subject_p50_us"] = s50;
        state.counters["subject_p99_us"] = pct(subject, 0.99);
        state.counters["pipe_rtt_p50_us"] = b50;
        state.counters["pipe_rtt_p99_us"] = pct(baseline, 0.99);
        state.counters["ratio_p50"] = b50 > 0 ? s50 / b50 : 0;
    }
    for (int fd : {ping[0], ping[1], pong[0], pong[1], ready[0], ready[1]}) ::close(fd);
    removeAll(root);
}

void sustained(benchmark::State& state) {
    double const rate = double(state.range(0));
    constexpr int kReaders = 8;
    std::string const root = benchRoot();
    Mem::ZorbRootPath::rootDirIs(root);
    std::string const oracle = std::string(root).append(".oracle");
    for (auto _ : state) {
        Agent w(Vorn::VornType::writer);
        struct Child {
            pid_t pid;
            int stop[2], result[2];
        };
        std::vector<Child> kids(kReaders);
        for (auto& k : kids) {
            if (::pipe(k.stop) || ::pipe(k.result)) std::abort();
            k.pid = ::fork();
            if (k.pid == 0) {
                Agent r(Vorn::VornType::shadow);
                Echo count;
                count.notifierIs(r.table.ptr());
                for (;;) {
                    r.step(20, k.stop[0]);
                    pollfd p{k.stop[0], POLLIN, 0};
                    if (::poll(&p, 1, 0) > 0) break;
                }
                double end = Lumo::time() + 30;
                while (!r.settled() && Lumo::time() < end) r.step(5, -1);
                std::map<std::uint32_t, Entry> want;
                std::ifstream in(oracle, std::ios::binary);
                Entry e;
                while (in.read(reinterpret_cast<char*>(&e), sizeof e)) want[e.entryIndex().value()] = e;
                unsigned long bad = 0;
                for (std::uint32_t i = 0; i < kKeys; ++i) {
                    auto it = want.find(i);
                    if (!(r.table->entry(Index(i)) == (it == want.end() ? Entry() : it->second))) ++bad;
                }
                unsigned long resyncs = 0;
                using Shadow = Vorn::ShadowImpl<T::EntryMap::OpsType>;
                if (auto* s = dynamic_cast<Shadow*>(r.table->entryMap().impl())) resyncs = s->shadow().syncer().resyncs();
                std::string line = fmt::format("{} {} {}", count.n, resyncs, bad);
                (void)!::write(k.result[1], line.data(), line.size());
                std::_Exit(0);
            }
        }
        ::usleep(200000);  // let the readers attach
        std::map<std::uint32_t, Entry> state_;
        std::mt19937 rng(7);
        std::uint32_t gen = 0;
        std::uint64_t changes = 0;
        double const start = Lumo::time(), end = start + 1.0;
        for (double now = start; now < end; now = Lumo::time()) {
            std::uint64_t due = rate > 0 ? std::uint64_t((now - start) * rate) : changes + 64;
            while (changes < due) {
                std::uint32_t k = rng() % kKeys;
                if (rng() % 4) {
                    Entry e = makeEntry(k, ++gen);
                    w.table->entryIs(e);
                    state_[k] = e;
                } else {
                    w.table->entryDel(Index(k));
                    state_.erase(k);
                }
                ++changes;
            }
        }
        double const elapsed = Lumo::time() - start;
        {
            std::ofstream out(oracle, std::ios::binary);
            for (auto const& [k, e] : state_) out.write(reinterpret_cast<char const*>(&e), sizeof e);
        }
        unsigned long delivered = 0, resyncs = 0, bad = 0;
        for (auto& k : kids) (void)!::write(k.stop[1], "s", 1);
        for (auto& k : kids) {
            char buf[128] = {};
            pollfd p{k.result[0], POLLIN, 0};
            if (::poll(&p, 1, 60000) > 0 && ::read(k.result[0], buf, sizeof buf - 1) > 0) {
                unsigned long d = 0, r = 0, b = 0;
                std::sscanf(buf, "%lu %lu %lu", &d, &r, &b);
                delivered += d;
                resyncs += r;
                bad += b;
            } else {
                ++bad;
            }
            ::waitpid(k.pid, nullptr, 0);
            for (int fd : {k.stop[0], k.stop[1], k.result[0], k.result[1]}) ::close(fd);
        }
        state.counters["changes_per_s"] = double(changes) / elapsed;
        state.counters["delivered_per_s_per_reader"] = double(delivered) / kReaders / elapsed;
        state.counters["resyncs"] = double(resyncs);
        state.counters["readers_wrong"] = double(bad);
    }
    removeAll(root);
    removeAll(oracle);
}

// ---- the hardware agent across processes ----

// A table under "agent" with both maps mounted as told; services both maps.
struct Hw {
    Lumo::Ptr<Vex::Entity> parent;
    Lumo::Ptr<T> table;
    VexSharedMem::Mounter mounter;
    Hw(Vorn::VornType entryRole, Vorn::VornType wrRole) {
        parent = new Vex::Entity("agent");
        table = new T("vtap");
        parent->childIs(table);
        mounter.mount(table->writeResponseControl(), desc(wrRole));
        mounter.mount(table->entryControl(), desc(entryRole));
    }
    // Services once (deliveries happen here); true while work remains.
    bool service() { return mounter.poll(); }
    void step(int ms, int extra) {
        if (!service()) wait(ms, extra);
    }
    // Sleeps in the maps' descriptors and `extra`, unless a map has work.
    void wait(int ms, int extra) {
        auto& e = table->entryMap();
        auto& w = table->writeResponseMap();
        if (!e.prepareToWait() || !w.prepareToWait()) return;
        pollfd p[3];
        int n = 0;
        for (int fd : {e.fd(), w.fd(), extra})
            if (fd >= 0) p[n++] = {fd, POLLIN, 0};
        ::poll(p, nfds_t(n), ms);
    }
    template <class Map>
    bool settled(Map& m) {
        auto* s = dynamic_cast<Mem::ReaderSentry*>(m.mounter());
        return !mounter.poll() && m.mountStatus() == Vorn::mounted && m.quiesced() && s && s->writerStillThere();
    }
};

// The hardware side of the bench: each changed key is read through the
// accessors and answered (or its response removed).
struct Responder : Vex::NotifieeConst {
    Asic::IndexTable::NotifyingAccessor* n = nullptr;
    Asic::IndexTableAccessor* a = nullptr;
    std::uint64_t handled = 0;
    std::uint8_t chip[2][20] = {};
    void onAttribute(Lumo::FieldId f, void const* key) override {
        if (f != 770 || !key) return;
        ++handled;
        if (!n->entryExists(key) || !a->entryIsValid(key, 0)) {
            n->deleteWriteResponse(key);
            return;
        }
        for (Asic::HwTable::MemId m = 0; m <= a->entryDataMemIdMax(); ++m) {
            std::span<unsigned char const> s = a->entryDataPtr(key, m);
            std::memset(chip[m], 0, sizeof chip[m]);
            std::memcpy(chip[m], s.data(), s.size());
        }
        Asic::HwTable::WriteResponse r;
        r.transactionId = n->entryTransactionId(key);
        r.entryState = Asic::HwTable::EntryState::entryStateWritten;
        n->updateWriteResponse(key, r);
    }
};

// The latest response transaction id per key, as the user agent's table publishes them.
struct Responses : Vex::NotifieeConst {
    T* table = nullptr;
    std::uint64_t seen = 0;
    std::vector<std::uint64_t> tid = std::vector<std::uint64_t>(kKeys, 0);
    void onAttribute(Lumo::FieldId f, void const* key) override {
        if (f != 772 || !key) return;
        std::uint32_t k;
        std::memcpy(&k, key, sizeof k);
        ++seen;
        tid[k] = table->writeResponse(Index(k)).transactionId;
    }
};

// Forks the hardware agent: it answers until 'q' on `ping` (echoing any
// other byte to `pong`), then writes how many changes it handled.
pid_t forkHardwareAgent(int ping, int pong, int ready) {
    pid_t child = ::fork();
    if (child != 0) return child;
    Hw hw(Vorn::VornType::shadow, Vorn::VornType::writer);
    Responder r;
    r.n = hw.table->notifyingAccessor(0);
    r.a = r.n->getEntryAccessor(0);
    r.notifierIs(hw.table.ptr());
    double const end = Lumo::time() + 30;
    while (!hw.settled(hw.table->entryMap()) && Lumo::time() < end) hw.step(5, ping);
    (void)!::write(ready, "r", 1);
    for (;;) {
        hw.step(1000, ping);
        pollfd p{ping, POLLIN, 0};
        if (::poll(&p, 1, 0) > 0) {
            char c;
            if (::read(ping, &c, 1) != 1 || c == 'q') break;
            (void)!::write(pong, &c, 1);
        }
    }
    std::string const line = std::to_string(r.handled);
    (void)!::write(pong, line.data(), line.size());
    std::_Exit(0);
}

struct Pipes {
    int ping[2], pong[2], ready[2];
    bool ok = ::pipe(ping) == 0 && ::pipe(pong) == 0 && ::pipe(ready) == 0;
    ~Pipes() {
        for (int fd : {ping[0], ping[1], pong[0], pong[1], ready[0], ready[1]}) ::close(fd);
    }
};

// Forks the hardware agent and waits until `user` follows its write
// responses; -1 (the agent gone) when that takes over 30 s.
pid_t startHardwareAgent(Hw& user, Pipes& p) {
    pid_t const child = forkHardwareAgent(p.ping[0], p.pong[1], p.ready[1]);
    bool up = readByte(p.ready[0], 30000);
    for (double end = Lumo::time() + 30; up && !user.settled(user.table->writeResponseMap());) {
        if (Lumo::time() > end) up = false;
        user.step(5, -1);
    }
    if (up) return child;
    ::kill(child, SIGKILL);
    ::waitpid(child, nullptr, 0);
    return -1;
}

void roundtrip(benchmark::State& state) {
    std::string const root = benchRoot();
    Mem::ZorbRootPath::rootDirIs(root);
    Pipes p;
    {
        Hw user(Vorn::VornType::writer, Vorn::VornType::shadow);
        Responses resp;
        resp.table = user.table.ptr();
        resp.notifierIs(user.table.ptr());
        pid_t const child = startHardwareAgent(user, p);
        if (child < 0) {
            state.SkipWithError("the hardware agent did not come up");
            return;
        }
        std::vector<double> subject, baseline;
        std::uint32_t gen = 0;
        unsigned long missed = 0;
        for (auto _ : state) {
            double t0 = Lumo::time();
            (void)!::write(p.ping[1], "p", 1);
            readByte(p.pong[0], 5000);
            double t1 = Lumo::time();
            std::uint32_t const k = gen % kKeys;
            Entry const e = makeEntry(k, ++gen);
            user.table->entryIs(e);
            // What one service round delivered is checked before sleeping.
            for (;;) {
                bool const more = user.service();
                if (resp.tid[k] == e.transactionId() || Lumo::time() > t1 + 5) break;
                if (!more) user.wait(1000, -1);
            }
            if (resp.tid[k] != e.transactionId()) ++missed;
            double t2 = Lumo::time();
            baseline.push_back((t1 - t0) * 1e6);
            subject.push_back((t2 - t1) * 1e6);
        }
        (void)!::write(p.ping[1], "q", 1);
        ::waitpid(child, nullptr, 0);
        double const s50 = pct(subject, 0.5), b50 = pct(baseline, 0.5);
        state.counters["subject_p50_us"] = s50;
        state.counters["subject_p99_us"] = pct(subject, 0.99);
        state.counters["pipe_rtt_p50_us"] = b50;
        state.counters["pipe_rtt_p99_us"] = pct(baseline, 0.99);
        state.counters["ratio_p50"] = b50 > 0 ? s50 / b50 : 0;
        state.counters["unanswered"] = double(missed);
        resp.notifierIs(nullptr);
    }
    removeAll(root);
}

void agentRate(benchmark::State& state) {
    std::string const root = benchRoot();
    Mem::ZorbRootPath::rootDirIs(root);
    for (auto _ : state) {
        Pipes p;
        Hw user(Vorn::VornType::writer, Vorn::VornType::shadow);
        Responses resp;
        resp.table = user.table.ptr();
        resp.notifierIs(user.table.ptr());
        pid_t const child = startHardwareAgent(user, p);
        if (child < 0) {
            state.SkipWithError("the hardware agent did not come up");
            return;
        }
        std::vector<std::uint64_t> want(kKeys, 0);
        std::uint32_t gen = 0;
        std::uint64_t written = 0;
        double const start = Lumo::time(), end = start + 1.0;
        std::uint64_t const seen0 = resp.seen;
        while (Lumo::time() < end) {
            for (int b = 0; b < 64; ++b) {
                std::uint32_t const k = gen % kKeys;
                Entry const e = makeEntry(k, ++gen);
                user.table->entryIs(e);
                want[k] = e.transactionId();
                ++written;
            }
            user.mounter.poll();
        }
        double const elapsed = Lumo::time() - start;
        std::uint64_t const answered = resp.seen - seen0;
        // Catch up, then compare every key's last response.
        for (double stop = Lumo::time() + 10; resp.tid != want && Lumo::time() < stop;) user.step(10, -1);
        double const total = Lumo::time() - start;  // until the agent caught up
        unsigned long wrong = 0;
        for (std::uint32_t k = 0; k < kKeys; ++k) wrong += resp.tid[k] != want[k];
        (void)!::write(p.ping[1], "q", 1);
        char buf[64] = {};
        pollfd pf{p.pong[0], POLLIN, 0};
        unsigned long handled = 0;
        if (::poll(&pf, 1, 10000) > 0 && ::read(p.pong[0], buf, sizeof buf - 1) > 0) handled = std::strtoul(buf, nullptr, 10);
        ::waitpid(child, nullptr, 0);
        resp.notifierIs(nullptr);
        state.counters["written_per_s"] = double(written) / elapsed;
        state.counters["agent_changes_per_s"] = double(handled) / total;
        state.counters["responses_per_s"] = double(resp.seen - seen0) / total;
        state.counters["responses_in_window_per_s"] = double(answered) / elapsed;
        state.counters["keys_wrong"] = double(wrong);
    }
    removeAll(root);
}

BENCHMARK(roundtrip)->Iterations(20000)->UseRealTime()->Unit(benchmark::kMicrosecond);
BENCHMARK(agentRate)->Iterations(1)->UseRealTime()->Unit(benchmark::kMillisecond);
BENCHMARK(publication)->Iterations(20000)->UseRealTime()->Unit(benchmark::kMicrosecond);
BENCHMARK(sustained)->Arg(100000)->Arg(400000)->Arg(0)->Iterations(1)->UseRealTime()->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
