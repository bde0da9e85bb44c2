// The map commands against a live writer in another process, and against
// damaged copies of a map's files.
#include <gtest/gtest.h>

#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <map>
#include <random>
#include <set>
#include <sstream>
#include <thread>

#include <fmt/format.h>
#include <fmt/ranges.h>

#include "Commands.h"
#include "Json.h"
#include "Mem/RootPath.h"
#include "Vorn/Ops.h"
#include "VexVorn/Records.h"
#include "Vorn/VornWriter.h"
#include "X2/Default/EgrVlanTagActionProfileTable.h"

namespace {

namespace fs = std::filesystem;

// A record shaped like a write response: the key is not the first field.
struct Rec {
    std::uint64_t transactionId;
    std::uint32_t state;
    std::uint32_t key;
    std::uint64_t payload;
    std::uint32_t fwkKey() const { return key; }
};
static_assert(sizeof(Rec) == 24);

using Ops = Vorn::BasicOps<Rec>;
using Writer = Vorn::VornWriter<Ops>;
constexpr char kType[] = "x2tablesTest::Rec";
constexpr char kMap[] = "agent/rec";

Rec rec(std::uint32_t key, std::uint32_t gen) {
    return Rec{std::uint64_t(gen) << 32 | key, gen & 7, key, std::uint64_t(key) * 0x9e3779b97f4a7c15ull + gen};
}

std::string hex(Rec const& r) {
    auto const* p = reinterpret_cast<unsigned char const*>(&r);
    std::string s;
    for (std::size_t i = 0; i < sizeof r; ++i) s += fmt::format("{:02x}", p[i]);
    return s;
}

struct Result {
    int status;
    std::string out, err;
};

Result run(std::vector<std::string> args, std::ostream* live = nullptr) {
    std::ostringstream out, err;
    int status = x2tables::run(args, nullptr, live ? *live : out, err);
    return {status, out.str(), err.str()};
}

// A map root of its own, made the tool's root for the test's duration.
class Root {
public:
    Root() : dir_(fmt::format("/dev/shm/x2tables-test.{}.{}", ::getpid(), counter_++)) {
        fs::create_directories(dir_);
        Mem::ZorbRootPath::rootDirIs(dir_);
    }
    ~Root() {
        Mem::ZorbRootPath::rootDirIs("");
        std::error_code ec;
        fs::remove_all(dir_, ec);
    }
    std::string const& dir() const { return dir_; }
    Mem::RootPath map(std::string const& name) const { return Mem::ZorbRootPath(dir_, name); }

private:
    static inline int counter_ = 0;
    std::string dir_;
};

struct Pipe {
    int r = -1, w = -1;
    Pipe() { EXPECT_EQ(::pipe(&r), 0); }
    ~Pipe() {
        ::close(r);
        ::close(w);
    }
    void send(std::string const& s) const { (void)!::write(w, s.data(), s.size()); }
    std::string line() const {
        std::string s;
        char c;
        while (::read(r, &c, 1) == 1 && c != '\n') s += c;
        return s;
    }
};

// Signals once the watch has written (and flushed) its first line: it is
// then attached to the change channel.
class FlushSignal : public std::stringbuf {
public:
    std::atomic<bool> flushed{false};

protected:
    int sync() override {
        flushed = true;
        return 0;
    }
};

std::uint64_t number(x2tables::JsonValue const& doc, std::string const& key) {
    for (auto const& [k, v] : doc.members)
        if (k == key) return v.type == x2tables::JsonValue::Type::boolean ? v.boolean : std::stoull(v.text);
    ADD_FAILURE() << "no " << key;
    return 0;
}

// The scripted changes: each touches a different key once, so that every
// one of them is a change the watch must report.
struct Step {
    bool remove;
    std::uint32_t key;
};
std::vector<Step> script() {
    std::vector<Step> s;
    for (std::uint32_t k = 0; k < 150; k += 5) s.push_back({k % 2 == 1, k});  // overwrite or remove existing keys
    for (std::uint32_t k = 1000; k < 1040; ++k) s.push_back({false, k});     // new keys: the map grows
    return s;
}

TEST(X2TablesMaps, StatDumpWatchAndCheckFollowALiveWriter) {
    Root root;
    Pipe ready, go, done, quit;
    pid_t const child = ::fork();
    if (child == 0) {
        Writer w(Lumo::Platform::getDebugHandler("test"), "rec", Vorn::MapDescriptor(8), Ops(kType), root.map(kMap));
        w.initialize("test");
        for (std::uint32_t k = 0; k < 200; ++k) w.write(rec(k, 1), true);
        auto counters = [&] {
            return fmt::format("{} {} {} {}\n", w.members(), w.capacity(), w.buckets(), w.quorl().sequence());
        };
        ready.send(counters());
        go.line();
        for (auto const& s : script()) {
            Rec out;
            if (s.remove) w.remove(s.key, out);
            else w.write(rec(s.key, 2), true);
        }
        done.send(counters());
        quit.line();
        std::_Exit(0);
    }
    std::istringstream counters(ready.line());
    std::uint64_t members, slots, buckets, announced;
    counters >> members >> slots >> buckets >> announced;
    ASSERT_EQ(members, 200u);

    auto list = run({"map", "list"});
    ASSERT_EQ(list.status, 0) << list.err;
    EXPECT_NE(list.out.find(fmt::format("writer {} (running)", child)), std::string::npos) << list.out;
    EXPECT_NE(list.out.find(kMap), std::string::npos);

    auto statOf = [&] {
        auto s = run({"map", "stat", kMap, "--json"});
        EXPECT_EQ(s.status, 0) << s.err;
        return x2tables::parseJson(s.out);
    };
    auto stat = statOf();
    EXPECT_EQ(number(stat, "members"), members);
    EXPECT_EQ(number(stat, "slots"), slots);
    EXPECT_EQ(number(stat, "buckets"), buckets);
    EXPECT_EQ(number(stat, "changesAnnounced"), announced);
    EXPECT_EQ(number(stat, "writerPid"), std::uint64_t(child));
    EXPECT_EQ(number(stat, "writerRunning"), 1u);
    EXPECT_NE(run({"map", "stat", kMap}).out.find("members         200"), std::string::npos);

    std::map<std::uint32_t, Rec> oracle;
    for (std::uint32_t k = 0; k < 200; ++k) oracle[k] = rec(k, 1);
    auto dumpEquals = [&] {
        std::string want;
        for (auto const& [k, v] : oracle) want += fmt::format("{:>10}  {}\n", k, hex(v));
        want += fmt::format("{} members\n", oracle.size());
        auto d = run({"map", "dump", kMap});
        EXPECT_EQ(d.status, 0) << d.err;
        EXPECT_EQ(d.out, want);
    };
    dumpEquals();
    EXPECT_EQ(run({"map", "check", kMap}).out,
              fmt::format("map {}: ok: 200 members and {} free slots in {} slots, {} buckets\n", kMap, slots - 200,
                          slots, buckets));

    // watch sees every scripted change, and nothing else.
    std::set<std::string> want;
    for (auto const& s : script()) {
        if (s.remove) {
            want.insert(fmt::format("removed {}", s.key));
            oracle.erase(s.key);
        } else {
            want.insert(fmt::format("set {} {}", s.key, hex(rec(s.key, 2))));
            oracle[s.key] = rec(s.key, 2);
        }
    }
    FlushSignal buf;
    std::ostream live(&buf);
    Result watched{-1, "", ""};
    std::thread watcher([&] {
        watched = run({"map", "watch", kMap, fmt::format("--count={}", want.size()), "--seconds=30"}, &live);
    });
    for (int i = 0; i < 6000 && !buf.flushed; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(5));
    // The watch is a reader of the map's channel now.
    EXPECT_NE(run({"map", "stat", kMap, "--json"}).out.find(fmt::format("\"readers\": [{}]", ::getpid())),
              std::string::npos);
    go.send("go\n");
    std::istringstream after(done.line());
    after >> members >> slots >> buckets >> announced;
    watcher.join();
    ASSERT_EQ(watched.status, 0) << watched.err;
    std::istringstream lines(buf.str());
    std::string line;
    std::getline(lines, line);
    EXPECT_EQ(line, fmt::format("watching {}: 200 members (every change as it is announced; Ctrl-C stops)", kMap));
    std::set<std::string> seen;
    while (std::getline(lines, line)) EXPECT_TRUE(seen.insert(line).second) << "twice: " << line;
    EXPECT_EQ(seen, want);

    stat = statOf();
    EXPECT_EQ(number(stat, "members"), members);
    EXPECT_EQ(number(stat, "slots"), slots);
    EXPECT_EQ(number(stat, "changesAnnounced"), announced);
    dumpEquals();

    quit.send("quit\n");
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    EXPECT_EQ(number(statOf(), "writerRunning"), 0u);
    EXPECT_EQ(run({"map", "check", kMap}).status, 0);
}

// Maps of a table's own records read as records: what each holds, by name.
// The writers store the chip's records byte for byte, as the tables will.
TEST(X2TablesMaps, RecordsReadByName) {
    using T = bcm56275_a0::Default::EgrVlanTagActionProfileTable;
    using Index = T::Entry::Index;
    Root root;
    auto debug = Lumo::Platform::getDebugHandler("test");
    Vorn::VornWriter<Vorn::BasicOps<T::WriteResponse>> wr(debug, "wr", Vorn::MapDescriptor(8),
                                                           VexVorn::recordOps<T::WriteResponse>(), root.map("a/wr"));
    Vorn::VornWriter<Vorn::BasicOps<T::Entry>> en(debug, "en", Vorn::MapDescriptor(8), VexVorn::recordOps<T::Entry>(),
                                                  root.map("a/en"));
    wr.initialize("test");
    en.initialize("test");
    std::string wantWr, wantEn;
    for (std::uint32_t k = 0; k < 128; k += 9) {
        auto const state = k % 2 ? Asic::HwTable::EntryState::entryStateWritten : Asic::HwTable::EntryState::entryStateFailed;
        wr.write(T::WriteResponse(Index(k), 1000 + k, state), true);
        wantWr += fmt::format("{:>10}  transactionId={} entryState={} entryIndex={}\n", k, 1000 + k,
                              k % 2 ? "entryStateWritten" : "entryStateFailed", k);
        T::Entry e{Index(k)};
        e.transactionIdIs(2000 + k);
        e.itpidAction1Is(U3(k % 8));
        en.write(e, true);
        wantEn += fmt::format("{:>10}  transactionId={}{}\n", k, 2000 + k, k % 8 ? fmt::format(" itpidAction1={}", k % 8) : "");
    }
    auto d = run({"map", "dump", "a/wr"});
    EXPECT_EQ(d.out, wantWr + "15 members\n") << d.err;
    d = run({"map", "dump", "a/en"});
    EXPECT_EQ(d.out, wantEn + "15 members\n") << d.err;
    auto list = run({"map", "list"}).out;
    EXPECT_NE(list.find("EgrVlanTagActionProfileTable write responses"), std::string::npos) << list;
    EXPECT_NE(list.find("EgrVlanTagActionProfileTable entries"), std::string::npos) << list;
    auto j = x2tables::parseJson(run({"map", "dump", "a/wr", "--json"}).out);
    EXPECT_EQ(j.members.at(3).value.items.at(1).members.at(2).value.members.at(1).value.text, "entryStateWritten");
    EXPECT_EQ(run({"map", "check", "a/en"}).status, 0);
}

// Damaged copies of a map: every command gives one line and status 2.
TEST(X2TablesMaps, DamagedMapsAreOneLineAndStatusTwo) {
    Root root;
    {
        Writer w(Lumo::Platform::getDebugHandler("test"), "rec", Vorn::MapDescriptor(8), Ops(kType), root.map("good"));
        w.initialize("test");
        for (std::uint32_t k = 0; k < 300; ++k) w.write(rec(k, 1), true);
    }
    fs::path const good = fs::path(root.dir()) / "good";
    auto fileSize = [&](char const* f) { return fs::file_size(good / f); };
    std::mt19937 rng(7);
    auto scribble = [&](fs::path const& f, std::size_t offset, std::size_t n) {
        std::fstream io(f, std::ios::in | std::ios::out | std::ios::binary);
        io.seekp(std::streamoff(offset));
        for (std::size_t i = 0; i < n; ++i) io.put(char(rng()));
    };
    auto linkWord = [](std::uint32_t slot) {
        std::size_t const headerSize = 608 + sizeof(Rec) + 16;
        return headerSize + slot * (sizeof(Rec) + 16);
    };
    struct Case {
        char const* name;
        std::function<void(fs::path const&)> damage;
        char const* says;
    };
    std::vector<Case> cases = {
        {"slot file missing", [](fs::path const& d) { fs::remove(d / "slots"); }, "no slot file"},
        {"slot file empty", [](fs::path const& d) { fs::resize_file(d / "slots", 0); }, "truncated"},
        {"slot file cut in its header", [](fs::path const& d) { fs::resize_file(d / "slots", 100); }, "truncated"},
        {"slot file cut in its slots", [&](fs::path const& d) { fs::resize_file(d / "slots", fileSize("slots") / 2); },
         "truncated"},
        {"slot header scribbled", [&](fs::path const& d) { scribble(d / "slots", 0, 64); }, "slot file damaged"},
        {"slot file all random", [&](fs::path const& d) { scribble(d / "slots", 0, fileSize("slots")); }, "damaged"},
        {"bucket file missing", [](fs::path const& d) { fs::remove(d / "buckets"); }, "cannot attach"},
        {"bucket file random", [&](fs::path const& d) { scribble(d / "buckets", 0, fileSize("buckets")); },
         "cannot attach"},
        {"fenix file missing", [](fs::path const& d) { fs::remove(d / "fenix"); }, "cannot attach"},
        {"slot links random", [&](fs::path const& d) {
             for (std::uint32_t s = 0; s < 300; s += 3) scribble(d / "slots", linkWord(s) + 4, 4);
         }, "corrupt"},
    };
    for (auto const& c : cases) {
        fs::path const dir = fs::path(root.dir()) / "bad";
        fs::remove_all(dir);
        fs::copy(good, dir);
        c.damage(dir);
        for (char const* sub : {"stat", "dump", "check", "watch"}) {
            auto r = run({"map", sub, "bad", "--seconds=0"});
            std::string const what = fmt::format("{}: map {}", c.name, sub);
            // A stat reads headers only: scribbled links are for the walks to find.
            if (std::string(c.name) == "slot links random" && std::string(sub) == "stat") {
                EXPECT_EQ(r.status, 0) << what << ": " << r.err;
                continue;
            }
            EXPECT_EQ(r.status, 2) << what << ": " << r.out;
            EXPECT_EQ(r.err.rfind("x2tables: map bad: ", 0), 0u) << what << ": " << r.err;
            EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << what << ": " << r.err;
            EXPECT_NE(r.err.find(c.says), std::string::npos) << what << ": " << r.err;
        }
    }
    auto missing = run({"map", "dump", "nowhere"});
    EXPECT_EQ(missing.status, 2);
    EXPECT_NE(missing.err.find("no such map"), std::string::npos) << missing.err;
    EXPECT_EQ(run({"map", "check", "good"}).status, 0);
    EXPECT_EQ(run({"map", "bogus", "good"}).status, 2);
    EXPECT_EQ(run({"map", "dump"}).status, 2);
}

}  // namespace
