#pragma once
// The agent's task scheduler, as far as the library uses it: a long
// reorganisation calls runCriticalPriorityTasks() every time slice so that
// the agent's critical-priority work (heartbeats, watchdog kicks) is not
// starved. The library starts no thread; tasks run on the caller's thread.
#include <cstdint>
#include <functional>

namespace Lumo {

class TaskSchedulerRoot {
public:
    using Task = std::function<void()>;
    // Registers a critical-priority task; returns its id for removal.
    static std::uint32_t criticalPriorityTaskIs(Task task);
    static void criticalPriorityTaskDel(std::uint32_t id);
    // Runs every registered critical-priority task once, in registration order.
    static void runCriticalPriorityTasks();
    // How many times runCriticalPriorityTasks ran in this process.
    static std::uint64_t criticalRuns();
};

}  // namespace Lumo
