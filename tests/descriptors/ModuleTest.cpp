// The module of every source, against the type order built here from each
// table's own shape (registry: arrays, kind, twin), plus a hand sample of
// type indices; the attribute records of each entry against its fields.
#include <algorithm>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "Lumo/Module.h"
#include "X2/Default/All.h"
#include "X2/Support/Registry.h"

namespace {

std::string const kNs = "bcm56275_a0::Default::";

std::vector<std::string> expectedTypes(std::vector<X2::TableInfo const*> const& tables) {
    std::vector<std::string> out;
    for (X2::TableInfo const* t : tables) {
        std::string const e = kNs + t->name + "::Entry";
        out.push_back(e + "::Index");
        out.push_back(e + "::DataMemId");
        out.push_back(e + "::DataIndex");
        for (std::size_t k = 0; k < t->arrays.size(); ++k) out.push_back(e + "::DataByte" + std::to_string(k) + "Index");
        out.push_back(e);
        if (t->hasWriteResponse) out.push_back(kNs + t->name + "::WriteResponse");
        out.push_back(kNs + t->name);
    }
    out.push_back(kNs + tables.front()->name + "Desc");
    return out;
}

TEST(Modules, DeclareTheirTypesInTheFixedOrder) {
    int modules = 0;
    for (X2::TableInfo const* t : X2::allTables()) {
        if (std::string(t->source) != std::string("X2/Default/") + t->name) continue;
        SCOPED_TRACE(t->name);
        ++modules;
        std::vector<X2::TableInfo const*> tables{t};
        for (X2::TableInfo const* u : X2::allTables())
            if (u != t && std::string(u->source) == t->source) tables.push_back(u);
        Lumo::ModuleInspectData const* m = Lumo::ModuleInspectData::find(t->source);
        ASSERT_NE(m, nullptr);
        std::vector<std::string> own(m->typeNames.begin(), m->typeNames.begin() + m->ownTypes);
        EXPECT_EQ(own, expectedTypes(tables));
        ASSERT_EQ(m->types.size(), m->ownTypes);
        EXPECT_EQ(m->types.back().kind, Lumo::TypeKind::descriptor);
        EXPECT_NE(std::find(m->typeNames.begin(), m->typeNames.end(), std::string_view("Lumo::String")),
                  m->typeNames.end());
        EXPECT_TRUE(std::is_sorted(m->attributeNames.begin(), m->attributeNames.end(),
                                   [](char const* a, char const* b) { return std::string_view(a) < b; }));
        // The entry's field attributes carry the fields' ids and names.
        for (std::size_t i = 0; i < m->types.size(); ++i) {
            Lumo::TypeRecord const& r = m->types[i];
            EXPECT_EQ(r.name, i);
            if (r.kind != Lumo::TypeKind::entry) continue;
            std::string const typeName = m->typeNames[r.name];
            X2::TableInfo const* owner = nullptr;
            for (X2::TableInfo const* u : tables)
                if (typeName == kNs + u->name + "::Entry") owner = u;
            ASSERT_NE(owner, nullptr) << typeName;
            auto attrs = m->attributes.subspan(r.firstAttribute, r.attributeCount);
            ASSERT_GE(attrs.size(), owner->fields.size());
            auto fields = attrs.last(owner->fields.size());
            for (std::size_t f = 0; f < fields.size(); ++f) {
                EXPECT_EQ(fields[f].fieldId, owner->fields[f].id);
                EXPECT_STREQ(m->attributeNames[fields[f].name], owner->fields[f].name);
                EXPECT_STREQ(m->typeNames[fields[f].valueType], owner->fields[f].type);
            }
            EXPECT_EQ(attrs.front().fieldId, 2);
        }
    }
    EXPECT_EQ(modules, 85);
    EXPECT_EQ(Lumo::ModuleInspectData::loadedCount(), 85u);
}

TEST(Modules, HandSampleOfTypeIndices) {
    using namespace bcm56275_a0::Default;
    Lumo::ModuleInspectData const& egr = EgrVlanTagActionProfileTableModule;
    ASSERT_EQ(egr.ownTypes, 17u);
    EXPECT_STREQ(egr.typeNames[6], "bcm56275_a0::Default::EgrVlanTagActionProfileTable::WriteResponse");
    EXPECT_STREQ(egr.typeNames[7], "bcm56275_a0::Default::EgrVlanTagActionProfileTable");
    EXPECT_STREQ(egr.typeNames[8], "bcm56275_a0::Default::AmaMemEgrVlanTagActionProfileTable::Entry::Index");
    EXPECT_STREQ(egr.typeNames[15], "bcm56275_a0::Default::AmaMemEgrVlanTagActionProfileTable");
    EXPECT_STREQ(egr.typeNames[16], "bcm56275_a0::Default::EgrVlanTagActionProfileTableDesc");
    EXPECT_STREQ(L2HitSaOnlyModule.typeNames[5], "bcm56275_a0::Default::L2HitSaOnly");
    EXPECT_EQ(L2HitSaOnlyModule.ownTypes, 7u);
    EXPECT_STREQ(IsecSaTableModule.typeNames[6], "bcm56275_a0::Default::IsecSaTable");
    EXPECT_STREQ(MirrorEncapCombinedTableModule.typeNames[8], "bcm56275_a0::Default::MirrorEncapCombinedTable");
    EXPECT_STREQ(IsecFipsKeyRegModule.typeNames[16], "bcm56275_a0::Default::IsecFipsKeyReg");
    EXPECT_EQ(IsecFipsKeyRegModule.ownTypes, 18u);
    // Entry attributes of the shared-memory table: entryIndex 2, transactionId 3, dataByte0/1 5/6, isValid 7,
    // doClearEccFields 10, isUserWritable 11, fields from 12 (dtIcfiAction0).
    Lumo::TypeRecord const& entry = egr.types[5];
    auto a = egr.attributes.subspan(entry.firstAttribute, entry.attributeCount);
    std::vector<std::pair<int, std::string>> head;
    for (std::size_t i = 0; i < 11; ++i) head.emplace_back(a[i].fieldId, egr.attributeNames[a[i].name]);
    EXPECT_EQ(head, (std::vector<std::pair<int, std::string>>{
                        {2, "entryIndex"}, {3, "transactionId"}, {4, "recordVersion"}, {5, "dataByte0"},
                        {6, "dataByte1"}, {7, "isValid"}, {8, "doSetPhysicalConsts"}, {9, "doClearPhysicalConsts"},
                        {10, "doClearEccFields"}, {11, "isUserWritable"}, {12, "dtIcfiAction0"}}));
    EXPECT_EQ(a.back().fieldId, 103);
    EXPECT_EQ(std::string(egr.name), "X2/Default/EgrVlanTagActionProfileTable");
}

}  // namespace
