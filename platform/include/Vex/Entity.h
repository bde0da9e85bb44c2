#pragma once
// Entities of the entity framework and their watchers.
//
// A Vex::Entity is a named, reference-counted node of the agent's state tree.
// A parent owns its children (one use each); a child knows its parent through
// a plain pointer that the parent clears when it dies. Each entity owns the
// Publisher on which its attribute changes are announced.
//
// End of life: when the last use goes, lastUserGone() first tells the
// publisher's subscribers (onZeroReferences); a subscriber may take a new use
// to keep the entity alive (the shared-memory tables hand themselves to their
// collection controls this way). Only when nobody did is the entity deleted.
//
// Vex::NotifieeConst watches one publisher. It is itself a Node, usually held
// by the entity it watches or by an agent; it unsubscribes when destroyed.
// Everything here runs on the owning agent's thread.
#include <map>
#include <string_view>

#include "Lumo/Node.h"
#include "Lumo/Publisher.h"
#include "Lumo/String.h"
#include "Vex/VexType.h"

namespace Vex {

class Entity : public Lumo::Node {
public:
    explicit Entity(Lumo::String name);
    ~Entity() override;

    Lumo::String const& name() const { return name_; }
    Entity* parent() const { return parent_; }
    // Names from the root down, each preceded by '/': "/agent/tables/IsecSaTable".
    Lumo::String fullName() const;

    // Attaches this entity under `parent` (null: detaches) and then runs
    // handleParent. The parent does not take a use: see childIs for that.
    void parentIs(Lumo::Ptr<Entity> const& parent);
    // Every entity's first own virtual operations, in this order: its
    // publisher, its type (module, type index; none for a plain entity),
    // and the hook run after the parent changed (default: nothing).
    virtual Lumo::Publisher& publisher() const { return publisher_; }
    virtual VexTypeBase typeData() const { return {}; }
    virtual void handleParent(Lumo::Ptr<Entity> const& parent);

    // The parent takes one use of the child and becomes its parent. A child
    // of the same name is replaced. Raises Lumo::RangeException for a child
    // that already has another parent.
    void childIs(Lumo::Ptr<Entity> const& child);
    Lumo::Ptr<Entity> child(std::string_view name) const;
    // Detaches and releases the named child; false when there is none.
    bool childDel(std::string_view name);
    std::size_t children() const { return children_.size(); }

    void lastUserGone() override;

    // Named singletons. A type that can be made by type alone registers its
    // factory under (module, type index) with its full type name; the
    // singleton of a type is named after it. The registry does not hold a
    // use: a singleton lives while somebody holds it, and leaves the
    // registry when it is destroyed.
    using Factory = Lumo::Ptr<Entity> (*)(Lumo::String const& name);
    static void typeFactoryIs(VexTypeBase type, char const* typeName, Factory make);
    static void typeFactoryDel(VexTypeBase type);
    // The existing singleton of that name, or null.
    static Lumo::Ptr<Entity> singletonExists(Lumo::String const& name);
    // Creates the singleton of `type` (its existing one if there is one).
    // Raises Lumo::RangeException for a type without a factory.
    static Lumo::Ptr<Entity> singletonIs(VexTypeBase type);

private:
    Lumo::String name_;
    bool singleton_ = false;
    // Set while the subscribers hear of the last use going: a use taken and
    // dropped again by one of them does not end the entity from inside.
    bool inZeroReferences_ = false;
    Entity* parent_ = nullptr;
    std::map<Lumo::String, Lumo::Ptr<Entity>, std::less<>> children_;
    mutable Lumo::Publisher publisher_;
};

// The entity's name, or "" for a null entity (used in traces).
Lumo::String fetchName(Entity const* e);
inline Lumo::String fetchName(Lumo::Ptr<Entity> const& e) { return fetchName(e.ptr()); }

// A subscriber watching one publisher. Delivery can be switched off without
// unsubscribing (isRegisteredNotifieeIs(false)); it starts switched on.
class NotifieeConst : public Lumo::Node, public Lumo::Subscriber {
public:
    NotifieeConst() = default;
    ~NotifieeConst() override;

    Lumo::Publisher* publisher() const { return publisher_; }
    // Unsubscribes from the previous publisher, subscribes to `p` (may be null).
    void publisherIs(Lumo::Publisher* p);
    void notifierIs(Entity const* e) { publisherIs(e ? &e->publisher() : nullptr); }

    bool isRegisteredNotifiee() const { return registered_; }
    void isRegisteredNotifieeIs(bool on) const { registered_ = on; }

    void onZeroReferences() override {}
    // One change: the attribute and a pointer to the 32-bit key, or null
    // for a change without key.
    virtual void onAttribute(Lumo::FieldId fieldId, void const* key);
    // Recursive changes reach onAttribute too; override onChange to see the
    // previous value.
    void onChange(Lumo::Change const& change) override;

private:
    Lumo::Publisher* publisher_ = nullptr;
    mutable bool registered_ = true;
};

}  // namespace Vex
