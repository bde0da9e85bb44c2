#include "X2/Support/Registry.h"

#include <algorithm>
#include <cstring>
#include <vector>

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

}  // namespace X2
