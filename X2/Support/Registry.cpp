#include "X2/Support/Registry.h"

#include <algorithm>
#include <cstring>
#include <map>
#include <mutex>
#include <vector>

#include <fmt/format.h>

#include "Lumo/Exception.h"
#include "Lumo/Inspect.h"

namespace X2 {
namespace {
std::vector<TableInfo const*>& tables() {
    static std::vector<TableInfo const*> t;
    return t;
}
}  // namespace

std::string_view kindName(Kind k) {
    switch (k) {
        case Kind::shared: return "shared";
        case Kind::local: return "local";
        case Kind::read: return "read";
    }
    return "?";
}

void registerTable(TableInfo const* t) {
    auto& v = tables();
    auto it = std::lower_bound(v.begin(), v.end(), t, [](TableInfo const* a, TableInfo const* b) {
        return std::strcmp(a->name, b->name) < 0;
    });
    v.insert(it, t);
}

std::span<TableInfo const* const> allTables() { return tables(); }

TableInfo const* findTable(std::string_view name) {
    for (auto const* t : tables())
        if (name == t->name) return t;
    return nullptr;
}

FieldInfo const* findField(TableInfo const& t, std::string_view name) {
    for (auto const& f : t.fields)
        if (name == f.name) return &f;
    return nullptr;
}

namespace {
// The entry type's glue, found once per table by its full type name.
Lumo::Inspect::TypeGlue const& entryGlue(TableInfo const& t) {
    static std::mutex mutex;
    static std::map<TableInfo const*, Lumo::Inspect::TypeGlue const*> found;
    std::lock_guard lock(mutex);
    auto& g = found[&t];
    if (!g) {
        g = Lumo::Inspect::findType(fmt::format("bcm56275_a0::Default::{}::Entry", t.name)).glue;
        if (!g || !g->inspectOperation)
            Lumo::raise<Lumo::RangeException>("bcm56275_a0::Default::{}::Entry has no reflection glue", t.name);
    }
    return *g;
}

template <class V>
void fieldCall(TableInfo const& t, FieldInfo const& f, void* entry, unsigned char op, V* v) {
    std::uint32_t const s = entryGlue(t).inspectOperation(op == Lumo::inspectGet ? v : nullptr, entry,
                                                           Lumo::FieldDescriptor(Lumo::FieldId(f.id)), op, nullptr,
                                                           op == Lumo::inspectSet ? v : nullptr);
    if (Lumo::inspectStatusCode(s) != Lumo::inspectDone)
        Lumo::raise<Lumo::RangeException>("{}::{}: attribute {} answered status {:#x}", t.name, f.name, f.id, s);
}

template <class Fn>
void byCarrier(unsigned width, Fn&& fn) {
    if (width <= 8) fn(std::uint8_t());
    else if (width <= 16) fn(std::uint16_t());
    else if (width <= 32) fn(std::uint32_t());
    else fn(std::uint64_t());
}
}  // namespace

FieldValueArg fieldGet(TableInfo const& t, FieldInfo const& f, void const* entry) {
    FieldValueArg r;
    void* e = const_cast<void*>(entry);  // inspectOperation's object is not const; a get does not change it
    if (f.width > 64) {
        fieldCall(t, f, e, Lumo::inspectGet, &r.wide);
    } else {
        byCarrier(f.width, [&](auto zero) {
            auto v = zero;
            fieldCall(t, f, e, Lumo::inspectGet, &v);
            r.scalar = v;
        });
    }
    return r;
}

void fieldSet(TableInfo const& t, FieldInfo const& f, void* entry, FieldValueArg const& v) {
    if (f.width > 64) {
        Orrin::PerUnitBitmap w = v.wide;
        fieldCall(t, f, entry, Lumo::inspectSet, &w);
    } else {
        byCarrier(f.width, [&](auto zero) {
            auto s = decltype(zero)(v.scalar);
            fieldCall(t, f, entry, Lumo::inspectSet, &s);
        });
    }
}

}  // namespace X2
