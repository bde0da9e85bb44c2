#pragma once
// What the generated descriptors share: the MACsec command builders, the
// unit rule, and the load-time step that finds or makes each descriptor
// singleton.
#include <cstdint>

#include "Asic/TableDesc.h"
#include "LogicalFap/HwTableDesc.h"
#include "Lumo/Node.h"
#include "Vex/Alloc.h"
#include "Vex/Entity.h"
#include "bcm56275_a0/Chip.h"

namespace X2 {

// Register window of the MACsec shaper registers.
inline constexpr std::uint32_t kShaperRegisterBase = 0x15800000u;

// The enter builder asks the batch for priority 7 when it is prioritised,
// then writes the shaper-enable data twice to each of the two registers; the
// exit builder writes the disable data once to each.
LogicalFap::CmdBuilder shaperEnterCmdBuilder(std::uint32_t offset0, std::uint32_t offset1);
LogicalFap::CmdBuilder shaperExitCmdBuilder(std::uint32_t offset0, std::uint32_t offset1);

// A unit id is 16 bits wide; 511 names the unit of the tables that exist
// once per chip.
constexpr bool unitOnly511(Asic::UnitId unit) { return static_cast<std::uint16_t>(unit) == 511; }
constexpr bool unitAllBut511(Asic::UnitId unit) { return static_cast<std::uint16_t>(unit) != 511; }

// Allocation and tracking of descriptor objects: every allocation and
// deallocation is reported to the descriptor type's tracker.
template <class D>
using DescriptorAllocation = Vex::SlabAllocated<D>;

// One module's descriptor at load: registers the type's factory, keeps the
// singleton found by its full type name or makes it, and at unload releases
// it and withdraws the factory.
class DescriptorSingleton {
public:
    DescriptorSingleton(Vex::VexTypeBase type, char const* typeName, Vex::Entity::Factory make);
    ~DescriptorSingleton();
    DescriptorSingleton(DescriptorSingleton const&) = delete;
    DescriptorSingleton& operator=(DescriptorSingleton const&) = delete;

    Lumo::Ptr<Vex::Entity> const& ptr() const { return ptr_; }

private:
    Vex::VexTypeBase type_;
    Lumo::Ptr<Vex::Entity> ptr_;
};

}  // namespace X2
