#include "X2/Support/LocalTable.h"

namespace X2 {

bool asicIndexIsEq(void const* a, void const* b) {
    return *static_cast<Asic::Index const*>(a) == *static_cast<Asic::Index const*>(b);
}

bool transactionIdIsEq(void const* a, void const* b) {
    return *static_cast<Asic::TransactionId const*>(a) == *static_cast<Asic::TransactionId const*>(b);
}

bool controlIsEq(void const* a, void const* b) {
    using P = Lumo::Ptr<Pell::Core::Memory::Control::Collection>;
    return *static_cast<P const*>(a) == *static_cast<P const*>(b);
}

}  // namespace X2
