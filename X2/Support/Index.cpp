#include "X2/Support/Index.h"

#include "Lumo/Exception.h"

namespace X2::Impl {

void throwAboveMax(std::string_view t) { Lumo::raise<Lumo::RangeException>("{}::value > max() not allowed", t); }

void throwOutsideMinMax(std::string_view t) {
    Lumo::raise<Lumo::RangeException>("{}::value < {}::min or > {}::max not allowed", t, t, t);
}

std::uint32_t parseValueAttr(Vex::CharRange& r) {
    try {
        return Vex::deserializeAttr<std::uint32_t>(r);
    } catch (Lumo::RangeException const& e) {
        Vex::rethrowFromDeserializeAttr("value", e);
    }
}

}  // namespace X2::Impl
