#pragma once
// Helpers shared by the shared-memory map tests: value records shaped like
// the real ones, a per-test map root that never collides with a parallel run
// and is removed afterwards, and a structural checker that compares a writer
// against an oracle.
#include <atomic>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <map>
#include <random>
#include <string>

#include <unistd.h>

#include <fmt/format.h>
#include <gtest/gtest.h>

#include "Lumo/Util.h"
#include "Mem/RootPath.h"
#include "Vex/Hash.h"
#include "Vorn/Ops.h"
#include "Vorn/VornWriter.h"

namespace shmtest {

// A 64-byte record whose checksum covers key, generation and payload, so a
// reader can tell a torn value from a whole one.
struct Rec64 {
    std::uint32_t key;
    std::uint32_t gen;
    std::uint64_t payload[6];
    std::uint64_t checksum;

    std::uint32_t fwkKey() const { return key; }
    static Rec64 make(std::uint32_t key, std::uint32_t gen) {
        Rec64 r{};
        r.key = key;
        r.gen = gen;
        for (int i = 0; i < 6; ++i) r.payload[i] = (std::uint64_t(key) << 32 | gen) * 0x9e3779b97f4a7c15ull + i;
        r.checksum = r.sum();
        return r;
    }
    std::uint64_t sum() const {
        Vex::Hash h(0x5eed);
        h.hashMix(key);
        h.hashMix(gen);
        for (auto p : payload) h.hashMix(p);
        return h.result() | (std::uint64_t(key) << 32);
    }
    bool whole() const { return checksum == sum(); }
    bool operator==(Rec64 const&) const = default;
};
static_assert(sizeof(Rec64) == 64);

// Shaped like the inline entry record: transaction id, entry index at bytes
// 8..11, then two {size, 20 bytes} arrays.
struct EntryLike {
    struct Bytes {
        std::uint32_t size;
        std::uint8_t bytes[20];
        bool operator==(Bytes const&) const = default;
    };
    std::uint64_t transactionId;
    std::uint32_t entryIndex;
    Bytes data[2];
    std::uint32_t pad;
    std::uint32_t fwkKey() const { return entryIndex; }
    bool operator==(EntryLike const&) const = default;
};
static_assert(sizeof(EntryLike) == 64 && offsetof(EntryLike, entryIndex) == 8);

// Shaped like the write response: entry index at bytes 12..15.
struct WriteResponseLike {
    std::uint64_t transactionId;
    std::uint8_t entryState;
    std::uint8_t pad[3];
    std::uint32_t entryIndex;
    std::uint32_t fwkKey() const { return entryIndex; }
    bool operator==(WriteResponseLike const&) const = default;
};
static_assert(sizeof(WriteResponseLike) == 16 && offsetof(WriteResponseLike, entryIndex) == 12);

// A unique directory under /dev/shm for one test's maps, removed at the end.
class TempRoot {
public:
    TempRoot() {
        static std::atomic<int> counter{0};
        std::random_device rd;
        dir_ = fmt::format("/dev/shm/x2shmtest.{}.{}.{:x}", ::getpid(), counter.fetch_add(1), rd());
        std::filesystem::create_directories(dir_);
    }
    ~TempRoot() {
        std::error_code ec;
        std::filesystem::remove_all(dir_, ec);
    }
    std::string const& dir() const { return dir_; }
    Mem::RootPath map(std::string const& name) const { return Mem::ZorbRootPath(dir_, name); }

private:
    std::string dir_;
};

constexpr std::uint32_t kSeed = 0x1234abcd;

template <class V>
using Writer = Vorn::VornWriter<Vorn::BasicOps<V>>;

template <class V>
Vorn::BasicOps<V> ops(std::uint32_t seed = kSeed) {
    return Vorn::BasicOps<V>(seed, "shmtest::Value");
}

inline Lumo::Platform::DebugHandler* debug() { return Lumo::Platform::getDebugHandler("ShmTest"); }

// Checks everything a writer promises between operations against the oracle.
template <class V>
::testing::AssertionResult matchesOracle(Writer<V>& w, std::map<std::uint32_t, V> const& oracle) {
    if (!w.validate()) return ::testing::AssertionFailure() << w.message();
    if (w.members() != oracle.size())
        return ::testing::AssertionFailure() << "members " << w.members() << " oracle " << oracle.size();
    for (auto const& [k, v] : oracle) {
        auto* p = w.lookup(k);
        if (!p) return ::testing::AssertionFailure() << "key " << k << " missing";
        if (std::memcmp(p, &v, sizeof(V)) != 0) return ::testing::AssertionFailure() << "key " << k << " wrong value";
    }
    // Iteration visits every key once, in ascending order key.
    std::size_t n = 0;
    V v;
    Vorn::IterHint hint;
    std::uint32_t lastOrder = 0;
    for (bool ok = w.first(v, hint); ok; ok = w.next(v.fwkKey(), v, hint)) {
        if (!oracle.count(v.fwkKey())) return ::testing::AssertionFailure() << "iterated unknown key " << v.fwkKey();
        std::uint32_t order = Lumo::Util::reverse(w.ops().hash(v.fwkKey()));
        if (n && order < lastOrder) return ::testing::AssertionFailure() << "iteration out of order";
        lastOrder = order;
        if (++n > oracle.size()) return ::testing::AssertionFailure() << "iteration too long";
    }
    if (n != oracle.size()) return ::testing::AssertionFailure() << "iterated " << n << " of " << oracle.size();
    return ::testing::AssertionSuccess();
}

}  // namespace shmtest
