#include "VexVorn/Records.h"

namespace VexVorn {

template <SharedRecord V>
Vorn::BasicOps<V> recordOps() {
    return Vorn::BasicOps<V>(V::kTypeName);
}

template Vorn::BasicOps<EgrEntry> recordOps<EgrEntry>();
template Vorn::BasicOps<EgrWriteResponse> recordOps<EgrWriteResponse>();
template Vorn::BasicOps<IngEntry> recordOps<IngEntry>();
template Vorn::BasicOps<IngWriteResponse> recordOps<IngWriteResponse>();

}  // namespace VexVorn
