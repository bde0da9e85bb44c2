#include "X2/Support/SharedTable.h"

namespace X2 {

bool collectionControlIsEq(void const* a, void const* b) {
    using P = Lumo::Ptr<VexVorn::CollectionControl>;
    return *static_cast<P const*>(a) == *static_cast<P const*>(b);
}

}  // namespace X2
