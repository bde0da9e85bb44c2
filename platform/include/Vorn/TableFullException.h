#pragma once
#include "Lumo/Exception.h"

namespace Vorn {

// A fixed-size shared-memory map has no free slot left for a new key.
class TableFullException : public Lumo::Exception {
public:
    using Lumo::Exception::Exception;
    char const* typeName() const noexcept override { return "Vorn::TableFullException"; }
};

}  // namespace Vorn
