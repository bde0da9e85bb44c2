#pragma once
// The accessors of a table entity: Asic::TableAccessorImpl
// (Asic::IndexTable::Accessor) for the local-collection tables, and
// Asic::NotifyingCollectionAccessorImpl (Asic::IndexTable::NotifyingAccessor)
// for every table, written once. The shared-memory tables' entry accessor is
// the specialisation in X2/Support/SharedAccessor.h.
//
// A generated table T embeds one of each (the notifying one embeds a second
// entry accessor of its own); both hold a plain pointer back to T and have
// no other state, so every change they make goes through T's operations and
// is published exactly as T's own changes are.
//
// What T supplies: Entry (Index, DataMemId, kDataArrays, isValid,
// transactionIdIs, doClearEccFields when it has check bits), HN_Entry::arrays,
// Collections (kReadTable, kArraySizes) and collections() (entryRecent,
// recordMap), the entry operations entry, entryDirectIs, entryDirectDel,
// entryNotify, entryControl, the write-response or read-request operations
// of its kind, and two catalogue
// constants: kDmaBusAddress (the table's data lies in bus-mapped memory) and,
// where the data memories are not one data byte array each, MemAccessHelper.
//
// The optional operations (write responses, read requests, DMA bus address)
// fall back to the interface's defaults in tables that lack them.
//
// Keys (void const*) point at the entry's 32-bit index; a key outside the
// index range raises the index type's range failure like an Asic::Index
// argument. Memory ids above entryDataMemIdMax() raise the table's DataMemId
// range failure, after the entry was looked up (or created).
#include <cstdint>
#include <cstring>
#include <span>
#include <tuple>
#include <utility>

#include "Asic/TableAccessor.h"
#include "Asic/Types.h"
#include "Pell/Core/Collection.h"

namespace Asic {

namespace AccessorDetail {

inline std::uint32_t keyValue(void const* key) {
    std::uint32_t v;
    std::memcpy(&v, key, sizeof v);
    return v;
}

// A read table (read requests instead of write responses); the
// shared-memory tables have none.
template <class T>
constexpr bool readTable() {
    if constexpr (requires { T::Collections::kReadTable; })
        return T::Collections::kReadTable;
    else
        return false;
}

template <class T>
struct Shape {
    using Entry = typename T::Entry;
    using Index = typename Entry::Index;
    static constexpr bool kRead = T::Collections::kReadTable;
    static constexpr bool kDma = T::kDmaBusAddress;
    static constexpr bool kHelper = requires { typename T::MemAccessHelper; };
    static constexpr HwTable::MemId kMemIdMax = Entry::kDataArrays - 1;
    static constexpr auto kSizes = T::Collections::kArraySizes;

    static Index index(void const* key) { return Index(keyValue(key)); }
    static void checkMemId(HwTable::MemId m) { (void)typename Entry::DataMemId(m); }

    // get(array m of e) for a memory id known only at run time; null for
    // an m past the last array.
    template <class Get>
    static unsigned char* onArray(Entry const& e, HwTable::MemId m, Get get) {
        unsigned char* out = nullptr;
        std::apply(
            [&](auto const&... a) {
                HwTable::MemId k = 0;
                (void)((k++ == m ? (out = get(a), true) : false) || ...);
            },
            T::HN_Entry::arrays(e));
        return out;
    }

    // Data array m of a stored entry, allocated (zero-filled) on first use.
    static unsigned char* array(Entry const& e, HwTable::MemId m) {
        return onArray(e, m, [](auto const& a) { return a.allocate(); });
    }
    // Its bytes if allocated, else null.
    static unsigned char const* allocated(Entry const& e, HwTable::MemId m) {
        return onArray(e, m, [](auto const& a) { return a.get(); });
    }

    // The stored entry, through the entry map's lookup memo: the hardware
    // side asks for one key in several calls, and only the first one hashes.
    static Entry const* stored(T const& t, Index i) { return t.collections().entryRecent(i); }

    // Validity of the entry as T::entry sees it: the stored one, else the mirror's bytes.
    static bool isValid(T const& t, Index i) {
        if (Entry const* e = stored(t, i)) return e->isValid();
        return t.entry(i).isValid();
    }

    // Data array m of the entry at i as entryDataPtr reads it: the stored
    // entry's array (allocated on first use), else the memory mirror's slot
    // of the index, else null (no mirror).
    static unsigned char const* data(T const& t, Index i, HwTable::MemId m) {
        if (Entry const* e = stored(t, i)) return array(*e, m);
        auto const* c = t.entryControl().ptr();
        if (!c) return nullptr;
        return static_cast<Pell::Core::Memory::Control::Collection const*>(c)
            ->bytes(Pell::Core::Memory::Control::kFirstAttributeId + m, i.value())
            .data();
    }

    // The stored entry of the key if the entry map's memo holds it, without
    // a range check or a lookup (a key out of range is never held): the
    // operations' fast path, which falls back to a full one out of line.
    static Entry const* memo(T const& t, void const* key) { return t.collections().entryMemo(keyValue(key)); }
};

}  // namespace AccessorDetail

// The plain part of a table accessor: the table it works on (not owned).
template <class T, CollectionId C, unsigned K>
class TableAccessorCommonImpl {
public:
    explicit TableAccessorCommonImpl(T* table) : table_(table) {}
    T* table() const { return table_; }

protected:
    T* table_;
};

template <class T, CollectionId C, unsigned K>
class TableAccessorImpl final : public IndexTableAccessor, public TableAccessorCommonImpl<T, C, K> {
    using S = AccessorDetail::Shape<T>;
    using TableAccessorCommonImpl<T, C, K>::table_;

public:
    static_assert(C == 0 && K == 0, "a table has the single collection 0");
    explicit TableAccessorImpl(T* table) : TableAccessorCommonImpl<T, C, K>(table) {}

    HwTable::OptionalWriteResponse writeResponse(void const* key) const override {
        if constexpr (S::kRead) {
            return HwTableAccessor::writeResponse(key);
        } else {
            auto const i = S::index(key);
            auto const* w = table_->collections().recordMap().find(i);
            if (!w) return {};
            return {w->transactionId, w->entryState, w->entryIndex().value(), true};
        }
    }
    void updateWriteResponse(void const* key, HwTable::WriteResponse const& w) override {
        if constexpr (S::kRead)
            HwTableAccessor::updateWriteResponse(key, w);
        else
            table_->writeResponseIs(typename T::WriteResponse(S::index(key), w.transactionId, w.entryState));
    }
    void deleteWriteResponse(void const* key) override {
        if constexpr (S::kRead)
            HwTableAccessor::deleteWriteResponse(key);
        else
            table_->writeResponseDel(S::index(key));
    }

    unsigned numOfSubEntries() const override { return 1; }
    bool entryExists(void const* key) const override { return S::stored(*table_, S::index(key)) != nullptr; }

    // The operations below that the hardware side calls several times per
    // key answer from the memo when they can, with no stack frame, and
    // otherwise tail-call their full form (range check, lookup, mirror).
    bool entryIsValid(void const* key, unsigned sub) const override {
        if (auto const* e = S::memo(*table_, key)) [[likely]]
            return e->isValid();
        return entryIsValidFull(key, sub);
    }
    TransactionId entryTransactionId(void const* key) const override {
        if (auto const* e = S::memo(*table_, key)) [[likely]]
            return e->transactionId();
        return entryTransactionIdFull(key);
    }
    HwTable::MemId entryDataMemIdMax() const override { return S::kMemIdMax; }
    std::uint32_t entryDataMaxSize(HwTable::MemId m) const override {
        if constexpr (S::kHelper) return S::kSizes[0];
        S::checkMemId(m);
        return S::kSizes[m];
    }

    std::span<unsigned char const> entryDataPtr(void const* key, HwTable::MemId m) const override {
        if constexpr (!S::kHelper) {
            if (m <= S::kMemIdMax) [[likely]]
                if (auto const* e = S::memo(*table_, key)) [[likely]]
                    if (unsigned char const* d = S::allocated(*e, m)) [[likely]]
                        return {d, S::kSizes[m]};
        }
        return entryDataPtrFull(key, m);
    }

    std::span<unsigned char> entryDataPtrIs(void const* key, HwTable::MemId m) override {
        auto const i = S::index(key);
        auto* e = table_->entryDirectIs(i);  // stays when the memory id is then refused
        if constexpr (S::kHelper) {
            return T::MemAccessHelper::template memAccessInfo<std::span<unsigned char>>(
                S::array(*e, 0), m, i.value() > T::MemAccessHelper::kLastSplitIndex);
        } else {
            S::checkMemId(m);
            return {S::array(*e, m), S::kSizes[m]};
        }
    }

    TransactionId readRequestTransactionId(void const* key) const override {
        if constexpr (S::kRead)
            return table_->readRequest(AccessorDetail::keyValue(key)).transactionId;
        else
            return IndexTableAccessor::readRequestTransactionId(key);
    }

    void entryPublish(Index index, TransactionId tid) override { publish(typename S::Index(index), tid); }

    void entryPublishIfValid(Index index, TransactionId tid) override {
        typename S::Index const i(index);
        if (S::isValid(*table_, i))
            publish(i, tid);
        else
            table_->entryDirectDel(i);
        if constexpr (requires(typename S::Entry& e) { e.doClearEccFields(); }) {
            if (S::isValid(*table_, i)) table_->entryDirectIs(i)->doClearEccFields();  // not published
        }
    }

    void entryDelete(Index index) override { table_->entryDirectDel(typename S::Index(index)); }

    std::uint64_t dmaBusAddress(Index index, HwTable::MemId m) override {
        if constexpr (S::kDma) {
            Lumo::Ptr<Pell::Core::Memory::Control::Collection> const mirror = table_->entryControl();
            if (!mirror) return 0;
            return mirror->addressBus(m <= S::kMemIdMax ? Pell::Core::Memory::Control::kFirstAttributeId + m : 0,
                                      index);
        } else {
            return IndexTableAccessor::dmaBusAddress(index, m);
        }
    }

    // The common step of entryPublish, for the notifying accessor too.
    void publish(typename S::Index i, TransactionId tid) {
        table_->entryDirectIs(i)->transactionIdIs(tid);
        table_->entryNotify(i);
    }

private:
    [[gnu::noinline]] bool entryIsValidFull(void const* key, unsigned) const {
        return S::isValid(*table_, S::index(key));
    }
    [[gnu::noinline]] TransactionId entryTransactionIdFull(void const* key) const {
        auto const* e = S::stored(*table_, S::index(key));
        return e ? e->transactionId() : 0;
    }
    [[gnu::noinline]] std::span<unsigned char const> entryDataPtrFull(void const* key, HwTable::MemId m) const {
        auto const i = S::index(key);
        if constexpr (!S::kHelper) S::checkMemId(m);
        unsigned char const* data = S::data(*table_, i, S::kHelper ? 0 : m);
        if (!data) return {};
        if constexpr (S::kHelper)
            return T::MemAccessHelper::template memAccessInfo<std::span<unsigned char const>>(
                data, m, i.value() > T::MemAccessHelper::kLastSplitIndex);
        else
            return {data, S::kSizes[m]};
    }
};

// The plain part of a notifying accessor: the table (not owned) and its own
// entry accessors, one per index in K.
template <class T, CollectionId C, unsigned... K>
class NotifyingCollectionAccessorCommonImpl {
public:
    explicit NotifyingCollectionAccessorCommonImpl(T* table)
        : table_(table), entryAccessors_(((void)K, table)...) {}

protected:
    T* table_;
    std::tuple<TableAccessorImpl<T, C, K>...> entryAccessors_;
};

template <class T, CollectionId C>
class NotifyingCollectionAccessorImpl final : public HwIndexTableNotificationAccessor,
                                              public NotifyingCollectionAccessorCommonImpl<T, C, 0> {
    using Common = NotifyingCollectionAccessorCommonImpl<T, C, 0>;
    using Common::table_;
    struct S {
        static constexpr bool kRead = AccessorDetail::readTable<T>();
        using Index = typename T::Entry::Index;
    };

    TableAccessorImpl<T, C, 0>& entries() { return std::get<0>(this->entryAccessors_); }
    TableAccessorImpl<T, C, 0> const& entries() const { return std::get<0>(this->entryAccessors_); }

public:
    explicit NotifyingCollectionAccessorImpl(T* table) : Common(table) {}

    IndexTableAccessor* getEntryAccessor(unsigned long i) override { return i == 0 ? &entries() : nullptr; }
    unsigned long numEntryAccessors() const override { return 1; }

    HwTable::OptionalWriteResponse writeResponse(void const* key) const override {
        if constexpr (S::kRead)
            return HwTableNotificationAccessor::writeResponse(key);
        else
            return entries().writeResponse(key);
    }
    Index writeResponseHwEntryIndex(void const* key) const override {
        if constexpr (S::kRead)
            return HwTableNotificationAccessor::writeResponseHwEntryIndex(key);
        else
            return AccessorDetail::keyValue(key);
    }
    void updateWriteResponse(void const* key, HwTable::WriteResponse const& w) override {
        if constexpr (S::kRead)
            HwTableNotificationAccessor::updateWriteResponse(key, w);
        else
            entries().updateWriteResponse(key, w);
    }
    void deleteWriteResponse(void const* key) override {
        if constexpr (S::kRead)
            HwTableNotificationAccessor::deleteWriteResponse(key);
        else
            entries().deleteWriteResponse(key);
    }

    bool entryExists(void const* key) const override { return entries().entryExists(key); }
    TransactionId entryTransactionId(void const* key) const override { return entries().entryTransactionId(key); }
    TransactionId readRequestTransactionId(void const* key) const override {
        if constexpr (S::kRead)
            return entries().readRequestTransactionId(key);
        else
            return HwIndexTableNotificationAccessor::readRequestTransactionId(key);
    }
    void entryPublish(Index index, TransactionId tid) override { entries().publish(typename S::Index(index), tid); }
    void entryPublishIfValid(Index index, TransactionId tid) override { entries().entryPublishIfValid(index, tid); }
    void entryDelete(Index index) override { entries().entryDelete(index); }
};

}  // namespace Asic
