#include "Asic/DirectIndexTable.h"

namespace Asic {

DirectIndexTable::DirectIndexTable(Lumo::String const& name) : Vex::Entity(name) {}
DirectIndexTable::~DirectIndexTable() = default;

Vex::VexAttr DirectIndexTable::entryAttrId() const { return {}; }
IndexTable::Accessor const* DirectIndexTable::accessor(CollectionId id) const {
    return const_cast<DirectIndexTable*>(this)->accessor(id);
}
IndexTable::Accessor* DirectIndexTable::accessor(CollectionId) { return nullptr; }
IndexTable::NotifyingAccessor* DirectIndexTable::notifyingAccessor(CollectionId) { return nullptr; }
IndexTable::NotifyingAccessor const* DirectIndexTable::notifyingAccessor(CollectionId id) const {
    return const_cast<DirectIndexTable*>(this)->notifyingAccessor(id);
}
Vex::VexAttr DirectIndexTable::writeResponseAttrId() const { return {}; }
Vex::VexAttr DirectIndexTable::bulkReadResponseAttrId() const { return {}; }
void DirectIndexTable::bulkReadResponseTidIs(TransactionId const&) {}
void DirectIndexTable::initCapacityCount(Lumo::String const&, UnitId) {}
void DirectIndexTable::updateCapacityCount(bool) {}
Vex::VexAttr DirectIndexTable::readRequestAttrId() const { return {}; }

}  // namespace Asic
