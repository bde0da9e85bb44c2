"""The module of each source: its types in the fixed type-index order, the
names of those types and of the outside types they refer to, the attribute
names in alphabetical (byte-wise) order, and one record per type and per
attribute, as a Lumo::ModuleInspectData object.

The object is exported under the source's name and a 16-hex-digit hash of
the module's content: FNV-1a (64 bits) over the type names, the attribute
names and the text of every record, each followed by a NUL byte. Any change
of what the module declares changes the name, so a framework never mistakes
an old module for a new one.
"""
from __future__ import annotations

from dataclasses import dataclass

from catalogue import NS, Source, Table

FNV_OFFSET = 0xCBF29CE484222325
FNV_PRIME = 0x100000001B3


def fnv1a64(data: bytes) -> int:
    h = FNV_OFFSET
    for b in data:
        h = ((h ^ b) * FNV_PRIME) & 0xFFFFFFFFFFFFFFFF
    return h


@dataclass
class Type:
    name: str
    kind: str          # Lumo::TypeKind enumerator
    attributes: list   # (field id, attribute name, value type name)


def _index_types(t: Table) -> list[Type]:
    e = f"{NS}::{t.name}::Entry"
    out = [Type(f"{e}::Index", "indexType", [(130, "max", f"{e}::Index"), (131, "doInit", "void")])]
    consts = lambda own: [(130, "max", own), (131, "min", own), (132, "numValues", "unsigned int")]  # noqa: E731
    out.append(Type(f"{e}::DataMemId", "indexType", consts(f"{e}::DataMemId")))
    out.append(Type(f"{e}::DataIndex", "indexType", consts(f"{e}::DataIndex")))
    for k in range(len(t.arrays)):
        out.append(Type(f"{e}::DataByte{k}Index", "indexType", consts(f"{e}::DataByte{k}Index")))
    return out


def _entry(t: Table) -> Type:
    e = f"{NS}::{t.name}::Entry"
    attrs, fid = [], 2
    if t.inline:
        attrs.append((fid, "entryIndex", f"{e}::Index"))
        fid += 1
    attrs.append((fid, "transactionId", "Asic::TransactionId"))
    attrs.append((fid + 1, "recordVersion", "int"))
    fid += 2
    for k in range(len(t.arrays)):
        attrs.append((fid, f"dataByte{k}", "unsigned char"))
        fid += 1
    attrs.append((fid, "isValid", "bool"))
    attrs.append((fid + 1, "doSetPhysicalConsts", "void"))
    attrs.append((fid + 2, "doClearPhysicalConsts", "void"))
    fid += 3
    if t.check_bits:
        attrs.append((fid, "doClearEccFields", "void"))
        fid += 1
    attrs.append((fid, "isUserWritable", "bool"))
    fid += 1
    assert fid == t.first_field_id, (t.name, fid, t.first_field_id)
    attrs += [(f.id, f.name, f.type) for f in t.fields]
    return Type(e, "entry", attrs)


def _table(t: Table) -> Type:
    T = f"{NS}::{t.name}"
    # The collections' control objects: a shared-memory map's or a memory mirror's.
    control = "VexVorn::CollectionControl" if t.kind == "shared" else "Pell::Core::Memory::Control::Collection"
    attrs = [(770, "entry", f"{T}::Entry"), (771, "entryControl", control)]
    if t.kind == "read":
        attrs += [(772, "readRequest", "Asic::HwTable::ReadRequest"), (773, "readRequestIs", "void"),
                  (774, "addReadAllRequest", "void"), (775, "bulkReadResponse", "Asic::TransactionId")]
    else:
        attrs.append((772, "writeResponse", f"{T}::WriteResponse"))
        if t.kind == "shared":
            attrs.append((773, "writeResponseControl", control))
    return Type(T, "table", attrs)


def module_types(src: Source) -> list[Type]:
    out = []
    for t in src.tables:
        out += _index_types(t)
        out.append(_entry(t))
        if t.has_write_response:
            out.append(Type(f"{NS}::{t.name}::WriteResponse", "writeResponse",
                            [(130, "entryIndex", f"{NS}::{t.name}::Entry::Index")]))
        out.append(_table(t))
    out.append(Type(f"{NS}::{src.tables[0].name}Desc", "descriptor", []))
    return out


@dataclass
class Module:
    symbol: str
    hash: int
    types: list[Type]
    type_names: list[str]     # own, then imported
    attribute_names: list[str]


def module(src: Source) -> Module:
    types = module_types(src)
    own = [ty.name for ty in types]
    imported = sorted({a[2] for ty in types for a in ty.attributes if a[2] not in own} | {"Lumo::String"},
                      key=lambda s: s.encode("ascii"))
    names = own + imported
    attr_names = sorted({a[1] for ty in types for a in ty.attributes}, key=lambda s: s.encode("ascii"))
    text = "\0".join(names) + "\0\0" + "\0".join(attr_names) + "\0\0" + "\0".join(
        f"{ty.kind}:" + ",".join(f"{a[0]}/{a[1]}/{a[2]}" for a in ty.attributes) for ty in types)
    h = fnv1a64(text.encode("ascii"))
    return Module(f"{src.name}_{h:016x}", h, types, names, attr_names)


def emit_decl(src: Source, out: list[str]):
    m = module(src)
    out.append(f"// The module of X2/Default/{src.name}: {len(m.types)} types.")
    out.append(f"extern Lumo::ModuleInspectData const {m.symbol};")
    out.append(f"inline constexpr Lumo::ModuleInspectData const& {src.name}Module = {m.symbol};")
    out.append("")


def emit_def(src: Source, out: list[str]):
    m = module(src)
    p = f"{src.name}Module"
    tix = {n: i for i, n in enumerate(m.type_names)}
    aix = {n: i for i, n in enumerate(m.attribute_names)}
    out.append("namespace {")
    out.append(f"constexpr char const* {p}TypeNames[] = {{")
    out += [f'    "{n}",' for n in m.type_names]
    out.append("};")
    out.append(f"constexpr char const* {p}AttributeNames[] = {{")
    out += [f'    "{n}",' for n in m.attribute_names]
    out.append("};")
    out.append(f"constexpr Lumo::AttributeRecord {p}Attributes[] = {{")
    for ty in m.types:
        for fid, name, vt in ty.attributes:
            out.append(f"    {{{fid}, {aix[name]}, {tix[vt]}}},")
    out.append("};")
    out.append(f"constexpr Lumo::TypeRecord {p}Types[] = {{")
    first = 0
    for i, ty in enumerate(m.types):
        out.append(f"    {{{i}, Lumo::TypeKind::{ty.kind}, {first}, {len(ty.attributes)}}},")
        first += len(ty.attributes)
    out.append("};")
    out.append("}  // namespace")
    out.append(f'Lumo::ModuleInspectData const {m.symbol} = {{"X2/Default/{src.name}", {m.hash:#018x}u, '
               f"{p}TypeNames, {len(m.types)}u, {p}AttributeNames, {p}Types, {p}Attributes}};")
    out.append("")
