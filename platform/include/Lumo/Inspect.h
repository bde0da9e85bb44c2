#pragma once
// Run-time access to the types of a loaded table library, for code built
// without its headers (x2tables, the hardware agent, the loader): a type is
// named by (module, type index) or by its full name.
//
// The glue of a type X comes from two class templates that the library
// specialises under a tag type only it can name:
//   Lumo::HideMe<X, Tag>                       construction from arguments,
//       entity creation in a directory, attribute operations by field id,
//       iterators over collection attributes;
//   Lumo::Inspect::InspectAtomicFnTable<X, Tag, false, false, isIndexType>
//       construct, destroy, text encode and decode, hash.
// At load the library registers a TypeGlue of function pointers per type,
// one array per module indexed by type index; typeGlue() and findType()
// look them up.
//
// Attribute operations answer a 32-bit status word (inspectStatus below).
#include <cstdint>
#include <span>
#include <string_view>

#include "Lumo/Module.h"
#include "Lumo/Publisher.h"
#include "Lumo/String.h"
#include "Vex/VexType.h"

namespace Vex {
class Entity;
// newEntityForDir was given constructor arguments: the type's entities take none.
[[noreturn]] void throwNewEntityArgsException(VexTypeBase type);
}  // namespace Vex

namespace Lumo {

template <class X, class Tag>
struct HideMe;

// Names one attribute of a type by field id; a default-constructed
// descriptor names none (an operation on the whole value).
class FieldDescriptor {
public:
    constexpr FieldDescriptor() = default;
    constexpr explicit FieldDescriptor(FieldId id) : id_(id), present_(true) {}
    constexpr FieldId fieldId() const { return id_; }
    constexpr explicit operator bool() const { return present_; }

private:
    FieldId id_ = 0;
    bool present_ = false;
};

struct TypeDescriptor {
    Vex::VexTypeBase type;
};

// Operation codes of inspectOperation. A collection attribute takes its key
// through `key`; a setter its new value through `value`; results go to
// `result`, which points to a constructed object of the attribute's type
// (of the element type for collections; bool for the tests; unsigned int for
// counts).
enum InspectOp : unsigned char {
    inspectGet = 0,          // copy the value (the element at key) into result
    inspectSet = 1,          // set from value (add or replace the element at key)
    inspectDel = 2,          // delete the element at key; result: what the delete returned
    inspectCount = 3,        // number of elements
    inspectPending = 4,      // elements not yet visible to readers: always 0 here
    inspectContains = 5,     // whether the key is present
    inspectInvoke = 10,      // call a function attribute; result: its answer
    inspectNonDefault = 11,  // whole value: differs from the type's default
    inspectEqual = 12,       // whole value: equals the value at key
    inspectLess = 13,        // whole value (index types): below the value at key
    inspectLookup = 28,      // the element at key if present, else a zeroed result and inspectKeyAbsent
};

// Status codes: the low byte of an inspectOperation answer.
enum InspectStatus : std::uint8_t {
    inspectDone = 0,
    inspectUnsupported = 1,  // this attribute does not support the operation
    inspectNoAttribute = 2,  // no attribute carries the field id
    inspectKeyAbsent = 4,    // the key is not present
};

// The status word of an inspectOperation: the status code in the low byte;
// the bits above it repeat the operation code, so that a caller that issues
// several operations can tell the answers apart. This is the only place that
// composes status words.
constexpr std::uint32_t inspectStatus(unsigned char op, InspectStatus s) {
    return (std::uint32_t(op) << 8) | std::uint32_t(s);
}
constexpr InspectStatus inspectStatusCode(std::uint32_t status) { return InspectStatus(status & 0xFFu); }

// A protobuf form was asked of a type that has none: stops the process.
[[noreturn]] void assertProtoBufMessage();

namespace Inspect {

template <class X, class Tag, bool, bool, bool isIndexType>
struct InspectAtomicFnTable;

// Hashing was asked of a type that cannot be hashed (Lumo::IllegalOperationException).
[[noreturn]] void throwNonHashableType(Vex::VexTypeBase type);

// The operations of an iterator over a collection attribute. The iterator
// is created by genericIfIterator and freed by iterDel.
struct IteratorFnTable {
    void (*iterInc)(Vex::VexAttr attr, void* it);
    void (*iterKey)(Vex::VexAttr attr, void const* it, void* keyOut);
    void (*iterObj)(Vex::VexAttr attr, void const* it, void* objOut);
    bool (*iterNonnull)(Vex::VexAttr attr, void const* it);
    void (*iterDel)(Vex::VexAttr attr, void* it);
};

// Everything the framework can do with one type. Null members: the type does
// not have that entry point.
struct TypeGlue {
    TypeKind kind;
    std::uint32_t size;
    std::uint32_t align;
    // HideMe<X, Tag>
    void (*genericIfConstructFromCtorArgs)(void* place, void* const* args);
    Vex::Entity* (*newEntityForDir)(String const& name, void* args);
    std::uint32_t (*inspectOperation)(void* result, void* object, FieldDescriptor field, unsigned char op, void* key,
                                      void* value);
    void* (*genericIfIterator)(void* object, void** startKey, FieldDescriptor field, void const** fnTable);
    // InspectAtomicFnTable<X, Tag, ...>
    void (*inspectConstruct)(void* place, void const* from);
    void (*inspectDestroy)(void* object);
    String (*inspectEncodeToString)(void const* object, TypeDescriptor type, unsigned char flags);
    void (*inspectDecodeFromString)(void* object, String const& text, TypeDescriptor type, unsigned char flags);
    std::uint32_t (*inspectGetHash)(void const* object, TypeDescriptor type);
    void (*inspectEncodeDecodeProtobuf)(void* object, void* message, bool encode);
};

// Registers the glue of a module's own types, in type-index order, under the
// module's name (a library does so when it loads; unregister at unload).
void moduleGlueIs(ModuleInspectData const& module, std::span<TypeGlue const> types);
void moduleGlueDel(ModuleInspectData const& module);

struct FoundType {
    Vex::VexTypeBase type;
    TypeGlue const* glue = nullptr;
    explicit operator bool() const { return glue != nullptr; }
};
// The glue of (module, index), or null.
TypeGlue const* typeGlue(Vex::VexTypeBase type);
// A type by its full name ("bcm56275_a0::Default::IsecSaTable::Entry").
FoundType findType(std::string_view fullName);
// The full name of a registered type ("" when unknown).
std::string_view typeName(Vex::VexTypeBase type);

}  // namespace Inspect
}  // namespace Lumo
