#include <array>

#include "Asic/Types.h"
#include "Detail/CopyBits.h"
#include "Lumo/Exception.h"
#include "Lumo/Module.h"
#include "Vex/VexType.h"

namespace Asic {

void indexOutOfRange(std::string_view typeName, std::uint64_t value) {
    Lumo::raise<Lumo::RangeException>("{}: index {} out of range", typeName, value);
}

void indexOutOfRange(Vex::VexTypeBase const& type, std::uint64_t value) {
    std::string_view const module = type.module ? type.module : "";
    Lumo::ModuleInspectData const* m = Lumo::ModuleInspectData::find(module);
    if (m && type.index < m->ownTypes) indexOutOfRange(m->typeNames[type.index], value);
    Lumo::raise<Lumo::RangeException>("{} type {}: index {} out of range", module, type.index, value);
}

namespace HwTable {
namespace {
constexpr std::array<std::string_view, 5> kStateNames = {
    "entryStateUnknown", "entryStatePending", "entryStateWritten", "entryStateFailed", "entryStateRemoved"};
}

std::string_view entryStateName(EntryState s) {
    auto const i = std::size_t(s);
    return i < kStateNames.size() ? kStateNames[i] : std::string_view{};
}

bool entryStateFromName(std::string_view name, EntryState& out) {
    for (std::size_t i = 0; i < kStateNames.size(); ++i) {
        if (kStateNames[i] == name) {
            out = EntryState(i);
            return true;
        }
    }
    return false;
}
}  // namespace HwTable

void sequenceToValue(Vex::CharRange& r, HwTable::EntryState& out) {
    std::string_view name = r.identifier();
    if (!HwTable::entryStateFromName(name, out))
        Lumo::raise<Lumo::RangeException>("\"{}\" is not an Asic::HwTable::EntryState", name);
}

void FieldAccessor::copyBitsIntoBuf(void* value, std::size_t valueSize, void const* data, std::size_t dataSize,
                                    SubField const& f) {
    Detail::copyBits(value, valueSize, data, dataSize, f.width, f.valueBitOffset, f.dataBitOffset);
}

void FieldAccessor::copyBitsFromBuf(void const* value, std::size_t valueSize, void* data, std::size_t dataSize,
                                    SubField const& f) {
    Detail::copyBits(data, dataSize, value, valueSize, f.width, f.dataBitOffset, f.valueBitOffset);
}

}  // namespace Asic
