#pragma once
// Descriptor entities of the chip access layer: what the hardware side needs
// to reach a table on the chip (memories, entry count, units), as the
// constant records a generated descriptor points its base at.
//
// Records are plain constant data owned by the generated code (static
// storage); the descriptor keeps spans into them. Only the chunk allocator
// is counted (one process-wide singleton per allocator type).
#include <cstdint>
#include <functional>
#include <span>

#include "Asic/Types.h"
#include "Lumo/Node.h"
#include "Lumo/String.h"
#include "Vex/Entity.h"
#include "Vex/VexType.h"

namespace Asic {

// Where the data memories of one collection live on the chip.
struct MemLayout {
    std::uint32_t dataMemories;
    std::uint32_t instances;
    // instances x dataMemories lists, instance-major; each holds the
    // physical memory id, or nothing where that instance lacks the memory.
    std::span<std::span<std::uint32_t const> const> physicalMemIds;
    std::uint64_t isRegister;
    std::uint64_t secondAccess;
    std::span<std::uint32_t const> perMemoryCounts;  // one per data memory
    std::uint64_t entries;
};

struct MemGroup {
    std::span<MemLayout const> layouts;
    char const* suffix;  // "" or "::Read"
    std::uint64_t reserved;  // always 0
};

struct DataAttrNames {
    char const* collection;  // "entry"
    std::span<char const* const> arrays;  // "dataByte0", ...
    std::uint64_t count;  // always 1
};

struct CollectionNames {
    char const* entry;          // "entry"
    char const* writeResponse;  // "writeResponse", or null in read tables
    std::span<DataAttrNames const> data;
};

// Allocators of chip memory chunks, one singleton per type. The module that
// holds them numbers them from 1.
class ChunkAllocator : public Vex::Entity {
public:
    using Vex::Entity::Entity;
    virtual char const* policy() const = 0;
};
class ChunkAllocatorNoOptimization : public ChunkAllocator {
public:
    static constexpr char kTypeName[] = "Asic::ChunkAllocatorNoOptimization";
    using ChunkAllocator::ChunkAllocator;
    char const* policy() const override { return "noOptimization"; }
};
class ChunkAllocatorFirstFit : public ChunkAllocator {
public:
    static constexpr char kTypeName[] = "Asic::ChunkAllocatorFirstFit";
    using ChunkAllocator::ChunkAllocator;
    char const* policy() const override { return "firstFit"; }
};
inline constexpr char kChunkAllocatorModule[] = "Asic/ChunkAllocator";
inline Vex::VexTypeBase chunkAllocatorType(std::uint32_t index) { return {kChunkAllocatorModule, index}; }

class TableDesc : public Vex::Entity {
public:
    explicit TableDesc(Lumo::String const& name) : Vex::Entity(name) {}
    // The descriptor's own type and that of the table it describes.
    Vex::VexTypeBase typeData() const override = 0;
    virtual Vex::VexTypeBase tableVexType() const = 0;
    virtual void const* getResourceStub() const = 0;
    virtual void init() {}
};

class HwTableDesc : public TableDesc {
public:
    using TableDesc::TableDesc;
    ~HwTableDesc() override;

    void const* getResourceStub() const override { return nullptr; }
    // The table the access layer reads and writes: the table itself unless a
    // descriptor names another one.
    virtual Vex::VexTypeBase accessTableVexType() const { return tableVexType(); }
    // Entries of the first layout record.
    virtual std::uint64_t numEntries() const;
    virtual bool hasModes() const { return false; }
    virtual bool isValidUnitId(UnitId unit) const = 0;
    virtual bool needsParityCorrection() const = 0;

    // Members filled by the generated descriptor.
    unsigned char flag() const { return flag_ ? flag_() : 0; }
    std::span<MemGroup const> memLayouts() const { return memLayouts_; }
    std::span<CollectionNames const> collectionNames() const { return collectionNames_; }
    ChunkAllocator* chunkAllocator() const { return chunkAllocator_.ptr(); }
    void const* chipInventory() const { return inventory_; }
    char const* chipName() const { return chipName_; }

protected:
    // Members 1 to 7 in order: the flag callable (always false), the layout
    // and collection-name records, the allocator singleton (found by its
    // type name, else created; the one held before is released), the chip's
    // inventory and name.
    void hwTableInit(std::span<MemGroup const> layouts, std::span<CollectionNames const> names,
                     Vex::VexTypeBase allocatorType, char const* allocatorTypeName, void const* inventory,
                     char const* chipName);

    std::function<unsigned char()> flag_;
    std::span<MemGroup const> memLayouts_;
    std::span<CollectionNames const> collectionNames_;
    Lumo::Ptr<ChunkAllocator> chunkAllocator_;
    void const* inventory_ = nullptr;
    char const* chipName_ = nullptr;
};

}  // namespace Asic
