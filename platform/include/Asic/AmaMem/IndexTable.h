#pragma once
// Asic::AmaMem::IndexTable: the base of the table entities whose entries live
// in shared-memory maps.
//
// It declares the table entity's virtual operations in their slot order,
// like Asic::DirectIndexTable (destructors and lastUserGone come from
// Lumo::Node, publisher-related slots and handleParent from Vex::Entity).
// The accessor slots (accessor const and non-const, notifyingAccessor
// non-const and const) belong between entryAttrId and writeResponseAttrId
// and come with the accessor types. Defaults: no attribute (field id 0), and
// nothing to do.
#include "Asic/Types.h"
#include "Lumo/String.h"
#include "Vex/Entity.h"
#include "Vex/VexType.h"

namespace Asic::AmaMem {

class IndexTable : public Vex::Entity {
public:
    explicit IndexTable(Lumo::String const& name);
    ~IndexTable() override;

    virtual Vex::VexTypeBase typeData() const = 0;
    virtual Vex::VexAttr entryAttrId() const;
    // (accessor slots)
    virtual Vex::VexAttr writeResponseAttrId() const;
    virtual Vex::VexAttr bulkReadResponseAttrId() const;
    virtual void bulkReadResponseTidIs(TransactionId const& tid);
    virtual void initCapacityCount(Lumo::String const& name, UnitId unit);
    virtual void updateCapacityCount(bool added);
    virtual Vex::VexAttr readRequestAttrId() const;
};

}  // namespace Asic::AmaMem
