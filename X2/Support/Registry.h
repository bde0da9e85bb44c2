#pragma once
// Description of every generated table, for code that knows a table only by
// name: the x2tables tool, data-driven tests, and the reflection glue
// (X2/Support/Reflect.h). Each generated source registers its tables at load
// time. FieldInfo lists a table's field attributes (id, position, width);
// the glue serves the same fields through the typed getters and setters (the
// one bit model) and the generated table source checks at compile time that
// both lists agree. Code outside the glue reads and writes fields with
// fieldGet / fieldSet below, which go through the entry's inspectOperation.
#include <cstdint>
#include <span>
#include <string_view>

#include "AsicUtils/FieldOps.h"
#include "Asic/Types.h"
#include "Lumo/Node.h"
#include "Lumo/String.h"
#include "Orrin/PerUnitBitmap.h"

namespace Asic {
class DirectIndexTable;
}
namespace Pell::Core::Memory::Control {
class Collection;
}

namespace X2 {

enum class Kind { shared, local, read };
std::string_view kindName(Kind k);  // "shared", "local", "read"

// A field value of either width class: scalar (up to 64 bits) or bitmap.
struct FieldValueArg {
    std::uint64_t scalar = 0;
    Orrin::PerUnitBitmap wide;
};

struct FieldInfo {
    char const* name;
    std::uint16_t array;
    std::uint16_t offset;
    std::uint16_t width;
    short id;  // attribute id
    char const* type;
};

struct AggregateInfo {
    char const* name;  // the field that spans the others
    std::span<char const* const> parts;
};

struct AliasInfo {
    char const* first;
    char const* second;
};

// Type-erased operations on one table's entry record.
struct EntryOps {
    void* (*create)();
    void (*destroy)(void*);
    void* (*clone)(void const*);
    std::uint32_t (*bytes)(void const* entry, unsigned array, std::uint8_t* out);
    void (*bytesIs)(void* entry, unsigned array, std::uint8_t const* in, std::uint32_t n);
    bool (*isValid)(void const*);
    std::uint32_t (*hash)(void const*, std::uint32_t seed);
    bool (*isEq)(void const*, void const*);
    void (*clearEcc)(void*);  // null when the table has no check bits
    bool (*isUserWritable)(short);
    // Construct the bounded index types from a value; each raises its
    // range failure for a value its type refuses.
    void (*makeIndex)(std::uint32_t);
    void (*makeDataMemId)(std::uint32_t);
    void (*makeDataByteIndex)(unsigned array, std::uint32_t);
    std::uint32_t entrySize;
    Asic::TransactionId (*transactionId)(void const*);
    void (*transactionIdIs)(void*, Asic::TransactionId);
};

using EntryVisitor = void (*)(void* context, std::uint32_t index, void const* entry);

// Type-erased operations on a local-collection table entity, for code that
// knows the table only by name (data-driven tests, tools). Entries are passed
// as the table's Entry records (EntryOps::create makes one). "Records" are
// the write responses, or in a read table the read requests (whose entry
// state is ignored). All null in a shared-memory table.
struct TableOps {
    Lumo::Ptr<Asic::DirectIndexTable> (*create)(Lumo::String const& name);
    void (*entry)(Asic::DirectIndexTable const&, std::uint32_t index, void* out);
    void (*entryIs)(Asic::DirectIndexTable&, std::uint32_t index, void const* entry);
    void (*entryDel)(Asic::DirectIndexTable&, std::uint32_t index, void* out);  // out: what entryDel returned
    void (*entryDelAll)(Asic::DirectIndexTable&);
    std::uint32_t (*entryCount)(Asic::DirectIndexTable const&);
    // Visits the stored entries in the collection's iteration order.
    void (*forEachEntry)(Asic::DirectIndexTable const&, EntryVisitor fn, void* context);
    Lumo::Ptr<Pell::Core::Memory::Control::Collection> (*entryControl)(Asic::DirectIndexTable const&);
    void (*recordIs)(Asic::DirectIndexTable&, std::uint32_t index, Asic::TransactionId tid,
                     Asic::HwTable::EntryState state);
    Asic::TransactionId (*recordDel)(Asic::DirectIndexTable&, std::uint32_t index);  // tid of what was removed, or 0
    void (*recordDelAll)(Asic::DirectIndexTable&);
    std::uint32_t (*recordCount)(Asic::DirectIndexTable const&);
};

struct TableInfo {
    char const* name;
    char const* source;  // X2/Default/<name of the module's source>
    Kind kind;
    bool inlineForm;
    std::uint32_t lastIndex;
    bool hasWriteResponse;
    std::span<std::uint32_t const> arrays;  // capacities in bytes
    std::span<FieldInfo const> fields;      // in attribute order
    std::span<AggregateInfo const> aggregates;
    std::span<AliasInfo const> aliases;
    short firstFieldId;  // -1 when the table has no field attributes
    short lastFieldId;
    bool hasCheckBits;
    std::uint16_t checkOffset;
    std::uint16_t checkWidth;
    EntryOps ops;
    TableOps table;  // the table entity's operations; null members in a shared-memory table
};

void registerTable(TableInfo const* t);
// Every registered table, sorted by name.
std::span<TableInfo const* const> allTables();
TableInfo const* findTable(std::string_view name);
FieldInfo const* findField(TableInfo const& t, std::string_view name);

// A field of an entry of table t, through the entry's inspectOperation (the
// reflection glue). Raises Lumo::RangeException when the table's entry type
// is not registered with the framework.
FieldValueArg fieldGet(TableInfo const& t, FieldInfo const& f, void const* entry);
void fieldSet(TableInfo const& t, FieldInfo const& f, void* entry, FieldValueArg const& v);

template <class E>
struct EntryOpsFor {
    static void* create() { return new E(); }
    static void destroy(void* p) { delete static_cast<E*>(p); }
    static void* clone(void const* p) { return new E(*static_cast<E const*>(p)); }
    static bool isValid(void const* p) { return static_cast<E const*>(p)->isValid(); }
    static std::uint32_t hash(void const* p, std::uint32_t seed) { return static_cast<E const*>(p)->hash(seed); }
    static std::uint32_t bytes(void const* p, unsigned k, std::uint8_t* out) {
        return static_cast<E const*>(p)->rawBytes(k, out);
    }
    static void bytesIs(void* p, unsigned k, std::uint8_t const* in, std::uint32_t n) {
        static_cast<E*>(p)->rawBytesIs(k, in, n);
    }
    static void clearEcc(void* p) {
        if constexpr (requires(E& e) { e.doClearEccFields(); }) static_cast<E*>(p)->doClearEccFields();
    }
    static void makeIndex(std::uint32_t v) { [[maybe_unused]] typename E::Index i(v); }
    static void makeDataMemId(std::uint32_t v) { [[maybe_unused]] typename E::DataMemId i(v); }
    static Asic::TransactionId transactionId(void const* p) { return static_cast<E const*>(p)->transactionId(); }
    static void transactionIdIs(void* p, Asic::TransactionId t) { static_cast<E*>(p)->transactionIdIs(t); }
    static constexpr EntryOps ops() {
        constexpr bool ecc = requires(E& e) { e.doClearEccFields(); };
        return EntryOps{&create, &destroy,  &clone,  &bytes, &bytesIs, &isValid,
                        &hash,   &E::isEq, ecc ? &clearEcc : nullptr, &E::isUserWritable,
                        &makeIndex, &makeDataMemId, &E::makeDataByteIndex, sizeof(E),
                        &transactionId, &transactionIdIs};
    }
};

// Registers a table when the library loads.
struct TableRegistration {
    explicit TableRegistration(TableInfo const* t) { registerTable(t); }
};

}  // namespace X2
