#pragma once
// Asic::DirectIndexTable: the base of the table entities whose entries live
// in process-local collections keyed by the entry's hardware index.
//
// It declares the table entity's virtual operations in their slot order
// (destructors and lastUserGone come from Lumo::Node, handleParent from
// Vex::Entity). The accessor slots (accessor, notifyingAccessor, const and
// non-const) sit between entryAttrId and writeResponseAttrId and come with
// the accessor types. Defaults, for the operations a table does not
// override: no attribute (field id 0), and nothing to do.
//
// Ownership: a reference-counted Vex::Entity; see Lumo/Node.h.
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
    virtual Vex::VexTypeBase typeData() const = 0;
    virtual Vex::VexAttr entryAttrId() const;
    virtual Vex::VexAttr writeResponseAttrId() const;
    virtual Vex::VexAttr bulkReadResponseAttrId() const;
    virtual void bulkReadResponseTidIs(TransactionId const& tid);
    virtual void initCapacityCount(Lumo::String const& name, UnitId unit);
    virtual void updateCapacityCount(bool added);
    virtual Vex::VexAttr readRequestAttrId() const;
};

}  // namespace Asic
