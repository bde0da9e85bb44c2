#pragma once
// Process-wide state of the DMA memory manager that loaded libraries share.

namespace dmamem_lib {

struct Manager {
    // The agent's process name as read from "AGENT_PROCESS_NAME" when the
    // first type library was loaded; null when the variable was unset. The
    // guard says whether it was read (loading runs on one thread: a plain flag).
    static char const* agentName;
    static bool agentNameGuard;
};

}  // namespace dmamem_lib
