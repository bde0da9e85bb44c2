#include <cstdio>
#include <cstdlib>
#include <map>
#include <memory>
#include <mutex>

#include "Lumo/Assert.h"
#include "Lumo/Exception.h"
#include "Lumo/Trace.h"

namespace Lumo {

void fmassertFail(std::string_view cls, std::string_view file, std::string_view func, int line,
                  std::string_view message) {
    std::fprintf(stderr, "fmassert failed: class %.*s, %.*s, function %.*s, line %d: %.*s\n",
                 int(cls.size()), cls.data(), int(file.size()), file.data(), int(func.size()),
                 func.data(), line, int(message.size()), message.data());
    std::fflush(stderr);
    std::abort();
}

namespace Impl {
void throwVectorOutOfRangeException(std::size_t index, std::size_t size) {
    raise<RangeException>("vector index {} out of range (size {})", index, size);
}
}  // namespace Impl

namespace Platform {
namespace {

struct TraceRegistry {
    std::mutex mutex;
    std::map<std::string, std::unique_ptr<DebugHandler>, std::less<>> handlers;
    TraceSink sink;
    std::string config;  // LUMO_TRACE, read once

    TraceRegistry() {
        if (char const* env = std::getenv("LUMO_TRACE")) config = env;
    }

    // Level that LUMO_TRACE assigns to `name`: "name=L" or "*=L", else 0.
    int configuredLevel(std::string_view name) const {
        int level = 0;
        std::string_view rest = config;
        while (!rest.empty()) {
            auto comma = rest.find(',');
            std::string_view item = rest.substr(0, comma);
            rest = comma == std::string_view::npos ? std::string_view{} : rest.substr(comma + 1);
            auto eq = item.find('=');
            if (eq == std::string_view::npos) continue;
            std::string_view key = item.substr(0, eq);
            if (key == name || key == "*") level = std::atoi(std::string(item.substr(eq + 1)).c_str());
        }
        return level;
    }
};

TraceRegistry& registry() {
    static TraceRegistry* r = new TraceRegistry;  // never destroyed: traces may run at exit
    return *r;
}

}  // namespace

DebugHandler* getDebugHandler(std::string_view name, bool create) {
    auto& r = registry();
    std::lock_guard lock(r.mutex);
    auto it = r.handlers.find(name);
    if (it != r.handlers.end()) return it->second.get();
    if (!create) return nullptr;
    auto h = std::make_unique<DebugHandler>(std::string(name), r.configuredLevel(name));
    auto* raw = h.get();
    r.handlers.emplace(std::string(name), std::move(h));
    return raw;
}

void traceSinkIs(TraceSink sink) {
    auto& r = registry();
    std::lock_guard lock(r.mutex);
    r.sink = std::move(sink);
}

void emitTrace(DebugHandler const& h, int level, std::string_view cls, std::string_view file,
               std::string_view func, int line, std::string_view message) {
    auto slash = file.rfind('/');
    if (slash != std::string_view::npos) file = file.substr(slash + 1);
    std::string text =
        fmt::format("[{}:{}] {}::{} ({}:{}) {}", h.name(), level, cls, func, file, line, message);
    auto& r = registry();
    TraceSink sink;
    {
        std::lock_guard lock(r.mutex);
        sink = r.sink;
    }
    if (sink) {
        sink(text);
    } else {
        text.push_back('\n');
        std::fwrite(text.data(), 1, text.size(), stderr);
    }
}

}  // namespace Platform
}  // namespace Lumo
