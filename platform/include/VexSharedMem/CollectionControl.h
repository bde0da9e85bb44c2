#pragma once
// The entity that stands for one mounted shared collection in the state
// tree. It mirrors the collection's mount status and quiescence (set by the
// owner's callbacks) and publishes each change, and it can hold the owning
// entity alive (entityRefIs): a table whose own last user is gone hands
// itself to its controls, so that the table lives as long as a mounter still
// holds a control and dies with the last of them.
//
// Ownership: counted (Lumo::Ptr). The owner holds its controls until its
// reference count reaches zero; the mounter holds the controls of what it
// mounted. `map` is a plain pointer into the owner; it is valid while the
// owner lives, which the entity reference guarantees once handed over.
#include <string>
#include <vector>

#include "Lumo/Node.h"
#include "Vex/Entity.h"
#include "Vorn/ControlBase.h"

namespace VexSharedMem {

class CollectionControl : public Vex::Entity {
public:
    static constexpr Lumo::FieldId kMountStatusAttrId = 1;
    static constexpr Lumo::FieldId kQuiescedAttrId = 2;
    static constexpr Lumo::FieldId kEntityRefAttrId = 3;

    CollectionControl(Lumo::String name, Vorn::ControlBase* map);
    ~CollectionControl() override;

    int mountStatus() const { return mountStatus_; }
    void mountStatusIs(int status);
    bool quiesced() const { return quiesced_; }
    void quiescedIs(bool quiesced);
    Lumo::Ptr<Vex::Entity> const& entityRef() const { return entityRef_; }
    void entityRefIs(Lumo::Ptr<Vex::Entity> const& entity);

    Vorn::ControlBase* map() const { return map_; }
    std::uint64_t mountStatusChanges() const { return mountStatusChanges_; }

private:
    Vorn::ControlBase* map_;
    int mountStatus_ = 0;
    bool quiesced_ = false;
    std::uint64_t mountStatusChanges_ = 0;
    Lumo::Ptr<Vex::Entity> entityRef_;
};

// Mounts collections the way the platform's state framework does in one
// process: init with a descriptor, then retries (tryAttach) and services
// notification work until every mounted collection is mounted and quiet.
// Holds each mounted collection's control until unmountAll().
class Mounter {
public:
    ~Mounter() { unmountAll(); }
    void mount(Lumo::Ptr<CollectionControl> const& control, Mem::CollectionDescriptor const& descriptor);
    // One round over every mounted collection: tryAttach, then service.
    // True while some collection still has work.
    bool poll();
    // Polls until nothing has work (at most `rounds` rounds); false on timeout.
    bool settle(int rounds = 10000);
    void unmountAll();
    std::size_t mounted() const { return controls_.size(); }

private:
    std::vector<Lumo::Ptr<CollectionControl>> controls_;
};

namespace Util {
// The full name in the state tree of `entity` (Vex::Entity::fullName).
Lumo::String fullName(Vex::Entity const* entity);
}  // namespace Util

}  // namespace VexSharedMem
