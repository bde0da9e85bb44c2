// x2demo: the whole system at work, in three processes and well under a second.
//
//   user agent      writes, deletes and rewrites entries of the two
//                   shared-memory tables (writer of their entry maps, shadow
//                   reader of their write-response maps) and of four local
//                   tables, whose hardware side is a simulated agent and chip
//                   in its own process, as a local table's is;
//   hardware agent  follows the two shared tables (shadow reader of the entry
//                   maps, writer of the write-response maps) with the
//                   simulated agent, which knows no generated class: through
//                   the accessors and descriptors only it programs its
//                   simulated chip and answers every entry with a write
//                   response;
//   observer        a shadow reader of all four maps, printing what it sees.
//
// The parent forks the three before anything shared exists, drives them over
// pipes and checks that the chips hold exactly the bytes of an independent
// bit model of every entry (deleted entries cleared), that every write got
// its write response, and that all three end with the same view of both
// tables. Exit status 0 when everything agreed, else 1 with a one-line
// reason. Every file of the run (maps, statistics) is removed at the end.
#include <signal.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <map>
#include <numeric>
#include <random>
#include <span>
#include <sstream>

#include "Mem/RootPath.h"
#include "Processes.h"
#include "Vex/Stats.h"
#include "X2/Default/EgrMirrorTable.h"
#include "X2/Default/IsecScTcam.h"
#include "X2/Default/MirrorSessionTable.h"
#include "X2/Default/SubPortPolicyTable.h"
#include "X2/Support/Registry.h"
#include "hwsim/BitModel.h"
#include "hwsim/SimAgent.h"

namespace {

using namespace bcm56275_a0::Default;
using namespace demo;
using Vorn::VornType;
using Bytes = std::vector<std::uint8_t>;
constexpr auto kWritten = Asic::HwTable::EntryState::entryStateWritten;

struct Run {
    std::string entity;  // the parent entity of the shared tables: "x2demo-<pid>"
    std::uint64_t seed;  // of the user agent's entries
};

std::string hex(Bytes const& b) {
    std::string s;
    for (auto c : b) s += fmt::format("{:02x}", c);
    return s;
}

void say(Child const& c, std::string const& text) { std::printf("  [%s] %s\n", c.role, text.c_str()); }

// ---- entries: typed setters, and an independent bit model of what they set --

// An entry of table T under construction: each field is set through its
// generated setter and written into a bit model of the data arrays at the
// catalogue's offset and width for the field. The model's bytes are what the
// chip must hold.
template <class T>
struct Draft {
    using Entry = typename T::Entry;
    Entry entry;
    std::vector<Bytes> chip;  // per data memory

    Draft() {
        for (std::uint32_t capacity : T::tableInfo().arrays) chip.emplace_back(capacity, 0);
    }
    template <class V>
    void set(void (Entry::*setter)(V), char const* name, std::uint64_t value) {
        X2::FieldInfo const& f = *X2::findField(T::tableInfo(), name);
        if (f.width < 64) value &= (std::uint64_t(1) << f.width) - 1;
        (entry.*setter)(V(value));
        BitModel m;
        m.bytes = chip[f.array];
        m.write(f.offset, f.width, [&](unsigned k) { return ((value >> k) & 1) != 0; });
        chip[f.array] = m.bytes;
    }
};
#define SET(draft, field, value) (draft).set(&std::remove_reference_t<decltype(draft)>::Entry::field##Is, #field, value)

// A few fields of each table, random values in range; the first is never
// zero, so that every entry is valid.
void fill(Draft<Egr>& d, std::mt19937_64& r) {
    SET(d, dtOtagAction0, r() | 1);
    SET(d, sitIpriAction1, r());
    SET(d, otpidAction1, r());
    SET(d, itpidAction0, r());  // bits 127..129: the inline array's length follows the value
}
void fill(Draft<Ing>& d, std::mt19937_64& r) {
    SET(d, utItagAction0, r() | 1);
    SET(d, sotIpriAction0, r());
    SET(d, sitOtagAction1, r());
    SET(d, sitVtVpriAction1, r());
}
void fill(Draft<MirrorSessionTable>& d, std::mt19937_64& r) {
    SET(d, portNum10, r() | 1);
    SET(d, count0, r());
    SET(d, portNum31, r());
    SET(d, rtag1, r());
}
void fill(Draft<IsecScTcam>& d, std::mt19937_64& r) {
    SET(d, valid, 1);
    SET(d, msSubportNum, r());
    SET(d, sci, r());
    SET(d, an, r());
}
void fill(Draft<EgrMirrorTable>& d, std::mt19937_64& r) {
    SET(d, mirrorVlanVld, 1);
    SET(d, mirrorVlan, r());
    SET(d, seqNumCounterIndex, r());
    SET(d, mirrorClassId, r());
}
void fill(Draft<SubPortPolicyTable>& d, std::mt19937_64& r) {
    SET(d, untagCtrlPortEn, 1);
    SET(d, sectagOffset, r());
    SET(d, sci, r());
    SET(d, mtuSel, r());
}

// The work on one table, in three phases: indices to write, then to delete,
// then to write again (some of them deleted before).
struct Plan {
    std::vector<std::uint32_t> phase[3];
};
Plan planFor(std::uint32_t lastIndex, std::mt19937_64& r) {
    std::vector<std::uint32_t> all(lastIndex + 1);
    std::iota(all.begin(), all.end(), 0u);
    std::shuffle(all.begin(), all.end(), r);
    std::size_t const n = all.size() <= 16 ? all.size() : std::min<std::size_t>(96, all.size() * 3 / 4);
    Plan p;
    p.phase[0].assign(all.begin(), all.begin() + std::ptrdiff_t(n));
    p.phase[1].assign(all.begin(), all.begin() + std::ptrdiff_t(std::max<std::size_t>(1, n / 4)));
    std::shuffle(all.begin(), all.begin() + std::ptrdiff_t(n), r);
    p.phase[2].assign(all.begin(), all.begin() + std::ptrdiff_t(std::max<std::size_t>(1, n / 3)));
    return p;
}

// What the user agent did to one table, and so what the chip must hold.
struct Ledger {
    explicit Ledger(X2::TableInfo const& t) : info(t) {}
    X2::TableInfo const& info;
    unsigned written = 0, deleted = 0;
    std::map<std::uint32_t, std::pair<Asic::TransactionId, std::vector<Bytes>>> present;
    std::map<std::uint32_t, bool> deletedLast;

    std::vector<Bytes> expected(std::uint32_t i) const {
        if (auto it = present.find(i); it != present.end()) return it->second.second;
        std::vector<Bytes> zero;
        for (std::uint32_t capacity : info.arrays) zero.emplace_back(capacity, 0);
        return zero;
    }
    char const* state(std::uint32_t i) const {
        return present.count(i) ? "programmed" : deletedLast.count(i) ? "deleted" : "unused";
    }
};

// ---- user agent ------------------------------------------------------------

// The writes and deletions of the shared tables not yet answered, by (table,
// index), and the round trip of each answered write.
struct Outstanding {
    std::map<std::pair<int, std::uint32_t>, std::pair<Asic::TransactionId, Clock::time_point>> writes;
    std::map<std::pair<int, std::uint32_t>, bool> deletions;
    std::vector<double> roundTripsUs;
    unsigned failed = 0;
    std::size_t size() const { return writes.size() + deletions.size(); }
};

// Hears the write responses (field 772) of one shared table: a write is
// answered by a response with its transaction id, a deletion by the
// response's removal.
template <class T>
struct ResponseWatch : Vex::NotifieeConst {
    ResponseWatch(T* t, int id, Outstanding& o) : table(t), tableId(id), outstanding(o) { notifierIs(t); }
    T* table;
    int tableId;
    Outstanding& outstanding;

    void onAttribute(Lumo::FieldId field, void const* key) override {
        if (field != 772 || !key) return;
        std::uint32_t const i = *static_cast<std::uint32_t const*>(key);
        auto const w = table->writeResponse(typename T::Entry::Index(i));
        auto it = outstanding.writes.find({tableId, i});
        if (it != outstanding.writes.end() && w.transactionId == it->second.first) {
            outstanding.failed += w.entryState != kWritten;
            outstanding.roundTripsUs.push_back(
                std::chrono::duration<double, std::micro>(Clock::now() - it->second.second).count());
            outstanding.writes.erase(it);
        }
        if (w.transactionId == 0) outstanding.deletions.erase({tableId, i});
    }
};

int userAgent(Run const& run, Child& self) {
    SharedTables s(run.entity, VornType::writer, VornType::shadow);
    if (!s.mountAll(30000)) throw std::runtime_error("its maps did not mount within 30 s");
    Outstanding out;
    ResponseWatch<Egr> egrWatch(s.egr.ptr(), 0, out);
    ResponseWatch<Ing> ingWatch(s.ing.ptr(), 1, out);
    // The local tables, and their hardware side on a chip of its own.
    Lumo::Ptr<MirrorSessionTable> mirrorSessions(new MirrorSessionTable("MirrorSessionTable"));
    Lumo::Ptr<IsecScTcam> scTcam(new IsecScTcam("IsecScTcam"));
    Lumo::Ptr<EgrMirrorTable> egrMirror(new EgrMirrorTable("EgrMirrorTable"));
    Lumo::Ptr<SubPortPolicyTable> subPorts(new SubPortPolicyTable("SubPortPolicyTable"));
    hwsim::SimChip localChip;
    hwsim::SimAgent localAgent(localChip);
    localAgent.watch(*mirrorSessions, *hwsim::descriptorOf(MirrorSessionTable::tableInfo()));
    localAgent.watch(*scTcam, *hwsim::descriptorOf(IsecScTcam::tableInfo()));
    localAgent.watch(*egrMirror, *hwsim::descriptorOf(EgrMirrorTable::tableInfo()));
    localAgent.watch(*subPorts, *hwsim::descriptorOf(SubPortPolicyTable::tableInfo()));
    sendLine(self.out, "ready");
    for (std::optional<std::string> cmd; !cmd || *cmd != "go"; cmd = self.in.next(0)) {
        if (self.in.eof) return 1;
        s.step(20, self.in.fd);
    }

    std::mt19937_64 rng(run.seed);
    Asic::TransactionId tid = 0;
    // Writes a fresh random entry at index i of `table`, or deletes it.
    auto apply = [&](auto& table, Ledger& l, std::uint32_t i, bool del) {
        using T = std::remove_reference_t<decltype(table)>;
        using Index = typename T::Entry::Index;
        constexpr bool shared = std::is_same_v<T, Egr> || std::is_same_v<T, Ing>;
        std::pair<int, std::uint32_t> const key{std::is_same_v<T, Ing>, i};
        if (del) {
            ++l.deleted;
            l.present.erase(i);
            l.deletedLast[i] = true;
            if constexpr (shared) out.deletions[key] = true;
            table.entryDel(Index(i));
            return;
        }
        Draft<T> d;
        fill(d, rng);
        d.entry.transactionIdIs(++tid);
        ++l.written;
        l.present[i] = {tid, d.chip};
        l.deletedLast.erase(i);
        if constexpr (shared) {
            d.entry.entryIndexIs(Index(i));
            out.writes[key] = {tid, Clock::now()};
            table.entryIs(d.entry);
        } else {
            table.entryIs(Index(i), d.entry);
        }
    };
    // Services the maps until at most `window` operations are outstanding.
    auto drain = [&](std::size_t window) {
        auto deadline = Clock::now() + std::chrono::seconds(20);
        for (std::size_t last = out.size();; last = out.size()) {
            bool const work = s.service();  // the answers arrive in here
            if (out.size() <= window) return;
            if (out.size() != last) deadline = Clock::now() + std::chrono::seconds(20);
            if (Clock::now() > deadline)
                throw std::runtime_error(fmt::format("{} writes and {} deletions unanswered for 20 s",
                                                     out.writes.size(), out.deletions.size()));
            if (!work) s.wait(50);
        }
    };

    // Shared tables: both tables' operations interleaved, at most four in
    // flight; each phase is answered in full before the next begins.
    Ledger egrL(Egr::tableInfo()), ingL(Ing::tableInfo());
    Plan const pe = planFor(Egr::Entry::Index::max(), rng), pi = planFor(Ing::Entry::Index::max(), rng);
    for (int phase = 0; phase < 3; ++phase) {
        auto const &a = pe.phase[phase], &b = pi.phase[phase];
        for (std::size_t n = 0; n < std::max(a.size(), b.size()); ++n) {
            if (n < a.size()) apply(*s.egr, egrL, a[n], phase == 1);
            if (n < b.size()) apply(*s.ing, ingL, b[n], phase == 1);
            drain(4);
        }
        drain(0);
    }
    if (out.failed) throw std::runtime_error(fmt::format("{} write responses report a failed write", out.failed));
    for (Ledger const* l : {&egrL, &ingL}) {
        sendLine(self.out, fmt::format("shared {} {} {} {}", l->info.name, l->written, l->deleted, l->present.size()));
        for (std::uint32_t i = 0; i <= l->info.lastIndex; ++i) {
            std::string line = fmt::format("expect {} {} {}", l->info.name, i, l->state(i));
            for (Bytes const& b : l->expected(i)) line.append(" ").append(hex(b));
            sendLine(self.out, line);
        }
    }
    std::vector<double>& rt = out.roundTripsUs;
    std::sort(rt.begin(), rt.end());
    auto pct = [&](double p) { return rt.empty() ? 0.0 : rt[std::min(rt.size() - 1, std::size_t(rt.size() * p))]; };
    sendLine(self.out,
             fmt::format("latency {} {} {:.0f} {:.0f}", egrL.written + ingL.written, rt.size(), pct(0.50), pct(0.99)));
    sendLine(self.out, "view " + viewOf(s));

    // Local tables: the same three phases; the simulated agent answers each
    // change at once. Then the chip against the bit model, index by index,
    // and the write response of every entry.
    auto local = [&](auto& table) {
        using T = std::remove_reference_t<decltype(table)>;
        Ledger l(T::tableInfo());
        Plan const p = planFor(T::Entry::Index::max(), rng);
        for (int phase = 0; phase < 3; ++phase)
            for (std::uint32_t i : p.phase[phase]) {
                apply(table, l, i, phase == 1);
                localAgent.run();
            }
        LogicalFap::HwTableDesc const& d = *hwsim::descriptorOf(T::tableInfo());
        unsigned match = 0, cleared = 0;
        for (std::uint32_t i = 0; i <= l.info.lastIndex; ++i) {
            std::vector<Bytes> const expected = l.expected(i);
            bool same = true;
            for (std::uint32_t m = 0; m < expected.size(); ++m)
                same = same && hwsim::chipBytes(localChip, hwsim::whereOf(d, i, m)) == expected[m];
            auto const w = table.writeResponse(typename T::Entry::Index(i));
            auto const it = l.present.find(i);
            same = same && (it == l.present.end() ? w.transactionId == 0
                                                  : w.transactionId == it->second.first && w.entryState == kWritten);
            match += same;
            cleared += same && l.deletedLast.count(i);
        }
        sendLine(self.out, fmt::format("local {} {} {} {} {} {} {}", l.info.name, l.written, l.deleted,
                                       l.present.size(), match, l.info.lastIndex + 1, cleared));
    };
    local(*mirrorSessions);
    local(*scTcam);
    local(*egrMirror);
    local(*subPorts);
    sendLine(self.out, "end");

    // The writer of the entry maps stays until the others are done.
    for (std::optional<std::string> cmd; !cmd || *cmd != "quit"; cmd = self.in.next(0)) {
        if (self.in.eof) return 1;
        s.step(20, self.in.fd);
    }
    return 0;
}

// ---- hardware agent --------------------------------------------------------

int hardwareAgent(Run const& run, Child& self) {
    SharedTables s(run.entity, VornType::shadow, VornType::writer);
    hwsim::SimChip chip;
    hwsim::SimAgent agent(chip);
    // From here on only the entity base class, the accessors and the
    // descriptors: the simulated agent knows no generated class.
    std::pair<Asic::AmaMem::IndexTable*, X2::TableInfo const*> const tables[] = {{s.egr.ptr(), &Egr::tableInfo()},
                                                                                 {s.ing.ptr(), &Ing::tableInfo()}};
    for (auto [table, info] : tables) {
        LogicalFap::HwTableDesc const& d = *hwsim::descriptorOf(*info);
        agent.watch(*table, d);
        Asic::MemLayout const& l = d.memLayouts()[0].layouts[0];
        std::string memories;
        for (std::uint32_t m = 0; m < l.dataMemories; ++m)
            memories += fmt::format("{}{} ({} bytes)", m ? ", " : "", hwsim::whereOf(d, 0, m).id,
                                    table->accessor(0)->entryDataMaxSize(m));
        say(self, fmt::format("{}: {} entries in chip memories {}", info->name, l.entries, memories));
    }
    if (!s.mountAll(30000)) throw std::runtime_error("its maps did not mount within 30 s");
    sendLine(self.out, "ready");
    for (std::optional<std::string> cmd; !cmd || *cmd != "finish"; cmd = self.in.next(0)) {
        if (self.in.eof) return 1;
        // The maps hand their changes to the tables, whose publications
        // queue them in the agent; it answers them before the loop sleeps.
        bool const work = s.service();
        if (!agent.run() && !work) s.wait(20, self.in.fd);
    }
    for (auto [table, info] : tables) {
        LogicalFap::HwTableDesc const& d = *hwsim::descriptorOf(*info);
        for (std::uint32_t i = 0; i <= info->lastIndex; ++i) {
            std::string line = fmt::format("chip {} {}", info->name, i);
            for (std::uint32_t m = 0; m < info->arrays.size(); ++m)
                line.append(" ").append(hex(hwsim::chipBytes(chip, hwsim::whereOf(d, i, m))));
            sendLine(self.out, line);
        }
    }
    sendLine(self.out, fmt::format("writes {} {}", chip.writes, agent.failedWrites));
    sendLine(self.out, "view " + viewOf(s));
    sendLine(self.out, "end");
    return 0;
}

// ---- observer --------------------------------------------------------------

// Counts the changes a table publishes and prints the first few of each kind.
template <class T>
struct Printer : Vex::NotifieeConst {
    Printer(T* t, Child const& c) : table(t), child(c) { notifierIs(t); }
    T* table;
    Child const& child;
    unsigned entries = 0, responses = 0;

    void onAttribute(Lumo::FieldId field, void const* key) override {
        if (!key || (field != 770 && field != 772)) return;
        std::uint32_t const i = *static_cast<std::uint32_t const*>(key);
        typename T::Entry::Index const index(i);
        std::string const at = fmt::format("{}[{}]", T::tableInfo().name, i);
        if (field == 770 && ++entries <= 3) {
            auto const e = table->entry(index);
            say(child, e.transactionId() ? fmt::format("{} entry tid {}", at, e.transactionId()) : at + " removed");
        } else if (field == 772 && ++responses <= 3) {
            auto const w = table->writeResponse(index);
            say(child, !w.transactionId           ? at + " write response removed"
                       : w.entryState == kWritten ? fmt::format("{} tid {} written", at, w.transactionId)
                                                  : fmt::format("{} tid {} not written", at, w.transactionId));
        }
    }
};

int observer(Run const& run, Child& self) {
    SharedTables s(run.entity, VornType::shadow, VornType::shadow);
    Printer<Egr> pe(s.egr.ptr(), self);
    Printer<Ing> pi(s.ing.ptr(), self);
    if (!s.mountAll(30000)) throw std::runtime_error("its maps did not mount within 30 s");
    sendLine(self.out, "ready");
    std::optional<std::string> cmd;
    for (; !cmd || cmd->rfind("finish ", 0) != 0; cmd = self.in.next(0)) {
        if (self.in.eof) return 1;
        s.step(20, self.in.fd);
    }
    // It follows on until it sees what the user agent sees (at most 10 s).
    std::string const truth = cmd->substr(7);
    for (auto end = Clock::now() + std::chrono::seconds(10); Clock::now() < end;) {
        if (s.service()) continue;
        if (viewOf(s) == truth) break;
        s.wait(20);
    }
    say(self, fmt::format("heard {} entry and {} write-response changes of EgrVlanTagActionProfileTable, {} and {} of "
                          "IngVlanTagActionProfileTable",
                          pe.entries, pe.responses, pi.entries, pi.responses));
    sendLine(self.out, "view " + viewOf(s));
    sendLine(self.out, "end");
    return 0;
}

// ---- parent ----------------------------------------------------------------

struct Failure : std::runtime_error {
    using std::runtime_error::runtime_error;
};

std::string exitText(int status) {
    return WIFSIGNALED(status) ? fmt::format("was killed by signal {}", WTERMSIG(status))
                               : fmt::format("exited with status {}", WEXITSTATUS(status));
}

std::string errorText(Child const& c, std::string const& line) {
    return line.rfind("error ", 0) == 0 ? fmt::format("the {}: {}", c.role, line.substr(6)) : "";
}

// Fails when a child that still owes its report has ended (with the error
// it sent, if it sent one).
void checkAlive(std::span<Child> kids) {
    for (Child& k : kids) {
        int status = 0;
        if (k.pid <= 0 || k.reported || ::waitpid(k.pid, &status, WNOHANG) != k.pid) continue;
        k.pid = -1;
        while (auto l = k.in.next(0))
            if (!errorText(k, *l).empty()) throw Failure(errorText(k, *l));
        throw Failure(fmt::format("the {} {}", k.role, exitText(status)));
    }
}

// The next line of child c, or a failure naming why there is none: it sent
// an error, it or another child ended, or `ms` passed.
std::string expectLine(Child& c, std::span<Child> kids, int ms) {
    for (auto const end = Clock::now() + std::chrono::milliseconds(ms);;) {
        if (auto l = c.in.next(std::min(50, msLeft(end)))) {
            if (!errorText(c, *l).empty()) throw Failure(errorText(c, *l));
            return *l;
        }
        checkAlive(kids);
        if (Clock::now() >= end) throw Failure(fmt::format("the {} did not answer within {} s", c.role, ms / 1000));
        if (c.in.eof) ::usleep(10000);  // its exit is near
    }
}

// A child's report: its lines up to "end", split after the first word.
using Report = std::vector<std::pair<std::string, std::string>>;
Report report(Child& c, std::span<Child> kids, int ms) {
    Report r;
    for (std::string l = expectLine(c, kids, ms); l != "end"; l = expectLine(c, kids, ms)) {
        auto const sp = l.find(' ');
        r.emplace_back(l.substr(0, sp), sp == std::string::npos ? "" : l.substr(sp + 1));
    }
    c.reported = true;
    return r;
}

std::string first(Report const& r, std::string const& kind) {
    for (auto const& [k, line] : r)
        if (k == kind) return line;
    throw Failure("no \"" + kind + "\" in a child's report");
}

void waitExit(Child& c, int ms) {
    int status = 0;
    for (auto end = Clock::now() + std::chrono::milliseconds(ms); ::waitpid(c.pid, &status, WNOHANG) == 0;) {
        if (Clock::now() > end) throw Failure(fmt::format("the {} did not exit within {} s", c.role, ms / 1000));
        ::usleep(2000);
    }
    c.pid = -1;
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0)
        throw Failure(fmt::format("the {} {}", c.role, exitText(status)));
}

// Checks the three reports; the summary's lines, and the first problem found.
std::vector<std::string> check(Report const& u, Report const& h, Report const& o, std::string& failure) {
    auto fail = [&](std::string const& why) {
        if (failure.empty()) failure = why;
    };
    std::vector<std::string> lines{fmt::format("  {:<29} {:>6} {:>7} {:>7}   {}", "table", "writes", "deletes",
                                               "entries", "chip against the bit model, by index")};
    // The hardware agent's chip against the user agent's bit model.
    std::map<std::string, std::string> chip;
    for (auto [kind, line] : h) {  // "<table> <index> <bytes of each memory>"
        auto const key = line.find(' ', line.find(' ') + 1);
        if (kind == "chip") chip[line.substr(0, key)] = line.substr(key);
    }
    std::map<std::string, std::array<unsigned, 3>> tally;  // table: matches, entries, deletions cleared
    for (auto [kind, line] : u) {
        if (kind != "expect") continue;
        std::istringstream w(line);
        std::string table, index, state, bytes;
        w >> table >> index >> state;
        std::getline(w, bytes);
        auto& t = tally[table];
        auto it = chip.find(table + " " + index);
        bool const same = it != chip.end() && it->second == bytes;
        t[0] += same, t[1] += 1, t[2] += same && state == "deleted";
        if (!same)
            fail(fmt::format("{}[{}] ({}): the chip holds{}, the bit model{}", table, index, state,
                             it == chip.end() ? " nothing" : it->second, bytes));
    }
    bool localSeen = false;
    for (auto [kind, line] : u) {  // the shared tables' lines come first
        if (kind != "shared" && kind != "local") continue;
        if (kind == "local" && !std::exchange(localSeen, true))
            lines.push_back("  local tables, in the user agent with a simulated chip of its own:");
        std::istringstream w(line);
        std::string table;
        unsigned writes = 0, deletes = 0, entries = 0, match = 0, total = 0, cleared = 0;
        w >> table >> writes >> deletes >> entries;
        if (kind == "local")
            w >> match >> total >> cleared;
        else
            match = tally[table][0], total = tally[table][1], cleared = tally[table][2];
        lines.push_back(fmt::format("  {:<29} {:>6} {:>7} {:>7}   {} match, {} differ ({} of them deleted: zero)", table,
                                    writes, deletes, entries, match, total - match, cleared));
        if (match != total || total == 0) fail(fmt::format("{}: {} of {} entries differ", table, total - match, total));
    }
    unsigned writes = 0, answered = 0, chipWrites = 0, refused = 0;
    double p50 = 0, p99 = 0;
    std::sscanf(first(u, "latency").c_str(), "%u %u %lf %lf", &writes, &answered, &p50, &p99);
    std::sscanf(first(h, "writes").c_str(), "%u %u", &chipWrites, &refused);
    lines.push_back(
        fmt::format("  write responses: {} of {} writes answered with their transaction id, state written "
                    "({} chip memory writes)",
                    answered, writes, chipWrites));
    if (answered != writes || writes == 0) fail("writes without their write response");
    if (refused) fail("the chip refused writes");
    // Three processes, one view of each table.
    std::string const view = first(u, "view"), hv = first(h, "view"), ov = first(o, "view");
    std::istringstream vs(ov);
    for (std::string t; std::getline(vs, t, ';');) {
        std::istringstream w(t);
        std::string table, entries, responses;
        w >> table >> entries >> responses;
        lines.push_back(fmt::format("  observer sees {}: {} entries, {} write responses", table, entries, responses));
    }
    lines.push_back(
        fmt::format("  entries, responses and transaction ids: hardware agent {} user agent, observer {} "
                    "user agent",
                    hv == view ? "=" : "!=", ov == view ? "=" : "!="));
    if (hv != view) fail("the hardware agent's view of the tables differs from the user agent's");
    if (ov != view) fail("the observer's view of the tables differs from the user agent's");
    lines.push_back(fmt::format("  round trip entryIs -> write response: p50 {:.0f} µs, p99 {:.0f} µs", p50, p99));
    return lines;
}

// Forks the three children; each runs its role and ends with its status.
void spawn(Run const& run, std::span<Child> kids) {
    int (*const roles[])(Run const&, Child&) = {hardwareAgent, userAgent, observer};
    for (Child& c : kids)
        if (::pipe(c.toChild) != 0 || ::pipe(c.toParent) != 0)
            throw Failure(std::string("pipe: ") + std::strerror(errno));
    for (std::size_t k = 0; k < kids.size(); ++k) {
        Child& c = kids[k];
        c.pid = ::fork();
        if (c.pid < 0) throw Failure(std::string("fork: ") + std::strerror(errno));
        if (c.pid == 0) {
            // Only its own two ends stay open, so that a child's death is
            // end of file to the parent.
            for (Child& o : kids)
                for (int fd :
                     {o.toChild[1], o.toParent[0], &o == &c ? -1 : o.toChild[0], &o == &c ? -1 : o.toParent[1]})
                    if (fd >= 0) ::close(fd);
            c.in.fd = c.toChild[0];
            c.out = c.toParent[1];
            // Its statistics under a name of the run, so that the run can remove them.
            ::setenv("AGENT_PROCESS_NAME", (run.entity + "-" + c.tag).c_str(), 1);
            int rc = 1;
            try {
                rc = roles[k](run, c);
            } catch (std::exception const& e) {
                sendLine(c.out, std::string("error ") + e.what());
            }
            std::fflush(stdout);
            std::_Exit(rc);
        }
        ::close(c.toChild[0]);
        ::close(c.toParent[1]);
        c.in.fd = c.toParent[0];
        c.out = c.toChild[1];
    }
}

// Removes what the run created: its maps, its statistics files, and the
// roots it found missing (when nothing else is in them).
void cleanUp(Run const& run, bool hadMapRoot, bool hadStatsDir) {
    std::error_code ec;
    std::string const mapRoot = Mem::ZorbRootPath::rootDir(), statsDir = Vex::Stats::statsDir();
    std::filesystem::remove_all(std::filesystem::path(mapRoot) / run.entity, ec);
    for (auto const& f : std::filesystem::directory_iterator(statsDir, ec))
        if (f.path().filename().string().rfind(run.entity + "-", 0) == 0) std::filesystem::remove(f.path(), ec);
    if (!hadMapRoot) std::filesystem::remove(mapRoot, ec);
    if (!hadStatsDir) std::filesystem::remove(statsDir, ec);
}

}  // namespace

int main(int argc, char**) {
    if (argc > 1) {
        std::fprintf(stderr, "usage: x2demo  (no arguments; X2_SEED=N repeats a run's entries)\n");
        return 2;
    }
    auto const start = Clock::now();
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    Run run;
    run.entity = fmt::format("x2demo-{}", ::getpid());
    char const* seed = std::getenv("X2_SEED");
    run.seed = seed ? std::strtoull(seed, nullptr, 10) : std::uint64_t(start.time_since_epoch().count()) % 1000000007;
    std::string const mapRoot = Mem::ZorbRootPath::rootDir();
    bool const hadMapRoot = std::filesystem::exists(mapRoot),
               hadStatsDir = std::filesystem::exists(Vex::Stats::statsDir());
    std::printf(
        "x2demo: a user agent, a hardware agent and an observer share EgrVlanTagActionProfileTable and\n"
        "IngVlanTagActionProfileTable in %s/%s (X2_SEED=%llu)\n",
        mapRoot.c_str(), run.entity.c_str(), static_cast<unsigned long long>(run.seed));

    Child kids[3] = {Child("hardware agent", "hardware"), Child("user agent", "user"), Child("observer", "observer")};
    Child &hw = kids[0], &user = kids[1], &obs = kids[2];
    std::string failure;
    std::vector<std::string> summary;
    ::signal(SIGPIPE, SIG_IGN);  // a dead reader shows as end of file on its other pipe
    try {
        spawn(run, kids);
        for (Child& c : kids)
            if (expectLine(c, kids, 30000) != "ready") throw Failure(fmt::format("the {} did not get ready", c.role));
        std::printf("x2demo: all maps mounted; the user agent writes, deletes and rewrites\n");
        sendLine(user.out, "go");
        auto const u = report(user, kids, 60000);
        sendLine(obs.out, "finish " + first(u, "view"));
        auto const o = report(obs, kids, 20000);
        sendLine(hw.out, "finish");
        auto const h = report(hw, kids, 20000);
        sendLine(user.out, "quit");
        for (Child& c : kids) waitExit(c, 20000);
        summary = check(u, h, o, failure);
    } catch (Failure const& f) {
        failure = f.what();
    }
    for (Child& c : kids)
        if (c.pid > 0) {
            ::kill(c.pid, SIGKILL);
            ::waitpid(c.pid, nullptr, 0);
        }
    cleanUp(run, hadMapRoot, hadStatsDir);

    if (!summary.empty()) {
        std::printf("\nSummary\n");
        for (auto const& l : summary) std::printf("%s\n", l.c_str());
        std::printf("  total %.2f s\n", std::chrono::duration<double>(Clock::now() - start).count());
    }
    if (!failure.empty()) {
        std::printf("x2demo: FAILED: %s\n", failure.c_str());
        return 1;
    }
    std::printf("x2demo: OK\n");
    return 0;
}
