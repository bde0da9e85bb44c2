#pragma once
// How a shared-memory map is to be built: sizes and the behaviour switches
// of its writer. Owned by the map's binding; the writer keeps a copy.
#include <cstdint>
#include <string>

#include <fmt/format.h>

namespace Vorn {

// 0 = writer, 1 and 3 = shadow readers, 2 = reader.
enum class VornType : std::uint8_t { writer = 0, shadow = 1, reader = 2, valueShadow = 3 };

struct MapDescriptor {
    std::uint32_t initialSize = 100;  // slots of a new slot file
    VornType type = VornType::writer;
    bool local = false;               // process-local (temporary) map, no files
    bool heapAllocation = false;      // local map memory from the heap
    bool fixedSize = false;           // never grows or shrinks; full is an error
    bool shrinkSlots = true;          // compact and shrink the slot file after removals
    bool shrinkBuckets = true;        // halve the bucket table when sparse
    bool criticalTaskCheck = true;    // yield to critical-priority tasks in long reorganisations
    std::uint32_t tableSize = 0;      // largest slot count expected (0: the initial size)
    std::uint32_t configSlots = 0;    // second slot count recorded in the header
    std::uint32_t sharedMemType = 1;  // recorded in the owner file

    MapDescriptor() = default;
    explicit MapDescriptor(std::uint32_t size) : initialSize(size) {}

    std::string toString() const {
        return fmt::format("size:{} type:{} local:{} heap:{} fixed:{} shrinkSlots:{} shrinkBuckets:{} tableSize:{}",
                           initialSize, int(type), local, heapAllocation, fixedSize, shrinkSlots, shrinkBuckets,
                           tableSize);
    }
};

}  // namespace Vorn
