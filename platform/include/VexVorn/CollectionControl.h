#pragma once
// The control of a shared-memory map binding: a VexSharedMem control built
// over the map's Vorn::ControlBase.
#include "VexSharedMem/CollectionControl.h"

namespace VexVorn {

class CollectionControl : public VexSharedMem::CollectionControl {
public:
    CollectionControl(Lumo::String name, Vorn::ControlBase* map)
        : VexSharedMem::CollectionControl(std::move(name), map) {}
    using VexSharedMem::CollectionControl::quiescedIs;
};

}  // namespace VexVorn
