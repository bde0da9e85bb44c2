#pragma once
// How the entity framework names types and attributes.
//
// A type is named by its module and its index in the module's fixed type
// order (VexTypeBase). A module is named here by its source,
// "X2/Default/<Source>"; the module objects themselves and their registration
// with the framework are a separate layer. An attribute handle (VexAttr)
// carries the field id under which the attribute's changes are published.
#include <cstdint>
#include <string_view>

#include "Lumo/Publisher.h"

namespace Vex {

struct VexTypeBase {
    char const* module = nullptr;
    std::uint32_t index = 0;

    friend bool operator==(VexTypeBase const& a, VexTypeBase const& b) {
        return a.index == b.index && std::string_view(a.module ? a.module : "") == (b.module ? b.module : "");
    }
};

struct VexAttr {
    Lumo::FieldId fieldId = 0;  // 0: no attribute

    constexpr Lumo::FieldId attributeId() const { return fieldId; }
    constexpr explicit operator bool() const { return fieldId != 0; }
    friend constexpr bool operator==(VexAttr, VexAttr) = default;
};

}  // namespace Vex
