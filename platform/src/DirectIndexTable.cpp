#include "Asic/DirectIndexTable.h"

namespace Asic {

DirectIndexTable::DirectIndexTable(Lumo::String const& name) : Vex::Entity(name) {}
DirectIndexTable::~DirectIndexTable() = default;

Vex::VexAttr DirectIndexTable::entryAttrId() const { return {}; }
Vex::VexAttr DirectIndexTable::writeResponseAttrId() const { return {}; }
Vex::VexAttr DirectIndexTable::bulkReadResponseAttrId() const { return {}; }
void DirectIndexTable::bulkReadResponseTidIs(TransactionId const&) {}
void DirectIndexTable::initCapacityCount(Lumo::String const&, UnitId) {}
void DirectIndexTable::updateCapacityCount(bool) {}
Vex::VexAttr DirectIndexTable::readRequestAttrId() const { return {}; }

}  // namespace Asic
