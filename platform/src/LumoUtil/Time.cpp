#include "Lumo/Time.h"

#include <atomic>
#include <mutex>
#include <time.h>
#include <vector>

#include "Lumo/Rdtsc.h"
#include "Lumo/Scheduler.h"

namespace Lumo {

double time() {
    timespec ts;
    clock_gettime(CLOCK_REALTIME, &ts);
    return double(ts.tv_sec) + double(ts.tv_nsec) * 1e-9;
}

namespace Rdtsc {

namespace {
double monotonicSeconds() {
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return double(ts.tv_sec) + double(ts.tv_nsec) * 1e-9;
}
}  // namespace

std::uint64_t calibrationRate() {
    static std::uint64_t const rate = [] {
        double t0 = monotonicSeconds();
        std::uint64_t c0 = now();
        double t1 = t0;
        while (t1 - t0 < 0.005) t1 = monotonicSeconds();
        std::uint64_t c1 = now();
        double r = double(c1 - c0) / (t1 - t0);
        return r < 1e6 ? std::uint64_t(1e9) : std::uint64_t(r);
    }();
    return rate;
}

}  // namespace Rdtsc

namespace {
struct CriticalTasks {
    std::mutex mutex;
    std::vector<std::pair<std::uint32_t, TaskSchedulerRoot::Task>> tasks;
    std::uint32_t nextId = 1;
    std::atomic<std::uint64_t> runs{0};
};
CriticalTasks& criticalTasks() {
    static CriticalTasks* t = new CriticalTasks;  // never destroyed: may run at exit
    return *t;
}
}  // namespace

std::uint32_t TaskSchedulerRoot::criticalPriorityTaskIs(Task task) {
    auto& t = criticalTasks();
    std::lock_guard lock(t.mutex);
    std::uint32_t id = t.nextId++;
    t.tasks.emplace_back(id, std::move(task));
    return id;
}

void TaskSchedulerRoot::criticalPriorityTaskDel(std::uint32_t id) {
    auto& t = criticalTasks();
    std::lock_guard lock(t.mutex);
    std::erase_if(t.tasks, [id](auto const& p) { return p.first == id; });
}

void TaskSchedulerRoot::runCriticalPriorityTasks() {
    auto& t = criticalTasks();
    std::vector<Task> copy;
    {
        std::lock_guard lock(t.mutex);
        for (auto const& p : t.tasks) copy.push_back(p.second);
    }
    t.runs.fetch_add(1, std::memory_order_relaxed);
    for (auto& task : copy) task();
}

std::uint64_t TaskSchedulerRoot::criticalRuns() {
    return criticalTasks().runs.load(std::memory_order_relaxed);
}

}  // namespace Lumo
