#include "VexSharedMem/CollectionControl.h"

#include <mutex>

#include "Asic/AmaMem/IndexTable.h"
#include "Lumo/Exception.h"
#include "Lumo/Trace.h"
#include "Vorn/VornMapBase.h"

namespace VexSharedMem {

CollectionControl::CollectionControl(Lumo::String name, Vorn::ControlBase* map)
    : Vex::Entity(std::move(name)), map_(map) {}

// The entity reference goes last: releasing it may destroy the owner.
CollectionControl::~CollectionControl() {
    Lumo::Ptr<Vex::Entity> ref = std::move(entityRef_);
    map_ = nullptr;
}

void CollectionControl::mountStatusIs(int status) {
    ++mountStatusChanges_;
    if (status == mountStatus_) return;
    mountStatus_ = status;
    publisher().publishChange(kMountStatusAttrId, Lumo::ChangeKey::none());
}

void CollectionControl::quiescedIs(bool quiesced) {
    if (quiesced == quiesced_) return;
    quiesced_ = quiesced;
    publisher().publishChange(kQuiescedAttrId, Lumo::ChangeKey::none());
}

void CollectionControl::entityRefIs(Lumo::Ptr<Vex::Entity> const& entity) {
    if (entity == entityRef_) return;
    Lumo::Ptr<Vex::Entity> old = std::move(entityRef_);
    entityRef_ = entity;
    publisher().publishChange(kEntityRefAttrId, Lumo::ChangeKey::none());
}  // the old entity is released here, after the publication

void Mounter::mount(Lumo::Ptr<CollectionControl> const& control, Mem::CollectionDescriptor const& descriptor) {
    if (!control || !control->map())
        Lumo::raise<Lumo::IllegalOperationException>("VexSharedMem::Mounter: nothing to mount");
    control->map()->init(descriptor);
    controls_.push_back(control);
}

bool Mounter::poll() {
    bool work = false;
    for (auto& c : controls_) {
        Vorn::ControlBase* m = c->map();
        if (!m) continue;
        m->tryAttach();
        work |= m->service();
    }
    return work;
}

bool Mounter::settle(int rounds) {
    for (int i = 0; i < rounds; ++i)
        if (!poll()) return true;
    return false;
}

void Mounter::unmountAll() {
    std::vector<Lumo::Ptr<CollectionControl>> c;
    c.swap(controls_);
    while (!c.empty()) c.pop_back();  // newest first
}

namespace Util {
Lumo::String fullName(Vex::Entity const* entity) { return entity ? entity->fullName() : Lumo::String(); }
}  // namespace Util

}  // namespace VexSharedMem

namespace Vorn {

namespace {
struct Hook {
    std::mutex mutex;
    VornMapBase::CorruptionHook hook;
};
Hook& hook() {
    static Hook* h = new Hook;
    return *h;
}
}  // namespace

char const* VornMapBase::eventName(Event e) {
    switch (e) {
    case eventInit: return "eventInit";
    case eventTryAttach: return "eventTryAttach";
    case eventFlushComplete: return "eventFlushComplete";
    }
    return "?";
}

void VornMapBase::doCorruptionDetected(std::string const& message) {
    ++corruptions_;
    lastCorruption_ = message;
    if (auto* h = Lumo::Platform::getDebugHandler("Vorn", true))
        LUMO_FMTRACE(h, 2, "VornMapBase", "{} corruption detected: {}", collName(), message);
    VornMapBase::CorruptionHook f;
    {
        std::lock_guard lock(hook().mutex);
        f = hook().hook;
    }
    if (f) f(collName(), message);
}

void VornMapBase::corruptionHookIs(CorruptionHook h) {
    std::lock_guard lock(hook().mutex);
    hook().hook = std::move(h);
}

}  // namespace Vorn

namespace Asic::AmaMem {

IndexTable::IndexTable(Lumo::String const& name) : Vex::Entity(name) {}
IndexTable::~IndexTable() = default;

Vex::VexAttr IndexTable::entryAttrId() const { return {}; }
Asic::IndexTable::Accessor const* IndexTable::accessor(CollectionId id) const {
    return const_cast<IndexTable*>(this)->accessor(id);
}
Asic::IndexTable::Accessor* IndexTable::accessor(CollectionId) { return nullptr; }
Asic::IndexTable::NotifyingAccessor* IndexTable::notifyingAccessor(CollectionId) { return nullptr; }
Asic::IndexTable::NotifyingAccessor const* IndexTable::notifyingAccessor(CollectionId id) const {
    return const_cast<IndexTable*>(this)->notifyingAccessor(id);
}
Vex::VexAttr IndexTable::writeResponseAttrId() const { return {}; }
Vex::VexAttr IndexTable::bulkReadResponseAttrId() const { return {}; }
void IndexTable::bulkReadResponseTidIs(TransactionId const&) {}
void IndexTable::initCapacityCount(Lumo::String const&, UnitId) {}
void IndexTable::updateCapacityCount(bool) {}
Vex::VexAttr IndexTable::readRequestAttrId() const { return {}; }

}  // namespace Asic::AmaMem
