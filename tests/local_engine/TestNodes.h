#pragma once
// Node types for the hash map engine's tests, independent of the table
// records: a trivially copyable 16-byte record keyed at bytes 12..15, and a
// node holding a counted shared block, so that the move and copy reference
// rules can be counted. Two more node types only change the hashing (a
// constant hash, and a hash with three distinct values) to force collisions;
// two more hash a key to itself, to place keys in chosen slots.
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <utility>

#include "Lumo/ThreadMode.h"
#include "Vex/HashMap2018.h"

namespace enginetest {

// A shared, reference-counted block holding one payload word.
class Shared {
public:
    Shared() = default;
    explicit Shared(std::uint32_t payload) : blk_(new Block{Lumo::RefCount(1), payload}) {
        liveBlocks().fetch_add(1, std::memory_order_relaxed);
    }
    Shared(Shared const& o) : blk_(o.blk_) {
        if (blk_) blk_->refs.inc();
    }
    Shared(Shared&& o) noexcept : blk_(std::exchange(o.blk_, nullptr)) {}
    Shared& operator=(Shared const& o) {
        Shared(o).swap(*this);
        return *this;
    }
    Shared& operator=(Shared&& o) noexcept {
        Shared(std::move(o)).swap(*this);
        return *this;
    }
    ~Shared() { release(); }
    void swap(Shared& o) noexcept { std::swap(blk_, o.blk_); }

    bool null() const { return blk_ == nullptr; }
    std::uint32_t useCount() const { return blk_ ? blk_->refs.count() : 0; }
    std::uint32_t payload() const { return blk_ ? blk_->payload : 0; }
    friend bool operator==(Shared const& a, Shared const& b) { return a.payload() == b.payload(); }

    static std::atomic<std::int64_t>& liveBlocks() {
        static std::atomic<std::int64_t> n{0};
        return n;
    }

private:
    struct Block {
        Lumo::RefCount refs;
        std::uint32_t payload;
    };
    void release() {
        if (blk_ && blk_->refs.dec() == 0) {
            delete blk_;
            liveBlocks().fetch_sub(1, std::memory_order_relaxed);
        }
        blk_ = nullptr;
    }
    Block* blk_ = nullptr;
};

// The value of an entry-like node: a transaction id and one shared block.
struct CountedValue {
    std::uint64_t tid = 0;
    Shared data;
    friend bool operator==(CountedValue const& a, CountedValue const& b) {
        return a.tid == b.tid && a.data == b.data;
    }
};

template <std::uint32_t Seed>
struct CountedNodeT {
    static constexpr std::uint32_t kHashSeed = Seed;
    static constexpr std::uint32_t kKeyOffset = 16;
    CountedValue value;
    std::uint32_t key = 0;
    std::uint32_t pad = 0;

    CountedNodeT(std::uint32_t k, CountedValue const& v) : value(v), key(k) {}
    CountedNodeT(std::uint32_t k, CountedValue&& v) : value(std::move(v)), key(k) {}
    std::uint32_t nodeKey() const { return key; }
    CountedValue& nodeValue() { return value; }
    CountedValue const& nodeValue() const { return value; }
};

// A write-response-like record: 16 bytes, key at bytes 12..15.
struct Rec {
    std::uint64_t tid = 0;
    std::uint32_t state = 0;
    std::uint32_t entryIndex = 0;
    friend bool operator==(Rec const& a, Rec const& b) = default;
};

template <std::uint32_t Seed>
struct RecNodeT : Rec {
    static constexpr std::uint32_t kHashSeed = Seed;
    static constexpr std::uint32_t kKeyOffset = 12;
    RecNodeT(std::uint32_t k, Rec const& v) : Rec(v) { entryIndex = k; }
    std::uint32_t nodeKey() const { return entryIndex; }
    Rec& nodeValue() { return *this; }
    Rec const& nodeValue() const { return *this; }
};

using CountedNode = CountedNodeT<0x36d8a9aa>;
using ConstHashNode = CountedNodeT<0x11111111>;
using RecNode = RecNodeT<0x49c2d19c>;
using FewHashRecNode = RecNodeT<0x22222222>;
// The hash is the key itself, so that a test places keys in chosen slots.
using IdentityRecNode = RecNodeT<0x33333333>;
using IdentityCountedNode = CountedNodeT<0x44444444>;

static_assert(offsetof(CountedNode, key) == CountedNode::kKeyOffset);
static_assert(offsetof(Rec, entryIndex) == RecNode::kKeyOffset);
static_assert(sizeof(RecNode) == 16 && std::is_trivially_copyable_v<RecNode>);
static_assert(sizeof(CountedNode) == 24 && !std::is_trivially_copyable_v<CountedNode>);

}  // namespace enginetest

template <>
struct Vex::HashMap2018Hasher<enginetest::ConstHashNode> {
    static std::uint32_t hash(std::uint32_t, std::uint32_t) { return 0x5a5a5a5au; }
};
template <>
struct Vex::HashMap2018Hasher<enginetest::FewHashRecNode> {
    static std::uint32_t hash(std::uint32_t, std::uint32_t key) { return (key % 3) * 0x40000001u; }
};
template <>
struct Vex::HashMap2018Hasher<enginetest::IdentityRecNode> {
    static std::uint32_t hash(std::uint32_t, std::uint32_t key) { return key; }
};
template <>
struct Vex::HashMap2018Hasher<enginetest::IdentityCountedNode> {
    static std::uint32_t hash(std::uint32_t, std::uint32_t key) { return key; }
};
