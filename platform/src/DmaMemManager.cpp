#include "dmamem_lib/Manager.h"

namespace dmamem_lib {

char const* Manager::agentName = nullptr;
bool Manager::agentNameGuard = false;

}  // namespace dmamem_lib
