#pragma once
// The demonstration's plumbing: line-based pipes between the parent and its
// children, and the two shared-memory tables as one process mounts them and
// services them from its own loop.
#include <poll.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include <fmt/format.h>

#include "VexSharedMem/CollectionControl.h"
#include "Vorn/MapDescriptor.h"
#include "X2/Default/EgrVlanTagActionProfileTable.h"
#include "X2/Default/IngVlanTagActionProfileTable.h"

namespace demo {

using Clock = std::chrono::steady_clock;

inline int msLeft(Clock::time_point end) {
    auto const left = std::chrono::duration_cast<std::chrono::milliseconds>(end - Clock::now()).count();
    return left < 0 ? 0 : int(left);
}

// Whole lines from a descriptor, never waiting past a deadline.
struct LineReader {
    int fd = -1;
    std::string buf;
    bool eof = false;

    // The next line, waiting up to `ms`; none on timeout or end of file.
    std::optional<std::string> next(int ms) {
        auto const end = Clock::now() + std::chrono::milliseconds(ms);
        for (;;) {
            if (auto nl = buf.find('\n'); nl != std::string::npos) {
                std::string l = buf.substr(0, nl);
                buf.erase(0, nl + 1);
                return l;
            }
            if (eof) return std::nullopt;
            pollfd p{fd, POLLIN, 0};
            int const ready = ::poll(&p, 1, msLeft(end));
            if (ready == 0) return std::nullopt;
            if (ready < 0) continue;  // interrupted
            char chunk[4096];
            ssize_t const n = ::read(fd, chunk, sizeof chunk);
            if (n <= 0)
                eof = true;
            else
                buf.append(chunk, std::size_t(n));
        }
    }
};

inline void sendLine(int fd, std::string const& s) {
    std::string const l = s + "\n";
    for (std::size_t done = 0; done < l.size();) {
        ssize_t const n = ::write(fd, l.data() + done, l.size() - done);
        if (n <= 0) return;  // the other side is gone: its reader reports it
        done += std::size_t(n);
    }
}

// A child process and its two pipes. In the parent, `in` reads the child's
// lines and `out` carries commands to it; in the child, the other way round.
struct Child {
    Child(char const* r, char const* t) : role(r), tag(t) {}
    char const* role;  // "hardware agent"
    char const* tag;   // "hardware": in its statistics name
    pid_t pid = -1;
    int toChild[2] = {-1, -1}, toParent[2] = {-1, -1};
    LineReader in;
    int out = -1;
    bool reported = false;  // parent: its report is in, it may end
};

// ---- the two shared tables -------------------------------------------------

using Egr = bcm56275_a0::Default::EgrVlanTagActionProfileTable;
using Ing = bcm56275_a0::Default::IngVlanTagActionProfileTable;

// Both tables under parent entity `entity` (maps "<root>/<entity>/<table>/
// entry" and ".../writeResponse"), each entry map mounted as `entryRole`
// and each write-response map as `responseRole`.
struct SharedTables {
    Lumo::Ptr<Vex::Entity> parent;
    Lumo::Ptr<Egr> egr;
    Lumo::Ptr<Ing> ing;
    VexSharedMem::Mounter mounter;

    SharedTables(std::string const& entity, Vorn::VornType entryRole, Vorn::VornType responseRole) {
        parent = new Vex::Entity(entity);
        egr = new Egr("EgrVlanTagActionProfileTable");
        ing = new Ing("IngVlanTagActionProfileTable");
        parent->childIs(egr);
        parent->childIs(ing);
        auto mount = [&](auto const& control, Vorn::VornType role) {
            Vorn::MapDescriptor d(128);
            d.type = role;
            mounter.mount(control, d);
        };
        // Entries first: a reader services its maps in this order, so it
        // tends to hear of an entry before its write response.
        mount(egr->entryControl(), entryRole);
        mount(ing->entryControl(), entryRole);
        mount(egr->writeResponseControl(), responseRole);
        mount(ing->writeResponseControl(), responseRole);
    }
    template <class F>
    void forEachMap(F f) {
        f(egr->entryMap());
        f(egr->writeResponseMap());
        f(ing->entryMap());
        f(ing->writeResponseMap());
    }
    // Services every map once (reader maps hand their changes to the
    // tables, which publish them); true while work remains.
    bool service() { return mounter.poll(); }
    // Sleeps in the maps' descriptors (and `extra`) for up to `ms`, unless
    // a map has work to do first.
    void wait(int ms, int extra = -1) {
        std::vector<pollfd> p;
        bool ready = true;
        forEachMap([&](auto& m) {
            if (m.fd() < 0) return;
            ready = ready && m.prepareToWait();
            p.push_back({m.fd(), POLLIN, 0});
        });
        if (!ready) return;
        if (extra >= 0) p.push_back({extra, POLLIN, 0});
        ::poll(p.data(), nfds_t(p.size()), ms);
    }
    void step(int ms, int extra = -1) {
        if (!service()) wait(ms, extra);
    }
    // Until every map is mounted and quiet; false after `ms`.
    bool mountAll(int ms) {
        auto const end = Clock::now() + std::chrono::milliseconds(ms);
        for (;;) {
            bool all = true;
            forEachMap([&](auto& m) { all = all && m.mountStatus() == Vorn::mounted && m.quiesced(); });
            if (all) return true;
            if (Clock::now() > end) return false;
            step(20);
        }
    }
};

// A table as one process sees it: its entries and write responses, with a
// digest of every (index, transaction id, state), for comparing views.
template <class T>
std::string viewOf(T& t) {
    std::uint64_t h = 1469598103934665603ull;  // FNV-1a
    auto mix = [&](std::uint64_t v) { h = (h ^ v) * 1099511628211ull; };
    unsigned entries = 0, responses = 0;
    for (std::uint32_t i = 0; i <= T::Entry::Index::max(); ++i) {
        typename T::EntryValue e;
        if (t.entryMap().lookup(typename T::Entry::Index(i), e)) {
            ++entries;
            mix(i), mix(e.transactionId());
        }
        typename T::WriteResponseValue w;
        if (t.writeResponseMap().lookup(typename T::Entry::Index(i), w)) {
            ++responses;
            mix(i), mix(w.transactionId), mix(std::uint64_t(w.entryState));
        }
    }
    return fmt::format("{} {} {} {:016x}", T::tableInfo().name, entries, responses, h);
}

inline std::string viewOf(SharedTables& s) { return viewOf(*s.egr) + ";" + viewOf(*s.ing); }

}  // namespace demo
