// The hardware agent in its own process, on both shared-memory tables.
//
// The test process is the user agent: EgrVlanTagActionProfileTable and
// IngVlanTagActionProfileTable under "agent", each entry map mounted as the
// writer and each write-response map as a shadow reader. A child process is
// the hardware agent: the same two tables with the roles the other way
// round, followed by the simulated agent (accessors and descriptors only),
// which programs a simulated chip and answers with write responses.
//
// The user agent writes random entries through the typed setters (every
// field, random values, the bit-by-bit model alongside) and deletes some.
// Then:
//   - every entry's write response comes back with its transaction id and
//     state written, and a deleted entry's response goes;
//   - the chip the hardware agent dumps holds the model's bytes at every
//     present index and zero bytes at every other;
//   - the hardware agent is killed, more entries are written and deleted,
//     and a new hardware agent process catches up with all of it (a fresh
//     chip programmed from the entry maps, responses of entries deleted
//     meanwhile removed).
//
// X2_HWAGENT_ROUNDS sets the number of kill/restart rounds (default 2).
#include <poll.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <cstdlib>
#include <fstream>
#include <map>
#include <random>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "../shm_support/ShmTest.h"
#include "Lumo/Time.h"
#include "X2/Default/EgrVlanTagActionProfileTable.h"
#include "X2/Default/IngVlanTagActionProfileTable.h"
#include "hwsim/BitModel.h"
#include "hwsim/SharedTables.h"
#include "hwsim/SimAgent.h"

namespace {

using Egr = bcm56275_a0::Default::EgrVlanTagActionProfileTable;
using Ing = bcm56275_a0::Default::IngVlanTagActionProfileTable;
using Vorn::VornType;
using Bytes = std::vector<std::uint8_t>;
constexpr std::uint32_t kKeys = Egr::Entry::Index::max() + 1;
static_assert(Ing::Entry::Index::max() + 1 == kKeys);

// Both tables under "agent", each map mounted as told, serviced from the
// process's own loop.
struct Side : hwsim::SharedTables {
    Side(VornType entryRole, VornType responseRole) : SharedTables("agent", entryRole, responseRole, 256) {}
};

bool waitByte(int fd, int ms) {
    pollfd p{fd, POLLIN, 0};
    if (::poll(&p, 1, ms) <= 0) return false;
    char c;
    return ::read(fd, &c, 1) == 1;
}

// One record of a chip dump: the bytes of memory `mem` of entry `index`.
struct DumpRecord {
    std::uint32_t table, index, mem, size;
    std::uint8_t bytes[32];
};

// The hardware agent: follows both tables, programs its chip, answers.
// On 'd' it writes its chip's bytes of every entry to `dumpPath` and
// answers 'k'; on 'q' (or its pipe closing) it exits.
[[noreturn]] void hardwareAgent(int cmd, int reply, std::string const& dumpPath) {
    Side hw(VornType::shadow, VornType::writer);
    hwsim::SimChip chip;
    hwsim::SimAgent agent(chip);
    LogicalFap::HwTableDesc const* d[2] = {hwsim::descriptorOf(Egr::tableInfo()), hwsim::descriptorOf(Ing::tableInfo())};
    agent.watch(*hw.egr, *d[0]);
    agent.watch(*hw.ing, *d[1]);
    (void)!::write(reply, "r", 1);
    bool caughtUp = false;
    for (;;) {
        hw.step(20, cmd);
        agent.run();
        if (!caughtUp && hw.settled()) {
            // A response whose entry went while no agent was there.
            for (auto* n : {hw.egr->notifyingAccessor(0), hw.ing->notifyingAccessor(0)})
                for (std::uint32_t i = 0; i < kKeys; ++i)
                    if (n->writeResponse(&i).present && !n->entryExists(&i)) n->deleteWriteResponse(&i);
            caughtUp = true;
        }
        pollfd p{cmd, POLLIN, 0};
        if (::poll(&p, 1, 0) <= 0) continue;
        char c = 'q';
        if (::read(cmd, &c, 1) != 1 || c == 'q') std::_Exit(0);
        std::ofstream out(dumpPath, std::ios::binary | std::ios::trunc);
        for (std::uint32_t t = 0; t < 2; ++t)
            for (std::uint32_t i = 0; i < kKeys; ++i)
                for (std::uint32_t m = 0; m < 2; ++m) {
                    Bytes const b = hwsim::chipBytes(chip, hwsim::whereOf(*d[t], i, m));
                    DumpRecord r{t, i, m, std::uint32_t(b.size()), {}};
                    std::copy(b.begin(), b.begin() + std::min<std::size_t>(b.size(), sizeof r.bytes), r.bytes);
                    out.write(reinterpret_cast<char const*>(&r), sizeof r);
                }
        out.close();
        (void)!::write(reply, "k", 1);
    }
}

struct Agent {
    pid_t pid = -1;
    int cmd[2] = {-1, -1}, reply[2] = {-1, -1};
    void start(std::string const& dumpPath) {
        if (::pipe(cmd) != 0 || ::pipe(reply) != 0) std::abort();
        pid = ::fork();
        if (pid == 0) {
            ::close(cmd[1]);
            ::close(reply[0]);
            hardwareAgent(cmd[0], reply[1], dumpPath);
        }
        ::close(cmd[0]);
        ::close(reply[1]);
    }
    void stop(bool kill) {
        if (pid < 0) return;
        if (kill)
            ::kill(pid, SIGKILL);
        else
            (void)!::write(cmd[1], "q", 1);
        ::waitpid(pid, nullptr, 0);
        ::close(cmd[1]);
        ::close(reply[0]);
        pid = -1;
    }
};

// What the user agent wrote: per table and index, the transaction id and
// the model's bytes of each memory.
struct Written {
    Asic::TransactionId tid;
    std::vector<BitModel> model;
};

template <class T>
Written writeRandom(T& table, std::uint32_t i, Asic::TransactionId tid, std::mt19937_64& rng) {
    X2::TableInfo const& info = T::tableInfo();
    typename T::Entry e{typename T::Entry::Index(i)};
    Written w{tid, {}};
    for (std::uint32_t cap : info.arrays) {
        BitModel m;
        m.capacity = cap;
        m.bytes.assign(cap, 0);
        w.model.push_back(m);
    }
    // Each field through the generated setter, in random order; the later
    // write of overlapping fields wins, in the model as in the entry.
    std::vector<X2::FieldInfo const*> fields;
    for (auto const& f : info.fields) fields.push_back(&f);
    std::shuffle(fields.begin(), fields.end(), rng);
    for (X2::FieldInfo const* f : fields) {
        X2::FieldValueArg v;
        v.scalar = rng() & (f->width >= 64 ? ~0ull : (1ull << f->width) - 1);
        w.model[f->array].write(f->offset, f->width, [&](unsigned k) { return ((v.scalar >> k) & 1) != 0; });
        X2::fieldSet(info, *f, &e, v);
    }
    e.transactionIdIs(tid);
    table.entryIs(e);
    return w;
}

struct HardwareAgentProcess : ::testing::Test {
    shmtest::TempRoot root;
    HardwareAgentProcess() { Mem::ZorbRootPath::rootDirIs(root.dir()); }
    ~HardwareAgentProcess() override { Mem::ZorbRootPath::rootDirIs(""); }
};

TEST_F(HardwareAgentProcess, ProgramsBothTablesBitExactAndCatchesUpAfterARestart) {
    std::string const dumpPath = root.dir() + "/chip.dump";
    int const rounds = std::getenv("X2_HWAGENT_ROUNDS") ? std::atoi(std::getenv("X2_HWAGENT_ROUNDS")) : 2;
    Side user(VornType::writer, VornType::shadow);
    std::map<std::uint32_t, Written> oracle[2];
    std::mt19937_64 rng(2026);
    Asic::TransactionId tid = 1000;
    auto storm = [&](int n) {
        for (int k = 0; k < n; ++k) {
            std::uint32_t const t = rng() % 2, i = rng() % kKeys;
            if (rng() % 4 == 0) {
                t ? (void)user.ing->entryDel(i) : (void)user.egr->entryDel(i);
                oracle[t].erase(i);
            } else {
                oracle[t][i] = t ? writeRandom(*user.ing, i, ++tid, rng) : writeRandom(*user.egr, i, ++tid, rng);
            }
        }
    };
    // Every present entry answered with its transaction id, state written,
    // and no response for an absent one.
    auto answered = [&] {
        for (std::uint32_t t = 0; t < 2; ++t)
            for (std::uint32_t i = 0; i < kKeys; ++i) {
                auto const* n = t ? user.ing->notifyingAccessor(0) : user.egr->notifyingAccessor(0);
                Asic::HwTable::OptionalWriteResponse const r = n->writeResponse(&i);
                auto it = oracle[t].find(i);
                if (r.present != (it != oracle[t].end())) return false;
                if (r.present && (r.transactionId != it->second.tid ||
                                  r.entryState != Asic::HwTable::EntryState::entryStateWritten))
                    return false;
            }
        return true;
    };
    auto checkChip = [&](Agent& a) {
        (void)!::write(a.cmd[1], "d", 1);
        ASSERT_TRUE(waitByte(a.reply[0], 20000)) << "no chip dump";
        std::ifstream in(dumpPath, std::ios::binary);
        DumpRecord r;
        unsigned records = 0, wrong = 0;
        while (in.read(reinterpret_cast<char*>(&r), sizeof r)) {
            ++records;
            auto it = oracle[r.table].find(r.index);
            Bytes want(r.size, 0);
            if (it != oracle[r.table].end()) want = it->second.model[r.mem].bytes;
            if ((r.size == 0 || Bytes(r.bytes, r.bytes + r.size) != want) && ++wrong <= 5)
                ADD_FAILURE() << "table " << r.table << " index " << r.index << " memory " << r.mem;
        }
        EXPECT_EQ(records, 2 * kKeys * 2);
        EXPECT_EQ(wrong, 0u);
    };
    auto waitAnswered = [&](char const* when) {
        double const end = Lumo::time() + 30;
        while (!answered() && Lumo::time() < end) user.step(20);
        EXPECT_TRUE(answered()) << "write responses " << when;
    };

    Agent a;
    a.start(dumpPath);
    ASSERT_TRUE(waitByte(a.reply[0], 20000)) << "the hardware agent did not start";
    storm(300);
    waitAnswered("with the agent up");
    checkChip(a);
    for (int round = 0; round < rounds; ++round) {
        SCOPED_TRACE("restart " + std::to_string(round));
        a.stop(true);
        storm(150);  // nobody answers these yet
        user.step(0);
        a.start(dumpPath);
        ASSERT_TRUE(waitByte(a.reply[0], 20000)) << "the hardware agent did not restart";
        waitAnswered("after the restart");
        checkChip(a);
    }
    a.stop(false);
}

}  // namespace
