#include "Lumo/ThreadMode.h"

#include <cstdlib>

namespace Lumo {
namespace Impl {
// LUMO_THREAD_SAFE=1 starts the process in thread-safe mode.
bool gThreadSafeMode = [] {
    char const* env = std::getenv("LUMO_THREAD_SAFE");
    return env && *env == '1';
}();
}  // namespace Impl

void threadSafeModeIs(bool on) { Impl::gThreadSafeMode = on; }

}  // namespace Lumo
