#pragma once
// Helpers shared by the shared-memory map tests: the real records of the two
// shared tables and value records shaped like them (one with a checksum),
// each with a maker of distinct values per (key, generation) that a reader
// can check for wholeness; a per-test map root that never collides with a
// parallel run and is removed afterwards; and a structural checker that
// compares a writer against an oracle.
#include <atomic>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <random>
#include <string>

#include <unistd.h>

#include <fmt/format.h>
#include <gtest/gtest.h>

#include "Lumo/Util.h"
#include "Mem/RootPath.h"
#include "Vex/Hash.h"
#include "VexVorn/Records.h"
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

// ---- values per type -----------------------------------------------------------
//
// Values<V>: kKeySpace (keys run from 0 below it), make(key, gen) (a value
// that differs in every byte the record has room for from one generation to
// the next), whole(v) (v is exactly what make gave for its key and
// generation: a torn or mixed copy is not).

inline std::uint32_t keyOf(auto const& v) { return Vorn::keyValue(v.fwkKey()); }

// A count from the environment (longer stress runs), else `dflt`.
inline int envInt(char const* name, int dflt) {
    char const* v = std::getenv(name);
    return v ? std::atoi(v) : dflt;
}

// The records a writer process saved, raw one after another, by key.
template <class V>
std::map<std::uint32_t, V> readOracle(std::string const& path) {
    std::map<std::uint32_t, V> m;
    std::ifstream in(path, std::ios::binary);
    V v;
    while (in.read(reinterpret_cast<char*>(&v), sizeof v)) m[keyOf(v)] = v;
    return m;
}

// splitmix64: cheap, well mixed bytes from a (key, generation) seed.
inline std::uint64_t mix64(std::uint64_t& s) {
    std::uint64_t z = (s += 0x9e3779b97f4a7c15ull);
    z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ull;
    z = (z ^ (z >> 27)) * 0x94d049bb133111ebull;
    return z ^ (z >> 31);
}
// A transaction id that carries key and generation in all eight bytes.
constexpr std::uint64_t kTidMask = 0xa5c3e1f00f1e3c5aull;
inline std::uint64_t tidOf(std::uint32_t key, std::uint32_t gen) { return (std::uint64_t(gen) << 32 | key) ^ kTidMask; }
inline std::uint32_t genOfTid(std::uint64_t tid) { return std::uint32_t((tid ^ kTidMask) >> 32); }

template <class V>
struct Values;

template <>
struct Values<Rec64> {
    static constexpr std::uint32_t kKeySpace = 1u << 20;
    static Rec64 make(std::uint32_t key, std::uint32_t gen) { return Rec64::make(key, gen); }
    static bool whole(Rec64 const& v) { return v.whole(); }
};

template <>
struct Values<EntryLike> {
    static constexpr std::uint32_t kKeySpace = 1u << 20;
    static EntryLike make(std::uint32_t key, std::uint32_t gen) {
        EntryLike e{};
        e.transactionId = (std::uint64_t(gen) << 32) | key;
        e.entryIndex = key;
        e.data[0].size = gen % 21;
        for (std::uint32_t i = 0; i < e.data[0].size; ++i) e.data[0].bytes[i] = std::uint8_t(key + i);
        e.data[1].size = 20;
        for (std::uint32_t i = 0; i < 20; ++i) e.data[1].bytes[i] = std::uint8_t(gen * 7 + i);
        return e;
    }
    static bool whole(EntryLike const& v) { return v == make(v.entryIndex, std::uint32_t(v.transactionId >> 32)); }
};

template <>
struct Values<WriteResponseLike> {
    static constexpr std::uint32_t kKeySpace = 1u << 20;
    static WriteResponseLike make(std::uint32_t key, std::uint32_t gen) {
        WriteResponseLike w{};
        w.transactionId = gen;
        w.entryState = std::uint8_t(gen % 5);
        w.entryIndex = key;
        return w;
    }
    static bool whole(WriteResponseLike const& v) { return v == make(v.entryIndex, std::uint32_t(v.transactionId)); }
};

// Entries of the shared tables: every byte of the transaction id, and both
// arrays filled through the raw byte path with a random size (0 up to the
// capacity) of random bytes. Keys are the table's indices.
template <class V>
    requires VexVorn::SharedRecord<V> && requires { V::kDataArrays; }
struct Values<V> {
    static constexpr std::uint32_t kKeySpace = V::Index::max() + 1;
    static_assert(V::kDataArrays == 2);
    static V make(std::uint32_t key, std::uint32_t gen) {
        V e{typename V::Index(key)};
        std::uint64_t const tid = tidOf(key, gen);
        e.transactionIdIs(tid);
        std::uint64_t s = tid;
        fill<V::DataByte0::capacity()>(e, 0, s);
        fill<V::DataByte1::capacity()>(e, 1, s);
        return e;
    }
    static bool whole(V const& v) { return v == make(keyOf(v), genOfTid(v.transactionId())); }

private:
    template <unsigned Cap>
    static void fill(V& e, unsigned k, std::uint64_t& s) {
        std::uint8_t bytes[Cap];
        for (auto& b : bytes) b = std::uint8_t(mix64(s));
        e.rawBytesIs(k, bytes, std::uint32_t(mix64(s) % (Cap + 1)));
    }
};

// Write responses of the shared tables: index, transaction id and state.
template <class V>
    requires VexVorn::SharedRecord<V> && (!requires { V::kDataArrays; })
struct Values<V> {
    static constexpr std::uint32_t kKeySpace = V::Index::max() + 1;
    static V make(std::uint32_t key, std::uint32_t gen) {
        std::uint64_t const tid = tidOf(key, gen);
        std::uint64_t s = tid;
        return V(typename V::Index(key), tid, Asic::HwTable::EntryState(mix64(s) % 5));
    }
    static bool whole(V const& v) { return v == make(keyOf(v), genOfTid(v.transactionId)); }
};

template <class V>
V makeValue(std::uint32_t key, std::uint32_t gen) {
    return Values<V>::make(key, gen);
}

// The real records, and names for typed tests over them.
using RealRecords =
    ::testing::Types<VexVorn::EgrEntry, VexVorn::EgrWriteResponse, VexVorn::IngEntry, VexVorn::IngWriteResponse>;

struct ValueNames {
    template <class V>
    static std::string GetName(int) {
        if constexpr (std::is_same_v<V, Rec64>) return "Rec64";
        if constexpr (std::is_same_v<V, EntryLike>) return "EntryLike";
        if constexpr (std::is_same_v<V, WriteResponseLike>) return "WriteResponseLike";
        if constexpr (std::is_same_v<V, VexVorn::EgrEntry>) return "EgrEntry";
        if constexpr (std::is_same_v<V, VexVorn::EgrWriteResponse>) return "EgrWriteResponse";
        if constexpr (std::is_same_v<V, VexVorn::IngEntry>) return "IngEntry";
        if constexpr (std::is_same_v<V, VexVorn::IngWriteResponse>) return "IngWriteResponse";
        return "Other";
    }
};

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

// The map operations of V: a real record's own (seeded by its type name),
// else a fixed test seed.
template <class V>
Vorn::BasicOps<V> ops() {
    if constexpr (VexVorn::SharedRecord<V>)
        return VexVorn::recordOps<V>();
    else
        return Vorn::BasicOps<V>(kSeed, "shmtest::Value");
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
        if (!(*p == v)) return ::testing::AssertionFailure() << "key " << k << " wrong value";
    }
    // Iteration visits every key once, in ascending order key.
    std::size_t n = 0;
    V v;
    Vorn::IterHint hint;
    std::uint32_t lastOrder = 0;
    for (bool ok = w.first(v, hint); ok; ok = w.next(keyOf(v), v, hint)) {
        if (!oracle.count(keyOf(v))) return ::testing::AssertionFailure() << "iterated unknown key " << keyOf(v);
        std::uint32_t order = Lumo::Util::reverse(w.ops().hash(keyOf(v)));
        if (n && order < lastOrder) return ::testing::AssertionFailure() << "iteration out of order";
        lastOrder = order;
        if (++n > oracle.size()) return ::testing::AssertionFailure() << "iteration too long";
    }
    if (n != oracle.size()) return ::testing::AssertionFailure() << "iterated " << n << " of " << oracle.size();
    return ::testing::AssertionSuccess();
}

}  // namespace shmtest
