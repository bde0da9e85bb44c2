"""Emission of the descriptor entity of each source's table.

The descriptor (table name + "Desc") derives from LogicalFap::HwTableDesc and
adds no data members: its constructor points the base at constant records
emitted beside it (memory layout, collection names) and derives the access
information. Everything else is the catalogue's [table.descriptor] values
turned into one-line overrides; the shared parts live in
X2/Support/Descriptor.h.
"""
from __future__ import annotations

from catalogue import NS, Source, Table
import emit_table


def module_types(src: Source) -> int:
    """Number of types the source's module declares: per table Index,
    DataMemId, DataIndex, one byte index type per array, Entry, WriteResponse
    (not in read tables), the table; then the descriptor."""
    return sum(3 + len(t.arrays) + 1 + (1 if t.has_write_response else 0) + 1 for t in src.tables) + 1


def descriptor_index(src: Source) -> int:
    return module_types(src) - 1


def desc_name(t: Table) -> str:
    return f"{t.name}Desc"


def emit_decl(src: Source, out: list[str]):
    t = src.tables[0]
    d = t.descriptor
    D = desc_name(t)
    out.append(f"// Where {t.name} lives on the chip, for the hardware-writing side.")
    out.append(f"class {D} : public LogicalFap::HwTableDesc, public X2::DescriptorAllocation<{D}> {{")
    out.append("public:")
    out.append(f'  static constexpr char kTypeName[] = "{NS}::{D}";')
    out.append(f"  static constexpr std::uint32_t kTypeIndex = {descriptor_index(src)};")
    out.append(f"  explicit {D}(Lumo::String const& name);")
    out.append(f"  ~{D}() override;")
    out.append("  Vex::VexTypeBase typeData() const override;")
    out.append("  Vex::VexTypeBase tableVexType() const override;")
    if d.access_table:
        out.append("  Vex::VexTypeBase accessTableVexType() const override;")
    rule = "X2::unitOnly511" if d.only_unit_511 else "X2::unitAllBut511"
    out.append(f"  bool isValidUnitId(Asic::UnitId unit) const override {{ return {rule}(unit); }}")
    out.append(f"  bool needsParityCorrection() const override {{ return {str(d.parity_correction).lower()}; }}")
    if d.download_interval:
        out.append(f"  double downloadInterval() const override {{ return {d.download_interval!r}; }}")
    if d.command_builder_offsets:
        out.append("  LogicalFap::CmdBuilder getEnterCmdBuilder() const;")
        out.append("  LogicalFap::CmdBuilder getExitCmdBuilder() const;")
    out.append("")
    out.append("private:")
    out.append("  void asicHwTableInit();")
    out.append("  void logicalFapInit();")
    out.append("};")
    out.append("")


def emit_def(src: Source, out: list[str]):
    t = src.tables[0]
    d = t.descriptor
    D = desc_name(t)
    p = D
    module = f"X2/Default/{src.name}"
    out.append("namespace {")
    ids_refs = []
    for i, inst in enumerate(d.instances):
        for m, ids in enumerate(inst):
            if ids:
                out.append(f"constexpr std::uint32_t {p}Mem{i}_{m}[] = {{{', '.join(f'{v}u' for v in ids)}}};")
                ids_refs.append(f"{p}Mem{i}_{m}")
            else:
                ids_refs.append("{}")
    out.append(f"constexpr std::span<std::uint32_t const> {p}Ids[] = {{{', '.join(ids_refs)}}};")
    out.append(f"constexpr std::uint32_t {p}Counts[] = {{{', '.join(f'{c}u' for c in d.per_memory_counts)}}};")
    out.append(f"constexpr Asic::MemLayout {p}Layout[] = {{{{{d.data_memories}u, {len(d.instances)}u, {p}Ids, "
               f"{int(d.register)}u, {int(d.second_access)}u, {p}Counts, {d.entries}u}}}};")
    out.append(f'constexpr Asic::MemGroup {p}Groups[] = {{{{{p}Layout, "{d.suffix}", 0u}}}};')
    names = ", ".join(f'"dataByte{k}"' for k in range(len(t.arrays)))
    out.append(f"constexpr char const* {p}Arrays[] = {{{names}}};")
    out.append(f'constexpr Asic::DataAttrNames {p}Data[] = {{{{"entry", {p}Arrays, 1u}}}};')
    wr = f'"{d.write_response_collection}"' if d.write_response_collection else "nullptr"
    out.append(f'constexpr Asic::CollectionNames {p}Names[] = {{{{"entry", {wr}, {p}Data}}}};')
    out.append("}  // namespace")
    out.append("")
    out.append(f"{D}::{D}(Lumo::String const& name) : LogicalFap::HwTableDesc(name) {{")
    out.append("    asicHwTableInit();")
    out.append("    logicalFapInit();")
    out.append("}")
    out.append(f"{D}::~{D}() {{ nodeFlagSet(Lumo::kNodeFlagDestroying, false); }}")
    out.append(f'Vex::VexTypeBase {D}::typeData() const {{ return {{"{module}", kTypeIndex}}; }}')
    out.append(f'Vex::VexTypeBase {D}::tableVexType() const {{ return {{"{module}", {emit_table.type_index(src, t)}}}; }}')
    if d.access_table:
        twin = next(u for u in src.tables if u.name == d.access_table)
        out.append(f'Vex::VexTypeBase {D}::accessTableVexType() const {{ return {{"{module}", '
                   f"{emit_table.type_index(src, twin)}}}; }}")
    alloc = ("Asic::ChunkAllocatorNoOptimization", 1) if d.allocator == "noOptimization" else ("Asic::ChunkAllocatorFirstFit", 2)
    out.append(f"void {D}::asicHwTableInit() {{")
    out.append(f"    hwTableInit({p}Groups, {p}Names, Asic::chunkAllocatorType({alloc[1]}), {alloc[0]}::kTypeName, "
               '&bcm56275_a0::inventory, "bcm56275_a0");')
    out.append("}")
    out.append(f"void {D}::logicalFapInit() {{")
    out.append("    {")
    out.append("        Lumo::Ptr<LogicalFap::ChipPtInfo const> chipInfo = bcm56275_a0::chipPtInfo();")
    out.append(f"        initAccessInfo(chipInfo, LogicalFap::HwAccessMode({d.access_mode}), true);")
    out.append("    }")
    if d.command_builder_offsets:
        fn = f"void {NS}::{D}::logicalFapInit()"
        for which, getter, message in (("enter", "getEnterCmdBuilder", "enterCmdBuilder impl is not set"),
                                       ("exit", "getExitCmdBuilder", "exitCmdBuilder impl is not set")):
            out.append(f"    {which}CmdBuilder_ = {getter}();")
            out.append(f"    if (!{which}CmdBuilder())")
            out.append(f'        Lumo::fmassertFail("{D}", "X2/Default/{src.name}", "{fn}", __LINE__, "{message}");')
    out.append("}")
    if d.command_builder_offsets:
        a, b = d.command_builder_offsets
        out.append(f"LogicalFap::CmdBuilder {D}::getEnterCmdBuilder() const {{ return X2::shaperEnterCmdBuilder({a}, {b}); }}")
        out.append(f"LogicalFap::CmdBuilder {D}::getExitCmdBuilder() const {{ return X2::shaperExitCmdBuilder({a}, {b}); }}")
    out.append("")


def emit_modules_source(sources: list[Source]) -> str:
    """The library's one load-time initialiser: the steps of every module in
    source order, undone in reverse order at unload."""
    out = ["// Generated by generator/x2gen.py: the load-time steps of every module.",
           "// Do not edit.", '#include "X2/Default/All.h"', '#include "X2/Support/Module.h"', "",
           f"namespace {NS} {{", "namespace {", "", "constexpr X2::ModuleStep kModules[] = {"]
    for src in sources:
        D = f"{NS}::{desc_name(src.tables[0])}"
        out.append(f'    {{&{NS}::{src.name}Module, {{"X2/Default/{src.name}", {D}::kTypeIndex}}, {D}::kTypeName,')
        out.append(f"     [](Lumo::String const& n) -> Lumo::Ptr<Vex::Entity> {{ return new {D}(n); }}}},")
    out += ["};", "", "X2::ModuleLoader const loader(kModules);", "", "}  // namespace", f"}}  // namespace {NS}"]
    return "\n".join(out) + "\n"
