#include "Lumo/Module.h"

#include <map>
#include <mutex>
#include <string>

namespace Lumo {

namespace {
struct Modules {
    std::mutex mutex;
    std::map<std::string, ModuleInspectData const*, std::less<>> byName;
};
Modules& modules() {
    static Modules* m = new Modules;  // outlives the static destructors that withdraw modules
    return *m;
}
}  // namespace

void ModuleInspectData::loaded() const {
    auto& m = modules();
    std::lock_guard lock(m.mutex);
    m.byName[name] = this;
}

void ModuleInspectData::unloaded() const {
    auto& m = modules();
    std::lock_guard lock(m.mutex);
    auto it = m.byName.find(std::string_view(name));
    if (it != m.byName.end() && it->second == this) m.byName.erase(it);
}

ModuleInspectData const* ModuleInspectData::find(std::string_view name) {
    auto& m = modules();
    std::lock_guard lock(m.mutex);
    auto it = m.byName.find(name);
    return it == m.byName.end() ? nullptr : it->second;
}

std::size_t ModuleInspectData::loadedCount() {
    auto& m = modules();
    std::lock_guard lock(m.mutex);
    return m.byName.size();
}

}  // namespace Lumo
