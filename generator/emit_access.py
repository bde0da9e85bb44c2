"""Emission of the hardware accessors of the local-collection table entities.

Each such table embeds an Asic::TableAccessorImpl<T, 0, 0> and an
Asic::NotifyingCollectionAccessorImpl<T, 0> (X2/Support/Accessor.h, written
once); what is emitted per table is the catalogue's word on its optional
operations (DMA bus address, memory access helper), the two factory
operations with their collection check, the members and the instantiations.
"""
from __future__ import annotations

from catalogue import NS, Source, Table, is_entity

HELPER_TYPES = {"DefaultEgressTimestampTableHelper": "Trident3::DefaultEgressTimestampTableHelper"}
INVALID_COLLECTION = "Invalid CollectionId."


def emit_decl(t: Table, out: list[str]):
    if not is_entity(t):
        return
    out.append("")
    out.append("  // Hardware access (the catalogue names the optional operations).")
    out.append(f"  static constexpr bool kDmaBusAddress = {str(t.dma_bus_address).lower()};")
    if t.mem_access_helper:
        out.append(f"  using MemAccessHelper = {HELPER_TYPES[t.mem_access_helper]};")
    out.append("  using Asic::DirectIndexTable::accessor;")
    out.append("  using Asic::DirectIndexTable::notifyingAccessor;")
    out.append("  Asic::IndexTable::Accessor* accessor(Asic::CollectionId id) override;")
    out.append("  Asic::IndexTable::NotifyingAccessor* notifyingAccessor(Asic::CollectionId id) override;")


def emit_members(t: Table, out: list[str]):
    if not is_entity(t):
        return
    out.append(f"  Asic::TableAccessorImpl<{t.name}, 0, 0> accessor_{{this}};")
    out.append(f"  Asic::NotifyingCollectionAccessorImpl<{t.name}, 0> notifyingAccessor_{{this}};")


def emit_def(src: Source, t: Table, out: list[str]):
    if not is_entity(t):
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
        if is_entity(t):
            out.append(f"{ext}template class Asic::TableAccessorImpl<{NS}::{t.name}, 0, 0>;")
            out.append(f"{ext}template class Asic::NotifyingCollectionAccessorImpl<{NS}::{t.name}, 0>;")
