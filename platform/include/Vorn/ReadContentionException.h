#pragma once
#include "Lumo/Exception.h"

namespace Vorn {

// A reader found no stable view of a map after many attempts because the
// writer kept changing what it read. Nothing is known of the key: look
// again later (it is neither present nor absent as far as this read goes).
class ReadContentionException : public Lumo::Exception {
public:
    using Lumo::Exception::Exception;
    char const* typeName() const noexcept override { return "Vorn::ReadContentionException"; }
};

}  // namespace Vorn
