#include <vector>

#include "Pell/Core/EntityDestructor.h"

namespace Pell::Core::Memory::Entity::Destructor {

namespace {
struct Pending {
    std::vector<Lumo::Node const*> queue;
    bool running = false;
};
thread_local Pending tPending;
}  // namespace

void cleanup(Lumo::Node const* entity) {
    if (!entity) return;
    Pending& p = tPending;
    p.queue.push_back(entity);
    if (p.running) return;
    p.running = true;
    // Destroy in the order handed over; destructors may append.
    for (std::size_t i = 0; i < p.queue.size(); ++i) delete p.queue[i];
    p.queue.clear();
    p.running = false;
}

}  // namespace Pell::Core::Memory::Entity::Destructor
