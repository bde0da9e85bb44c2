#pragma once
// Asic::DirectIndexTable: the base of the table entities whose entries live
// in process-local collections keyed by the entry's hardware index.
//
// It declares the table entity's virtual operations in their slot order
// (destructors and lastUserGone come from Lumo::Node, handleParent from
// Vex::Entity). Defaults, for the operations a table does not override: no
// attribute (field id 0), no accessor, and nothing to do. The const accessor
// operations hand out the table's own (non-const) accessors.
//
// Ownership: a reference-counted Vex::Entity; see Lumo/Node.h.
#include "Asic/TableAccessor.h"
#include "Asic/Types.h"
#include "Lumo/String.h"
#include "Vex/Entity.h"
#include "Vex/VexType.h"

namespace Asic {

class DirectIndexTable : public Vex::Entity {
public:
    explicit DirectIndexTable(Lumo::String const& name);
    ~DirectIndexTable() override;

    // The table entity type's (module, type index).
    Vex::VexTypeBase typeData() const override = 0;
    virtual Vex::VexAttr entryAttrId() const;
    // The accessors of collection `id` (Asic/TableAccessor.h).
    virtual IndexTable::Accessor const* accessor(CollectionId id) const;
    virtual IndexTable::Accessor* accessor(CollectionId id);
    virtual IndexTable::NotifyingAccessor* notifyingAccessor(CollectionId id);
    virtual IndexTable::NotifyingAccessor const* notifyingAccessor(CollectionId id) const;
    virtual Vex::VexAttr writeResponseAttrId() const;
    virtual Vex::VexAttr bulkReadResponseAttrId() const;
    virtual void bulkReadResponseTidIs(TransactionId const& tid);
    virtual void initCapacityCount(Lumo::String const& name, UnitId unit);
    virtual void updateCapacityCount(bool added);
    virtual Vex::VexAttr readRequestAttrId() const;
};

}  // namespace Asic
