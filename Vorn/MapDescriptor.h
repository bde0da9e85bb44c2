#pragma once
// How a shared-memory map is to be built: sizes and the behaviour switches
// of its writer. Owned by the map's binding; the writer keeps a copy.
#include <cstdint>
#include <string>

#include <fmt/format.h>

#include "Mem/CollectionDescriptor.h"

namespace Vorn {

// 0 = writer, 1 and 3 = shadow readers, 2 = reader.
enum class VornType : std::uint8_t { writer = 0, shadow = 1, reader = 2, valueShadow = 3 };

struct MapDescriptor : Mem::CollectionDescriptor {
    std::uint32_t initialSize = 100;  // slots of a new slot file
    VornType type = VornType::writer;
    bool local = false;               // process-local (temporary) map, no files
    bool heapAllocation = false;      // local map memory from the heap
    bool fixedSize = false;           // never grows or shrinks; full is an error
    bool shrinkSlots = true;          // compact and shrink the slot file after removals
    bool shrinkBuckets = true;        // halve the bucket table when sparse
    bool criticalTaskCheck = true;    // yield to critical-priority tasks in long reorganisations
    // Strict validation: the writer checks the whole map (the full check it
    // runs on existing files) after every mutation and stops the process on
    // the first inconsistency. Off by default (it costs a walk of every
    // chain per change); for tests and for chasing a suspected corruption.
    bool strictValidation = false;
    std::uint32_t tableSize = 0;      // largest slot count expected (0: the initial size)
    std::uint32_t configSlots = 0;    // second slot count recorded in the header
    std::uint32_t sharedMemType = 1;  // recorded in the owner file
    // Mount-time options of a binding.
    bool prevValue = false;            // deliver the previous value with each change (needs captureNotifyValues)
    bool captureNotifyValues = false;  // a shadow keeps values for its notifications (type 3)
    bool announceExisting = true;      // a shadow reports the keys it finds when it attaches

    MapDescriptor() = default;
    explicit MapDescriptor(std::uint32_t size) : initialSize(size) {}

    std::string toString() const override {
        return fmt::format("size:{} type:{} local:{} heap:{} fixed:{} shrinkSlots:{} shrinkBuckets:{} tableSize:{}"
                           "{}{}",
                           initialSize, int(type), local, heapAllocation, fixedSize, shrinkSlots, shrinkBuckets,
                           tableSize, prevValue ? " prevValue" : "", captureNotifyValues ? " captureNotifyValues" : "")
            + (strictValidation ? " strict" : "");
    }

    // A mounted map can be asked to mount again with the same role, locality
    // and options; sizes may differ (the map keeps its own).
    bool compatible(Mem::CollectionDescriptor const& incoming, std::string& reason) const override {
        auto const* d = dynamic_cast<MapDescriptor const*>(&incoming);
        if (!d) {
            reason = "not a Vorn::MapDescriptor";
            return false;
        }
        if (d->type != type) reason = fmt::format("type {} != {}", int(d->type), int(type));
        else if (d->local != local) reason = "local differs";
        else if (d->heapAllocation != heapAllocation) reason = "heapAllocation differs";
        else if (d->fixedSize != fixedSize) reason = "fixedSize differs";
        else if (d->prevValue != prevValue || d->captureNotifyValues != captureNotifyValues) reason = "options differ";
        else return true;
        return false;
    }
};

}  // namespace Vorn
