// Never absent while present: a writer process overwrites a handful of keys
// as fast as it can while a reader process looks them up and a shadow
// process follows them. The keys are written once before the storm and never
// removed, so every lookup must find its key (a read that found no stable
// view may say "look again", never "absent") and the shadow must never call
// a key gone.
//
// X2_NEVER_ABSENT_MS sets the length of the storm (default 10000 ms).
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include <gtest/gtest.h>

#include "../shm_support/ShmTest.h"
#include "Lumo/Time.h"
#include "Vorn/ReadContentionException.h"
#include "Vorn/VornReader.h"
#include "Vorn/VornShadow.h"

using namespace shmtest;

namespace {

using Ops = Vorn::BasicOps<Rec64>;
constexpr std::uint32_t kKeys = 6;

double stormSeconds() {
    char const* v = std::getenv("X2_NEVER_ABSENT_MS");
    return (v ? std::atoi(v) : 10000) / 1000.0;
}

struct Counts {
    unsigned long reads = 0, absent = 0, unknown = 0, torn = 0, gone = 0, keyed = 0;
};

// Runs `body` in a child process that writes its counts to a pipe; returns
// the child's pid and the read end.
template <class F>
std::pair<pid_t, int> child(F body) {
    int fds[2];
    if (::pipe(fds) != 0) return {-1, -1};
    pid_t pid = ::fork();
    if (pid == 0) {
        ::close(fds[0]);
        Counts c = body();
        std::string line = fmt::format("{} {} {} {} {} {}\n", c.reads, c.absent, c.unknown, c.torn, c.gone, c.keyed);
        if (::write(fds[1], line.data(), line.size()) < 0) std::_Exit(3);
        std::_Exit(0);
    }
    ::close(fds[1]);
    return {pid, fds[0]};
}

Counts collect(std::pair<pid_t, int> c) {
    Counts r;
    char buf[256] = {};
    ssize_t n = 0, got;
    while ((got = ::read(c.second, buf + n, sizeof buf - 1 - n)) > 0) n += got;
    ::close(c.second);
    int status = 0;
    ::waitpid(c.first, &status, 0);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "child status " << status;
    std::sscanf(buf, "%lu %lu %lu %lu %lu %lu", &r.reads, &r.absent, &r.unknown, &r.torn, &r.gone, &r.keyed);
    return r;
}

TEST(NeverAbsent, OverwriteStormGivesNoAbsentReadAndNoFalseGone) {
    TempRoot root;
    Mem::RootPath rp = root.map("storm");
    double seconds = stormSeconds();
    Vorn::MapDescriptor d(64);
    // The writer creates and fills the map, then tells the others to start;
    // it storms a little longer than they read, so their reads all overlap it.
    int ready[2];
    ASSERT_EQ(::pipe(ready), 0);
    auto waitReady = [&] {
        char c;
        ::close(ready[1]);
        return ::read(ready[0], &c, 1) == 1;
    };
    auto writer = child([&] {
        Writer<Rec64> w(debug(), "storm", d, ops<Rec64>(), rp);
        w.initialize("none");
        for (std::uint32_t k = 0; k < kKeys; ++k) w.write(Rec64::make(k, 0), true);
        char go[2] = {1, 1};
        Counts c;
        if (::write(ready[1], go, 2) != 2) return c;
        double end = Lumo::time() + seconds + 1.0;
        for (std::uint32_t gen = 1; Lumo::time() < end; ++gen) {
            for (int i = 0; i < 256; ++i, ++gen) w.write(Rec64::make(gen % kKeys, gen), true);
            ++c.reads;
        }
        return c;
    });
    auto reader = child([&] {
        Counts c;
        Vorn::VornReader<Ops> r(debug(), "storm", rp, ops<Rec64>());
        if (!waitReady() || !r.initialize("storm")) return c;
        double end = Lumo::time() + seconds;
        Vorn::IterHint h;
        while (Lumo::time() < end) {
            for (std::uint32_t k = 0; k < kKeys; ++k) {
                Rec64 v;
                ++c.reads;
                try {
                    if (!r.lookup(k, v, h))
                        ++c.absent;
                    else if (!v.whole() || v.key != k)
                        ++c.torn;
                } catch (Vorn::ReadContentionException const&) {
                    ++c.unknown;
                }
            }
        }
        return c;
    });
    auto shadow = child([&] {
        Counts c;
        Vorn::ShadowCallbacks<Ops> cb;
        Vorn::VornShadow<Ops>* self = nullptr;
        cb.onKeyValue = [&](std::uint32_t, Rec64 const* v) {
            if (!v) ++c.gone;
        };
        cb.onKey = [&](std::uint32_t k) {
            Rec64 v;
            ++c.reads;
            try {
                if (!self->lookup(k, v))
                    ++c.absent;
                else if (!v.whole() || v.key != k)
                    ++c.torn;
            } catch (Vorn::ReadContentionException const&) {
                ++c.unknown;
            }
        };
        Vorn::VornShadow<Ops> s(debug(), "storm", rp, ops<Rec64>(), cb);
        self = &s;
        if (!waitReady() || !s.initialize("storm")) return c;
        double end = Lumo::time() + seconds;
        while (Lumo::time() < end) {
            if (!s.service(256) && s.prepareToWait()) s.quorl().wait(5);
        }
        s.serviceUntilSynced(5000);
        c.keyed = s.store().keyed();
        return c;
    });
    ::close(ready[0]);
    ::close(ready[1]);
    Counts w = collect(writer), r = collect(reader), s = collect(shadow);
    std::printf("writer batches %lu; reader %lu lookups, %lu unknown; shadow %lu callbacks, %lu unknown\n", w.reads,
                r.reads, r.unknown, s.reads, s.unknown);
    EXPECT_GT(w.reads, 0u);
    EXPECT_GT(r.reads, 0u);
    EXPECT_GT(s.reads, 0u);
    EXPECT_EQ(r.absent, 0u);
    EXPECT_EQ(r.torn, 0u);
    EXPECT_EQ(s.absent, 0u);
    EXPECT_EQ(s.torn, 0u);
    EXPECT_EQ(s.gone, 0u);
    EXPECT_EQ(s.keyed, kKeys);
}

}  // namespace
