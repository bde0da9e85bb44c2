#pragma once
// What a collection is to be mounted as: handed by the state framework to a
// collection's init() at mount time. Each collection framework derives its
// own descriptor (Vorn::MapDescriptor); the platform only needs to print
// one and to ask whether a second mount request agrees with the first.
#include <string>

namespace Mem {

class CollectionDescriptor {
public:
    virtual ~CollectionDescriptor() = default;
    virtual std::string toString() const = 0;
    // Whether a collection mounted with *this may be asked to mount again
    // with `incoming`; when not, `reason` says why (may stay empty).
    virtual bool compatible(CollectionDescriptor const& incoming, std::string& reason) const = 0;

protected:
    CollectionDescriptor() = default;
    CollectionDescriptor(CollectionDescriptor const&) = default;
    CollectionDescriptor& operator=(CollectionDescriptor const&) = default;
};

}  // namespace Mem
