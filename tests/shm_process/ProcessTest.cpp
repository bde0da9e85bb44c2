// Across real processes: the writer lock, change notifications reaching a
// reader in another process, and recovery from a writer killed at random
// moments of a write storm.
#include <csignal>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <map>
#include <random>
#include <set>

#include <fcntl.h>
#include <poll.h>
#include <sys/mman.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "../shm_support/ShmTest.h"
#include "Quorl/Quorl.h"

using namespace shmtest;

namespace {

// A pipe that sequences parent and child: one byte per signal. Closed
// with the test (a child leaves by _exit and never runs the destructor).
struct Pipe {
    int fd[2] = {-1, -1};
    Pipe() {
        if (::pipe(fd) != 0) ADD_FAILURE() << "pipe: " << std::strerror(errno);
    }
    ~Pipe() {
        for (int f : fd)
            if (f >= 0) ::close(f);
    }
    Pipe(Pipe const&) = delete;
    Pipe& operator=(Pipe const&) = delete;
    void signal() const {
        char c = 1;
        (void)!::write(fd[1], &c, 1);
    }
    bool wait(int timeoutMs) const {
        pollfd p{fd[0], POLLIN, 0};
        if (::poll(&p, 1, timeoutMs) <= 0) return false;
        char c;
        return ::read(fd[0], &c, 1) == 1;
    }
};

// Attaches `reader` to the channel of the map at `rp`, whose writer has
// started. Use under ASSERT_NO_FATAL_FAILURE.
void attachReader(Quorl::QuorlReader& reader, Mem::RootPath const& rp) {
    SharedMem::FenixFile fenix(debug(), rp, false);
    ASSERT_TRUE(fenix.read());
    ASSERT_TRUE(reader.attach(fenix.fenixId())) << reader.message();
}

// Reads slot `i`'s key from a read-only mapping of the slot file.
struct SlotFileView {
    std::string path;
    std::uint32_t keyAt(std::uint32_t slot) const {
        int fd = ::open(path.c_str(), O_RDONLY);
        std::uint32_t key = ~0u;
        (void)!::pread(fd, &key, 4, 688 + 80 * slot + 8);
        ::close(fd);
        return key;
    }
};

}  // namespace

TEST(WriterLock, SecondWriterRefusedWhileFirstLives) {
    TempRoot root;
    auto rp = root.map("lock");
    Writer<Rec64> a(debug(), "lock", Vorn::MapDescriptor(16), ops<Rec64>(), rp);
    a.initialize("none");
    Writer<Rec64> b(debug(), "lock", Vorn::MapDescriptor(16), ops<Rec64>(), rp);
    try {
        b.initialize("none");
        FAIL() << "second writer admitted";
    } catch (Lumo::IllegalOperationException const& e) {
        EXPECT_EQ(e.msg(), fmt::format("writer lock of {} is held by pid {}", rp.path(), ::getpid()));
    }
    a.detach();
    EXPECT_NO_THROW(b.initialize("none"));
}

TEST(WriterLock, GrantedAfterTheHolderIsKilled) {
    TempRoot root;
    auto rp = root.map("lockkill");
    Pipe ready;
    pid_t child = ::fork();
    if (child == 0) {
        Writer<Rec64> w(debug(), "lock", Vorn::MapDescriptor(16), ops<Rec64>(), rp);
        w.initialize("none");
        w.write(Rec64::make(1, 1), true);
        ready.signal();
        for (;;) ::pause();
    }
    ASSERT_TRUE(ready.wait(10000));
    Writer<Rec64> w(debug(), "lock", Vorn::MapDescriptor(16), ops<Rec64>(), rp);
    try {
        w.initialize("none");
        FAIL();
    } catch (Lumo::IllegalOperationException const& e) {
        EXPECT_EQ(e.msg(), fmt::format("writer lock of {} is held by pid {}", rp.path(), child));
    }
    ::kill(child, SIGKILL);
    ::waitpid(child, nullptr, 0);
    ASSERT_NO_THROW(w.initialize("none"));
    ASSERT_NE(w.lookup(1), nullptr);  // the dead writer's files were taken over
    EXPECT_EQ(*w.lookup(1), Rec64::make(1, 1));
}

TEST(QuorlChannel, NotificationsWakeAReaderInAnotherProcess) {
    TempRoot root;
    auto rp = root.map("notify");
    Pipe ready, go;
    constexpr std::uint32_t kKeys = 300;
    pid_t child = ::fork();
    if (child == 0) {
        Writer<Rec64> w(debug(), "notify", Vorn::MapDescriptor(16), ops<Rec64>(), rp);
        w.initialize("none");
        ready.signal();
        go.wait(10000);
        for (std::uint32_t k = 0; k < kKeys; ++k) {
            w.write(Rec64::make(k, 1), true);
            if (k % 50 == 0) ::usleep(2000);  // let the reader sleep and be woken
        }
        ready.signal();
        go.wait(10000);
        _exit(0);
    }
    ASSERT_TRUE(ready.wait(10000));
    Quorl::QuorlReader reader(debug(), rp);
    ASSERT_NO_FATAL_FAILURE(attachReader(reader, rp));
    ASSERT_GE(reader.fd(), 0);
    // The first service reports that the reader knows nothing yet.
    EXPECT_EQ(reader.service([](Quorl::Notif) {}), Quorl::QuorlReader::Status::resync);
    go.signal();
    SlotFileView view{rp.filePath("slots")};
    std::set<std::uint32_t> keysSeen;
    int wakeups = 0, resyncs = 0;
    for (int spins = 0; keysSeen.size() < kKeys && spins < 2000; ++spins) {
        if (reader.wait(1000)) ++wakeups;
        auto st = reader.service([&](Quorl::Notif n) { keysSeen.insert(view.keyAt(n.slot)); });
        if (st == Quorl::QuorlReader::Status::resync) ++resyncs;
        ASSERT_NE(st, Quorl::QuorlReader::Status::closed);
    }
    EXPECT_EQ(resyncs, 0);
    EXPECT_EQ(keysSeen.size(), kKeys);
    EXPECT_GT(wakeups, 0);
    ASSERT_TRUE(ready.wait(10000));
    go.signal();
    int status = 0;
    ::waitpid(child, &status, 0);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    // The writer's exit without detach leaves the channel open; a new writer
    // attaching to the files forces every reader to resynchronise.
    Writer<Rec64> w(debug(), "notify", Vorn::MapDescriptor(16), ops<Rec64>(), rp);
    w.initialize("none");
    EXPECT_EQ(reader.service([](Quorl::Notif) {}), Quorl::QuorlReader::Status::resync);
    w.write(Rec64::make(1, 2), true);
    std::vector<Quorl::Notif> got;
    EXPECT_EQ(reader.service([&](Quorl::Notif n) { got.push_back(n); }), Quorl::QuorlReader::Status::ok);
    ASSERT_EQ(got.size(), 1u);
    EXPECT_EQ(view.keyAt(got[0].slot), 1u);
    EXPECT_TRUE(reader.validateNotif(got[0]));
    w.write(Rec64::make(1, 3), true);
    EXPECT_FALSE(reader.validateNotif(got[0]));  // superseded by a later change of the slot
    // Detach closes the channel and wakes the reader.
    w.detach();
    EXPECT_TRUE(reader.wait(0) || true);
    EXPECT_EQ(reader.service([](Quorl::Notif) {}), Quorl::QuorlReader::Status::closed);
}

// A reader that goes to sleep just as the writer announces a change is
// always woken: the writer makes one change, then waits for the reader's
// acknowledgement before the next, so that every change races with the
// reader's way into poll(). A lost wake-up leaves the reader asleep for its
// whole timeout. Both ways of announcing: with the writer's own fence, and
// without it where the kernel lends its process-wide barrier.
class QuorlWakeUp : public ::testing::TestWithParam<bool> {};

TEST_P(QuorlWakeUp, NoneIsLostWhenTheReaderFallsAsleepDuringAChange) {
    bool const keepFence = GetParam();
    if (!keepFence && !Quorl::registerForGlobalBarrier()) GTEST_SKIP() << "no process-wide barrier here";
    TempRoot root;
    auto rp = root.map("wakeup");
    Pipe ready, ack;
    constexpr std::uint32_t kRounds = 30000;
    pid_t child = ::fork();
    if (child == 0) {
        ::setenv("X2_QUORL_FENCE", keepFence ? "1" : "0", 1);
        Writer<Rec64> w(debug(), "wakeup", Vorn::MapDescriptor(16), ops<Rec64>(), rp);
        w.initialize("none");
        if (w.quorl().noFence() == keepFence) _exit(3);
        ready.signal();
        for (std::uint32_t k = 0; k < kRounds; ++k) {
            if (!ack.wait(10000)) _exit(2);
            w.write(Rec64::make(k % 64, k), true);
        }
        _exit(0);
    }
    ASSERT_TRUE(ready.wait(10000));
    Quorl::QuorlReader reader(debug(), rp);
    ASSERT_NO_FATAL_FAILURE(attachReader(reader, rp));
    reader.service([](Quorl::Notif) {});
    int timeouts = 0;
    for (std::uint32_t k = 0; k < kRounds && timeouts == 0; ++k) {
        ack.signal();
        std::uint32_t got = 0;
        while (got == 0 && timeouts == 0) {
            reader.service([&](Quorl::Notif) { ++got; });
            if (got == 0 && !reader.wait(3000)) ++timeouts;
        }
    }
    EXPECT_EQ(timeouts, 0) << "a change was announced while the reader fell asleep, and it slept on";
    int status = 0;
    ::waitpid(child, &status, 0);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
}

INSTANTIATE_TEST_SUITE_P(Announcements, QuorlWakeUp, ::testing::Values(true, false),
                         [](auto const& info) { return std::string(info.param ? "WriterFence" : "ReaderBarrier"); });

TEST(QuorlChannel, OverflowForcesResync) {
    TempRoot root;
    auto rp = root.map("overflow");
    Quorl::QuorlWriter w(debug(), rp, 8);
    ASSERT_EQ(w.attach(77), Quorl::QuorlWriter::kNew);
    Quorl::QuorlReader r(debug(), rp);
    ASSERT_TRUE(r.attach(77)) << r.message();
    EXPECT_EQ(r.service([](Quorl::Notif) {}), Quorl::QuorlReader::Status::resync);
    for (std::uint32_t i = 0; i < 5; ++i) w.notify(i);
    std::vector<std::uint32_t> slots;
    EXPECT_EQ(r.service([&](Quorl::Notif n) { slots.push_back(n.slot); }), Quorl::QuorlReader::Status::ok);
    EXPECT_EQ(slots, (std::vector<std::uint32_t>{0, 1, 2, 3, 4}));
    for (std::uint32_t i = 0; i < 9; ++i) w.notify(100 + i);  // more than the ring holds
    EXPECT_EQ(r.service([](Quorl::Notif) {}), Quorl::QuorlReader::Status::resync);
    w.notify(5000);  // beyond the initial slot capacity: the channel grows
    slots.clear();
    EXPECT_EQ(r.service([&](Quorl::Notif n) { slots.push_back(n.slot); }), Quorl::QuorlReader::Status::ok);
    EXPECT_EQ(slots, (std::vector<std::uint32_t>{5000}));
    EXPECT_TRUE(r.validateNotif(Quorl::Notif{5000, w.sequence() - 1}));
    EXPECT_FALSE(r.validateNotif(Quorl::Notif{0x3fffffff, 0}));
    // A reader of the wrong generation is refused.
    Quorl::QuorlReader stale(debug(), rp);
    EXPECT_FALSE(stale.attach(78));
}

// A child writer storms inserts, overwrites and removes; the parent kills it
// with SIGKILL at a random moment, then attaches a new writer, which must
// either take the files over (they validate) or wipe and re-create them, and
// must never serve a map that fails validation. Set SHM_KILL_ITERATIONS for
// a longer run.
TEST(CrashRecovery, WriterKilledAtRandomMoments) {
#if defined(__SANITIZE_THREAD__)
    GTEST_SKIP() << "fork() of a ThreadSanitizer process is not supported";
#endif
    TempRoot root;
    auto rp = root.map("crash");
    int iterations = envInt("SHM_KILL_ITERATIONS", 40);
    std::mt19937 rng(42);
    int reused = 0, wiped = 0;
    for (int it = 0; it < iterations; ++it) {
        Pipe ready;
        pid_t child = ::fork();
        if (child == 0) {
            Vorn::MapDescriptor d(32);
            Writer<Rec64> w(debug(), "crash", d, ops<Rec64>(), rp);
            w.initialize("none");
            ready.signal();
            std::mt19937 r(it * 7919 + 1);
            std::uint32_t gen = 0;
            for (;;) {
                std::uint32_t key = r() % 3000;
                // Bias towards growth, then towards shrinking, in waves.
                bool insert = (r() % 100) < ((gen / 4000) % 2 ? 30u : 70u);
                if (insert) {
                    w.write(Rec64::make(key, ++gen), true);
                } else {
                    Rec64 out;
                    w.remove(key, out);
                    ++gen;
                }
                // Idle moments now and then, so that some kills land between
                // operations (files then validate and are taken over).
                if (gen % 256 == 0) ::usleep(300);
            }
        }
        ASSERT_TRUE(ready.wait(20000)) << "child writer did not start";
        ::usleep(rng() % 20000);
        ::kill(child, SIGKILL);
        int status = 0;
        ::waitpid(child, &status, 0);
        ASSERT_TRUE(WIFSIGNALED(status)) << "child writer died on its own";

        SharedMem::FenixFile before(debug(), rp, false);
        ASSERT_TRUE(before.read());
        Writer<Rec64> w(debug(), "crash", Vorn::MapDescriptor(32), ops<Rec64>(), rp);
        ASSERT_NO_THROW(w.initialize("none")) << "iteration " << it;
        ASSERT_TRUE(w.validate()) << w.message();
        (w.fenixId() == before.fenixId() ? reused : wiped)++;
        // Every value served is whole and under its own key.
        Rec64 v;
        Vorn::IterHint hint;
        std::uint32_t n = 0;
        for (bool ok = w.first(v, hint); ok; ok = w.next(v.key, v, hint)) {
            ASSERT_TRUE(v.whole()) << "torn value for key " << v.key;
            ASSERT_EQ(*w.lookup(v.key), v);
            ++n;
        }
        ASSERT_EQ(n, w.members());
        w.detach();
    }
    RecordProperty("reused", reused);
    RecordProperty("wiped", wiped);
    std::printf("crash recovery: %d iterations, files reused %d, wiped %d\n", iterations, reused, wiped);
    EXPECT_EQ(reused + wiped, iterations);
}
