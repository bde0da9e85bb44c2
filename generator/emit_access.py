"""Emission of the hardware accessors of the table entities.

Each table entity embeds an Asic::TableAccessorImpl<T, 0, 0> and an
Asic::NotifyingCollectionAccessorImpl<T, 0> (X2/Support/Accessor.h and, for
the shared-memory shape, X2/Support/SharedAccessor.h, written once); what is
emitted per table is the catalogue's word on its optional operations (DMA
bus address, memory access helper) or, for a shared-memory table, its data
byte arrays in memory order, the two factory operations with their
collection check, the members and the instantiations.
"""
from __future__ import annotations

from catalogue import NS, Source, Table, is_entity


def has_accessors(t: Table) -> bool:
    """Local-collection tables and shared-memory tables both embed accessors."""
    return is_entity(t) or t.kind == "shared"


def entity_base(t: Table) -> str:
    return "Asic::AmaMem::IndexTable" if t.kind == "shared" else "Asic::DirectIndexTable"

HELPER_TYPES = {"DefaultEgressTimestampTableHelper": "Trident3::DefaultEgressTimestampTableHelper"}
INVALID_COLLECTION = "Invalid CollectionId."


def emit_decl(t: Table, out: list[str]):
    if not has_accessors(t):
        return
    out.append("")
    if t.kind == "shared":
        # The shared shape's accessor reaches the data byte arrays by memory id.
        refs = ", ".join(f"Entry::DataByte{k} const&" for k in range(len(t.arrays)))
        arrays = ", ".join(f"e.dataByte{k}()" for k in range(len(t.arrays)))
        out.append("  // Hardware access.")
        out.append(f"  static std::tuple<{refs}> entryArrays(Entry const& e) {{ return std::tie({arrays}); }}")
    else:
        out.append("  // Hardware access (the catalogue names the optional operations).")
        out.append(f"  static constexpr bool kDmaBusAddress = {str(t.dma_bus_address).lower()};")
        if t.mem_access_helper:
            out.append(f"  using MemAccessHelper = {HELPER_TYPES[t.mem_access_helper]};")
    out.append(f"  using {entity_base(t)}::accessor;")
    out.append(f"  using {entity_base(t)}::notifyingAccessor;")
    out.append("  Asic::IndexTable::Accessor* accessor(Asic::CollectionId id) override;")
    out.append("  Asic::IndexTable::NotifyingAccessor* notifyingAccessor(Asic::CollectionId id) override;")


def emit_members(t: Table, out: list[str]):
    if not has_accessors(t):
        return
    out.append(f"  Asic::TableAccessorImpl<{t.name}, 0, 0> accessor_{{this}};")
    out.append(f"  Asic::NotifyingCollectionAccessorImpl<{t.name}, 0> notifyingAccessor_{{this}};")


def emit_def(src: Source, t: Table, out: list[str]):
    if not has_accessors(t):
        return
    T = t.name
    module = f"X2/Default/{src.name}"
    for op, ret, member in (("accessor", "Accessor", "accessor_"),
                            ("notifyingAccessor", "NotifyingAccessor", "notifyingAccessor_")):
        fn = f"virtual Asic::IndexTable::{ret}* {NS}::{T}::{op}(Asic::CollectionId)"
        out.append(f"Asic::IndexTable::{ret}* {T}::{op}(Asic::CollectionId id) {{")
        out.append(f'    if (id != 0) Lumo::fmassertFail("{T}", "{module}", "{fn}", __LINE__, "{INVALID_COLLECTION}");')
        out.append(f"    return &{member};")
        out.append("}")
    out.append("")


def emit_instantiations(src: Source, out: list[str], declaration: bool):
    ext = "extern " if declaration else ""
    for t in src.tables:
        if has_accessors(t):
            out.append(f"{ext}template class Asic::TableAccessorImpl<{NS}::{t.name}, 0, 0>;")
            out.append(f"{ext}template class Asic::NotifyingCollectionAccessorImpl<{NS}::{t.name}, 0>;")
