#include "Vex/Entity.h"

#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "Lumo/Exception.h"

namespace Vex {

Entity::Entity(Lumo::String name) : name_(std::move(name)) {}

namespace {
struct Singletons {
    std::mutex mutex;
    std::map<std::pair<std::string, std::uint32_t>, std::pair<std::string, Entity::Factory>> factories;
    std::map<std::string, Entity*, std::less<>> byName;
};
Singletons& singletons() {
    static Singletons* s = new Singletons;  // outlives every static destructor that may drop a singleton
    return *s;
}
std::pair<std::string, std::uint32_t> key(VexTypeBase t) { return {t.module ? t.module : "", t.index}; }
}  // namespace

Entity::~Entity() {
    for (auto& [n, c] : children_) c->parent_ = nullptr;
    if (singleton_) {
        auto& s = singletons();
        std::lock_guard lock(s.mutex);
        auto it = s.byName.find(name_);
        if (it != s.byName.end() && it->second == this) s.byName.erase(it);
    }
}

void Entity::typeFactoryIs(VexTypeBase type, char const* typeName, Factory make) {
    auto& s = singletons();
    std::lock_guard lock(s.mutex);
    s.factories[key(type)] = {typeName, make};
}

void Entity::typeFactoryDel(VexTypeBase type) {
    auto& s = singletons();
    std::lock_guard lock(s.mutex);
    s.factories.erase(key(type));
}

Lumo::Ptr<Entity> Entity::singletonExists(Lumo::String const& name) {
    auto& s = singletons();
    std::lock_guard lock(s.mutex);
    auto it = s.byName.find(name);
    return it == s.byName.end() ? Lumo::Ptr<Entity>() : Lumo::Ptr<Entity>(it->second);
}

Lumo::Ptr<Entity> Entity::singletonIs(VexTypeBase type) {
    auto& s = singletons();
    std::unique_lock lock(s.mutex);
    auto f = s.factories.find(key(type));
    if (f == s.factories.end())
        Lumo::raise<Lumo::RangeException>("Vex::Entity::singletonIs: no type {} in module {}", type.index,
                                          type.module ? type.module : "");
    auto [name, make] = f->second;
    if (auto it = s.byName.find(name); it != s.byName.end()) return Lumo::Ptr<Entity>(it->second);
    lock.unlock();  // the constructor may make further singletons
    Lumo::Ptr<Entity> e = make(Lumo::String(name));
    lock.lock();
    e->singleton_ = true;
    s.byName[name] = e.ptr();
    return e;
}

Lumo::String Entity::fullName() const {
    std::vector<Entity const*> path;
    for (Entity const* e = this; e; e = e->parent_) path.push_back(e);
    Lumo::String out;
    for (auto it = path.rbegin(); it != path.rend(); ++it) {
        out.push_back('/');
        out += (*it)->name_;
    }
    return out;
}

void Entity::parentIs(Lumo::Ptr<Entity> const& parent) {
    parent_ = parent.ptr();
    handleParent(parent);
}

void Entity::handleParent(Lumo::Ptr<Entity> const&) {}

void Entity::childIs(Lumo::Ptr<Entity> const& child) {
    if (!child) Lumo::raise<Lumo::RangeException>("Vex::Entity::childIs: null child of {}", fullName());
    if (child->parent_ && child->parent_ != this)
        Lumo::raise<Lumo::RangeException>("Vex::Entity::childIs: {} already has the parent {}", child->name_,
                                          child->parent_->fullName());
    for (Entity const* e = this; e; e = e->parent_)
        if (e == child.ptr())
            Lumo::raise<Lumo::RangeException>("Vex::Entity::childIs: {} would be its own ancestor", child->name_);
    auto it = children_.find(child->name_);
    if (it != children_.end() && it->second != child) {
        Lumo::Ptr<Entity> old = std::move(it->second);
        old->parent_ = nullptr;
        it->second = child;
    } else {
        children_[child->name_] = child;
    }
    child->parentIs(Lumo::Ptr<Entity>(this));
}

Lumo::Ptr<Entity> Entity::child(std::string_view name) const {
    auto it = children_.find(name);
    return it == children_.end() ? Lumo::Ptr<Entity>() : it->second;
}

bool Entity::childDel(std::string_view name) {
    auto it = children_.find(name);
    if (it == children_.end()) return false;
    Lumo::Ptr<Entity> c = std::move(it->second);
    children_.erase(it);
    c->parentIs(nullptr);
    return true;
}

void Entity::lastUserGone() {
    if (inZeroReferences_) return;  // the outer call below decides
    inZeroReferences_ = true;
    publisher_.notifyZeroReferences();
    inZeroReferences_ = false;
    if (useCount() == 0) delete this;
}

Lumo::String fetchName(Entity const* e) { return e ? e->name() : Lumo::String(); }

NotifieeConst::~NotifieeConst() {
    if (publisher_) publisher_->subscriberRemove(this);
}

void NotifieeConst::publisherIs(Lumo::Publisher* p) {
    if (p == publisher_) return;
    if (publisher_) publisher_->subscriberRemove(this);
    publisher_ = p;
    if (p) p->subscriberAdd(this);
}

void NotifieeConst::onAttribute(Lumo::FieldId, void const*) {}

void NotifieeConst::onChange(Lumo::Change const& change) {
    if (!registered_) return;
    std::uint32_t const index = change.key.index();
    onAttribute(change.fieldId, change.key.hasKey() ? &index : nullptr);
}

}  // namespace Vex
