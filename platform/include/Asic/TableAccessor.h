#pragma once
// The generic interfaces through which the hardware-writing side reaches a
// table it knows only by its entity: raw entry bytes per data memory,
// publication under a transaction id, write responses, read requests and the
// DMA bus address of an entry's data.
//
//   HwTableAccessor                the write-response operations (slots 0-2)
//   IndexTableAccessor             + entries by index (slots 3-15)
//   HwTableNotificationAccessor    entry accessors, write responses (slots 0-5)
//   HwIndexTableNotificationAccessor  + operations on notified keys (slots 6-11)
//
// Slot order is part of the interface: new operations go at the end.
//
// Keys are `void const*` pointing at the table's 32-bit entry index (its
// Entry::Index); indices passed by value are Asic::Index. Data is handed out
// as spans over storage the table keeps; they stay valid while the entry
// stays stored and the table lives.
//
// Ownership: accessor objects live inside their table entity and are never
// deleted through these interfaces, hence the protected, non-virtual
// destructors.
//
// Defaults of the optional operations, for tables that lack the collection
// (the hardware side must not rely on them; it tells a table's kind from its
// descriptor):
//   writeResponse              absent: all zero, present false
//   updateWriteResponse,
//   deleteWriteResponse        nothing happens
//   writeResponseHwEntryIndex  the index the key holds
//   readRequestTransactionId   0: no request outstanding
//   dmaBusAddress              0: no bus mapping
#include <cstdint>
#include <span>

#include "Asic/Types.h"

namespace Asic {

namespace HwTable {

// A table's write-response record as the accessors hand it out: transaction
// id, entry state and entry index (the layout of every T::WriteResponse),
// plus whether one is stored. An absent one is all zero.
struct OptionalWriteResponse {
    TransactionId transactionId = 0;
    EntryState entryState = EntryState::entryStateUnknown;
    Index entryIndex = 0;
    bool present = false;
};

}  // namespace HwTable

class HwTableAccessor {
public:
    virtual HwTable::OptionalWriteResponse writeResponse(void const* key) const;  // 0
    virtual void updateWriteResponse(void const* key, HwTable::WriteResponse const& w);  // 1
    virtual void deleteWriteResponse(void const* key);  // 2

protected:
    HwTableAccessor() = default;
    HwTableAccessor(HwTableAccessor const&) = delete;
    HwTableAccessor& operator=(HwTableAccessor const&) = delete;
    ~HwTableAccessor() = default;
};

class IndexTableAccessor : public HwTableAccessor {
public:
    virtual unsigned numOfSubEntries() const = 0;                                          // 3
    virtual bool entryExists(void const* key) const = 0;                                   // 4
    virtual bool entryIsValid(void const* key, unsigned subEntry) const = 0;               // 5
    virtual TransactionId entryTransactionId(void const* key) const = 0;                   // 6
    virtual HwTable::MemId entryDataMemIdMax() const = 0;                                  // 7
    virtual std::uint32_t entryDataMaxSize(HwTable::MemId m) const = 0;                    // 8
    virtual std::span<unsigned char const> entryDataPtr(void const* key, HwTable::MemId m) const = 0;  // 9
    virtual std::span<unsigned char> entryDataPtrIs(void const* key, HwTable::MemId m) = 0;  // 10
    virtual TransactionId readRequestTransactionId(void const* key) const;                 // 11
    virtual void entryPublish(Index index, TransactionId tid) = 0;                         // 12
    virtual void entryPublishIfValid(Index index, TransactionId tid) = 0;                  // 13
    virtual void entryDelete(Index index) = 0;                                             // 14
    virtual std::uint64_t dmaBusAddress(Index index, HwTable::MemId m);                    // 15

protected:
    IndexTableAccessor() = default;
    ~IndexTableAccessor() = default;
};

class HwTableNotificationAccessor {
public:
    virtual IndexTableAccessor* getEntryAccessor(unsigned long i) = 0;                    // 0
    virtual unsigned long numEntryAccessors() const = 0;                                  // 1
    virtual HwTable::OptionalWriteResponse writeResponse(void const* key) const;          // 2
    virtual Index writeResponseHwEntryIndex(void const* key) const;                       // 3
    virtual void updateWriteResponse(void const* key, HwTable::WriteResponse const& w);   // 4
    virtual void deleteWriteResponse(void const* key);                                    // 5

protected:
    HwTableNotificationAccessor() = default;
    HwTableNotificationAccessor(HwTableNotificationAccessor const&) = delete;
    HwTableNotificationAccessor& operator=(HwTableNotificationAccessor const&) = delete;
    ~HwTableNotificationAccessor() = default;
};

class HwIndexTableNotificationAccessor : public HwTableNotificationAccessor {
public:
    virtual bool entryExists(void const* key) const = 0;                                  // 6
    virtual TransactionId entryTransactionId(void const* key) const = 0;                  // 7
    virtual TransactionId readRequestTransactionId(void const* key) const;                // 8
    virtual void entryPublish(Index index, TransactionId tid) = 0;                        // 9
    virtual void entryPublishIfValid(Index index, TransactionId tid) = 0;                 // 10
    virtual void entryDelete(Index index) = 0;                                            // 11

protected:
    HwIndexTableNotificationAccessor() = default;
    ~HwIndexTableNotificationAccessor() = default;
};

// The factory types of a table entity's accessor operations.
struct IndexTable {
    using Accessor = IndexTableAccessor;
    using NotifyingAccessor = HwIndexTableNotificationAccessor;
};

}  // namespace Asic
