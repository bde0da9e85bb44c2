// The whole story across real processes, through the table entities as
// agents use them. An agent process owns EgrVlanTagActionProfileTable
// "/agent/vtap" as writer of its entry map and shadow reader of its
// write-response map; a responder process, the other way round, answers
// every entry it is told of with a write response carrying the entry's
// transaction id (or deletes the response of an entry gone); one reader
// process per reader type (1, 2, 3) follows the entry map with a table and
// a subscriber. The readers mount before any writer exists and are woken
// by the map's descriptor.
//
// The agent is killed with SIGKILL at random moments of its write storm and
// a new agent process mounts the same table, again and again; the last one
// stops at a quiet point and writes its oracle (what it found at mount plus
// everything it wrote). Then:
//   - every reader's table equals the oracle, key by key;
//   - every key a shadow reader's subscriber was told of was, at its last
//     report, what the oracle holds (so every change reached it after the
//     last change), and no key of the oracle went unreported;
//   - no key that is never removed (the lower half) was reported absent
//     outside a flush (mount status 3);
//   - each reader's collection control saw the mount status drop and come
//     back (a shadow passing through 3), and ends mounted;
//   - the agent's write-response map holds, for every entry, the response
//     to exactly that entry's transaction id, and nothing else;
//   - the value shadow's value callbacks got, with every value, the value
//     it saw before for that key; the agent's counters read by name from
//     the test process match its own; a second writer is refused.
//
// X2_SHMR_KILLS sets the number of kill/restart rounds (default 20). Not
// run under ThreadSanitizer (fork of a threaded sanitizer runtime).
#include <poll.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <map>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "../shm_support/ShmTest.h"
#include "Lumo/Exception.h"
#include "Lumo/Time.h"
#include "Mem/Sentry.h"
#include "Vex/Stats.h"
#include "VexSharedMem/CollectionControl.h"
#include "X2/Default/EgrVlanTagActionProfileTable.h"

using namespace shmtest;

namespace {

using T = bcm56275_a0::Default::EgrVlanTagActionProfileTable;
using Entry = T::Entry;
using WR = T::WriteResponse;
using Index = Entry::Index;
using Vorn::VornType;

constexpr std::uint32_t kKeys = Index::max() + 1;
constexpr std::uint32_t kStable = kKeys / 2;  // written once per file generation, never removed

// One byte or one line over a pipe between the test and a child.
struct Channel {
    int toChild[2] = {-1, -1}, toParent[2] = {-1, -1};
    Channel() {
        if (::pipe(toChild) != 0 || ::pipe(toParent) != 0) ADD_FAILURE() << "pipe";
    }
    static bool waitByte(int fd, int ms) {
        pollfd p{fd, POLLIN, 0};
        if (::poll(&p, 1, ms) <= 0) return false;
        char c;
        return ::read(fd, &c, 1) == 1;
    }
    static void send(int fd, std::string const& s) { (void)!::write(fd, s.data(), s.size()); }
    static std::string readLine(int fd, int ms) {
        std::string line;
        char c;
        double end = Lumo::time() + ms / 1000.0;
        while (Lumo::time() < end) {
            pollfd p{fd, POLLIN, 0};
            if (::poll(&p, 1, 100) <= 0) continue;
            if (::read(fd, &c, 1) != 1) break;
            if (c == '\n') return line;
            line.push_back(c);
        }
        return line;
    }
};

Vorn::MapDescriptor desc(VornType type, bool strict = false) {
    Vorn::MapDescriptor d(64);
    d.type = type;
    d.strictValidation = strict;
    d.captureNotifyValues = d.prevValue = type == VornType::valueShadow;
    return d;
}

// A table "/agent/vtap" in this process, mounted as told, driven from the
// process's own loop.
struct Agent {
    Lumo::Ptr<Vex::Entity> parent;
    Lumo::Ptr<T> table;
    VexSharedMem::Mounter mounter;

    Agent(std::optional<VornType> entryRole, std::optional<VornType> wrRole, bool strict = false) {
        parent = new Vex::Entity("agent");
        table = new T("vtap");
        parent->childIs(table);
        if (wrRole) mounter.mount(table->writeResponseControl(), desc(*wrRole));
        if (entryRole) mounter.mount(table->entryControl(), desc(*entryRole, strict));
    }
    // One round: service everything; when nothing is left to do, sleep in
    // the maps' descriptors (and `extra`) for up to `ms`. True when a
    // descriptor woke it.
    bool step(int ms, int extra = -1) {
        if (mounter.poll()) return false;
        pollfd p[3];
        int n = 0;
        int fds[2] = {table->entryMap().fd(), table->writeResponseMap().fd()};
        bool ready[2] = {fds[0] < 0 || table->entryMap().prepareToWait(),
                         fds[1] < 0 || table->writeResponseMap().prepareToWait()};
        if (!ready[0] || !ready[1]) return false;
        for (int fd : fds)
            if (fd >= 0) p[n++] = {fd, POLLIN, 0};
        if (extra >= 0) p[n++] = {extra, POLLIN, 0};
        return ::poll(p, nfds_t(n), ms) > 0;
    }
    // Services until the map is mounted on a live writer and quiet.
    template <class Map>
    bool settle(Map& map, int ms) {
        double end = Lumo::time() + ms / 1000.0;
        while (Lumo::time() < end) {
            if (mounter.poll()) continue;
            auto* s = dynamic_cast<Mem::ReaderSentry*>(map.mounter());
            if (map.mountStatus() == Vorn::mounted && map.quiesced() && s && s->writerStillThere() && !mounter.poll())
                return true;
            step(5);
        }
        return false;
    }
};

// What a reader process tells the test.
struct Tally {
    unsigned long notified = 0, absentWhilePresent = 0, stale = 0, wrong = 0, drops = 0, flushes = 0, rises = 0,
                  woke = 0, settled = 0, finalStatus = 0, values = 0, withPrev = 0, prevWrong = 0, dumpMode = 9,
                  entryIsCount = 0;
    std::string problem;
    std::string line() const {
        return fmt::format("{} {} {} {} {} {} {} {} {} {} {} {} {} {} {} |{}\n", notified, absentWhilePresent, stale,
                           wrong, drops, flushes, rises, woke, settled, finalStatus, values, withPrev, prevWrong,
                           dumpMode, entryIsCount, problem);
    }
    static Tally parse(std::string const& s) {
        Tally t;
        std::sscanf(s.c_str(), "%lu %lu %lu %lu %lu %lu %lu %lu %lu %lu %lu %lu %lu %lu %lu", &t.notified,
                    &t.absentWhilePresent, &t.stale, &t.wrong, &t.drops, &t.flushes, &t.rises, &t.woke, &t.settled,
                    &t.finalStatus, &t.values, &t.withPrev, &t.prevWrong, &t.dumpMode, &t.entryIsCount);
        auto bar = s.find('|');
        if (bar != std::string::npos) t.problem = s.substr(bar + 1);
        return t;
    }
    void note(std::string const& p) {
        ++wrong;
        if (problem.empty()) problem = p;
    }
};

// Records every key the table publishes (770) with what the table held at
// that moment, and every mount status its entry control publishes.
struct Follower : Vex::NotifieeConst {
    T* table = nullptr;
    Tally* tally = nullptr;
    std::map<std::uint32_t, std::optional<Entry>> last;
    void onChange(Lumo::Change const& c) override {
        if (c.fieldId != 770 || !c.key.hasKey()) return;
        std::uint32_t k = c.key.index();
        ++tally->notified;
        typename T::EntryValue v;
        bool found = table->entryMap().lookup(Index(k), v);
        if (found && !Values<Entry>::whole(v)) tally->note(fmt::format("torn entry {}", k));
        if (!found && k < kStable && table->entryMap().mountStatus() != Vorn::flushInProgress)
            ++tally->absentWhilePresent;
        last[k] = found ? std::optional<Entry>(v) : std::nullopt;
    }
};
struct StatusWatch : Vex::NotifieeConst {
    VexVorn::CollectionControl* control = nullptr;
    Tally* tally = nullptr;
    int prev = 0;
    void onChange(Lumo::Change const& c) override {
        if (c.fieldId != VexSharedMem::CollectionControl::kMountStatusAttrId) return;
        int s = control->mountStatus();
        if (s == Vorn::flushInProgress) ++tally->flushes;
        if (s == Vorn::notMounted && prev != Vorn::notMounted) ++tally->drops;
        if (s == Vorn::mounted && prev != Vorn::mounted) ++tally->rises;
        prev = s;
    }
};

// A reader of the entry map of type `type`: waits for the writer, follows
// it through its deaths, and on 'c' settles and checks against the oracle.
Tally readerProcess(VornType type, Channel& ch, std::string const& oraclePath) {
    Tally t;
    // The value shadow's process keeps its shadow out of core dumps.
    if (type == VornType::valueShadow) ::setenv("LUMO_TOGGLES", "CoreDumpSharedFiles=0", 1);
    Agent a(type, std::nullopt);
    // Type 3: every value comes with the value this reader saw before for
    // its key (none the first time, or after the key was reported gone),
    // and a key gone comes with its last value.
    std::map<std::uint32_t, Entry> seen;
    a.table->entryMap().valueCallbackIs([&](T::EntryValue const& v, T::EntryValue const* prev) {
        ++t.values;
        auto it = seen.find(keyOf(v));
        if (prev) ++t.withPrev;
        if (it == seen.end() ? prev != nullptr : !prev || !(Entry(*prev) == it->second)) ++t.prevWrong;
        seen[keyOf(v)] = v;
    });
    a.table->entryMap().keyValueCallbackIs([&](std::uint32_t k, T::EntryValue const* lastValue) {
        auto it = seen.find(k);
        if (it == seen.end() || !lastValue || !(Entry(*lastValue) == it->second)) ++t.prevWrong;
        seen.erase(k);
    });
    Follower f;
    f.table = a.table.ptr();
    f.tally = &t;
    f.notifierIs(a.table.ptr());
    StatusWatch sw;
    sw.control = a.table->entryControl().ptr();
    sw.tally = &t;
    sw.notifierIs(a.table->entryControl().ptr());
    if (a.table->entryMap().mountStatus() != Vorn::notMounted) t.note("mounted before any writer");
    Channel::send(ch.toParent[1], "r");
    // The first attach comes from the descriptor's wake-up, not a timeout.
    while (a.table->entryMap().attaches() == 0) {
        if (Channel::waitByte(ch.toChild[0], 0)) return t;  // told to stop early
        pollfd p{a.table->entryMap().fd(), POLLIN, 0};
        if (::poll(&p, 1, 10000) > 0) {
            a.mounter.poll();
            if (a.table->entryMap().attaches()) t.woke = 1;
        } else {
            t.note("no wake-up within 10 s of the writer's start");
            break;
        }
    }
    do a.step(20, ch.toChild[0]);
    while (!Channel::waitByte(ch.toChild[0], 0));
    t.settled = a.settle(a.table->entryMap(), 20000);
    t.finalStatus = unsigned(a.table->entryControl()->mountStatus());
    using Shadow = Vorn::ShadowImpl<T::EntryMap::OpsType>;
    if (auto* sh = dynamic_cast<Shadow*>(a.table->entryMap().impl())) t.dumpMode = unsigned(sh->shadow().store().store().coreDumpMode());
    auto oracle = readOracle<Entry>(oraclePath);
    for (std::uint32_t k = 0; k < kKeys; ++k) {
        typename T::EntryValue v;
        bool found = a.table->entryMap().lookup(Index(k), v);
        auto it = oracle.find(k);
        if (found != (it != oracle.end()) || (found && !(Entry(v) == it->second)))
            t.note(fmt::format("key {} found:{} oracle:{}", k, found, it != oracle.end()));
        if (type == VornType::reader) continue;
        auto l = f.last.find(k);
        bool reported = l != f.last.end();
        if (it != oracle.end() && (!reported || !l->second || !(*l->second == it->second))) ++t.stale;
        if (it == oracle.end() && reported && l->second) ++t.stale;
    }
    return t;
}

// Answers every entry it is told of with a write response (or deletes it).
struct Responder : Vex::NotifieeConst {
    T* table = nullptr;
    void onChange(Lumo::Change const& c) override {
        if (c.fieldId != 770 || !c.key.hasKey()) return;
        Index i(c.key.index());
        typename T::EntryValue v;
        if (table->entryMap().lookup(i, v)) {
            std::uint64_t tid = v.transactionId();
            table->writeResponseIs(WR(i, tid, Asic::HwTable::EntryState(tid % 5)));
        } else {
            table->writeResponseDel(i);
        }
    }
};

Tally responderProcess(Channel& ch) {
    Tally t;
    Agent a(VornType::shadow, VornType::writer);
    Responder r;
    r.table = a.table.ptr();
    r.notifierIs(a.table.ptr());
    Channel::send(ch.toParent[1], "r");
    do a.step(20, ch.toChild[0]);
    while (!Channel::waitByte(ch.toChild[0], 0));
    t.settled = a.settle(a.table->entryMap(), 20000);
    t.finalStatus = unsigned(a.table->entryControl()->mountStatus());
    // The agent checks the write responses next: keep writing them.
    Channel::send(ch.toParent[1], t.line());
    do a.step(20, ch.toChild[0]);
    while (!Channel::waitByte(ch.toChild[0], 0));
    return t;
}

// The writing agent number `n`. Mounts, makes sure every stable key is
// present, then storms. The last one (`last`) stops after `stormMs`,
// writes its oracle, and on 'c' checks the write responses.
Tally agentProcess(int n, bool last, int stormMs, Channel& ch, std::string const& oraclePath) {
    Tally t;
    // The last agent checks its whole map after every change.
    Agent a(VornType::writer, VornType::shadow, last);
    std::map<std::uint32_t, Entry> oracle;
    for (std::uint32_t k = 0; k < kKeys; ++k) {
        typename T::EntryValue v;
        if (a.table->entryMap().lookup(Index(k), v)) oracle[k] = v;
    }
    std::uint32_t gen = std::uint32_t(n + 1) << 20;
    auto put = [&](std::uint32_t k) {
        Entry e = makeValue<Entry>(k, ++gen);
        a.table->entryIs(e);
        oracle[k] = e;
    };
    for (std::uint32_t k = 0; k < kStable; ++k)
        if (!oracle.count(k)) put(k);
    Channel::send(ch.toParent[1], "m");
    std::mt19937 rng(std::uint32_t(n * 7919 + 1));
    double end = Lumo::time() + (last ? stormMs / 1000.0 : 1e9);
    for (std::uint64_t i = 0; Lumo::time() < end; ++i) {
        std::uint32_t k = rng() % kKeys;
        if (k < kStable || rng() % 2) {
            put(k);
        } else {
            a.table->entryDel(Index(k));
            oracle.erase(k);
        }
        if (i % 16 == 0) a.step(0);
    }
    for (std::uint32_t k = 0; k < kKeys; ++k) {
        auto it = oracle.find(k);
        Entry got = a.table->entry(Index(k));
        if (!(got == (it == oracle.end() ? Entry() : it->second))) t.note(fmt::format("writer's own key {}", k));
    }
    {
        std::ofstream out(oraclePath + ".tmp", std::ios::binary);
        for (auto const& [k, e] : oracle) out.write(reinterpret_cast<char const*>(&e), sizeof e);
    }
    std::rename((oraclePath + ".tmp").c_str(), oraclePath.c_str());
    t.entryIsCount = *Vex::Stats::Writer::find(Vex::Stats::defaultStatsName())->counter("entryIs");
    Channel::send(ch.toParent[1], "d");
    do a.step(20, ch.toChild[0]);
    while (!Channel::waitByte(ch.toChild[0], 0));
    t.settled = a.settle(a.table->writeResponseMap(), 20000);
    if (!t.settled) {
        auto& m = a.table->writeResponseMap();
        auto* sn = dynamic_cast<Mem::ReaderSentry*>(m.mounter());
        t.note(fmt::format("write-response map: status {} quiesced {} attaches {} writer there {}", int(m.mountStatus()),
                           m.quiesced(), m.attaches(), sn && sn->writerStillThere()));
    }
    for (std::uint32_t k = 0; k < kKeys; ++k) {
        typename T::WriteResponseValue w;
        bool found = a.table->writeResponseMap().lookup(Index(k), w);
        auto it = oracle.find(k);
        if (found != (it != oracle.end()) || (found && w.transactionId != it->second.transactionId()))
            t.note(fmt::format("write response {} found:{} entry:{}", k, found, it != oracle.end()));
    }
    return t;
}

std::vector<pid_t>& spawned() {
    static std::vector<pid_t> pids;
    return pids;
}

template <class F>
pid_t spawn(F body, Channel& ch) {
    pid_t pid = ::fork();
    if (pid == 0) {
        Tally t = body();
        Channel::send(ch.toParent[1], t.line());
        std::_Exit(0);
    }
    spawned().push_back(pid);
    return pid;
}

// Children still running when the test ends early (a failed assertion) are
// killed: none outlives the test program, holding its output open.
struct KillSurvivors {
    ~KillSurvivors() {
        for (pid_t p : spawned())
            if (::waitpid(p, nullptr, WNOHANG) == 0) {
                ::kill(p, SIGKILL);
                ::waitpid(p, nullptr, 0);
            }
        spawned().clear();
    }
};

bool exitedCleanly(pid_t pid) {
    int status = 0;
    ::waitpid(pid, &status, 0);
    return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

}  // namespace

TEST(WholeStory, ReadersOfEveryTypeFollowAWriterThroughItsDeaths) {
#if defined(__SANITIZE_THREAD__)
    GTEST_SKIP() << "fork() of a ThreadSanitizer process is not supported";
#endif
    TempRoot root;
    KillSurvivors survivors;
    Mem::ZorbRootPath::rootDirIs(root.dir());
    ::setenv("X2_STATS_DIR", (root.dir() + "/stats").c_str(), 1);
    std::string const oraclePath = root.dir() + "/oracle";
    int const kills = envInt("X2_SHMR_KILLS", 20);

    // Readers and the responder first: they mount before any writer exists.
    VornType const types[] = {VornType::shadow, VornType::reader, VornType::valueShadow};
    std::vector<Channel> readerCh(3);
    std::vector<pid_t> readers;
    for (int i = 0; i < 3; ++i)
        readers.push_back(spawn([&, i] { return readerProcess(types[i], readerCh[i], oraclePath); }, readerCh[i]));
    Channel respCh;
    pid_t responder = spawn([&] { return responderProcess(respCh); }, respCh);  // reports twice
    for (auto& c : readerCh) ASSERT_TRUE(Channel::waitByte(c.toParent[0], 20000));
    ASSERT_TRUE(Channel::waitByte(respCh.toParent[0], 20000));

    // Agents killed at random moments of their storms.
    std::mt19937 rng(20261206);
    for (int n = 0; n < kills; ++n) {
        Channel ch;
        pid_t agent = spawn([&] { return agentProcess(n, false, 0, ch, oraclePath); }, ch);
        // Killed in the middle of its storm, once mounted.
        EXPECT_TRUE(Channel::waitByte(ch.toParent[0], 20000)) << "agent " << n << " did not mount";
        ::usleep(useconds_t(1000 + rng() % 15000));
        ::kill(agent, SIGKILL);
        int status = 0;
        ::waitpid(agent, &status, 0);
        EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL) << "agent " << n << " ended, status " << status;
        for (int fd : {ch.toChild[0], ch.toChild[1], ch.toParent[0], ch.toParent[1]}) ::close(fd);
    }
    // The last agent: storms, stops at a quiet point, writes its oracle.
    Channel lastCh;
    pid_t agent = spawn([&] { return agentProcess(kills, true, 150, lastCh, oraclePath); }, lastCh);
    ASSERT_TRUE(Channel::waitByte(lastCh.toParent[0], 30000)) << "last agent did not mount";
    ASSERT_TRUE(Channel::waitByte(lastCh.toParent[0], 30000)) << "last agent did not finish its storm";
    // Its statistics, read by name from this process while it idles.
    auto stats = Vex::Stats::Reader::open(Vex::Stats::defaultStatsName(), agent);
    ASSERT_NE(stats, nullptr);
    EXPECT_EQ(stats->pid(), agent);
    auto const entryIs = stats->counter("entryIs");
    // A second writer of the same table is refused while the agent lives.
    try {
        Agent second(VornType::writer, std::nullopt);
        ADD_FAILURE() << "a second writer was admitted";
    } catch (Lumo::IllegalOperationException const& e) {
        EXPECT_EQ(e.msg(), fmt::format("writer lock of {} is held by pid {}",
                                       Mem::ZorbRootPath("/agent/vtap/entry").path(), agent));
    }

    Channel::send(respCh.toChild[1], "c");
    Tally resp = Tally::parse(Channel::readLine(respCh.toParent[0], 60000));
    EXPECT_EQ(resp.settled, 1u) << "responder did not settle";
    EXPECT_EQ(resp.wrong, 0u) << resp.problem;

    for (int i = 0; i < 3; ++i) {
        Channel::send(readerCh[i].toChild[1], "c");
        Tally t = Tally::parse(Channel::readLine(readerCh[i].toParent[0], 60000));
        EXPECT_TRUE(exitedCleanly(readers[i]));
        SCOPED_TRACE(fmt::format("reader type {}", int(types[i])));
        EXPECT_EQ(t.settled, 1u);
        EXPECT_EQ(t.woke, 1u) << "the first attach did not come from the descriptor";
        EXPECT_EQ(t.wrong, 0u) << t.problem;
        EXPECT_EQ(t.finalStatus, unsigned(Vorn::mounted));
        EXPECT_EQ(t.absentWhilePresent, 0u);
        if (types[i] == VornType::valueShadow) {
            EXPECT_GT(t.values, 0u);
            EXPECT_GT(t.withPrev, 0u);
            EXPECT_EQ(t.prevWrong, 0u) << "previous values that are not what this reader saw before";
            EXPECT_EQ(t.dumpMode, unsigned(Mem::coreDumpHeaders)) << "CoreDumpSharedFiles off";
        } else if (types[i] == VornType::shadow) {
            EXPECT_EQ(t.values, 0u) << "values delivered without value capture";
            EXPECT_EQ(t.dumpMode, unsigned(Mem::coreDumpFull));
        }
        if (types[i] != VornType::reader) {
            EXPECT_EQ(t.stale, 0u) << "keys not reported after their last change";
            EXPECT_GT(t.notified, 0u);
            if (kills > 0) {
                EXPECT_GT(t.flushes, 0u);
            }
        }
        if (kills > 0) {
            EXPECT_GT(t.drops, 0u) << "the writer's deaths were never seen";
            EXPECT_GE(t.rises, t.drops);
        }
        std::printf("reader type %d: %lu notifications, %lu drops, %lu flushes, %lu rises\n", int(types[i]),
                    t.notified, t.drops, t.flushes, t.rises);
    }

    Channel::send(lastCh.toChild[1], "c");
    Tally w = Tally::parse(Channel::readLine(lastCh.toParent[0], 60000));
    EXPECT_TRUE(exitedCleanly(agent));
    Channel::send(respCh.toChild[1], "q");
    Channel::readLine(respCh.toParent[0], 60000);
    EXPECT_TRUE(exitedCleanly(responder));
    EXPECT_EQ(w.settled, 1u) << "agent's write-response shadow did not settle";
    EXPECT_EQ(w.wrong, 0u) << w.problem;
    ASSERT_TRUE(entryIs.has_value());
    EXPECT_EQ(*entryIs, w.entryIsCount);
    EXPECT_GT(*entryIs, 0u);
    Mem::ZorbRootPath::rootDirIs("");
    ::unsetenv("X2_STATS_DIR");
}
