#pragma once
// The entry accessor of a shared-memory table entity T: the specialisation
// of Asic::TableAccessorImpl for tables whose entries and write responses
// live in shared-memory map bindings (T::EntryMap, T::WriteResponseMap).
// The notifying accessor (X2/Support/Accessor.h) is the same for both shapes.
//
// What T supplies besides its entry and write-response types: entryMap() and
// writeResponseMap(), entryArrays(Entry const&) (the data byte arrays in
// memory order), the operations entryDel, entryNotify, writeResponseIs and
// writeResponseDel.
//
// Entries as the accessor sees them:
//   - reads (entryExists, entryIsValid, entryTransactionId, entryDataPtr)
//     answer from the entry map's kept record (Vorn::VornMap::lookupKept):
//     the questions the hardware side asks about one notified key share one
//     lookup and one consistent record. entryDataPtr's span has the array's
//     current size (0 for an absent entry) and stays valid until the next
//     call on the table;
//   - entryDataPtrIs edits the stored record in place (created empty when
//     absent, the array grown to its capacity); the edit is committed by
//     entryPublish or by the table's next change, and is seen by lookups at
//     once, by other processes once committed.
//
// Roles: a process that mounts the entry map as a reader may call the read
// operations and, when it mounts the write-response map as the writer, the
// write-response operations (the hardware agent's role). The entry-changing
// operations (entryDataPtrIs, entryPublish, entryPublishIfValid,
// entryDelete) need the entry map's writer; a reader's map refuses them by
// stopping with "write to read-only Vorn table" (or "remove to ..."), as it
// refuses any write. A corrupt map met by a write stops the process with
// "in no man's land" after the map's corruption handler.
#include <cstdint>
#include <span>
#include <tuple>
#include <type_traits>

#include "X2/Support/Accessor.h"

namespace Asic {

namespace AccessorDetail {

template <class T>
concept SharedShape = requires { typename T::EntryMap; typename T::WriteResponseMap; };

// Capacities of the data byte arrays of T::Entry, in memory order.
template <class Tuple>
struct ArrayCapacities;
template <class... A>
struct ArrayCapacities<std::tuple<A...>> {
    static constexpr std::uint32_t kValues[] = {std::remove_cvref_t<A>::kCapacity...};
};

}  // namespace AccessorDetail

template <class T, CollectionId C, unsigned K>
    requires AccessorDetail::SharedShape<T>
class TableAccessorImpl<T, C, K> final : public IndexTableAccessor, public TableAccessorCommonImpl<T, C, K> {
    using Entry = typename T::Entry;
    using EntryIndex = typename Entry::Index;
    using Arrays = decltype(T::entryArrays(std::declval<Entry const&>()));
    using TableAccessorCommonImpl<T, C, K>::table_;

    static constexpr HwTable::MemId kMemIdMax = Entry::kDataArrays - 1;
    static constexpr auto const& kSizes = AccessorDetail::ArrayCapacities<Arrays>::kValues;

    static EntryIndex index(void const* key) { return EntryIndex(AccessorDetail::keyValue(key)); }
    static void checkMemId(HwTable::MemId m) { (void)typename Entry::DataMemId(m); }
    Entry const* kept(EntryIndex i) const { return table_->entryMap().lookupKept(i.value()); }

    // Calls f(array) with data byte array m of e.
    template <class F>
    static void withArray(Entry const& e, HwTable::MemId m, F&& f) {
        std::apply(
            [&](auto const&... a) {
                HwTable::MemId k = 0;
                (void)((k++ == m ? (f(a), true) : false) || ...);
            },
            T::entryArrays(e));
    }

public:
    static_assert(C == 0 && K == 0, "a table has the single collection 0");
    explicit TableAccessorImpl(T* table) : TableAccessorCommonImpl<T, C, K>(table) {}

    HwTable::OptionalWriteResponse writeResponse(void const* key) const override {
        typename T::WriteResponseValue w;
        Vorn::IterHint h;
        if (!table_->writeResponseMap().safeLookup(index(key).value(), w, h)) return {};
        return {w.transactionId, w.entryState, w.entryIndex().value(), true};
    }
    void updateWriteResponse(void const* key, HwTable::WriteResponse const& w) override {
        table_->writeResponseIs(typename T::WriteResponse(index(key), w.transactionId, w.entryState));
    }
    void deleteWriteResponse(void const* key) override { table_->writeResponseDel(index(key)); }

    unsigned numOfSubEntries() const override { return 1; }
    bool entryExists(void const* key) const override { return kept(index(key)) != nullptr; }
    bool entryIsValid(void const* key, unsigned) const override {
        Entry const* e = kept(index(key));
        return e ? e->isValid() : Entry().isValid();
    }
    TransactionId entryTransactionId(void const* key) const override {
        Entry const* e = kept(index(key));
        return e ? e->transactionId() : 0;
    }
    HwTable::MemId entryDataMemIdMax() const override { return kMemIdMax; }
    std::uint32_t entryDataMaxSize(HwTable::MemId m) const override {
        checkMemId(m);
        return kSizes[m];
    }

    std::span<unsigned char const> entryDataPtr(void const* key, HwTable::MemId m) const override {
        Entry const* e = kept(index(key));
        checkMemId(m);
        std::span<unsigned char const> out;
        if (e) withArray(*e, m, [&](auto const& a) { out = {a.data(), a.size()}; });
        return out;
    }

    std::span<unsigned char> entryDataPtrIs(void const* key, HwTable::MemId m) override {
        Entry* e = inPlace(index(key));  // stays when the memory id is then refused
        checkMemId(m);
        std::span<unsigned char> out;
        withArray(*e, m, [&](auto const& a) {
            // The record is the map's, being edited: not a const object.
            auto& array = const_cast<std::remove_cvref_t<decltype(a)>&>(a);
            if (array.size() < array.capacity()) array.sizeIs(array.capacity());
            out = {array.data(), array.capacity()};
        });
        return out;
    }

    void entryPublish(Index index, TransactionId tid) override { publish(EntryIndex(index), tid); }

    void entryPublishIfValid(Index index, TransactionId tid) override {
        EntryIndex const i(index);
        Entry const* e = kept(i);
        if (e && e->isValid())
            publish(i, tid);
        else
            table_->entryDel(i);
        if constexpr (requires(Entry& x) { x.doClearEccFields(); }) {
            e = kept(i);
            if (e && e->isValid()) {
                inPlace(i)->doClearEccFields();
                table_->entryMap().editCommit();  // not published
            }
        }
    }

    void entryDelete(Index index) override { table_->entryDel(EntryIndex(index)); }

    // The common step of entryPublish, for the notifying accessor too.
    void publish(EntryIndex i, TransactionId tid) {
        inPlace(i)->transactionIdIs(tid);
        table_->entryMap().editCommit();
        table_->entryNotify(i);
    }

private:
    Entry* inPlace(EntryIndex i) { return table_->entryMap().editInPlace(typename T::EntryValue(Entry(i))); }
};

}  // namespace Asic
