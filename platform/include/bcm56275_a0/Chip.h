#pragma once
// Chip data of the BCM56275 A0 that descriptors refer to.
#include "LogicalFap/HwTableDesc.h"

namespace bcm56275_a0 {

// The chip's physical-table inventory: how many physical memory ids exist.
struct Inventory {
    char const* chip;
    std::uint32_t physicalMemories;
};
extern Inventory const inventory;

// A fresh counted reference to the chip's information.
Lumo::Ptr<LogicalFap::ChipPtInfo const> chipPtInfo();

}  // namespace bcm56275_a0
