#pragma once
// Asic::AmaMem::IndexTable: the base of the table entities whose entries live
// in shared-memory maps.
//
// It declares the table entity's virtual operations in their slot order,
// like Asic::DirectIndexTable (destructors and lastUserGone come from
// Lumo::Node, publisher-related slots and handleParent from Vex::Entity).
// Defaults: no attribute (field id 0), no accessor, and nothing to do; a
// table that hands out accessors overrides the non-const accessor
// operations, and the const ones hand those out.
#include "Asic/TableAccessor.h"
#include "Asic/Types.h"
#include "Lumo/String.h"
#include "Vex/Entity.h"
#include "Vex/VexType.h"

namespace Asic::AmaMem {

class IndexTable : public Vex::Entity {
public:
    explicit IndexTable(Lumo::String const& name);
    ~IndexTable() override;

    Vex::VexTypeBase typeData() const override = 0;
    virtual Vex::VexAttr entryAttrId() const;
    virtual Asic::IndexTable::Accessor const* accessor(CollectionId id) const;
    virtual Asic::IndexTable::Accessor* accessor(CollectionId id);
    virtual Asic::IndexTable::NotifyingAccessor* notifyingAccessor(CollectionId id);
    virtual Asic::IndexTable::NotifyingAccessor const* notifyingAccessor(CollectionId id) const;
    virtual Vex::VexAttr writeResponseAttrId() const;
    virtual Vex::VexAttr bulkReadResponseAttrId() const;
    virtual void bulkReadResponseTidIs(TransactionId const& tid);
    virtual void initCapacityCount(Lumo::String const& name, UnitId unit);
    virtual void updateCapacityCount(bool added);
    virtual Vex::VexAttr readRequestAttrId() const;
};

}  // namespace Asic::AmaMem
