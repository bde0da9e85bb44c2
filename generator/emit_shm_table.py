"""Emission of the shared-memory table entities.

A table whose catalogue kind is "shared" becomes an Asic::AmaMem::IndexTable
whose entries and write responses live in two shared-memory map bindings
(VexVorn::VexVornMap). Every operation is written once in
X2/Support/SharedTable.h; what is emitted per table is the class's members
in their fixed order, the binding types and one-line forwarders.
"""
from __future__ import annotations

import emit_access
from catalogue import Source, Table

INCLUDE = '#include "X2/Support/SharedTable.h"'
ACCESSOR_INCLUDE = '#include "X2/Support/SharedAccessor.h"'
# The shared shape's reflection glue (X2::TableGlueOf), seen before any glue is instantiated.
REFLECT_INCLUDE = '#include "X2/Support/SharedReflect.h"'


def is_shared(t: Table) -> bool:
    return t.kind == "shared"


def includes(src: Source) -> list[str]:
    return [INCLUDE, ACCESSOR_INCLUDE, REFLECT_INCLUDE] if any(is_shared(t) for t in src.tables) else []


def base_clause(t: Table) -> str:
    if not is_shared(t):
        return ""
    return f" : public Asic::AmaMem::IndexTable, public Vex::SlabAllocated<{t.name}>"


def type_index(src: Source, t: Table) -> int:
    """Index of the table entity in its module's fixed type order (as for
    local tables: Index, DataMemId, DataIndex, one byte index type per array,
    Entry, WriteResponse, then the table)."""
    i = 0
    for u in src.tables:
        i += 3 + len(u.arrays) + 1 + (1 if u.has_write_response else 0)
        if u is t:
            return i
        i += 1
    raise ValueError(f"{t.name} is not in source {src.name}")


def emit_decl(src: Source, t: Table, out: list[str]):
    if not is_shared(t):
        return
    T = t.name
    N = f"{T}ZeroReferencesNotifiee"
    out += [
        "",
        "  // The records as the shared maps store them, and the two bindings.",
        "  using EntryValue = VexVorn::ValWrap<Entry, Entry::Index, &Entry::entryIndex, false>;",
        "  using WriteResponseValue = VexVorn::ValWrap<WriteResponse, Entry::Index, &WriteResponse::entryIndex, false>;",
        f"  using EntryMap = VexVorn::VexVornMap<{T}, EntryValue, Entry::Index,",
        "                                         VexVorn::RecordMapOps<EntryValue, Entry::Index>>;",
        f"  using WriteResponseMap = VexVorn::VexVornMap<{T}, WriteResponseValue, Entry::Index,",
        "                                                 VexVorn::RecordMapOps<WriteResponseValue, Entry::Index>>;",
        "  using ControlPtr = Lumo::Ptr<VexVorn::CollectionControl>;",
        f"  class {N} : public X2::ZeroReferencesNotifiee<{T}, {N}> {{",
        "  public:",
        "    using ZeroReferencesNotifiee::ZeroReferencesNotifiee;",
        "  };",
        f"  using Notifiee = {N};",
        f"  static constexpr std::uint32_t kTypeIndex = {type_index(src, t)};",
        "",
        f"  explicit {T}(Lumo::String const& name);",
        f"  ~{T}() override;",
        "  Vex::VexTypeBase typeData() const override;",
        "  void handleParent(Lumo::Ptr<Vex::Entity> const& parent) override;",
        "  Vex::VexAttr entryAttrId() const override { return {X2::kEntryAttrId}; }",
        "  Vex::VexAttr writeResponseAttrId() const override { return {X2::kWriteResponseAttrId}; }",
        "",
        "  Entry entry(Entry::Index i) const;",
        "  void entryIs(Entry const& e);",
        "  void entryCommit(Entry const* e);",
        "  Entry entryDel(Entry::Index i);",
        "  void entryDelAll();",
        "  WriteResponse writeResponse(Entry::Index i) const;",
        "  void writeResponseIs(WriteResponse const& w);",
        "  void writeResponseCommit(WriteResponse const* w);",
        "  WriteResponse writeResponseDel(Entry::Index i);",
        "  void writeResponseDelAll();",
        "  ControlPtr const& entryControl() const { return entryControl_; }",
        "  void entryControlIs(ControlPtr const& c);",
        "  ControlPtr const& writeResponseControl() const { return writeResponseControl_; }",
        "  void writeResponseControlIs(ControlPtr const& c);",
        "",
        "  // Callbacks of the bindings.",
        "  void entryNotify(Entry::Index const& i);",
        "  void entryNotifyMountStatus();",
        "  void entryNotifyQuiesced(bool quiesced);",
        "  void writeResponseNotify(Entry::Index const& i);",
        "  void writeResponseNotifyMountStatus();",
        "  void writeResponseNotifyQuiesced(bool quiesced);",
        "  void onZeroReferences();",
        "",
        "  EntryMap& entryMap() { return entryMap_; }",
        "  EntryMap const& entryMap() const { return entryMap_; }",
        "  WriteResponseMap& writeResponseMap() { return writeResponseMap_; }",
        "  WriteResponseMap const& writeResponseMap() const { return writeResponseMap_; }",
    ]
    emit_access.emit_decl(t, out)


def emit_private(t: Table, out: list[str]):
    if not is_shared(t):
        return
    out += [
        "",
        "private:",
        f"  friend struct X2::SharedTable<{t.name}>;",
        "  std::uint64_t* writeResponseIsCount_ = nullptr;",
        "  std::uint64_t* writeResponseDelCount_ = nullptr;",
        "  std::uint64_t* writeResponseNotifyCount_ = nullptr;",
        "  std::uint64_t* entryIsCount_ = nullptr;",
        "  std::uint64_t* entryDelCount_ = nullptr;",
        "  std::uint64_t* entryNotifyCount_ = nullptr;",
        "  Lumo::Ptr<Notifiee> zeroReferencesNotifiee_;",
        "  EntryMap entryMap_;",
        "  ControlPtr entryControl_;",
        "  VexVorn::CollectionControl* entryControlRaw_ = nullptr;",
        "  WriteResponseMap writeResponseMap_;",
        "  ControlPtr writeResponseControl_;",
        "  VexVorn::CollectionControl* writeResponseControlRaw_ = nullptr;",
    ]
    emit_access.emit_members(t, out)


def emit_def(src: Source, t: Table, out: list[str]):
    if not is_shared(t):
        return
    T = t.name
    S = f"X2::SharedTable<{T}>"
    out += [
        f"{T}::{T}(Lumo::String const& name) : Asic::AmaMem::IndexTable(name) {{ {S}::construct(*this); }}",
        f"{T}::~{T}() {{ {S}::destroy(*this); }}",
        f'Vex::VexTypeBase {T}::typeData() const {{ return {{"X2/Default/{src.name}", kTypeIndex}}; }}',
        f"void {T}::handleParent(Lumo::Ptr<Vex::Entity> const&) {{",
        "  writeResponseMap_.handleParent();",
        "  entryMap_.handleParent();",
        "}",
        f"{T}::Entry {T}::entry(Entry::Index i) const {{ return {S}::entry(*this, i); }}",
        f"void {T}::entryIs(Entry const& e) {{ {S}::entryIs(*this, e); }}",
        f"void {T}::entryCommit(Entry const* e) {{ {S}::entryCommit(*this, e); }}",
        f"{T}::Entry {T}::entryDel(Entry::Index i) {{ return {S}::entryDel(*this, i); }}",
        f"void {T}::entryDelAll() {{ {S}::entryDelAll(*this); }}",
        f"{T}::WriteResponse {T}::writeResponse(Entry::Index i) const {{ return {S}::writeResponse(*this, i); }}",
        f"void {T}::writeResponseIs(WriteResponse const& w) {{ {S}::writeResponseIs(*this, w); }}",
        f"void {T}::writeResponseCommit(WriteResponse const* w) {{ {S}::writeResponseCommit(*this, w); }}",
        f"{T}::WriteResponse {T}::writeResponseDel(Entry::Index i) {{ return {S}::writeResponseDel(*this, i); }}",
        f"void {T}::writeResponseDelAll() {{ {S}::writeResponseDelAll(*this); }}",
        f"void {T}::entryControlIs(ControlPtr const& c) {{",
        f"  {S}::controlIs(*this, entryControl_, entryControlRaw_, c, X2::kEntryControlAttrId);",
        "}",
        f"void {T}::writeResponseControlIs(ControlPtr const& c) {{",
        f"  {S}::controlIs(*this, writeResponseControl_, writeResponseControlRaw_, c, X2::kWriteResponseControlAttrId);",
        "}",
        f"void {T}::entryNotify(Entry::Index const& i) {{",
        "  publisher().publishChange(X2::kEntryAttrId, i.value());",
        "  ++*entryNotifyCount_;",
        "}",
        f"void {T}::entryNotifyMountStatus() {{ {S}::notifyMountStatus(entryMap_, entryControlRaw_); }}",
        f"void {T}::entryNotifyQuiesced(bool q) {{",
        "  if (entryControlRaw_) entryControlRaw_->quiescedIs(q);",
        "}",
        f"void {T}::writeResponseNotify(Entry::Index const& i) {{",
        "  publisher().publishChange(X2::kWriteResponseAttrId, i.value());",
        "  ++*writeResponseNotifyCount_;",
        "}",
        f"void {T}::writeResponseNotifyMountStatus() {{",
        f"  {S}::notifyMountStatus(writeResponseMap_, writeResponseControlRaw_);",
        "}",
        f"void {T}::writeResponseNotifyQuiesced(bool q) {{",
        "  if (writeResponseControlRaw_) writeResponseControlRaw_->quiescedIs(q);",
        "}",
        f"void {T}::onZeroReferences() {{ {S}::onZeroReferences(*this); }}",
    ]
    emit_access.emit_def(src, t, out)
