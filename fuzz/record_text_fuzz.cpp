// Fuzzes the record text parser: a write response, then index types, parsed
// from arbitrary bytes. A parse either fails with the runtime's exception or
// yields a record whose printed text parses back to the same record.
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "Lumo/Exception.h"
#include "X2/Default/IngVlanRangeTable.h"
#include "X2/Default/L2HitSaOnly.h"

namespace {

using W = bcm56275_a0::Default::IngVlanRangeTable::WriteResponse;

template <class F>
void guarded(F&& f) {
    try {
        f();
    } catch (Lumo::Exception const&) {
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(std::uint8_t const* data, std::size_t size) {
    std::string_view text(reinterpret_cast<char const*>(data), size);
    guarded([&] {
        W w = Vex::strepToValue<W>(text);
        W again = Vex::strepToValue<W>(Vex::valueToStrep(w));
        if (!(again == w)) std::abort();
    });
    guarded([&] {
        Vex::CharRange r(text);
        bcm56275_a0::Default::L2HitSaOnly::Entry::Index i(r);
        guarded([&] { i.doInit(); });
    });
    guarded([&] {
        Vex::CharRange r(text);
        bcm56275_a0::Default::IngVlanRangeTable::Entry::DataByte0Index i(r);
        if (i.value() > 27) std::abort();
    });
    return 0;
}
