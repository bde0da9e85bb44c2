#include "Asic/TableDesc.h"

#include "Lumo/Exception.h"
#include "LogicalFap/HwTableDesc.h"
#include "Trident3/MeteringConstants.h"
#include "bcm56275_a0/Chip.h"

namespace Asic {

HwTableDesc::~HwTableDesc() = default;

std::uint64_t HwTableDesc::numEntries() const {
    if (memLayouts_.empty() || memLayouts_[0].layouts.empty()) return 0;
    return memLayouts_[0].layouts[0].entries;
}

void HwTableDesc::hwTableInit(std::span<MemGroup const> layouts, std::span<CollectionNames const> names,
                              Vex::VexTypeBase allocatorType, char const* allocatorTypeName, void const* inventory,
                              char const* chipName) {
    flag_ = [] { return static_cast<unsigned char>(0); };
    memLayouts_ = layouts;
    collectionNames_ = names;
    Lumo::Ptr<Vex::Entity> a = Vex::Entity::singletonExists(allocatorTypeName);
    if (!a) a = Vex::Entity::singletonIs(allocatorType);
    auto* allocator = dynamic_cast<ChunkAllocator*>(a.ptr());
    if (!allocator)
        Lumo::raise<Lumo::InvalidInitializeException>("{}: {} is not a chunk allocator", name(), allocatorTypeName);
    chunkAllocator_ = allocator;
    inventory_ = inventory;
    chipName_ = chipName;
}

namespace {
// The allocator module's types, numbered from 1.
struct AllocatorTypes {
    AllocatorTypes() {
        Vex::Entity::typeFactoryIs(chunkAllocatorType(1), ChunkAllocatorNoOptimization::kTypeName,
                                   [](Lumo::String const& n) -> Lumo::Ptr<Vex::Entity> {
                                       return new ChunkAllocatorNoOptimization(n);
                                   });
        Vex::Entity::typeFactoryIs(chunkAllocatorType(2), ChunkAllocatorFirstFit::kTypeName,
                                   [](Lumo::String const& n) -> Lumo::Ptr<Vex::Entity> {
                                       return new ChunkAllocatorFirstFit(n);
                                   });
    }
} const allocatorTypes;
}  // namespace

}  // namespace Asic

namespace LogicalFap {

void HwTableDesc::initAccessInfo(Lumo::Ptr<ChipPtInfo const> const& chip, HwAccessMode mode, bool cached) {
    if (!chip) Lumo::raise<Lumo::InvalidInitializeException>("{}: no chip information", name());
    if (memLayouts_.size() != 1 || memLayouts_[0].layouts.size() != 1 || collectionNames_.size() != 1)
        Lumo::raise<Lumo::InvalidInitializeException>("{}: one memory group of one layout expected", name());
    Asic::MemLayout const& l = memLayouts_[0].layouts[0];
    if (l.physicalMemIds.size() != std::size_t(l.dataMemories) * l.instances || l.perMemoryCounts.size() != l.dataMemories)
        Lumo::raise<Lumo::InvalidInitializeException>("{}: layout record of {} memories x {} instances is inconsistent",
                                                      name(), l.dataMemories, l.instances);
    AccessInfo a;
    a.mode = mode;
    a.cached = cached;
    a.chip = chip->chip();
    a.entries = l.entries;
    for (std::uint32_t m = 0; m < l.dataMemories; ++m)
        for (std::uint32_t id : l.physicalMemIds[m]) a.memories.push_back(id);
    accessInfo_ = std::move(a);
}

}  // namespace LogicalFap

namespace bcm56275_a0 {

Inventory const inventory{"bcm56275_a0", 158};

Lumo::Ptr<LogicalFap::ChipPtInfo const> chipPtInfo() {
    return Lumo::Ptr<LogicalFap::ChipPtInfo const>(new LogicalFap::ChipPtInfo("bcm56275_a0"));
}

}  // namespace bcm56275_a0

namespace Trident3 {

// The egress metering configuration register: bit 0 selects byte mode.
Lumo::Bytes Bcm56275MmuMtroEgrMeteringConfigConstants::enableShaperBytes() const { return {0x01, 0x00, 0x00, 0x00}; }
Lumo::Bytes Bcm56275MmuMtroEgrMeteringConfigConstants::disableShaperBytes() const { return {0x00, 0x00, 0x00, 0x00}; }

}  // namespace Trident3
