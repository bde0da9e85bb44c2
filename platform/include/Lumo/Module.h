#pragma once
// Module metadata of the entity framework: each type library declares its
// types in a fixed order per module, with the names of the types it defines
// and of the outside types it refers to, its attribute names in alphabetical
// order and one record per type and per attribute. The framework finds a
// module by name once it was announced with loaded().
#include <cstdint>
#include <span>
#include <string_view>

namespace Lumo {

enum class TypeKind : std::uint8_t { indexType, entry, writeResponse, table, descriptor };

struct TypeRecord {
    std::uint32_t name;            // index into typeNames
    TypeKind kind;
    std::uint32_t firstAttribute;  // index into attributes
    std::uint32_t attributeCount;
};

struct AttributeRecord {
    std::int16_t fieldId;
    std::uint32_t name;       // index into attributeNames
    std::uint32_t valueType;  // index into typeNames (own or imported)
};

struct ModuleInspectData {
    char const* name;  // "X2/Default/<Source>": the module part of the type names (Vex::VexTypeBase)
    std::uint64_t hash;
    std::span<char const* const> typeNames;  // own types in type-index order, then the imported ones
    std::uint32_t ownTypes;
    std::span<char const* const> attributeNames;
    std::span<TypeRecord const> types;  // one per own type, in type-index order
    std::span<AttributeRecord const> attributes;

    // Announces the module to the framework; its types can then be found.
    void loaded() const;
    // Withdraws it (the library is being unloaded).
    void unloaded() const;

    // A loaded module by name, or null.
    static ModuleInspectData const* find(std::string_view name);
    static std::size_t loadedCount();
};

}  // namespace Lumo
