#include "X2/Support/Module.h"

#include <cstdlib>

#include "dmamem_lib/Manager.h"

namespace X2 {

ModuleLoader::ModuleLoader(std::span<ModuleStep const> modules) : modules_(modules) {
    descriptors_.reserve(modules.size());
    for (ModuleStep const& m : modules) {
        // Only the first module to run reads the environment.
        if (!dmamem_lib::Manager::agentNameGuard) {
            dmamem_lib::Manager::agentNameGuard = true;
            dmamem_lib::Manager::agentName = std::getenv("AGENT_PROCESS_NAME");
        }
        m.module->loaded();
        descriptors_.push_back(
            std::make_unique<DescriptorSingleton>(m.descriptorType, m.descriptorTypeName, m.makeDescriptor));
    }
}

ModuleLoader::~ModuleLoader() {
    for (std::size_t i = descriptors_.size(); i-- > 0;) {
        descriptors_[i].reset();
        modules_[i].module->unloaded();
    }
}

}  // namespace X2
