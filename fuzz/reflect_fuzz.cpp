// Fuzzes the reflection interface as a framework would drive it, knowing
// types only by module and index: the input picks a module and one of its
// types, then a series of (field id, op code, key, value) operations on a
// value or a table entity of that type, and walks iterators over arbitrary
// attributes from arbitrary start keys. Results, keys and values are objects
// of the types the module's attribute records name. Every operation either
// raises the runtime's exception (a key its type refuses) or answers a status
// whose low byte is 0, 1, 2 or 4 and whose higher bits repeat the op code.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string_view>
#include <vector>

#include "Lumo/Exception.h"
#include "Lumo/Inspect.h"
#include "Lumo/Module.h"
#include "Orrin/PerUnitBitmap.h"
#include "Pell/Core/Collection.h"
#include "Vex/Entity.h"
#include "VexVorn/CollectionControl.h"
#include "X2/Default/All.h"

namespace {

using Lumo::Inspect::TypeGlue;

struct Input {
    std::uint8_t const* p;
    std::size_t n;
    template <class T>
    T take() {
        T v{};
        std::size_t const k = n < sizeof v ? n : sizeof v;
        if (k == 0) return v;  // an empty input may come with a null pointer
        std::memcpy(&v, p, k);
        p += k;
        n -= k;
        return v;
    }
};

// One object of a named type in aligned storage: an own type of the module
// through its glue, the outside types the attributes name by hand, anything
// else as zeroed scalar bytes.
class Slot {
public:
    Slot(Lumo::ModuleInspectData const& m, std::string_view type, Input* fill = nullptr) {
        std::memset(raw_, 0, sizeof raw_);
        for (std::uint32_t i = 0; i < m.ownTypes; ++i) {
            if (m.typeNames[m.types[i].name] == type) {
                TypeGlue const* g = Lumo::Inspect::typeGlue({m.name, i});
                if (g && g->inspectConstruct && g->size <= sizeof raw_) {
                    g->inspectConstruct(raw_, nullptr);
                    own_ = g;
                }
                return;
            }
        }
        if (type == "Orrin::PerUnitBitmap") {
            auto* b = ::new (raw_) Orrin::PerUnitBitmap();
            if (fill)
                for (unsigned w = 0, words = fill->take<std::uint8_t>() % 6; w < words; ++w)
                    b->wordIs(w, fill->take<std::uint32_t>());
            kind_ = bitmap;
        } else if (type == "Pell::Core::Memory::Control::Collection") {
            ::new (raw_) Lumo::Ptr<Pell::Core::Memory::Control::Collection>();
            kind_ = control;
        } else if (type == "VexVorn::CollectionControl") {
            ::new (raw_) Lumo::Ptr<VexVorn::CollectionControl>();
            kind_ = sharedControl;
        } else if (fill) {
            auto const v = fill->take<std::uint64_t>();
            std::memcpy(raw_, &v, sizeof v);
        }
    }
    ~Slot() {
        if (own_) own_->inspectDestroy(raw_);
        if (kind_ == bitmap) reinterpret_cast<Orrin::PerUnitBitmap*>(raw_)->~PerUnitBitmap();
        if (kind_ == control) reinterpret_cast<Lumo::Ptr<Pell::Core::Memory::Control::Collection>*>(raw_)->~Ptr();
        if (kind_ == sharedControl) reinterpret_cast<Lumo::Ptr<VexVorn::CollectionControl>*>(raw_)->~Ptr();
    }
    Slot(Slot const&) = delete;
    Slot& operator=(Slot const&) = delete;
    void* get() { return raw_; }

private:
    enum Kind { plain, bitmap, control, sharedControl };
    alignas(16) unsigned char raw_[512];
    TypeGlue const* own_ = nullptr;
    Kind kind_ = plain;
};

std::string_view attributeType(Lumo::ModuleInspectData const& m, std::uint32_t typeIndex, Lumo::FieldId id) {
    Lumo::TypeRecord const& t = m.types[typeIndex];
    for (std::uint32_t a = t.firstAttribute; a < t.firstAttribute + t.attributeCount; ++a)
        if (Lumo::FieldId(m.attributes[a].fieldId) == id) return m.typeNames[m.attributes[a].valueType];
    return "unsigned long";  // no such attribute: the glue answers without touching anything
}

void checkStatus(std::uint32_t s, unsigned char op) {
    std::uint32_t const code = s & 0xFF;
    if ((code != 0 && code != 1 && code != 2 && code != 4) || (s >> 8) != op) std::abort();
}

template <class F>
void guarded(F&& f) {
    try {
        f();
    } catch (Lumo::Exception const&) {
    }
}

std::vector<Lumo::ModuleInspectData const*> const& modules() {
    static std::vector<Lumo::ModuleInspectData const*> const all = [] {
        std::vector<Lumo::ModuleInspectData const*> v;
        for (X2::TableInfo const* t : X2::allTables())
            if (auto const* m = Lumo::ModuleInspectData::find(t->source); m && (v.empty() || v.back() != m))
                v.push_back(m);
        return v;
    }();
    return all;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(std::uint8_t const* data, std::size_t size) {
    Input in{data, size};
    auto const& mods = modules();
    if (mods.empty()) std::abort();
    Lumo::ModuleInspectData const& m = *mods[in.take<std::uint8_t>() % mods.size()];
    std::uint32_t const typeIndex = in.take<std::uint8_t>() % m.ownTypes;
    TypeGlue const* g = Lumo::Inspect::typeGlue({m.name, typeIndex});
    if (!g) std::abort();
    if (!g->inspectOperation) return 0;  // a descriptor

    std::string_view const self = m.typeNames[m.types[typeIndex].name];
    Lumo::Ptr<Vex::Entity> entity;
    Slot value(m, self);
    void* object = value.get();
    if (g->kind == Lumo::TypeKind::table) {
        entity = g->newEntityForDir("fuzz", nullptr);
        object = entity.ptr();
    }
    for (int round = 0; round < 48 && in.n > 0; ++round) {
        std::uint8_t const how = in.take<std::uint8_t>();
        Lumo::FieldId const id = (how & 1) ? in.take<std::uint16_t>() % 800u : in.take<std::uint16_t>();
        unsigned char const op = in.take<std::uint8_t>();
        bool const whole = (how & 6) == 0;
        std::string_view const attr = attributeType(m, typeIndex, id);
        // Result, key and value objects of the types the operation works on.
        std::string_view const resultType = whole || op == 5 ? std::string_view("bool")
                                            : op == 3 || op == 4 ? std::string_view("unsigned int")
                                                                 : attr;
        Slot result(m, resultType);
        Slot key(m, whole ? self : std::string_view("unsigned int"), &in);
        Slot newValue(m, attr, &in);
        if ((how & 8) && g->kind != Lumo::TypeKind::table) {
            // A key of the value's own type (ops 12 and 13), copied from the value.
            Slot same(m, self);
            guarded([&] {
                checkStatus(g->inspectOperation(result.get(), object, Lumo::FieldDescriptor(), op, same.get(), nullptr),
                            op);
            });
            continue;
        }
        guarded([&] {
            Lumo::FieldDescriptor const field = whole ? Lumo::FieldDescriptor() : Lumo::FieldDescriptor(id);
            void* k = (how & 16) ? nullptr : key.get();
            void* v = (how & 32) ? nullptr : newValue.get();
            if (whole && g->kind != Lumo::TypeKind::table) {
                // A whole-value key must be a value of the type: use the object itself or a default one.
                k = (how & 64) ? object : nullptr;
            }
            checkStatus(g->inspectOperation(result.get(), object, field, op, k, v), op);
        });
        if ((how & 128) && g->genericIfIterator) {
            guarded([&] {
                void const* fns = nullptr;
                void* start = key.get();
                void* it = g->genericIfIterator(object, (how & 16) ? nullptr : &start, Lumo::FieldDescriptor(id), &fns);
                if (!it) return;
                auto const& f = *static_cast<Lumo::Inspect::IteratorFnTable const*>(fns);
                Vex::VexAttr const a{id};
                for (int steps = 0; steps < 300 && f.iterNonnull(a, it); ++steps) {
                    Slot obj(m, attr);
                    Slot itKey(m, "unsigned int");
                    f.iterObj(a, it, obj.get());
                    guarded([&] { f.iterKey(a, it, itKey.get()); });
                    f.iterInc(a, it);
                }
                f.iterDel(a, it);
            });
        }
    }
    return 0;
}
