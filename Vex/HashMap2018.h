#pragma once
// Vex::HashMap2018<Node, Key, Value>: the typed front end of the local hash
// map engine (Vex/HashMap2018Generic.h), one instantiation per node type.
//
// It supplies the node type's operations table vt_ (one static instance per
// node type) and the key hashing, and adds an inline lookup that scans the
// bucket with the key read at a compile-time offset, and a lookup through a
// one-node memo for callers that ask for one key several times in a row.
//
// What a node type supplies (generated code or a hand-written test node):
//   static constexpr std::uint32_t kHashSeed;   // per-type constant, XOR-ed with the process seed
//   static constexpr std::uint32_t kKeyOffset;  // byte offset of the 32-bit key in the node
//   std::uint32_t nodeKey() const;             // the key
//   Value& nodeValue(); Value const& nodeValue() const;
//   Node(std::uint32_t key, Value const& v);   // and Node(std::uint32_t key, Value&& v)
// and its shared references through its special members:
//   copy constructor  = take one more reference on each shared pointer ("Copy"),
//   move constructor  = take them over and leave the source without any ("Move"),
//   destructor        = drop them.
// A trivially copyable node (write responses, read requests: 16-byte records
// with the key at bytes 12..15) has all three defaulted, and its operations
// table uses the engine's trivial place, shift and assemble. Nodes must be
// relocatable by copying their bytes (no pointer into themselves), which
// holds for records of words and counted pointers.
//
// Keys: Key is either an unsigned integer or a bounded index type with
// value(); the engine sees the 32-bit value.
#include <cstdint>
#include <cstring>
#include <new>
#include <type_traits>
#include <utility>

#include "Lumo/Assert.h"
#include "Vex/Alloc.h"
#include "Vex/Hash.h"
#include "Vex/HashMap2018Generic.h"

namespace Vex {

// Key hashing of a node type: hashSingleAttr with the type's seed. A test
// may specialise it for its own node type (a constant hash forces every key
// into one bucket).
template <class Node>
struct HashMap2018Hasher {
    static std::uint32_t hash(std::uint32_t seed, std::uint32_t key) { return hashSingleAttr(seed, key); }
};

template <class Node, class Key, class Value>
class HashMap2018 {
    static_assert(alignof(Node) <= 8, "nodes are stored at 8-byte alignment");
    static_assert(sizeof(Node) % 4 == 0, "node size must be a multiple of 4");
    static_assert(Node::kKeyOffset + 4 <= sizeof(Node), "the key lies beyond the node");
    static_assert(Node::kKeyOffset + 4 <= HashMap2018Bucket::kEmptyPadBytes, "key beyond the empty bucket's padding");

public:
    using NodeType = Node;
    using KeyType = Key;
    using ValueType = Value;
    static constexpr bool kTrivial = std::is_trivially_copyable_v<Node>;

    explicit HashMap2018(std::uint32_t initialSize = 1, bool shrink = true)
        : seed_(HashHelper::hashSeed32() ^ Node::kHashSeed), gen_(&vt_, initialSize, shrink) {}

    static std::uint32_t keyBits(Key const& k) {
        if constexpr (std::is_integral_v<Key>)
            return std::uint32_t(k);
        else
            return std::uint32_t(k.value());
    }
    // Seed of this node type: the process seed XOR the type's constant.
    static std::uint32_t seed() { return HashHelper::hashSeed32() ^ Node::kHashSeed; }
    static std::uint32_t hashOf(std::uint32_t key) { return HashMap2018Hasher<Node>::hash(seed(), key); }

    std::uint32_t size() const { return gen_.size(); }
    bool empty() const { return gen_.size() == 0; }

    Node* lookupNode(Key const& k) const { return lookupBits(keyBits(k)); }
    Value* find(Key const& k) {
        Node* n = lookupNode(k);
        return n ? &n->nodeValue() : nullptr;
    }
    Value const* find(Key const& k) const {
        Node const* n = lookupNode(k);
        return n ? &n->nodeValue() : nullptr;
    }
    bool contains(Key const& k) const { return lookupNode(k) != nullptr; }

    // Lookup through a one-node memo, for callers that ask for one key
    // several times in a row with nothing inserted or removed in between
    // (the hardware side makes one call per step of an entry change). The
    // memo holds the key last asked here and its node, or its absence. Every
    // insertion, removal and clear forgets it before touching the buckets,
    // since any of them may move or free nodes (shifts, rebuilds, copy on
    // write, rehash); a value changed in place stays in its node, so the memo
    // stays right. Plain lookups neither read nor set it.
    Node* lookupNodeRecent(Key const& k) const {
        std::uint64_t const tag = kRecentValid | keyBits(k);
        if (__builtin_expect(recentTag_ == tag, 1)) return recentNode_;
        return lookupRecentSlow(tag);
    }
    Value* findRecent(Key const& k) {
        Node* n = lookupNodeRecent(k);
        return n ? &n->nodeValue() : nullptr;
    }
    Value const* findRecent(Key const& k) const {
        Node const* n = lookupNodeRecent(k);
        return n ? &n->nodeValue() : nullptr;
    }
    // The memo's node if the memo holds the key with these bits and found it
    // present; null otherwise (not held, or held as absent). Never looks up:
    // for a caller's fast path that falls back to findRecent.
    Value const* peekRecent(std::uint32_t keyBits) const {
        return recentTag_ == (kRecentValid | keyBits) && recentNode_ ? &recentNode_->nodeValue() : nullptr;
    }

    // Inserts unless the key is present; returns the map's node and whether
    // it was inserted (an existing value is left as it is).
    // A bucket with room that nobody else holds takes the node here, with the
    // node type known; a new, full or shared bucket goes to the engine.
    template <class V>
    std::pair<Node*, bool> insert(Key const& k, V&& v) {
        namespace B = HashMap2018Bucket;
        forgetRecent();
        std::uint32_t const key = keyBits(k);
        std::uint32_t const hash = hashBits(key);
        KeyPos const p = locate(key, hash);
        if (p.found) return {p.nodes + p.pos, false};
        Node tmp(key, std::forward<V>(v));
        if (p.live < p.length && p.hdr[1] == 1) {
            if (p.pos < p.live) {
                // Relocation by bytes (see above): the nodes keep their references.
                std::memmove(static_cast<void*>(p.nodes + p.pos + 1), p.nodes + p.pos, (p.live - p.pos) * sizeof(Node));
                std::uint32_t* hs = B::hashes(p.hdr, sizeof(Node));
                for (std::uint32_t i = p.live; i > p.pos; --i) hs[i] = hs[i - 1];
            }
            ::new (static_cast<void*>(p.nodes + p.pos)) Node(std::move(tmp));
            B::hashes(p.hdr, sizeof(Node))[p.pos] = hash;
            *p.hdr = B::make(p.length, p.live + 1, *p.hdr);
            if (gen_.noteInlineInsert()) return {lookupBits(key), true};
            return {p.nodes + p.pos, true};
        }
        bool inserted = false;
        void* at = gen_.newMemberG(&vt_, HashMap2018KeyAndHash{&key, hash}, &tmp, &inserted);
        return {static_cast<Node*>(at), inserted};
    }
    // Inserts, or replaces the value of the existing node.
    template <class V>
    Node* insertOrAssign(Key const& k, V&& v) {
        if (Node* n = lookupNode(k)) {
            n->nodeValue() = std::forward<V>(v);
            // A record that carries its key (write responses) must keep it:
            // a node whose key changed would break the bucket order.
            LUMO_FMASSERT(n->nodeKey() == keyBits(k), "Vex::HashMap2018", "fwkKey() == KeyFunktor()( _value )");
            return n;
        }
        return insert(k, std::forward<V>(v)).first;
    }
    // Removes the key; false when absent. The engine's in-place case (an
    // unshared bucket that keeps its block) runs here with the node type
    // known; shared or shrinking buckets go to the engine.
    bool erase(Key const& k) {
        namespace B = HashMap2018Bucket;
        forgetRecent();
        std::uint32_t const key = keyBits(k);
        std::uint32_t const hash = hashBits(key);
        KeyPos const p = locate(key, hash);
        if (!p.found) return false;
        if (__builtin_expect(p.hdr[1] != 1 || !(p.live == 1 || p.length <= 4 || (p.live - 1) * 2 > p.length), 0))
            return gen_.deleteMemberG(&vt_, HashMap2018KeyAndHash{&key, hash}, nullptr);
        p.nodes[p.pos].~Node();
        if (p.pos + 1 < p.live) {
            std::memmove(static_cast<void*>(p.nodes + p.pos), p.nodes + p.pos + 1, (p.live - p.pos - 1) * sizeof(Node));
            std::uint32_t* hs = B::hashes(p.hdr, sizeof(Node));
            for (std::uint32_t i = p.pos + 1; i < p.live; ++i) hs[i - 1] = hs[i];
        }
        *p.hdr = B::make(p.length, p.live - 1, *p.hdr);
        gen_.noteInlineDelete();
        return true;
    }
    // Removes the key and moves its value to `out`; false (out untouched) when absent.
    bool erase(Key const& k, Value& out) {
        forgetRecent();
        std::uint32_t const key = keyBits(k);
        alignas(Node) unsigned char buf[sizeof(Node)];
        if (!gen_.deleteMemberG(&vt_, HashMap2018KeyAndHash{&key, hashBits(key)}, buf)) return false;
        Node* n = std::launder(reinterpret_cast<Node*>(buf));
        out = std::move(n->nodeValue());
        n->~Node();
        return true;
    }
    void clear() {
        forgetRecent();
        gen_._memberDelAll(&vt_);
    }

    // Read-only: every change goes through the operations above, which keep
    // the lookup memo right.
    HashMap2018Generic const& generic() const { return gen_; }
    std::size_t bytesUsed() const { return gen_.bytesUsed(); }

    // Iteration in the engine's order; see the iterator rules of the engine.
    class Iterator {
    public:
        explicit Iterator(HashMap2018 const& m) : it_(m.gen_, &vt_) {}
        Iterator(HashMap2018 const& m, Key const& start)
            : it_(m.gen_, &vt_, keyAndHash(keyBits(start), m.seed_)) {}
        bool atEnd() const { return it_.atEnd(); }
        explicit operator bool() const { return !it_.atEnd(); }
        Node* node() const { return static_cast<Node*>(it_.currNodeMaybeStale()); }
        Node* liveNode() const { return static_cast<Node*>(it_.currNodeNonStale()); }
        std::uint32_t key() const { return node()->nodeKey(); }
        Value const& value() const { return node()->nodeValue(); }
        void advance() { it_.advance(); }
        HashMap2018IteratorGeneric& generic() { return it_; }

    private:
        static HashMap2018KeyAndHash keyAndHash(std::uint32_t const& key, std::uint32_t seed) {
            return HashMap2018KeyAndHash{&key, HashMap2018Hasher<Node>::hash(seed, key)};
        }
        HashMap2018IteratorGeneric it_;
    };
    Iterator iterator() const { return Iterator(*this); }
    Iterator iterator(Key const& start) const { return Iterator(*this, start); }

    // ---- the node type's operations ----

    // Platform interface name: keep it.
    static void bktHdrRefDec(std::uint32_t* hdr) {
        if (!HashMap2018Generic::bktHdrRefDecHelper(hdr)) return;
        std::uint32_t const length = HashMap2018Bucket::length(*hdr);
        allocTracker<Node>()._trackDeallocation(typeid(Node), sizeof(Node) + 4, length);
        if constexpr (!kTrivial) {
            Node* n = reinterpret_cast<Node*>(HashMap2018Bucket::nodes(hdr));
            for (std::uint32_t i = 0, live = HashMap2018Bucket::live(*hdr); i < live; ++i) n[i].~Node();
        }
        HashMap2018Generic::bucketFree(hdr, sizeof(Node));
    }
    // Platform interface name: keep it.
    static bool keyEqualsNode(void const* key, void const* node) {
        return *static_cast<std::uint32_t const*>(key) == static_cast<Node const*>(node)->nodeKey();
    }
    // Platform interface name: keep it.
    static void place(HashMap2018VTable const*, void* dst, void* src, HashMap2018MoveOrCopy how) {
        Node* s = static_cast<Node*>(src);
        if (how == HashMap2018MoveOrCopy::Move)
            ::new (dst) Node(std::move(*s));
        else
            ::new (dst) Node(static_cast<Node const&>(*s));
    }
    // Platform interface name: keep it.
    static void shift(HashMap2018VTable const*, void* nodes, std::uint32_t from, std::uint32_t live,
                      std::int32_t slotsToShift) {
        char* base = static_cast<char*>(nodes);
        constexpr std::size_t ns = sizeof(Node);
        if (slotsToShift > 0) {
            shiftOpen(base, from, live, slotsToShift);
            return;
        }
        std::uint32_t const n = std::uint32_t(-slotsToShift);
        Node* gap = reinterpret_cast<Node*>(base + from * ns);
        for (std::uint32_t i = 0; i < n; ++i) gap[i].~Node();
        if (from + n < live) std::memmove(base + from * ns, base + (from + n) * ns, (live - from - n) * ns);
    }
    // The opening half of shift, apart so that closing (every deletion) runs
    // without the assertion's frame.
    __attribute__((noinline)) static void shiftOpen(char* base, std::uint32_t from, std::uint32_t live,
                                                    std::int32_t slotsToShift) {
        constexpr std::size_t ns = sizeof(Node);
        LUMO_FMASSERT(slotsToShift == 1, "Vex::HashMap2018", "slotsToShift == 1");
        // Relocation by bytes: the nodes keep their references; position
        // `from` is raw afterwards and is placed into next.
        std::memmove(base + (from + 1) * ns, base + from * ns, (live - from) * ns);
    }
    // Platform interface name: keep it.
    static void newBucketAssemble(HashMap2018VTable const* vt, std::uint32_t newLength, void* dst,
                                  HashMap2018Sources const& sources) {
        allocTracker<Node>()._trackAllocation(typeid(Node), sizeof(Node) + 4, newLength);
        if constexpr (kTrivial) {
            // Copied here, with the node size known: most arrays are one
            // run of one or two nodes.
            (void)vt;
            char* out = static_cast<char*>(dst);
            for (std::uint8_t r = 0; r < sources.count; ++r) {
                std::size_t const bytes = std::size_t(sources.runs[r].count) * sizeof(Node);
                if (sources.runs[r].count == 1)
                    std::memcpy(out, sources.runs[r].src, sizeof(Node));
                else
                    std::memcpy(out, sources.runs[r].src, bytes);
                out += bytes;
            }
        } else {
            Node* out = static_cast<Node*>(dst);
            for (std::uint8_t r = 0; r < sources.count; ++r) {
                Node* src = static_cast<Node*>(sources.runs[r].src);
                for (std::uint32_t i = 0; i < sources.runs[r].count; ++i) place(vt, out++, src + i, sources.runs[r].how);
            }
        }
    }
    // Platform interface name: keep it.
    static std::uint32_t compareOrLruUnlink(void const* key, void const* nodeA, void const* nodeB) {
        std::uint32_t const a =
            nodeA ? static_cast<Node const*>(nodeA)->nodeKey() : *static_cast<std::uint32_t const*>(key);
        std::uint32_t const b = static_cast<Node const*>(nodeB)->nodeKey();
        return b == a ? 0u : (b > a ? 1u : 2u);
    }

    // constexpr: constant-initialised, so a map built during static
    // initialisation of another library sees the complete table.
    static constexpr HashMap2018NodeInfo nodeInfo_{&typeid(Node), Node::kKeyOffset};
    static constexpr HashMap2018VTable vt_{
        HashMap2018VTable::descriptorFor(sizeof(Node)),
        &bktHdrRefDec,
        &keyEqualsNode,
        kTrivial ? &HashMap2018Generic::trivialPlace : &place,
        kTrivial ? &HashMap2018Generic::trivialShift : &shift,
        &newBucketAssemble,
        &compareOrLruUnlink,
        nullptr,
        &nodeInfo_,
    };

private:
    // Where a key is, or would go, in its bucket.
    struct KeyPos {
        std::uint32_t* hdr;
        Node* nodes;
        std::uint32_t live, length, pos;
        bool found;
    };
    KeyPos locate(std::uint32_t key, std::uint32_t hash) const {
        std::uint32_t* hdr = gen_.bucketOf(hash);
        std::uint32_t const h = *hdr;
        KeyPos p{hdr, reinterpret_cast<Node*>(HashMap2018Bucket::nodes(hdr)), HashMap2018Bucket::live(h),
                 HashMap2018Bucket::length(h), 0, false};
        // At load factor 0.5 most keys sit at node 0: one predictable test.
        // Node 0's key is readable even in the shared empty bucket (padding).
        if (__builtin_expect((p.nodes->nodeKey() == key) & (p.live != 0), 1)) {
            p.found = true;
            return p;
        }
        while (p.pos < p.live && p.nodes[p.pos].nodeKey() < key) ++p.pos;
        p.found = p.pos < p.live && p.nodes[p.pos].nodeKey() == key;
        return p;
    }
    // Bit 32 marks a memo that holds a key: a tag of 0 matches no key.
    static constexpr std::uint64_t kRecentValid = std::uint64_t(1) << 32;
    void forgetRecent() { recentTag_ = 0; }
    // Out of line, so that a memo hit runs without a frame; the lookup is
    // inlined here (flatten), one call deep.
    __attribute__((noinline, flatten)) Node* lookupRecentSlow(std::uint64_t tag) const {
        Node* n = lookupBits(std::uint32_t(tag));
        recentNode_ = n;
        recentTag_ = tag;
        return n;
    }

    std::uint32_t hashBits(std::uint32_t key) const { return HashMap2018Hasher<Node>::hash(seed_, key); }
    Node* lookupBits(std::uint32_t key) const {
        std::uint32_t* hdr = gen_.bucketOf(hashBits(key));
        std::uint32_t const live = HashMap2018Bucket::live(*hdr);
        Node* n = reinterpret_cast<Node*>(HashMap2018Bucket::nodes(hdr));
        // At load factor 0.5 most keys sit at node 0: one predictable test.
        // Node 0's key is readable even in the shared empty bucket (padding).
        if (__builtin_expect((n->nodeKey() == key) & (live != 0), 1)) return n;
        for (std::uint32_t i = 1; i < live; ++i) {
            std::uint32_t const k = n[i].nodeKey();
            if (k >= key) return k == key ? n + i : nullptr;
        }
        return nullptr;
    }

    std::uint32_t seed_;
    HashMap2018Generic gen_;
    // The lookup memo (lookupNodeRecent): the map's thread only, like the map.
    mutable std::uint64_t recentTag_ = 0;
    mutable Node* recentNode_ = nullptr;
};

}  // namespace Vex
