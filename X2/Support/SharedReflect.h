#pragma once
// The reflection glue of the shared-memory table entities: X2::TableGlueOf<T>
// for the tables whose entries and write responses live in shared-memory map
// bindings (X2::SharedTable). Same ids and rules as the local tables'
// LocalTableGlue, plus 773 writeResponseControl:
//
//   770 entry                 collection of Entry keyed by Entry::Index
//   771 entryControl          Lumo::Ptr<VexVorn::CollectionControl>
//   772 writeResponse         collection of WriteResponse keyed by Entry::Index
//   773 writeResponseControl  Lumo::Ptr<VexVorn::CollectionControl>
//
// A stored record carries its own index, so add-or-replace (op 1) stores the
// value under the index it holds (entryIs(value), writeResponseIs(value));
// `key` is not consulted there.
//
// Reads go through the map's safe lookup: a corruption met by a lookup is
// reported to the map (Vorn::VornMapBase::doCorruptionDetected) and finds
// nothing. An iterator walks the map's current implementation
// (Vorn::VornMap::IteratorConst): a corruption met while it seeks its first
// element, or any later one, is reported to the map the same way and leaves
// the iterator at its end. Deleting through op 2 is the table's entryDel /
// writeResponseDel, with their corruption guard.
#include <cstdint>
#include <new>
#include <type_traits>

#include "Lumo/Inspect.h"
#include "Vex/Entity.h"
#include "X2/Support/Reflect.h"
#include "X2/Support/SharedTable.h"

namespace X2 {

template <class T>
concept SharedShape = requires(T& t) {
    t.entryMap();
    t.writeResponseMap();
    t.writeResponseControl();
};

template <class T>
struct SharedTableGlue {
    static constexpr bool kEntity = true;
    using Entry = typename T::Entry;
    using Index = typename Entry::Index;
    using WriteResponse = typename T::WriteResponse;
    using ControlPtr = typename T::ControlPtr;

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

    // A key the table's Index refuses raises its range failure.
    static Index indexKey(void const* key) { return Index(*static_cast<std::uint32_t const*>(key)); }

    static std::uint32_t inspectOperation(void* result, void* object, Lumo::FieldDescriptor field, unsigned char op,
                                          void* key, void* value) {
        using namespace Impl;
        if (!field) return unsupported(op);
        T& t = *static_cast<T*>(object);
        switch (field.fieldId()) {
            case kEntryAttrId:
                return collectionOperation<Entry>(result, t, t.entryMap(), op, key, value);
            case kEntryControlAttrId:
                return controlOperation(result, t, &T::entryControl, &T::entryControlIs, op, value);
            case kWriteResponseAttrId:
                return collectionOperation<WriteResponse>(result, t, t.writeResponseMap(), op, key, value);
            case kWriteResponseControlAttrId:
                return controlOperation(result, t, &T::writeResponseControl, &T::writeResponseControlIs, op, value);
            default:
                break;
        }
        return noAttribute(op);
    }

    // The table's own operations on the collection of records R.
    template <class R>
    static R get(T const& t, Index i) {
        if constexpr (std::is_same_v<R, Entry>)
            return t.entry(i);
        else
            return t.writeResponse(i);
    }
    template <class R>
    static void set(T& t, R const& r) {
        if constexpr (std::is_same_v<R, Entry>)
            t.entryIs(r);
        else
            t.writeResponseIs(r);
    }
    template <class R>
    static R del(T& t, Index i) {
        if constexpr (std::is_same_v<R, Entry>)
            return t.entryDel(i);
        else
            return t.writeResponseDel(i);
    }

    template <class R, class Map>
    static std::uint32_t collectionOperation(void* result, T& t, Map const& map, unsigned char op, void* key,
                                             void* value) {
        using namespace Impl;
        switch (op) {
            case Lumo::inspectCount:
                put(result, std::uint32_t(map.members()));
                return done(op);
            case Lumo::inspectPending:
                put(result, std::uint32_t(0));
                return done(op);
            case Lumo::inspectSet:
                if (!value) return absent(op);
                set<R>(t, *static_cast<R const*>(value));
                return done(op);
            case Lumo::inspectGet:
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
                put(result, get<R>(t, i));
                return done(op);
            case Lumo::inspectDel:
                put(result, del<R>(t, i));
                return done(op);
            default:
                break;
        }
        typename Map::Value found;
        bool const present = map.lookup(i, found);
        if (op == Lumo::inspectContains) {
            put(result, present);
            return done(op);
        }
        // inspectLookup
        put(result, present ? R(found) : R());
        return present ? done(op) : absent(op);
    }

    static std::uint32_t controlOperation(void* result, T& t, ControlPtr const& (T::*control)() const,
                                          void (T::*controlIs)(ControlPtr const&), unsigned char op, void* value) {
        using namespace Impl;
        if (op == Lumo::inspectGet) {
            put(result, (t.*control)());
            return done(op);
        }
        if (op == Lumo::inspectSet) {
            if (!value) return absent(op);
            (t.*controlIs)(*static_cast<ControlPtr const*>(value));
            return done(op);
        }
        return unsupported(op);
    }

    // Iterators over the entry (770) and write-response (772) maps.
    template <class Map, class R>
    struct Iter {
        typename Map::IteratorConst it;
        static Iter const& of(void const* p) { return *static_cast<Iter const*>(p); }
        static void inc(Vex::VexAttr, void* p) {
            auto& i = *static_cast<Iter*>(p);
            if (!i.it.atEnd()) i.it.advance();
        }
        // The element's own index: the key it is stored under.
        static void key(Vex::VexAttr, void const* p, void* out) { Impl::put(out, of(p).it.value().entryIndex()); }
        static void obj(Vex::VexAttr, void const* p, void* out) { Impl::put(out, R(of(p).it.value())); }
        static bool nonnull(Vex::VexAttr, void const* p) { return !of(p).it.atEnd(); }
        static void del(Vex::VexAttr, void* p) { delete static_cast<Iter*>(p); }
        static constexpr Lumo::Inspect::IteratorFnTable kFns = {&inc, &key, &obj, &nonnull, &del};
    };
    using EntryIter = Iter<typename T::EntryMap, Entry>;
    using WriteResponseIter = Iter<typename T::WriteResponseMap, WriteResponse>;

    template <class It, class Map>
    static void* iterator(Map const& m, void** startKey, void const** fnTable) {
        if (fnTable) *fnTable = &It::kFns;
        if (startKey && *startKey) return new It{typename Map::IteratorConst(m, indexKey(*startKey).value())};
        return new It{typename Map::IteratorConst(m)};
    }

    static void* genericIfIterator(void* object, void** startKey, Lumo::FieldDescriptor field, void const** fnTable) {
        if (!field) return nullptr;
        T const& t = *static_cast<T const*>(object);
        switch (field.fieldId()) {
            case kEntryAttrId:
                return iterator<EntryIter>(t.entryMap(), startKey, fnTable);
            case kWriteResponseAttrId:
                return iterator<WriteResponseIter>(t.writeResponseMap(), startKey, fnTable);
            default:
                return nullptr;
        }
    }
};

template <class T>
    requires SharedShape<T>
struct TableGlueOf<T> {
    using type = SharedTableGlue<T>;
};

}  // namespace X2
