#pragma once
// Record types of the chip access layer shared by every table.
#include <cstdint>
#include <string_view>

#include <fmt/format.h>

#include "Vex/CharRange.h"

namespace Vex {
struct VexTypeBase;
}

namespace Asic {

using TransactionId = std::uint64_t;
using Index = std::uint32_t;
// The key of a read request for the whole table, accepted by the index of
// every read table besides its own range.
inline constexpr Index kReadAllIndex = 4294967294u;
using CollectionId = std::uint16_t;
using UnitId = std::uint32_t;

// Raises the access layer's out-of-range failure for index `value` of the
// index type named `typeName`. Never returns.
[[noreturn]] void indexOutOfRange(std::string_view typeName, std::uint64_t value);
// The same for the index type `type` (module, type index), as a generated
// index type reports it: the message names the type as its module does, or
// gives module and index when the module is not loaded.
[[noreturn]] void indexOutOfRange(Vex::VexTypeBase const& type, std::uint64_t value);

namespace HwTable {

using MemId = std::uint32_t;

// Outcome of writing one entry to the chip.
enum class EntryState : std::uint8_t {
    entryStateUnknown = 0,   // no write attempted yet
    entryStatePending = 1,   // handed to the chip, not confirmed
    entryStateWritten = 2,   // the chip holds the entry
    entryStateFailed = 3,    // the write failed
    entryStateRemoved = 4,   // the entry was cleared from the chip
};

std::string_view entryStateName(EntryState s);  // "entryStateWritten"; "" for an unknown value
bool entryStateFromName(std::string_view name, EntryState& out);

// The base of every table's write-response record: transaction id of the
// write it reports and the resulting state. Flat, copied byte for byte.
struct WriteResponse {
    TransactionId transactionId = 0;
    EntryState entryState = EntryState::entryStateUnknown;

    static bool isEq(WriteResponse const& a, WriteResponse const& b) {
        return a.transactionId == b.transactionId && a.entryState == b.entryState;
    }
};

// A request to read one entry (or the whole table) of a read table,
// identified by its transaction id.
struct ReadRequest {
    TransactionId transactionId = 0;

    friend bool operator==(ReadRequest const& a, ReadRequest const& b) { return a.transactionId == b.transactionId; }
};

}  // namespace HwTable

// Parses an enumeration value by name from the text form.
void sequenceToValue(Vex::CharRange& r, HwTable::EntryState& out);

// Locates a field: width, bit offset inside the value, bit offset inside
// the data bytes. Every field of this chip's tables is one such run.
struct SubField {
    std::uint32_t width;
    std::uint32_t valueBitOffset;
    std::uint32_t dataBitOffset;
};

// Generic field copy between a value and a data byte array, for callers that
// know a field only by its location (the typed accessors use constants).
struct FieldAccessor {
    // Reads the field from `data` (dataSize bytes) into `value` (valueSize bytes).
    static void copyBitsIntoBuf(void* value, std::size_t valueSize, void const* data, std::size_t dataSize,
                                SubField const& f);
    // Writes the field from `value` into `data`.
    static void copyBitsFromBuf(void const* value, std::size_t valueSize, void* data, std::size_t dataSize,
                                SubField const& f);
};

}  // namespace Asic

template <>
struct fmt::formatter<Asic::HwTable::EntryState> : fmt::formatter<std::string_view> {
    template <class Ctx>
    auto format(Asic::HwTable::EntryState s, Ctx& ctx) const {
        std::string_view name = Asic::HwTable::entryStateName(s);
        if (name.empty()) return fmt::format_to(ctx.out(), "entryState({})", unsigned(s));
        return fmt::formatter<std::string_view>::format(name, ctx);
    }
};
