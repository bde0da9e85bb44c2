#pragma once
// A mounted shared collection as the platform sees it, whatever its value
// type: the collection controls and the mounter reach a typed map binding
// only through this interface.
#include <cstdint>
#include <string>

#include "Mem/CollectionDescriptor.h"
#include "Vorn/MountStatus.h"

namespace Vorn {

class ControlBase {
public:
    virtual ~ControlBase() = default;
    // Mount-time initialisation (raises Lumo::InvalidInitializeException for
    // a descriptor it cannot take).
    virtual void init(Mem::CollectionDescriptor const& descriptor) = 0;
    virtual void tryAttach() = 0;
    // Runs pending notification work (a shadow's synchronisation); true
    // while work remains.
    virtual bool service() = 0;
    virtual MountStatus mountStatus() const = 0;
    virtual bool quiesced() const = 0;
    virtual std::string const& collName() const = 0;
    virtual std::string rootPath() const = 0;
};

}  // namespace Vorn
