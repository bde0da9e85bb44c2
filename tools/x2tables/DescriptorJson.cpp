#include "DescriptorJson.h"

#include <string_view>

#include <fmt/format.h>

#include "LogicalFap/HwTableDesc.h"
#include "Vex/Entity.h"

namespace x2tables {
namespace {

constexpr std::string_view kNs = "bcm56275_a0::Default::";

// The descriptor of the table's source (the twin's source table for a twin).
LogicalFap::HwTableDesc const* descriptorOfSource(X2::TableInfo const& t) {
    std::string_view source(t.source);
    source.remove_prefix(source.rfind('/') + 1);
    auto e = Vex::Entity::singletonExists(fmt::format("{}{}Desc", kNs, source));
    return dynamic_cast<LogicalFap::HwTableDesc const*>(e.ptr());
}

bool ownsSource(X2::TableInfo const& t) {
    std::string_view source(t.source);
    return source.substr(source.rfind('/') + 1) == t.name;
}

struct Values {
    std::string name;
    unsigned typeIndex;
    Asic::MemLayout const* layout;
    bool only511;
    unsigned mode;
    bool parity;
    double interval;
    std::string suffix;
    char const* writeResponse;
    bool builders;
    bool noOptimization;
    char const* accessTable;
};

Values values(X2::TableInfo const& t, LogicalFap::HwTableDesc const& d) {
    char const* access = nullptr;
    for (X2::TableInfo const* u : X2::allTables())
        if (u != &t && std::string_view(u->source) == t.source) access = u->name;
    if (d.accessTableVexType() == d.tableVexType()) access = nullptr;
    return {d.name().substr(kNs.size()), d.typeData().index, &d.memLayouts()[0].layouts[0], d.isValidUnitId(511),
            unsigned(d.accessInfo().mode), d.needsParityCorrection(), d.downloadInterval(), d.memLayouts()[0].suffix,
            d.collectionNames()[0].writeResponse, bool(d.enterCmdBuilder()),
            std::string_view(d.chunkAllocator()->policy()) == "noOptimization", access};
}

std::string instances(Asic::MemLayout const& l) {
    std::string s = "[";
    for (std::uint32_t i = 0; i < l.instances; ++i) {
        s += i ? ", [" : "[";
        for (std::uint32_t m = 0; m < l.dataMemories; ++m) {
            s += m ? ", [" : "[";
            auto ids = l.physicalMemIds[i * l.dataMemories + m];
            for (std::size_t k = 0; k < ids.size(); ++k) s += fmt::format("{}{}", k ? ", " : "", ids[k]);
            s += "]";
        }
        s += "]";
    }
    return s + "]";
}

std::string counts(Asic::MemLayout const& l) {
    std::string s = "[";
    for (std::size_t m = 0; m < l.perMemoryCounts.size(); ++m) s += fmt::format("{}{}", m ? ", " : "", l.perMemoryCounts[m]);
    return s + "]";
}

std::string quoted(char const* s) { return s ? fmt::format("\"{}\"", s) : std::string("null"); }
char const* boolText(bool b) { return b ? "true" : "false"; }

}  // namespace

std::string descriptorJsonKeys(X2::TableInfo const& t) {
    LogicalFap::HwTableDesc const* d = descriptorOfSource(t);
    if (!d) return fmt::format(R"("module": "{}", "typeIndex": null, "descriptor": null)", t.source);
    if (!ownsSource(t)) {
        return fmt::format(R"("module": "{}", "typeIndex": {}, "descriptor": null)", t.source,
                           d->accessTableVexType().index);
    }
    Values v = values(t, *d);
    return fmt::format(
        R"("module": "{}", "typeIndex": {}, "descriptor": {{"name": "{}", "typeIndex": {}, "entries": {}, )"
        R"("register": {}, "secondAccess": {}, "units": "{}", "accessMode": {}, "parityCorrection": {}, )"
        R"("downloadInterval": {}, "suffix": "{}", "writeResponseCollection": {}, "commandBuilders": {}, )"
        R"("instances": {}, "perMemoryCounts": {}, "allocator": "{}", "accessTable": {}}})",
        t.source, d->tableVexType().index, v.name, v.typeIndex, v.layout->entries, boolText(v.layout->isRegister),
        boolText(v.layout->secondAccess), v.only511 ? "only 511" : "all but 511", v.mode, boolText(v.parity),
        v.interval, v.suffix, quoted(v.writeResponse), boolText(v.builders), instances(*v.layout),
        counts(*v.layout), v.noOptimization ? "noOptimization" : "other", quoted(v.accessTable));
}

std::string descriptorText(X2::TableInfo const& t) {
    LogicalFap::HwTableDesc const* d = descriptorOfSource(t);
    if (!d) return "  descriptor: none\n";
    if (!ownsSource(t))
        return fmt::format("  type: index {} of module {}\n  descriptor: none (the descriptor of its source names it)\n",
                           d->accessTableVexType().index, t.source);
    Values v = values(t, *d);
    std::string s = fmt::format("  type: index {} of module {}\n", d->tableVexType().index, t.source);
    s += fmt::format("  descriptor: {} (type index {})\n", v.name, v.typeIndex);
    s += fmt::format("    entries {}, {}, second access {}, units: {}, access mode {}\n", v.layout->entries,
                     v.layout->isRegister ? "register" : "memory", v.layout->secondAccess ? "yes" : "no",
                     v.only511 ? "only 511" : "all but 511", v.mode);
    s += fmt::format("    physical memories per instance and data memory: {}, counts {}\n", instances(*v.layout),
                     counts(*v.layout));
    s += fmt::format("    parity correction {}, download interval {}, suffix \"{}\", write responses {}\n",
                     v.parity ? "yes" : "no", v.interval, v.suffix, v.writeResponse ? v.writeResponse : "none");
    s += fmt::format("    allocator {}, command builders {}, access table {}\n",
                     v.noOptimization ? "noOptimization" : "other", v.builders ? "yes" : "no",
                     v.accessTable ? v.accessTable : "itself");
    return s;
}

}  // namespace x2tables
