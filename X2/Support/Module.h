#pragma once
// The library's load-time registration: one initialiser runs the steps of
// every module in order (the agent's process name, read by the first step
// only; the module's announcement to the framework; its descriptor
// singleton, found by its full type name or made), and undoes them in
// reverse order when the library is unloaded.
#include <memory>
#include <span>
#include <vector>

#include "Lumo/Module.h"
#include "Vex/Entity.h"
#include "Vex/VexType.h"
#include "X2/Support/Descriptor.h"

namespace X2 {

struct ModuleStep {
    Lumo::ModuleInspectData const* module;
    Vex::VexTypeBase descriptorType;
    char const* descriptorTypeName;
    Vex::Entity::Factory makeDescriptor;
};

class ModuleLoader {
public:
    explicit ModuleLoader(std::span<ModuleStep const> modules);
    ~ModuleLoader();
    ModuleLoader(ModuleLoader const&) = delete;
    ModuleLoader& operator=(ModuleLoader const&) = delete;

private:
    std::span<ModuleStep const> modules_;
    std::vector<std::unique_ptr<DescriptorSingleton>> descriptors_;
};

}  // namespace X2
