#include "Lumo/Inspect.h"

#include <algorithm>
#include <map>
#include <mutex>
#include <string>

#include "Lumo/Assert.h"
#include "Lumo/Exception.h"

namespace Vex {
void throwNewEntityArgsException(VexTypeBase type) {
    Lumo::raise<Lumo::InvalidInitializeException>("{} takes no constructor arguments for a new entity",
                                                  Lumo::Inspect::typeName(type));
}
}  // namespace Vex

namespace Lumo {

void assertProtoBufMessage() { fmassertFail("Lumo::Inspect", __FILE__, __func__, __LINE__, "no protobuf message"); }

namespace Inspect {

// Registered glue by module name: moduleGlueIs() when a library loads,
// moduleGlueDel() when it unloads. A name lookup looks only at each
// module's own types, not at the outside types its name table also lists.
namespace {
struct ModuleGlue {
    ModuleInspectData const* module;
    std::span<TypeGlue const> types;
};
struct Registry {
    std::mutex mutex;
    std::map<std::string, ModuleGlue, std::less<>> byModule;
};
Registry& registry() {
    static Registry* r = new Registry;  // outlives the static destructors that unregister
    return *r;
}
}  // namespace

void throwNonHashableType(Vex::VexTypeBase type) {
    raise<IllegalOperationException>("{} is not hashable", typeName(type));
}

void moduleGlueIs(ModuleInspectData const& module, std::span<TypeGlue const> types) {
    Registry& r = registry();
    std::lock_guard lock(r.mutex);
    r.byModule[module.name] = {&module, types};
}

void moduleGlueDel(ModuleInspectData const& module) {
    Registry& r = registry();
    std::lock_guard lock(r.mutex);
    auto it = r.byModule.find(std::string_view(module.name));
    if (it != r.byModule.end() && it->second.module == &module) r.byModule.erase(it);
}

TypeGlue const* typeGlue(Vex::VexTypeBase type) {
    if (!type.module) return nullptr;
    Registry& r = registry();
    std::lock_guard lock(r.mutex);
    auto it = r.byModule.find(std::string_view(type.module));
    if (it == r.byModule.end() || type.index >= it->second.types.size()) return nullptr;
    return &it->second.types[type.index];
}

FoundType findType(std::string_view fullName) {
    Registry& r = registry();
    std::lock_guard lock(r.mutex);
    for (auto const& [name, m] : r.byModule) {
        std::uint32_t const n = std::min<std::uint32_t>(m.module->ownTypes, std::uint32_t(m.types.size()));
        for (std::uint32_t i = 0; i < n; ++i)
            if (fullName == m.module->typeNames[m.module->types[i].name]) return {{m.module->name, i}, &m.types[i]};
    }
    return {};
}

std::string_view typeName(Vex::VexTypeBase type) {
    if (!type.module) return {};
    Registry& r = registry();
    std::lock_guard lock(r.mutex);
    auto it = r.byModule.find(std::string_view(type.module));
    if (it == r.byModule.end()) return {};
    ModuleInspectData const& m = *it->second.module;
    if (type.index >= m.ownTypes || type.index >= m.types.size()) return {};
    return m.typeNames[m.types[type.index].name];
}

}  // namespace Inspect
}  // namespace Lumo
