#pragma once
// The demonstration's plumbing: line-based pipes between the parent and its
// children, and views of the two shared-memory tables for comparing them
// across processes (each process mounts them through hwsim::SharedTables).
#include <poll.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include <fmt/format.h>

#include "hwsim/SharedTables.h"

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

using hwsim::SharedTables;
using Egr = SharedTables::Egr;
using Ing = SharedTables::Ing;

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
