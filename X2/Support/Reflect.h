#pragma once
// The reflection glue of every generated type: Lumo::HideMe<X, X2::_Dummy>
// and Lumo::Inspect::InspectAtomicFnTable<X, X2::_Dummy, false, false,
// isIndexType>, written once here for the seven shapes of generated type
// (Index, DataMemId, DataIndex, DataByte<k>Index, Entry, WriteResponse, the
// table entity). The generator emits per type only its ReflectTraits (the
// owning table and the type index; for an Entry the byte operations of each
// data byte array) and, per module, the array of TypeGlue records that it
// registers with the framework.
//
// This is the one type-erased path of the library: the framework, the
// registry's field access (X2::fieldGet / fieldSet) and the tools reach
// fields through inspectOperation. Hardware fields are served through the
// entry's typed getters and setters, inlined behind one jump on the field id
// (FieldAttrs below); the generator emits that list from the same catalogue
// data as the table's FieldInfo list, and the table's source checks at
// compile time that the two agree.
//
// Attribute ids, per shape (every other id answers inspectNoAttribute):
//   Entry           2.. by the entry rule: [entryIndex (inline form)], transactionId,
//                   recordVersion (constant function answering 1), dataByte0.., isValid,
//                   doSetPhysicalConsts, doClearPhysicalConsts, [doClearEccFields],
//                   isUserWritable, then the hardware fields (TableInfo::fields).
//   WriteResponse   130 entryIndex (read only).
//   Index           130 max (read only), 131 doInit (function).
//   DataMemId, DataIndex, DataByte<k>Index
//                   130 max, 131 min (read only, of the type itself),
//                   132 numValues (read only, unsigned int: max + 1).
//   local table     770 entry, 771 entryControl, 772 writeResponse.
//   read table      770 entry, 771 entryControl, 772 readRequest (read, count, lookup),
//                   773 readRequestIs, 774 addReadAllRequest (functions),
//                   775 bulkReadResponse (read and write).
//   shared table    770 to 773: served by the entity's TableGlueOf specialisation (below).
//
// Keys and values: `key` and `value` point to objects of the attribute's key
// and element types (Entry::Index for the table collections, Asic::Index for
// read requests, DataByte<k>Index for data byte arrays); `result` to a
// constructed object of the answer's type. A key whose value its type refuses
// raises that type's range failure, as constructing the key would; a null key
// or value where the operation needs one answers inspectKeyAbsent. Pointer
// attributes (entryControl) are passed as Lumo::Ptr objects, so a copy into
// `result` takes a use.
#include <cstdint>
#include <new>
#include <span>
#include <type_traits>
#include <typeinfo>
#include <utility>

#include "Asic/Types.h"
#include "AsicUtils/FieldOps.h"
#include "Lumo/Exception.h"
#include "Lumo/Inspect.h"
#include "Lumo/Module.h"
#include "Vex/Alloc.h"
#include "Vex/CharRange.h"
#include "Vex/Entity.h"
#include "Vex/Hash.h"
#include "X2/Support/Entry.h"
#include "X2/Support/LocalTable.h"
#include "X2/Support/Registry.h"
#include "X2/Support/WriteResponse.h"

// A function kept out of line with its own signature, so that a caller can
// jump to it as its last act (a tail call) instead of building a frame.
#if defined(__clang__)
#define X2_OUT_OF_LINE [[gnu::noinline]]
#else
#define X2_OUT_OF_LINE [[gnu::noipa]]
#endif

namespace X2 {

// The library's private tag of its HideMe and InspectAtomicFnTable specialisations.
struct _Dummy {};

// Per generated type X: `using Table` (the table class that X belongs to)
// and `kTypeIndex` (X's index in its module). Emitted by the generator.
template <class X>
struct ReflectTraits;

template <class X>
concept Reflected = requires { typename ReflectTraits<X>::Table; };

template <class T, std::uint32_t TypeIndex>
struct ReflectOf {
    using Table = T;
    static constexpr std::uint32_t kTypeIndex = TypeIndex;
};

// The byte operations of one data byte array of an entry, by position.
struct ByteArrayFns {
    std::uint8_t (*at)(void const* entry, std::uint32_t i);
    void (*is)(void* entry, std::uint32_t i, std::uint8_t v);
    std::uint8_t (*del)(void* entry, std::uint32_t i);
    std::uint32_t (*size)(void const* entry);  // current size (inline) or capacity (allocated)
    void (*key)(std::uint32_t i, void* out);    // DataByte<k>Index(i) into out: raises its range failure
    void (*check)(std::uint32_t i);             // raises DataByte<k>Index's range failure for i
    std::uint32_t capacity;
};

namespace Impl {
template <class A>
std::uint32_t arraySize(Allocated<A> const&) {
    return A::capacity;
}
template <class T, class I, unsigned C, unsigned F>
std::uint32_t arraySize(Inline<T, I, C, F> const& a) {
    return a.size() < C ? a.size() : C;
}
}  // namespace Impl

template <class E, class I, class A, A const& (E::*Arr)() const, void (E::*Is)(I, unsigned char),
          unsigned char (E::*Del)(I)>
constexpr ByteArrayFns byteArrayFns() {
    return ByteArrayFns{
        [](void const* e, std::uint32_t i) -> std::uint8_t {
            return byteAt((static_cast<E const*>(e)->*Arr)(), I(i).value());
        },
        [](void* e, std::uint32_t i, std::uint8_t v) { (static_cast<E*>(e)->*Is)(I(i), v); },
        [](void* e, std::uint32_t i) -> std::uint8_t { return (static_cast<E*>(e)->*Del)(I(i)); },
        [](void const* e) { return Impl::arraySize((static_cast<E const*>(e)->*Arr)()); },
        [](std::uint32_t i, void* out) { *static_cast<I*>(out) = I(i); },
        [](std::uint32_t i) { (void)I(i); },
        I::max() + 1};
}

// ---- shapes ------------------------------------------------------------------

enum class Shape { index, dataMemId, dataIndex, dataByteIndex, entry, writeResponse, table };

template <class X>
constexpr Shape shapeOf() {
    using T = typename ReflectTraits<X>::Table;
    using E = typename T::Entry;
    if constexpr (std::is_same_v<X, T>)
        return Shape::table;
    else if constexpr (std::is_same_v<X, E>)
        return Shape::entry;
    else if constexpr (std::is_same_v<X, typename E::Index>)
        return Shape::index;
    else if constexpr (std::is_same_v<X, typename E::DataMemId>)
        return Shape::dataMemId;
    else if constexpr (std::is_same_v<X, typename E::DataIndex>)
        return Shape::dataIndex;
    else if constexpr (std::is_base_of_v<WriteResponseTag, X>)
        return Shape::writeResponse;
    else
        return Shape::dataByteIndex;
}

template <class X>
inline constexpr bool kIndexShape = shapeOf<X>() == Shape::index || shapeOf<X>() == Shape::dataMemId ||
                                    shapeOf<X>() == Shape::dataIndex || shapeOf<X>() == Shape::dataByteIndex;

// (module, own type index) of X, as the framework names it.
template <class X>
Vex::VexTypeBase vexType() {
    return {ReflectTraits<X>::Table::tableInfo().source, ReflectTraits<X>::kTypeIndex};
}

namespace Impl {
using Lumo::inspectStatus;

inline std::uint32_t done(unsigned char op) { return inspectStatus(op, Lumo::inspectDone); }
inline std::uint32_t unsupported(unsigned char op) { return inspectStatus(op, Lumo::inspectUnsupported); }
inline std::uint32_t noAttribute(unsigned char op) { return inspectStatus(op, Lumo::inspectNoAttribute); }
inline std::uint32_t absent(unsigned char op) { return inspectStatus(op, Lumo::inspectKeyAbsent); }

template <class V>
void put(void* result, V const& v) {
    *static_cast<V*>(result) = v;
}

// Operations 11 to 13 on the whole value; 13 on index types only.
template <class X>
std::uint32_t wholeValue(void* result, void const* object, unsigned char op, void const* key) {
    X const& x = *static_cast<X const*>(object);
    switch (op) {
        case Lumo::inspectNonDefault:
            put(result, bool(!(x == X())));
            return done(op);
        case Lumo::inspectEqual:
            if (!key) return absent(op);
            put(result, bool(key == object || x == *static_cast<X const*>(key)));
            return done(op);
        case Lumo::inspectLess:
            if constexpr (kIndexShape<X>) {
                if (!key) return absent(op);
                put(result, bool(x < *static_cast<X const*>(key)));
                return done(op);
            }
            break;
        default:
            break;
    }
    return unsupported(op);
}
}  // namespace Impl

// ---- bounded index types -----------------------------------------------------

template <class X>
struct IndexGlue {
    static void genericIfConstructFromCtorArgs(void* place, void* const* args) {
        std::uint32_t const v = *static_cast<std::uint32_t const*>(args[0]);
        ::new (place) X(v);  // the range check of the type (Index: doInit) runs in the constructor
    }

    static std::uint32_t inspectOperation(void* result, void* object, Lumo::FieldDescriptor field, unsigned char op,
                                          void* key, void*) {
        using namespace Impl;
        if (!field) return wholeValue<X>(result, object, op, key);
        switch (field.fieldId()) {
            case 130:
                if (op != Lumo::inspectGet) return unsupported(op);
                put(result, X(X::max()));
                return done(op);
            case 131:
                if constexpr (shapeOf<X>() == Shape::index) {
                    if (op != Lumo::inspectInvoke) return unsupported(op);
                    static_cast<X const*>(object)->doInit();
                } else {
                    if (op != Lumo::inspectGet) return unsupported(op);
                    put(result, X(X::min()));
                }
                return done(op);
            case 132:
                if constexpr (shapeOf<X>() != Shape::index) {
                    if (op != Lumo::inspectGet) return unsupported(op);
                    put(result, std::uint32_t(X::max() + 1));
                    return done(op);
                }
                break;
            default:
                break;
        }
        return noAttribute(op);
    }
};

// ---- hardware fields -----------------------------------------------------------

// One hardware field of an entry as the glue serves it: its attribute id, its
// width and the entry's typed getter and setter. The glue calls the typed
// accessors themselves (inlined: a field get is a load, a shift and a mask),
// so reflection and typed calls share the one bit model of AsicUtils.
// `out` / `value` point to the field's value type, AsicUtils::FieldValue<W>
// (Orrin::PerUnitBitmap above 64 bits).
template <short Id, unsigned W, auto Get, auto Set>
struct FieldAttr {
    static constexpr short kId = Id;
    static constexpr unsigned kWidth = W;
    // Always inline: in an entry with many fields the compiler would
    // otherwise stop inlining part way through the glue's jump table, and
    // those fields would pay a second call.
    template <class E>
    [[gnu::always_inline]] static void get(E const& e, void* out) {
        *static_cast<AsicUtils::FieldValue<W>*>(out) = (e.*Get)();
    }
    template <class E>
    [[gnu::always_inline]] static void set(E& e, void const* value) {
        (e.*Set)(*static_cast<AsicUtils::FieldValue<W> const*>(value));
    }
};

// The hardware fields of an entry in attribute order, emitted by the
// generator from the same catalogue data as the table's FieldInfo list;
// matches() lets the generated table source check at compile time that both
// name the same ids and widths in the same order.
template <class... F>
struct FieldAttrs {
    static constexpr unsigned size = sizeof...(F);

    static constexpr bool consecutiveFrom(int first) {
        [[maybe_unused]] int id = first;
        return ((F::kId == id++) && ...);
    }
    static constexpr bool matches(std::span<FieldInfo const> fs) {
        if (fs.size() != size) return false;
        [[maybe_unused]] std::size_t i = 0;
        [[maybe_unused]] auto same = [&](short id, unsigned width) {
            FieldInfo const& f = fs[i++];
            return f.id == id && f.width == width;
        };
        return (same(F::kId, F::kWidth) && ...);
    }

    // Field i (0-based, below size) of e. The chain of comparisons of one
    // index with constants compiles to one jump table, kept inline in the
    // caller so that each case returns straight to the glue's caller.
    template <class E>
    [[gnu::always_inline]] static void get(unsigned i, E const& e, void* out) {
        getAt(i, e, out, std::make_integer_sequence<unsigned, size>());
    }
    template <class E>
    [[gnu::always_inline]] static void set(unsigned i, E& e, void const* value) {
        setAt(i, e, value, std::make_integer_sequence<unsigned, size>());
    }

private:
    template <class E, unsigned... I>
    [[gnu::always_inline]] static void getAt([[maybe_unused]] unsigned i, [[maybe_unused]] E const& e, [[maybe_unused]] void* out,
                      std::integer_sequence<unsigned, I...>) {
        (void)((i == I && (F::get(e, out), true)) || ...);
    }
    template <class E, unsigned... I>
    [[gnu::always_inline]] static void setAt([[maybe_unused]] unsigned i, [[maybe_unused]] E& e, [[maybe_unused]] void const* value,
                      std::integer_sequence<unsigned, I...>) {
        (void)((i == I && (F::set(e, value), true)) || ...);
    }
};

// ---- entries -----------------------------------------------------------------

template <class X>
struct EntryGlue {
    using T = typename ReflectTraits<X>::Table;
    using Index = typename X::Index;
    static constexpr bool kInline = requires(X const& e) { e.entryIndex(); };
    static constexpr bool kEcc = requires(X& e) { e.doClearEccFields(); };
    static constexpr unsigned kArrays = X::kDataArrays;
    // Ids of the bookkeeping attributes, by the entry rule.
    static constexpr int kEntryIndexId = kInline ? 2 : -1;
    static constexpr int kTransactionIdId = kInline ? 3 : 2;
    static constexpr int kConstantId = kTransactionIdId + 1;
    static constexpr int kFirstArrayId = kConstantId + 1;
    static constexpr int kIsValidId = kFirstArrayId + int(kArrays);
    static constexpr int kSetPhysicalId = kIsValidId + 1;
    static constexpr int kClearPhysicalId = kIsValidId + 2;
    static constexpr int kClearEccId = kEcc ? kIsValidId + 3 : -1;
    static constexpr int kIsUserWritableId = kIsValidId + (kEcc ? 4 : 3);
    static constexpr int kFirstFieldId = kIsUserWritableId + 1;
    using Fields = typename ReflectTraits<X>::Fields;
    static_assert(kFirstFieldId > 0 && Fields::consecutiveFrom(kFirstFieldId),
                  "the hardware fields take the ids after isUserWritable, in order");

    static ByteArrayFns const& array(unsigned k) { return ReflectTraits<X>::kArrays[k]; }

    static void genericIfConstructFromCtorArgs(void* place, void* const* args) {
        Index const i = *static_cast<Index const*>(args[0]);
        if constexpr (kInline)
            ::new (place) X(i);
        else
            ::new (place) X();  // the index is the table's key, not part of the entry
    }

    // A get or set of a hardware field is the common case and is served
    // here, without a stack frame; everything else goes to attributeOperation.
    static std::uint32_t inspectOperation(void* result, void* object, Lumo::FieldDescriptor field, unsigned char op,
                                          void* key, void* value) {
        // An absent descriptor has id 0, below every field id.
        if (unsigned const i = unsigned(field.fieldId()) - unsigned(kFirstFieldId); i < Fields::size) {
            if (op == Lumo::inspectGet) {
                Fields::get(i, *static_cast<X const*>(object), result);
                return Impl::done(op);
            }
            if (op == Lumo::inspectSet && value) {
                Fields::set(i, *static_cast<X*>(object), value);
                return Impl::done(op);
            }
        }
        return attributeOperation(result, object, field, op, key, value);
    }

    X2_OUT_OF_LINE static std::uint32_t attributeOperation(void* result, void* object, Lumo::FieldDescriptor field,
                                                              unsigned char op, void* key, void* value) {
        using namespace Impl;
        Lumo::FieldId const id = field.fieldId();
        X& e = *static_cast<X*>(object);
        if (unsigned(id) - unsigned(kFirstFieldId) < Fields::size) return op == Lumo::inspectSet ? absent(op) : unsupported(op);
        if (!field) return wholeValue<X>(result, object, op, key);
        if (id >= 0x8000) return noAttribute(op);
        int const a = int(id);
        if constexpr (kInline) {
            if (a == kEntryIndexId) {
                if (op != Lumo::inspectGet) return unsupported(op);
                put(result, e.entryIndex());
                return done(op);
            }
        }
        if (a == kTransactionIdId) {
            if (op == Lumo::inspectGet) {
                put(result, e.transactionId());
                return done(op);
            }
            if (op == Lumo::inspectSet) {
                if (!value) return absent(op);
                e.transactionIdIs(*static_cast<Asic::TransactionId const*>(value));
                return done(op);
            }
            return unsupported(op);
        }
        if (a >= kFirstArrayId && a < kIsValidId) return byteOperation(result, e, unsigned(a - kFirstArrayId), op, key, value);
        if (a == kConstantId || a == kIsValidId || a == kSetPhysicalId || a == kClearPhysicalId ||
            a == kClearEccId || a == kIsUserWritableId) {
            if (op != Lumo::inspectInvoke) return unsupported(op);
            if (a == kConstantId) {
                put(result, int(X::recordVersion()));
            } else if (a == kIsValidId) {
                put(result, e.isValid());
            } else if (a == kSetPhysicalId) {
                e.doSetPhysicalConsts();
            } else if (a == kClearPhysicalId) {
                e.doClearPhysicalConsts();
            } else if (a == kIsUserWritableId) {
                if (!key) return absent(op);
                put(result, X::isUserWritable(*static_cast<short const*>(key)));
            } else {
                if constexpr (kEcc) e.doClearEccFields();
            }
            return done(op);
        }
        return noAttribute(op);
    }

    // A data byte array: a collection of bytes keyed by DataByte<k>Index.
    static std::uint32_t byteOperation(void* result, X& e, unsigned k, unsigned char op, void* key, void* value) {
        using namespace Impl;
        ByteArrayFns const& arr = array(k);
        auto position = [&](std::uint32_t& pos) {
            if (!key) return false;
            pos = *static_cast<std::uint32_t const*>(key);
            arr.check(pos);  // a position beyond the capacity raises the key type's range failure
            return true;
        };
        std::uint32_t pos = 0;
        switch (op) {
            case Lumo::inspectGet:
                if (!position(pos)) return absent(op);
                put(result, std::uint8_t(arr.at(&e, pos)));
                return done(op);
            case Lumo::inspectSet:
                if (!position(pos) || !value) return absent(op);
                arr.is(&e, pos, *static_cast<std::uint8_t const*>(value));
                return done(op);
            case Lumo::inspectDel:
                if (!position(pos)) return absent(op);
                put(result, std::uint8_t(arr.del(&e, pos)));
                return done(op);
            case Lumo::inspectCount:
                put(result, arr.size(&e));
                return done(op);
            case Lumo::inspectContains:
                if (!position(pos)) return absent(op);
                put(result, bool(pos < arr.size(&e)));
                return done(op);
            default:
                return unsupported(op);
        }
    }

    // Iterator over the bytes of one data byte array.
    struct ByteIterator {
        X const* entry;
        unsigned array;
        std::uint32_t pos;
    };
    static ByteIterator const& it(void const* p) { return *static_cast<ByteIterator const*>(p); }
    static bool atEnd(ByteIterator const& i) { return i.pos >= array(i.array).size(i.entry); }
    static void iterInc(Vex::VexAttr, void* p) {
        auto& i = *static_cast<ByteIterator*>(p);
        if (!atEnd(i)) ++i.pos;
    }
    static void iterKey(Vex::VexAttr, void const* p, void* out) { array(it(p).array).key(it(p).pos, out); }
    static void iterObj(Vex::VexAttr, void const* p, void* out) {
        Impl::put(out, std::uint8_t(array(it(p).array).at(it(p).entry, it(p).pos)));
    }
    static bool iterNonnull(Vex::VexAttr, void const* p) { return !atEnd(it(p)); }
    static void iterDel(Vex::VexAttr, void* p) { delete static_cast<ByteIterator*>(p); }
    static constexpr Lumo::Inspect::IteratorFnTable kByteIteratorFns = {&iterInc, &iterKey, &iterObj, &iterNonnull,
                                                                        &iterDel};

    static void* genericIfIterator(void* object, void** startKey, Lumo::FieldDescriptor field, void const** fnTable) {
        if (!field) return nullptr;
        Lumo::FieldId const id = field.fieldId();
        if (id < Lumo::FieldId(kFirstArrayId) || id >= Lumo::FieldId(kIsValidId)) return nullptr;
        unsigned const k = unsigned(id) - unsigned(kFirstArrayId);
        std::uint32_t start = 0;
        if (startKey && *startKey) {
            start = *static_cast<std::uint32_t const*>(*startKey);
            array(k).check(start);
        }
        if (fnTable) *fnTable = &kByteIteratorFns;
        return new ByteIterator{static_cast<X const*>(object), k, start};
    }
};

// ---- write responses ---------------------------------------------------------

template <class X>
struct WriteResponseGlue {
    static void genericIfConstructFromCtorArgs(void* place, void* const* args) {
        ::new (place) X(*static_cast<typename X::Index const*>(args[0]));
    }
    static std::uint32_t inspectOperation(void* result, void* object, Lumo::FieldDescriptor field, unsigned char op,
                                          void* key, void*) {
        using namespace Impl;
        if (!field) return wholeValue<X>(result, object, op, key);
        if (field.fieldId() != 130) return noAttribute(op);
        if (op != Lumo::inspectGet) return unsupported(op);
        put(result, static_cast<X const*>(object)->entryIndex());
        return done(op);
    }
};

// ---- table entities ------------------------------------------------------------

template <class T>
concept LocalShape = requires(T const& t) { t.collections().entryMap(); };

template <class T>
struct LocalTableGlue;
// No entity operations: a table class that is not (yet) an entity.
struct NoTableGlue {
    static constexpr bool kEntity = false;
};

// The glue of a table entity. The local-collection shape (X2::LocalCollections)
// is served by LocalTableGlue. A table entity of another shape (the two
// shared-memory tables) specialises TableGlueOf<T> with a `type` that has
// `static constexpr bool kEntity = true` and the members newEntityForDir,
// inspectOperation and genericIfIterator of LocalTableGlue, with the same ids
// (plus 773 writeResponseControl) and the same iterator rules; a corruption
// met while its iterator seeks the first element goes to the map's
// Vorn::VornMapBase::doCorruptionDetected and leaves the iterator at its end.
template <class T>
struct TableGlueOf {
    using type = std::conditional_t<LocalShape<T>, LocalTableGlue<T>, NoTableGlue>;
};

template <class T>
struct LocalTableGlue {
    static constexpr bool kEntity = true;
    using Entry = typename T::Entry;
    using Index = typename Entry::Index;
    using C = typename T::Collections;
    static constexpr bool kRead = C::kReadTable;
    using Record = typename C::Record;

    static Vex::Entity* newEntityForDir(Lumo::String const& name, void* args) {
        if (args) Vex::throwNewEntityArgsException(vexType<T>());
        // T's own allocation functions: the slab, reported to T's allocation tracker.
        void* p = T::operator new(sizeof(T));
        try {
            return ::new (p) T(name);
        } catch (...) {
            T::operator delete(p, sizeof(T));  // undoes the tracking and frees
            throw;
        }
    }

    static Index indexKey(void const* key) { return Index(*static_cast<std::uint32_t const*>(key)); }

    static std::uint32_t inspectOperation(void* result, void* object, Lumo::FieldDescriptor field, unsigned char op,
                                          void* key, void* value) {
        using namespace Impl;
        if (!field) return unsupported(op);
        T& t = *static_cast<T*>(object);
        switch (field.fieldId()) {
            case kEntryAttrId:
                return entryOperation(result, t, op, key, value);
            case kEntryControlAttrId:
                if (op == Lumo::inspectGet) {
                    put(result, t.entryControl());
                    return done(op);
                }
                if (op == Lumo::inspectSet) {
                    if (!value) return absent(op);
                    t.entryControlIs(*static_cast<typename C::ControlPtr const*>(value));
                    return done(op);
                }
                return unsupported(op);
            case kWriteResponseAttrId:  // kReadRequestAttrId in a read table
                return recordOperation(result, t, op, key, value);
            case kReadRequestIsAttrId:
            case kAddReadAllRequestAttrId:
            case kBulkReadResponseAttrId:
                if constexpr (kRead) return readOperation(result, t, field.fieldId(), op, key, value);
                break;
            default:
                break;
        }
        return noAttribute(op);
    }

    static std::uint32_t entryOperation(void* result, T& t, unsigned char op, void* key, void* value) {
        using namespace Impl;
        auto const& map = t.collections().entryMap();
        switch (op) {
            case Lumo::inspectCount:
                put(result, std::uint32_t(map.size()));
                return done(op);
            case Lumo::inspectPending:
                put(result, std::uint32_t(0));
                return done(op);
            case Lumo::inspectGet:
            case Lumo::inspectSet:
            case Lumo::inspectDel:
            case Lumo::inspectContains:
            case Lumo::inspectLookup:
                break;
            default:
                return unsupported(op);
        }
        if (!key) return absent(op);
        Index const i = indexKey(key);
        switch (op) {
            case Lumo::inspectGet:
                put(result, t.entry(i));
                return done(op);
            case Lumo::inspectSet:
                if (!value) return absent(op);
                t.entryIs(i, *static_cast<Entry const*>(value));
                return done(op);
            case Lumo::inspectDel:
                put(result, t.entryDel(i));
                return done(op);
            case Lumo::inspectContains:
                put(result, map.contains(i));
                return done(op);
            default:  // inspectLookup
                if (Entry const* e = t.entryDirect(i)) {
                    put(result, *e);
                    return done(op);
                }
                put(result, Entry());
                return absent(op);
        }
    }

    static std::uint32_t recordOperation(void* result, T& t, unsigned char op, void* key, void* value) {
        using namespace Impl;
        auto const& map = t.collections().recordMap();
        switch (op) {
            case Lumo::inspectCount:
                put(result, std::uint32_t(map.size()));
                return done(op);
            case Lumo::inspectPending:
                put(result, std::uint32_t(0));
                return done(op);
            case Lumo::inspectSet:
                if constexpr (!kRead) {
                    if (!value) return absent(op);
                    t.writeResponseIs(*static_cast<Record const*>(value));
                    return done(op);
                }
                return unsupported(op);
            case Lumo::inspectGet:
            case Lumo::inspectDel:
            case Lumo::inspectContains:
            case Lumo::inspectLookup:
                break;
            default:
                return unsupported(op);
        }
        if (kRead && op == Lumo::inspectDel) return unsupported(op);  // read requests: read, count, lookup
        if (!key) return absent(op);
        typename C::RecordKey const i = recordKey(key);
        switch (op) {
            case Lumo::inspectGet:
                if constexpr (kRead)
                    put(result, t.readRequest(i));
                else
                    put(result, t.writeResponse(i));
                return done(op);
            case Lumo::inspectDel:
                if constexpr (!kRead) put(result, t.writeResponseDel(i));
                return done(op);
            case Lumo::inspectContains:
                put(result, map.contains(i));
                return done(op);
            default:  // inspectLookup
                if (Record const* r = map.find(i)) {
                    put(result, *r);
                    return done(op);
                }
                put(result, Record());
                return absent(op);
        }
    }

    // Read requests are keyed by the entry's index too (Asic::Index carries
    // it): a key the table's Index refuses raises its range failure.
    static typename C::RecordKey recordKey(void const* key) {
        Index const i = indexKey(key);
        if constexpr (kRead)
            return i.value();
        else
            return i;
    }

    static std::uint32_t readOperation(void* result, T& t, Lumo::FieldId id, unsigned char op, void* key,
                                       void* value) {
        using namespace Impl;
        using Asic::HwTable::ReadRequest;
        if (id == kBulkReadResponseAttrId) {
            if (op == Lumo::inspectGet) {
                put(result, t.bulkReadResponse());
                return done(op);
            }
            if (op == Lumo::inspectSet) {
                if (!value) return absent(op);
                t.bulkReadResponseIs(*static_cast<Asic::TransactionId const*>(value));
                return done(op);
            }
            return unsupported(op);
        }
        if (op != Lumo::inspectInvoke) return unsupported(op);
        if (!value) return absent(op);
        ReadRequest const& r = *static_cast<ReadRequest const*>(value);
        if (id == kAddReadAllRequestAttrId) {
            t.addReadAllRequest(r);
            return done(op);
        }
        if (!key) return absent(op);
        t.readRequestIs(recordKey(key), r);
        return done(op);
    }

    // Iterators over the entry (770) and record (772) collections.
    template <class Map, class KeyOut>
    struct Iter {
        typename Map::Iterator it;
        static Iter const& of(void const* p) { return *static_cast<Iter const*>(p); }
        static void inc(Vex::VexAttr, void* p) {
            auto& i = *static_cast<Iter*>(p);
            if (!i.it.atEnd()) i.it.advance();
        }
        static void key(Vex::VexAttr, void const* p, void* out) { Impl::put(out, KeyOut(of(p).it.key())); }
        static void obj(Vex::VexAttr, void const* p, void* out) { Impl::put(out, of(p).it.value()); }
        static bool nonnull(Vex::VexAttr, void const* p) { return !of(p).it.atEnd(); }
        static void del(Vex::VexAttr, void* p) { delete static_cast<Iter*>(p); }
        static constexpr Lumo::Inspect::IteratorFnTable kFns = {&inc, &key, &obj, &nonnull, &del};
    };
    using EntryIter = Iter<typename C::EntryMap, Index>;
    using RecordIter = Iter<typename C::RecordMap, typename C::RecordKey>;

    static void* genericIfIterator(void* object, void** startKey, Lumo::FieldDescriptor field, void const** fnTable) {
        if (!field) return nullptr;
        T const& t = *static_cast<T const*>(object);
        bool const start = startKey && *startKey;
        switch (field.fieldId()) {
            case kEntryAttrId: {
                auto const& m = t.collections().entryMap();
                if (fnTable) *fnTable = &EntryIter::kFns;
                return start ? new EntryIter{m.iterator(indexKey(*startKey))} : new EntryIter{m.iterator()};
            }
            case kWriteResponseAttrId: {
                auto const& m = t.collections().recordMap();
                if (fnTable) *fnTable = &RecordIter::kFns;
                return start ? new RecordIter{m.iterator(recordKey(*startKey))} : new RecordIter{m.iterator()};
            }
            default:
                return nullptr;
        }
    }
};

// ---- the function table of values ---------------------------------------------

template <class X>
struct ValueFns {
    static void inspectConstruct(void* place, void const* from) {
        if (from)
            ::new (place) X(*static_cast<X const*>(from));
        else
            ::new (place) X();
    }
    static void inspectDestroy(void* p) { static_cast<X*>(p)->~X(); }
    static Lumo::String inspectEncodeToString(void const* p, Lumo::TypeDescriptor, unsigned char) {
        return Vex::valueToStrep(*static_cast<X const*>(p));
    }
    // All of the text must be consumed; the text constructor's failures pass
    // to the caller and leave the object as it was.
    static void inspectDecodeFromString(void* p, Lumo::String const& text, Lumo::TypeDescriptor, unsigned char) {
        *static_cast<X*>(p) = Vex::strepToValue<X>(text);
    }
    static std::uint32_t inspectGetHash(void const* p, Lumo::TypeDescriptor) {
        if constexpr (shapeOf<X>() == Shape::index)
            return Vex::hashSingleAttr(0, static_cast<X const*>(p)->value());
        else if constexpr (shapeOf<X>() == Shape::entry)
            return static_cast<X const*>(p)->hash(0);
        else
            Lumo::Inspect::throwNonHashableType(vexType<X>());
    }
    static void inspectEncodeDecodeProtobuf(void*, void*, bool) { Lumo::assertProtoBufMessage(); }
};

// ---- the glue record of each type ------------------------------------------------

template <class X>
constexpr Lumo::Inspect::TypeGlue typeGlue();

}  // namespace X2

namespace Lumo {

// The reflection entry points of every generated type.
template <class X>
    requires X2::Reflected<X>
struct HideMe<X, X2::_Dummy>
    : std::conditional_t<
          X2::shapeOf<X>() == X2::Shape::table, typename X2::TableGlueOf<X>::type,
          std::conditional_t<X2::shapeOf<X>() == X2::Shape::entry, X2::EntryGlue<X>,
                             std::conditional_t<X2::shapeOf<X>() == X2::Shape::writeResponse,
                                                X2::WriteResponseGlue<X>, X2::IndexGlue<X>>>> {};

namespace Inspect {
template <class X, bool isIndexType>
    requires X2::Reflected<X>
struct InspectAtomicFnTable<X, X2::_Dummy, false, false, isIndexType> : X2::ValueFns<X> {
    static_assert(isIndexType == X2::kIndexShape<X>);
};
}  // namespace Inspect

}  // namespace Lumo

namespace X2 {

template <class X>
using HideMe = Lumo::HideMe<X, _Dummy>;
template <class X>
using AtomicFns = Lumo::Inspect::InspectAtomicFnTable<X, _Dummy, false, false, kIndexShape<X>>;

template <class X>
constexpr Lumo::Inspect::TypeGlue typeGlue() {
    using G = HideMe<X>;
    using F = AtomicFns<X>;
    constexpr Shape s = shapeOf<X>();
    if constexpr (s == Shape::table) {
        if constexpr (G::kEntity) {
            return {Lumo::TypeKind::table, sizeof(X), alignof(X), nullptr, &G::newEntityForDir,
                    &G::inspectOperation, &G::genericIfIterator, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr};
        } else {
            // Not an entity yet: its entity operations come with the entity (TableGlueOf).
            return {Lumo::TypeKind::table, sizeof(X), alignof(X), nullptr, nullptr, nullptr, nullptr,
                    nullptr, nullptr, nullptr, nullptr, nullptr, nullptr};
        }
    } else {
        constexpr Lumo::TypeKind kind = s == Shape::entry           ? Lumo::TypeKind::entry
                                        : s == Shape::writeResponse ? Lumo::TypeKind::writeResponse
                                                                    : Lumo::TypeKind::indexType;
        void* (*iterator)(void*, void**, Lumo::FieldDescriptor, void const**) = nullptr;
        if constexpr (s == Shape::entry) iterator = &G::genericIfIterator;
        void (*protobuf)(void*, void*, bool) = nullptr;
        if constexpr (kIndexShape<X>) protobuf = &F::inspectEncodeDecodeProtobuf;
        return {kind,
                sizeof(X),
                alignof(X),
                &G::genericIfConstructFromCtorArgs,
                nullptr,
                &G::inspectOperation,
                iterator,
                &F::inspectConstruct,
                &F::inspectDestroy,
                &F::inspectEncodeToString,
                &F::inspectDecodeFromString,
                &F::inspectGetHash,
                protobuf};
    }
}

// The glue of a descriptor entity: a singleton made at load time (X2/Support/Module.h).
constexpr Lumo::Inspect::TypeGlue descriptorGlue() {
    return {Lumo::TypeKind::descriptor, 0, 0, nullptr, nullptr, nullptr, nullptr,
            nullptr, nullptr, nullptr, nullptr, nullptr, nullptr};
}

// Registers a module's glue while the library is loaded.
class GlueRegistration {
public:
    GlueRegistration(Lumo::ModuleInspectData const& m, std::span<Lumo::Inspect::TypeGlue const> types) : m_(m) {
        Lumo::Inspect::moduleGlueIs(m, types);
    }
    ~GlueRegistration() { Lumo::Inspect::moduleGlueDel(m_); }
    GlueRegistration(GlueRegistration const&) = delete;
    GlueRegistration& operator=(GlueRegistration const&) = delete;

private:
    Lumo::ModuleInspectData const& m_;
};

}  // namespace X2
