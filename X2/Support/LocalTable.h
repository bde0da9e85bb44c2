#pragma once
// X2::LocalCollections: the collections of a local-collection table entity
// and every operation on them, written once for all 85 such tables.
//
// A generated table T (an Asic::DirectIndexTable) holds one
// LocalCollections<T::HN_Entry, T::HN_WriteResponse> (or, in a read table,
// <T::HN_Entry, T::HN_ReadRequest>) and forwards its operations to it in one
// line each. Members, in construction order (destruction runs backwards):
//
//   Lumo::Publisher& pub_;                  the table's publisher
//   HashMap2018<HN_Entry, Index, Entry>     entries_   (initial size 1)
//   Lumo::Ptr<Collection>                   entryControl_: the memory mirror
//   HashMap2018<HN_Record, Key, Record>     records_   (write responses or read requests)
//   Asic::TransactionId                     bulk_      (read tables: the bulk read response)
//
// The memory mirror holds one attribute per data byte array (ids 4, 5, ...)
// for the indices 0..Index::max(). Every stored entry's bytes are written to
// it before the entry is stored, and its slot is reset when the entry is
// removed; an absent entry reads as the mirror's bytes. The read-all key of
// a read table lies beyond the mirror and has no slot there. The mirror
// reloads an entry through mirrorReload (installed as its reload callback):
// valid bytes insert or replace the entry, invalid bytes delete it. Neither
// the reload nor a direct write (entryDirectIs) publishes.
//
// Publication: entry changes publish (770, index); write-response and
// read-request changes publish recursively (772, index, previous record);
// the bulk read response (775, no key, previous id); a new entry control
// (771, no key, previous control).
//
// Pointers returned by entryDirect / entryDirectIs point into a bucket and
// stay valid only until the next insertion or removal of an entry.
//
// Threads: the owning agent's thread only, no locks.
#include <array>
#include <cstdint>
#include <cstring>
#include <span>
#include <tuple>
#include <type_traits>
#include <utility>

#include "Asic/DirectIndexTable.h"
#include "Asic/Types.h"
#include "Lumo/Assert.h"
#include "Lumo/Node.h"
#include "Lumo/Publisher.h"
#include "Pell/Core/Collection.h"
#include "Pell/Core/EntityDestructor.h"
#include "Vex/HashMap2018.h"
#include "X2/Support/Entry.h"
#include "X2/Support/Registry.h"

namespace X2 {

// Field ids of a table entity's attributes.
inline constexpr Lumo::FieldId kEntryAttrId = 770;
inline constexpr Lumo::FieldId kEntryControlAttrId = 771;
inline constexpr Lumo::FieldId kWriteResponseAttrId = 772;
inline constexpr Lumo::FieldId kWriteResponseControlAttrId = 773;
inline constexpr Lumo::FieldId kReadRequestAttrId = 772;
inline constexpr Lumo::FieldId kReadRequestIsAttrId = 773;
inline constexpr Lumo::FieldId kAddReadAllRequestAttrId = 774;
inline constexpr Lumo::FieldId kBulkReadResponseAttrId = 775;

using Asic::kReadAllIndex;

// Equality of the values published as previous values.
bool asicIndexIsEq(void const* a, void const* b);      // Asic::Index
bool transactionIdIsEq(void const* a, void const* b);  // Asic::TransactionId
bool controlIsEq(void const* a, void const* b);        // Lumo::Ptr<Collection>

// ---- node types ----------------------------------------------------------------

// Entry node: the entry (transaction id, then one counted pointer per data
// byte array) followed by its 32-bit key. The generated HN_Entry adds its
// hash seed and `arrays(entry)`, a tuple of the entry's data byte arrays.
template <class E>
struct EntryNode {
    static constexpr std::uint32_t kKeyOffset = sizeof(E);
    E value;
    std::uint32_t key = 0;
    std::uint32_t pad_ = 0;

    EntryNode(std::uint32_t k, E const& v) : value(v), key(k) {}
    EntryNode(std::uint32_t k, E&& v) : value(std::move(v)), key(k) {}
    std::uint32_t nodeKey() const { return key; }
    E& nodeValue() { return value; }
    E const& nodeValue() const { return value; }
};

// Write-response node: the record itself, whose entryIndex (bytes 12..15)
// is the key.
template <class W>
struct WriteResponseNode : W {
    static constexpr std::uint32_t kKeyOffset = 12;

    WriteResponseNode(std::uint32_t k, W const& w) : W(w) { checkKey(k); }
    std::uint32_t nodeKey() const { return this->entryIndex().value(); }
    W& nodeValue() { return *this; }
    W const& nodeValue() const { return *this; }

private:
    void checkKey(std::uint32_t k) const {
        LUMO_FMASSERT(nodeKey() == k, "Vex::HashMap2018", "fwkKey() == KeyFunktor()( _value )");
    }
};

// Read-request node: the request, then its Asic::Index key.
struct ReadRequestNode {
    static constexpr std::uint32_t kKeyOffset = 8;
    Asic::HwTable::ReadRequest value;
    std::uint32_t key = 0;
    std::uint32_t pad_ = 0;

    ReadRequestNode(std::uint32_t k, Asic::HwTable::ReadRequest const& v) : value(v), key(k) {}
    std::uint32_t nodeKey() const { return key; }
    Asic::HwTable::ReadRequest& nodeValue() { return value; }
    Asic::HwTable::ReadRequest const& nodeValue() const { return value; }
};
static_assert(sizeof(ReadRequestNode) == 16 && std::is_trivially_copyable_v<ReadRequestNode>);

// ---- the collections -----------------------------------------------------------

template <class HnEntry, class HnRecord>
class LocalCollections {
public:
    using Entry = std::remove_cvref_t<decltype(std::declval<HnEntry&>().nodeValue())>;
    using Index = typename Entry::Index;
    using Record = std::remove_cvref_t<decltype(std::declval<HnRecord&>().nodeValue())>;
    static constexpr bool kReadTable = std::is_same_v<Record, Asic::HwTable::ReadRequest>;
    using RecordKey = std::conditional_t<kReadTable, Asic::Index, Index>;
    using EntryMap = Vex::HashMap2018<HnEntry, Index, Entry>;
    using RecordMap = Vex::HashMap2018<HnRecord, RecordKey, Record>;
    using Control = Pell::Core::Memory::Control::Collection;
    using ControlPtr = Lumo::Ptr<Control>;

    // Indices with a slot in the memory mirror: 0..Index::max().
    static constexpr std::uint32_t kEntryCount = Index::max() + 1;

private:
    using ArrayTuple = decltype(HnEntry::arrays(std::declval<Entry const&>()));
    template <std::size_t... K>
    static constexpr std::array<std::uint32_t, sizeof...(K)> sizesOf(std::index_sequence<K...>) {
        return {std::uint32_t(std::remove_cvref_t<std::tuple_element_t<K, ArrayTuple>>::kBytes)...};
    }

public:
    static constexpr auto kArraySizes = sizesOf(std::make_index_sequence<std::tuple_size_v<ArrayTuple>>{});
    static_assert(kArraySizes.size() == Entry::kDataArrays);
    static_assert(sizeof(HnEntry) == 16 + 16 * Entry::kDataArrays, "entry node: tid, 16 bytes per array, key");
    static_assert(sizeof(HnRecord) == 16 && std::is_trivially_copyable_v<HnRecord>);

    explicit LocalCollections(Lumo::Publisher& pub, Pell::Core::Memory::Control::ChunkFunction chunkFunction =
                                                         &Pell::Core::Memory::Control::packedChunks)
        : pub_(pub), entries_(1), entryControl_(Pell::Core::Memory::Control::initializeCollection(*this, chunkFunction)),
          records_(1) {}
    ~LocalCollections() { unbindMirror(entryControl_.ptr()); }
    LocalCollections(LocalCollections const&) = delete;
    LocalCollections& operator=(LocalCollections const&) = delete;

    EntryMap const& entryMap() const { return entries_; }
    RecordMap const& recordMap() const { return records_; }

    // ---- entries ----

    // The stored entry (sharing its data blocks), else the mirror's bytes
    // with transaction id 0.
    Entry entry(Index i) const {
        if (HnEntry const* n = entries_.lookupNode(i)) return n->nodeValue();
        return fromMirror(i.value());
    }

    void entryIs(Index i, Entry const& e) {
        HnEntry* n = entries_.lookupNode(i);
        if (n && Entry::isEq(&n->nodeValue(), &e)) return;  // the same entry, or an equal one
        mirrorWrite(i.value(), e);
        if (n)
            n->nodeValue() = e;  // in place: transaction id and shared blocks
        else
            entries_.insert(i, e);
        pub_.publishChange(kEntryAttrId, i.value());
    }

    Entry entryDel(Index i) {
        Entry out;
        if (!entries_.erase(i, out)) return Entry();
        mirrorReset(i.value());
        pub_.publishChange(kEntryAttrId, i.value());
        return out;
    }

    // Every stored entry is deleted one by one, each resetting its mirror slot.
    void entryDelAll() {
        for (auto it = entries_.iterator(); !it.atEnd(); it.advance()) entryDel(Index(it.key()));
    }

    Entry const* entryDirect(Index i) const { return entries_.find(i); }

    Entry* entryDirectIs(Index i) {
        if (Entry* e = entries_.find(i)) return e;
        return &entries_.insert(i, fromMirror(i.value())).first->nodeValue();
    }

    // entryDirect through the entry map's one-node memo, for a caller that
    // reads one index in several steps (the hardware accessors). Same result,
    // same pointer lifetime.
    Entry const* entryRecent(Index i) const { return entries_.findRecent(i); }
    // The entry at index value i if the memo holds it; null sends the caller
    // to entryRecent (i need not be in range: out of range, it is never held).
    Entry const* entryMemo(std::uint32_t i) const { return entries_.peekRecent(i); }

    bool entryDirectDel(Index i) {
        if (!entries_.erase(i)) return false;
        mirrorReset(i.value());
        pub_.publishChange(kEntryAttrId, i.value());
        return true;
    }

    void entryNotify(Index i) { pub_.publishChange(kEntryAttrId, i.value()); }

    ControlPtr const& entryControl() const { return entryControl_; }

    void entryControlIs(ControlPtr const& c) {
        if (c == entryControl_) return;
        ControlPtr old = std::move(entryControl_);
        entryControl_ = c;
        pub_.publishChangeRecursive(kEntryControlAttrId, Lumo::ChangeKey::none(), &old, &controlIsEq);
        unbindMirror(old.ptr());
    }  // the old control is released here

    // ---- write responses ----
    //
    // The operations of one record kind are templates constrained on the
    // table kind rather than plain constrained members: an explicit
    // instantiation of the class then leaves the other kind's operations out
    // on every compiler (some instantiate constrained members regardless).

    template <bool kRead = kReadTable>
    Record writeResponse(Index i) const
        requires(!kRead)
    {
        Record const* r = records_.find(i);
        return r ? *r : Record();
    }

    template <bool kRead = kReadTable>
    void writeResponseIs(Record const& w)
        requires(!kRead)
    {
        Index const i = w.entryIndex();
        if (HnRecord* n = records_.lookupNode(i)) {
            Record& cur = n->nodeValue();
            if (Record::isEq(&cur, &w)) return;
            Record const prev = cur;
            cur.transactionId = w.transactionId;
            cur.entryState = w.entryState;
            pub_.publishChangeRecursive(kWriteResponseAttrId, i.value(), &prev, &Index::isEq);
            return;
        }
        records_.insert(i, w);
        pub_.publishChangeRecursive(kWriteResponseAttrId, i.value(), nullptr, &Index::isEq);
    }

    template <bool kRead = kReadTable>
    Record writeResponseDel(Index i)
        requires(!kRead)
    {
        Record out;
        if (!records_.erase(i, out)) return Record();
        pub_.publishChangeRecursive(kWriteResponseAttrId, i.value(), &out, &Index::isEq);
        return out;
    }

    // Nobody watching: one step, no publication. Otherwise one by one.
    template <bool kRead = kReadTable>
    void writeResponseDelAll()
        requires(!kRead)
    {
        if (pub_.noSubscribers()) {
            records_.clear();
            return;
        }
        for (auto it = records_.iterator(); !it.atEnd(); it.advance()) writeResponseDel(Index(it.key()));
    }

    // ---- read requests and the bulk read response ----

    template <bool kRead = kReadTable>
    void readRequestIs(Asic::Index i, Asic::HwTable::ReadRequest const& r)
        requires(kRead)
    {
        if (HnRecord* n = records_.lookupNode(i)) {
            Record& cur = n->nodeValue();
            if (cur == r) return;
            Record const prev = cur;
            cur = r;
            pub_.publishChangeRecursive(kReadRequestAttrId, i, &prev, &asicIndexIsEq);
            return;
        }
        records_.insert(i, r);
        pub_.publishChangeRecursive(kReadRequestAttrId, i, nullptr, &asicIndexIsEq);
    }

    template <bool kRead = kReadTable>
    Asic::HwTable::ReadRequest readRequest(Asic::Index i) const
        requires(kRead)
    {
        Record const* r = records_.find(i);
        return r ? *r : Record();
    }

    template <bool kRead = kReadTable>
    Asic::HwTable::ReadRequest readRequestDel(Asic::Index i)
        requires(kRead)
    {
        Record out;
        if (!records_.erase(i, out)) return Record();
        pub_.publishChangeRecursive(kReadRequestAttrId, i, &out, &asicIndexIsEq);
        return out;
    }

    template <bool kRead = kReadTable>
    void readRequestDelAll()
        requires(kRead)
    {
        if (pub_.noSubscribers()) {
            records_.clear();
            return;
        }
        for (auto it = records_.iterator(); !it.atEnd(); it.advance()) readRequestDel(it.key());
    }

    template <bool kRead = kReadTable>
    Asic::TransactionId bulkReadResponse() const
        requires(kRead)
    {
        return bulk_;
    }

    template <bool kRead = kReadTable>
    void bulkReadResponseIs(Asic::TransactionId const& t)
        requires(kRead)
    {
        if (t == bulk_) return;
        Asic::TransactionId const prev = bulk_;
        bulk_ = t;
        pub_.publishChangeRecursive(kBulkReadResponseAttrId, Lumo::ChangeKey::none(), &prev, &transactionIdIsEq);
    }

    // ---- the memory mirror's side (Pell::Core::Memory::Control::initializeCollection) ----

    std::uint32_t mirrorEntryCount() const { return kEntryCount; }
    std::span<std::uint32_t const> mirrorAttributeSizes() const { return kArraySizes; }

    // Rebuilds the entry at `index` from the mirror's bytes.
    void mirrorReload(unsigned index) {
        if (index >= kEntryCount) Asic::indexOutOfRange(Index::kTypeName, index);
        Index const i(index);
        Entry e = fromMirror(index);
        if (e.isValid())
            entries_.insertOrAssign(i, std::move(e));
        else
            entries_.erase(i);
    }

private:
    template <class F>
    static void forEachArray(Entry const& e, F&& f) {
        std::apply(
            [&](auto const&... a) {
                std::uint32_t k = 0;
                (f(k++, a), ...);
            },
            HnEntry::arrays(e));
    }

    // An array left null reads as zeros, so an all-zero mirror slot costs no block.
    Entry fromMirror(std::uint32_t i) const {
        Entry e;
        Control const* c = entryControl_.ptr();
        if (!c || i >= kEntryCount) return e;
        forEachArray(e, [&](std::uint32_t k, auto const& a) {
            std::span<std::uint8_t const> src = c->bytes(Pell::Core::Memory::Control::kFirstAttributeId + k, i);
            constexpr std::size_t cap = std::remove_cvref_t<decltype(a)>::kBytes;
            std::size_t const n = src.size() < cap ? src.size() : cap;
            for (std::size_t b = 0; b < n; ++b) {
                if (src[b]) {
                    std::memcpy(a.allocate(), src.data(), n);
                    break;
                }
            }
        });
        return e;
    }

    void mirrorWrite(std::uint32_t i, Entry const& e) {
        Control* c = entryControl_.ptr();
        if (!c || i >= kEntryCount) return;
        forEachArray(e, [&](std::uint32_t k, auto const& a) {
            constexpr std::size_t cap = std::remove_cvref_t<decltype(a)>::kBytes;
            static_assert(cap <= sizeof Impl::kZeroBlock);
            std::uint8_t const* p = a.get() ? a.get() : Impl::kZeroBlock;
            c->bytesIs(Pell::Core::Memory::Control::kFirstAttributeId + k, i, {p, cap});
        });
    }

    void mirrorReset(std::uint32_t i) {
        if (Control* c = entryControl_.ptr(); c && i < kEntryCount) c->reset(i);
    }

    // A control this table bound keeps calling back until the table lets it go.
    void unbindMirror(Control* c) {
        if (c && c->reloadCallback().context == this) c->reloadCallbackIs({});
    }

    Lumo::Publisher& pub_;
    EntryMap entries_;
    ControlPtr entryControl_;
    RecordMap records_;
    Asic::TransactionId bulk_ = 0;
};

// ---- what the registry knows of a local table ------------------------------------

template <class T>
struct LocalTableOpsFor {
    using Entry = typename T::Entry;
    using C = typename T::Collections;
    static T& self(Asic::DirectIndexTable& t) { return static_cast<T&>(t); }
    static T const& self(Asic::DirectIndexTable const& t) { return static_cast<T const&>(t); }

    static Lumo::Ptr<Asic::DirectIndexTable> create(Lumo::String const& name) {
        return Lumo::Ptr<Asic::DirectIndexTable>(new T(name));
    }
    static void entry(Asic::DirectIndexTable const& t, std::uint32_t i, void* out) {
        *static_cast<Entry*>(out) = self(t).entry(i);
    }
    static void entryIs(Asic::DirectIndexTable& t, std::uint32_t i, void const* e) {
        self(t).entryIs(i, *static_cast<Entry const*>(e));
    }
    static void entryDel(Asic::DirectIndexTable& t, std::uint32_t i, void* out) {
        *static_cast<Entry*>(out) = self(t).entryDel(i);
    }
    static void entryDelAll(Asic::DirectIndexTable& t) { self(t).entryDelAll(); }
    static std::uint32_t entryCount(Asic::DirectIndexTable const& t) { return self(t).collections().entryMap().size(); }
    static void forEachEntry(Asic::DirectIndexTable const& t, EntryVisitor fn, void* ctx) {
        for (auto it = self(t).collections().entryMap().iterator(); !it.atEnd(); it.advance())
            fn(ctx, it.key(), &it.value());
    }
    static Lumo::Ptr<Pell::Core::Memory::Control::Collection> entryControl(Asic::DirectIndexTable const& t) {
        return self(t).entryControl();
    }
    static void recordIs(Asic::DirectIndexTable& t, std::uint32_t i, Asic::TransactionId tid,
                         Asic::HwTable::EntryState state) {
        if constexpr (C::kReadTable) {
            (void)state;
            self(t).readRequestIs(i, Asic::HwTable::ReadRequest{tid});
        } else {
            self(t).writeResponseIs(typename T::WriteResponse(i, tid, state));
        }
    }
    static Asic::TransactionId recordDel(Asic::DirectIndexTable& t, std::uint32_t i) {
        if constexpr (C::kReadTable)
            return self(t).readRequestDel(i).transactionId;
        else
            return self(t).writeResponseDel(i).transactionId;
    }
    static void recordDelAll(Asic::DirectIndexTable& t) {
        if constexpr (C::kReadTable)
            self(t).readRequestDelAll();
        else
            self(t).writeResponseDelAll();
    }
    static std::uint32_t recordCount(Asic::DirectIndexTable const& t) { return self(t).collections().recordMap().size(); }

    static constexpr TableOps ops() {
        return TableOps{&create,       &entry,     &entryIs,  &entryDel,  &entryDelAll, &entryCount,
                        &forEachEntry, &entryControl, &recordIs, &recordDel, &recordDelAll, &recordCount};
    }
};

}  // namespace X2
