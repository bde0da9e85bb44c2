#pragma once
// End of life of entities handed over by their lastUserGone().
//
// cleanup(entity) destroys the entity with its deleting destructor. When a
// destruction releases the last use of further entities (a table releasing
// its control, a parent its children) those are queued and destroyed after
// the current one returns, so that the stack does not grow with the length
// of a chain of owners. The queue is per thread.
#include "Lumo/Node.h"

namespace Pell::Core::Memory::Entity::Destructor {

void cleanup(Lumo::Node const* entity);

}  // namespace Pell::Core::Memory::Entity::Destructor
