#include "Lumo/Toggle.h"

#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <map>
#include <mutex>
#include <sstream>
#include <string>

namespace {

// Finds `"name"` followed by `:` and `true`/`false` in a JSON object's text.
// Returns -1 when absent or not a boolean.
int jsonBool(std::string const& text, std::string_view name) {
    // Appended piecewise: GCC 12 reports a false -Wrestrict on the chained
    // operator+ form in optimised builds.
    std::string quoted(1, '"');
    quoted.append(name).push_back('"');
    for (auto pos = text.find(quoted); pos != std::string::npos; pos = text.find(quoted, pos + 1)) {
        auto p = pos + quoted.size();
        while (p < text.size() && (text[p] == ' ' || text[p] == '\t' || text[p] == '\n' || text[p] == '\r')) ++p;
        if (p >= text.size() || text[p] != ':') continue;
        ++p;
        while (p < text.size() && (text[p] == ' ' || text[p] == '\t' || text[p] == '\n' || text[p] == '\r')) ++p;
        if (text.compare(p, 4, "true") == 0) return 1;
        if (text.compare(p, 5, "false") == 0) return 0;
        return -1;
    }
    return -1;
}

int envToggle(std::string_view name) {
    char const* env = std::getenv("LUMO_TOGGLES");
    if (!env) return -1;
    std::string_view rest = env;
    int value = -1;
    while (!rest.empty()) {
        auto comma = rest.find(',');
        std::string_view item = rest.substr(0, comma);
        rest = comma == std::string_view::npos ? std::string_view{} : rest.substr(comma + 1);
        auto eq = item.find('=');
        if (eq == std::string_view::npos || item.substr(0, eq) != name) continue;
        auto v = item.substr(eq + 1);
        value = (v == "1" || v == "true" || v == "on") ? 1 : 0;
    }
    return value;
}

}  // namespace

bool getToggleState(std::string_view name, std::string_view file, bool dflt) {
    static std::mutex mutex;
    static auto* cache = new std::map<std::string, bool>;  // read once per process
    static int cachePid = 0;  // a forked child reads its own environment again
    std::string key(file);
    key.append(1, '/').append(name);
    std::lock_guard lock(mutex);
    if (cachePid != ::getpid()) {
        cache->clear();
        cachePid = ::getpid();
    }
    if (auto it = cache->find(key); it != cache->end()) return it->second;
    int v = envToggle(name);
    if (v < 0) {
        if (char const* dir = std::getenv("LUMO_TOGGLE_DIR")) {
            std::string path(dir);
            path.append(1, '/').append(file);
            std::ifstream in(path);
            if (in) {
                std::stringstream ss;
                ss << in.rdbuf();
                v = jsonBool(ss.str(), name);
            }
        }
    }
    bool result = v < 0 ? dflt : v == 1;
    cache->emplace(key, result);
    return result;
}
