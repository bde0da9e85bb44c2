"""Emission of the local-collection table entities.

Every local or read table T becomes an Asic::DirectIndexTable holding one
X2::LocalCollections (X2/Support/LocalTable.h), which implements every
operation once. What is emitted per table is only what differs: the node
types with their hash seeds, the type index, the constructor and destructor,
and one-line forwarders. Shared-memory tables are left to another layer.
"""
from __future__ import annotations

from catalogue import NS, Source, Table, is_entity, node_types
import emit_access


def index_type_index(src: Source, t: Table) -> int:
    """Index of the table's Entry::Index in its module's type order (0 for
    the first table of a source; a twin's comes after the first table's)."""
    return type_index(src, t) - (3 + len(t.arrays) + 1 + (1 if t.has_write_response else 0))


def type_index(src: Source, t: Table) -> int:
    """Index of the table entity in its module's fixed type order: per table,
    Index, DataMemId, DataIndex, one byte index type per array, Entry,
    WriteResponse (not in read tables), then the table itself."""
    i = 0
    for u in src.tables:
        i += 3 + len(u.arrays) + 1 + (1 if u.has_write_response else 0)
        if u is t:
            return i
        i += 1
    raise ValueError(f"{t.name} is not in source {src.name}")


def base_clause(t: Table) -> str:
    # Entities come from the slab, reported to their type's allocation tracker.
    return f" : public Asic::DirectIndexTable, public Vex::SlabAllocated<{t.name}>" if is_entity(t) else ""


def emit_entity_decl(src: Source, t: Table, out: list[str]):
    """The entity part of the class body, after Entry and WriteResponse."""
    if not is_entity(t):
        return
    read = t.kind == "read"
    second = node_types(t)[1]
    arrays = ", ".join(f"e.dataByte{k}()" for k in range(len(t.arrays)))
    refs = ", ".join(f"Entry::DataByte{k} const&" for k in range(len(t.arrays)))
    out.append("")
    out.append("  // Nodes of the table's collections.")
    out.append("  struct HN_Entry : X2::EntryNode<Entry> {")
    out.append(f"    static constexpr std::uint32_t kHashSeed = {t.seeds['HN_Entry']:#010x}u;")
    out.append("    using EntryNode::EntryNode;")
    out.append(f"    static std::tuple<{refs}> arrays(Entry const& e) {{ return std::tie({arrays}); }}")
    out.append("  };")
    if read:
        out.append("  struct HN_ReadRequest : X2::ReadRequestNode {")
        out.append(f"    static constexpr std::uint32_t kHashSeed = {t.seeds[second]:#010x}u;")
        out.append("    using ReadRequestNode::ReadRequestNode;")
    else:
        out.append("  struct HN_WriteResponse : X2::WriteResponseNode<WriteResponse> {")
        out.append(f"    static constexpr std::uint32_t kHashSeed = {t.seeds[second]:#010x}u;")
        out.append("    using WriteResponseNode::WriteResponseNode;")
    out.append("  };")
    out.append(f"  using Collections = X2::LocalCollections<HN_Entry, {second}>;")
    out.append(f"  static constexpr std::uint32_t kTypeIndex = {type_index(src, t)};")
    out.append("")
    out.append(f"  explicit {t.name}(Lumo::String const& name);")
    out.append(f"  ~{t.name}() override;")
    out.append("  void lastUserGone() override;")
    out.append("  Vex::VexTypeBase typeData() const override;")
    out.append("  Vex::VexAttr entryAttrId() const override { return {X2::kEntryAttrId}; }")
    if read:
        out.append("  Vex::VexAttr readRequestAttrId() const override { return {X2::kReadRequestAttrId}; }")
        out.append("  Vex::VexAttr bulkReadResponseAttrId() const override { return {X2::kBulkReadResponseAttrId}; }")
        out.append("  void bulkReadResponseTidIs(Asic::TransactionId const& t) override { c_.bulkReadResponseIs(t); }")
    else:
        out.append("  Vex::VexAttr writeResponseAttrId() const override { return {X2::kWriteResponseAttrId}; }")
    out.append("")
    out.append("  Entry entry(Entry::Index i) const { return c_.entry(i); }")
    out.append("  void entryIs(Entry::Index i, Entry const& e) { c_.entryIs(i, e); }")
    out.append("  Entry entryDel(Entry::Index i) { return c_.entryDel(i); }")
    out.append("  void entryDelAll() { c_.entryDelAll(); }")
    out.append("  Entry const* entryDirect(Entry::Index i) const { return c_.entryDirect(i); }")
    out.append("  Entry* entryDirectIs(Entry::Index i) { return c_.entryDirectIs(i); }")
    out.append("  bool entryDirectDel(Entry::Index i) { return c_.entryDirectDel(i); }")
    out.append("  void entryNotify(Entry::Index i) { c_.entryNotify(i); }")
    out.append("  Collections::ControlPtr const& entryControl() const { return c_.entryControl(); }")
    out.append("  void entryControlIs(Collections::ControlPtr const& c) { c_.entryControlIs(c); }")
    if read:
        out.append("  void readRequestIs(Asic::Index i, Asic::HwTable::ReadRequest const& r) { c_.readRequestIs(i, r); }")
        out.append("  void addReadRequest(Asic::Index i, Asic::HwTable::ReadRequest const& r) { c_.readRequestIs(i, r); }")
        out.append("  void addReadAllRequest(Asic::HwTable::ReadRequest const& r) { c_.readRequestIs(X2::kReadAllIndex, r); }")
        out.append("  Asic::HwTable::ReadRequest readRequest(Asic::Index i) const { return c_.readRequest(i); }")
        out.append("  Asic::HwTable::ReadRequest readRequestDel(Asic::Index i) { return c_.readRequestDel(i); }")
        out.append("  void readRequestDelAll() { c_.readRequestDelAll(); }")
        out.append("  Asic::TransactionId bulkReadResponse() const { return c_.bulkReadResponse(); }")
        out.append("  void bulkReadResponseIs(Asic::TransactionId const& t) { c_.bulkReadResponseIs(t); }")
    else:
        out.append("  WriteResponse writeResponse(Entry::Index i) const { return c_.writeResponse(i); }")
        out.append("  void writeResponseIs(WriteResponse const& w) { c_.writeResponseIs(w); }")
        out.append("  WriteResponse writeResponseDel(Entry::Index i) { return c_.writeResponseDel(i); }")
        out.append("  void writeResponseDelAll() { c_.writeResponseDelAll(); }")
    out.append("  Collections const& collections() const { return c_; }")
    emit_access.emit_decl(t, out)


def emit_entity_private(t: Table, out: list[str]):
    if is_entity(t):
        out.append("")
        out.append("private:")
        out.append("  Collections c_;")
        emit_access.emit_members(t, out)


def emit_instantiations(src: Source, out: list[str], declaration: bool):
    """The collections of each entity are instantiated once, in the table's own
    source; the header declares them so that other users do not."""
    tables = [t for t in src.tables if is_entity(t)]
    if not tables:
        return
    out.append("")
    for t in tables:
        T = f"{NS}::{t.name}"
        out.append(f"{'extern ' if declaration else ''}template class X2::LocalCollections<{T}::HN_Entry, "
                   f"{T}::{node_types(t)[1]}>;")
    emit_access.emit_instantiations(src, out, declaration)


def emit_entity_def(src: Source, t: Table, out: list[str]):
    if not is_entity(t):
        return
    T = t.name
    out.append(f"{T}::{T}(Lumo::String const& name)")
    out.append("    : Asic::DirectIndexTable(name), c_(publisher()) {}")
    out.append(f"{T}::~{T}() {{ nodeFlagSet(Lumo::kNodeFlagDestroying, false); }}")
    out.append(f"void {T}::lastUserGone() {{ Pell::Core::Memory::Entity::Destructor::cleanup(this); }}")
    out.append(f'Vex::VexTypeBase {T}::typeData() const {{ return {{"X2/Default/{src.name}", kTypeIndex}}; }}')
    emit_access.emit_def(src, t, out)


def table_ops(t: Table) -> str:
    return f"X2::LocalTableOpsFor<{t.name}>::ops()" if is_entity(t) else "X2::TableOps{}"
