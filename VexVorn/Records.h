#pragma once
// The four records kept in shared-memory maps: the entries and the write
// responses of the two shared tables. Each is stored in a slot as itself,
// byte for byte, and keyed by its entry index through `fwkKey()`.
//
// The checks below hold the records to the map's requirements and to the
// slot file format: a change to a record's layout that moves a slot or
// header size breaks the build here instead of every existing file.
#include <cstdint>

#include "Vorn/Ops.h"
#include "Vorn/SlotTable.h"
#include "X2/Default/EgrVlanTagActionProfileTable.h"
#include "X2/Default/IngVlanTagActionProfileTable.h"

namespace VexVorn {

using EgrEntry = bcm56275_a0::Default::EgrVlanTagActionProfileTable::Entry;
using EgrWriteResponse = bcm56275_a0::Default::EgrVlanTagActionProfileTable::WriteResponse;
using IngEntry = bcm56275_a0::Default::IngVlanTagActionProfileTable::Entry;
using IngWriteResponse = bcm56275_a0::Default::IngVlanTagActionProfileTable::WriteResponse;

template <class V>
concept SharedRecord = std::same_as<V, EgrEntry> || std::same_as<V, EgrWriteResponse> ||
                       std::same_as<V, IngEntry> || std::same_as<V, IngWriteResponse>;

// The operations object of the map that holds records of type V. Its seed is
// derived from the record's full type name (the name the slot file's header
// carries), so every process of the map hashes keys alike.
template <SharedRecord V>
Vorn::BasicOps<V> recordOps();

extern template Vorn::BasicOps<EgrEntry> recordOps<EgrEntry>();
extern template Vorn::BasicOps<EgrWriteResponse> recordOps<EgrWriteResponse>();
extern template Vorn::BasicOps<IngEntry> recordOps<IngEntry>();
extern template Vorn::BasicOps<IngWriteResponse> recordOps<IngWriteResponse>();

namespace Impl {
// True when V can live in a slot and its slot file has the given slot and
// header sizes (slot = value size + 16, header = common header + spare slot).
template <class V, std::uint32_t SlotSize, std::uint32_t HeaderSize>
constexpr bool slotSizesAre() {
    static_assert(Vorn::SlotValue<V>);
    static_assert(Vorn::SlotTable<V>::kSlotSize == SlotSize, "slot size of the file format");
    static_assert(Vorn::SlotTable<V>::kHeaderSize == HeaderSize, "header size of the file format");
    return true;
}
}  // namespace Impl

static_assert(Impl::slotSizesAre<EgrEntry, 80, 688>());
static_assert(Impl::slotSizesAre<EgrWriteResponse, 32, 640>());
static_assert(Impl::slotSizesAre<IngEntry, 64, 672>());
static_assert(Impl::slotSizesAre<IngWriteResponse, 32, 640>());

}  // namespace VexVorn
