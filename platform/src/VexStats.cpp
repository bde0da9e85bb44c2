#include "Vex/Stats.h"

#include <cstdlib>
#include <memory>
#include <mutex>

#include "Lumo/Exception.h"

namespace Vex::Stats {

namespace {
struct Registry {
    std::mutex mutex;
    std::map<std::string, std::unique_ptr<Writer>, std::less<>> writers;
};
Registry& registry() {
    static Registry* r = new Registry;  // counters outlive every static destructor
    return *r;
}
}  // namespace

Writer& Writer::open(std::string_view statsName, std::uint32_t param) {
    auto& r = registry();
    std::lock_guard lock(r.mutex);
    auto it = r.writers.find(statsName);
    if (it != r.writers.end()) {
        if (it->second->param_ != param)
            Lumo::raise<Lumo::RangeException>("statistics writer {} opened with parameter {}, already open with {}",
                                              statsName, param, it->second->param_);
        return *it->second;
    }
    auto w = std::make_unique<Writer>(std::string(statsName), param);
    Writer& ref = *w;
    r.writers.emplace(std::string(statsName), std::move(w));
    return ref;
}

Writer* Writer::find(std::string_view statsName) {
    auto& r = registry();
    std::lock_guard lock(r.mutex);
    auto it = r.writers.find(statsName);
    return it == r.writers.end() ? nullptr : it->second.get();
}

std::uint64_t* Writer::counterIs(std::uint32_t id, std::string_view name) {
    std::lock_guard lock(registry().mutex);
    auto byName = byName_.find(name);
    auto byId = byId_.find(id);
    if (byName != byName_.end() || byId != byId_.end()) {
        if (byName == byName_.end() || byName->second.first != id)
            Lumo::raise<Lumo::RangeException>("statistics {}: counter id {} name {} conflicts with a registered counter",
                                              name_, id, name);
        return byName->second.second;
    }
    std::uint64_t* v = &values_.emplace_back(0);
    byName_.emplace(std::string(name), std::make_pair(id, v));
    byId_.emplace(id, std::string(name));
    return v;
}

std::uint64_t const* Writer::counter(std::string_view name) const {
    std::lock_guard lock(registry().mutex);
    auto it = byName_.find(name);
    return it == byName_.end() ? nullptr : it->second.second;
}

std::string const& defaultStatsName() {
    static std::string const name = [] {
        char const* env = std::getenv("AGENT_PROCESS_NAME");
        return std::string(env && *env ? env : "agent");
    }();
    return name;
}

}  // namespace Vex::Stats
