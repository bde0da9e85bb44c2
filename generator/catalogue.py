"""Chip catalogue: parse the per-source TOML files and validate them into a model.

Stage 1 (parse) reads every catalogue/X2/Default/<Source>.toml with the
line-keeping reader of tomlsubset.py: syntax errors only.
Stage 2 (validate) resolves shared layouts and checks every table, its
descriptor and the hash seeds of its collection nodes; each error names the
file and the line of the offending key or array item as the reader saw it,
then the table and field. Attribute ids, value types and seeds are derived
here, never read from the catalogue; the emitters only format the model.
"""
from __future__ import annotations

import re
import zlib
from dataclasses import dataclass, field as dc_field
from pathlib import Path

from tomlsubset import LArray, LTable, TomlError, loads

NS = "bcm56275_a0::Default"
KINDS = ("shared", "local", "read")
FORMS = ("inline", "allocated")
READ_ALL_KEY = 4294967294
MAX_ARRAYS = 11
IDENT = re.compile(r"^[a-z][A-Za-z0-9]*$")
TABLE_IDENT = re.compile(r"^[A-Z][A-Za-z0-9]*$")

TABLE_KEYS = {"name", "kind", "form", "lastIndex", "readAllKey", "arrays", "checkBits", "fields",
              "aggregates", "aliases", "sameLayoutAs", "descriptor", "dmaBusAddress", "memAccessHelper"}
FIELD_KEYS = {"name", "array", "offset", "width", "type"}

# Descriptor values. Access modes are the LogicalFap::HwAccessMode numbers a
# table may be reached with: writable tables 0 (plain) or 4 (MACsec, through
# the enter/exit command sequence), read tables 2 (hit bits) or 3.
DESCRIPTOR_KEYS = {"entries", "instances", "perMemoryCounts", "register", "secondAccess", "units",
                   "accessMode", "parityCorrection", "downloadInterval", "allocator", "accessTable",
                   "sharesMemoriesWith", "commandBuilderOffsets"}
DESCRIPTOR_REQUIRED = ("entries", "instances", "register", "secondAccess", "units", "accessMode",
                       "parityCorrection")
UNITS = ("only 511", "all but 511")
WRITE_MODES = (0, 4)
READ_MODES = (2, 3)
ALLOCATORS = ("noOptimization", "other")
# Registers whose index type accepts 0..3 while the chip has one entry.
ONE_ENTRY_REGISTERS = frozenset({"EsecAesCalcIcvReg", "IsecAesCalcIcvReg", "IsecMgmRuleDaEtype1StCtrl",
                                 "IsecRudMgmtRule"})

# Hash seeds fixed by the platform for these node types; all others are
# derived from the node type's full name.
FIXED_SEEDS = {
    f"{NS}::AmaMemEgrVlanTagActionProfileTable::HN_Entry": 0x36D8A9AA,
    f"{NS}::AmaMemEgrVlanTagActionProfileTable::HN_WriteResponse": 0x49C2D19C,
    f"{NS}::IngVlanRangeTable::HN_Entry": 0xB651A63A,
}


class CatalogueError(Exception):
    pass


def value_type(width: int) -> str:
    """Value type of a field of `width` bits, spelled as in the generated code."""
    return {8: "unsigned char", 16: "unsigned short", 32: "unsigned int", 64: "unsigned long"}.get(
        width, "Orrin::PerUnitBitmap" if width > 64 else f"U{width}")


@dataclass
class Field:
    name: str
    array: int
    offset: int
    width: int
    line: int
    id: int = 0

    @property
    def type(self) -> str:
        return value_type(self.width)

    @property
    def end(self) -> int:
        return self.offset + self.width

    @property
    def wide(self) -> bool:
        return self.width > 64


@dataclass
class Descriptor:
    """What the table's descriptor entity tells the chip access layer."""
    line: int
    entries: int
    instances: list[list[list[int]]]   # per instance, per data memory: the physical memory id, or none
    per_memory_counts: list[int]
    register: bool
    second_access: bool
    units: str
    access_mode: int
    parity_correction: bool
    download_interval: float
    allocator: str
    access_table: str | None
    shares_memories_with: str | None
    command_builder_offsets: list[int] | None
    read: bool                          # a read table: no write responses, suffix "::Read"

    @property
    def data_memories(self) -> int:
        return len(self.instances[0])

    @property
    def suffix(self) -> str:
        return "::Read" if self.read else ""

    @property
    def write_response_collection(self) -> str | None:
        return None if self.read else "writeResponse"

    @property
    def only_unit_511(self) -> bool:
        return self.units == "only 511"


@dataclass
class Table:
    name: str
    source: str          # catalogue file stem: the module's source name
    path: str            # catalogue file, for messages
    line: int
    kind: str = ""
    form: str = ""
    last_index: int = 0
    arrays: list[int] = dc_field(default_factory=list)
    check_bits: tuple[int, int, int] | None = None   # (array, offset, width)
    fields: list[Field] = dc_field(default_factory=list)   # attribute order
    aggregates: dict[str, list[str]] = dc_field(default_factory=dict)
    aliases: list[tuple[str, str]] = dc_field(default_factory=list)
    same_layout_as: str | None = None
    descriptor: Descriptor | None = None
    seeds: dict[str, int] = dc_field(default_factory=dict)   # collection node type -> hash seed
    dma_bus_address: bool = False        # the accessor answers dmaBusAddress
    mem_access_helper: str | None = None  # maps memory ids onto parts of the data arrays

    @property
    def inline(self) -> bool:
        return self.form == "inline"

    @property
    def has_write_response(self) -> bool:
        return self.kind != "read"

    @property
    def first_field_id(self) -> int:
        return 8 + len(self.arrays) + (1 if self.check_bits else 0) + (1 if self.inline else 0)

    @property
    def field_ids(self) -> tuple[int, int] | None:
        if not self.fields:
            return None
        return (self.fields[0].id, self.fields[-1].id)


@dataclass
class Source:
    name: str
    path: str
    tables: list[Table]


def is_entity(t: Table) -> bool:
    """Local and read tables are entities with process-local collections."""
    return t.kind in ("local", "read")


def node_types(t: Table) -> list[str]:
    second = "HN_ReadRequest" if t.kind == "read" else "HN_WriteResponse"
    return ["HN_Entry", second]


def seed(t: Table, node: str) -> int:
    name = f"{NS}::{t.name}::{node}"
    if name in FIXED_SEEDS:
        return FIXED_SEEDS[name]
    return zlib.crc32(f"x2 hash seed {name}".encode("ascii")) & 0xFFFFFFFF


class _Ctx:
    def __init__(self, path: str):
        self.path = path

    def fail(self, line: int, table: str | None, fieldname: str | None, msg: str):
        where = f"{self.path}:{line}"
        what = f"table {table}" if table else "catalogue"
        if fieldname:
            what += f", field {fieldname}"
        raise CatalogueError(f"{where}: {what}: {msg}")


def _kline(t: LTable, key: str, default: int | None = None) -> int:
    """Line of `key` in t; the table's own line when the key is absent."""
    return t.key_line.get(key, t.line if default is None else default)


def _int(ctx, line, table, fieldname, key, v, lo=0, hi=None):
    if not isinstance(v, int) or isinstance(v, bool):
        ctx.fail(line, table, fieldname, f"'{key}' must be an integer, not {v!r}")
    if v < lo or (hi is not None and v > hi):
        ctx.fail(line, table, fieldname, f"'{key}' = {v} outside {lo}..{hi if hi is not None else 'inf'}")
    return v


def _bool(ctx, line, table, key, v):
    if not isinstance(v, bool):
        ctx.fail(line, table, None, f"'{key}' must be true or false, not {v!r}")
    return v


# -- stage 1: parse -----------------------------------------------------------

def parse_source(path: Path, display: str) -> tuple[_Ctx, LTable]:
    try:
        doc = loads(path.read_text(encoding="utf-8"))
    except TomlError as e:
        raise CatalogueError(f"{display}:{e.line}: malformed TOML: {e.msg}") from None
    return _Ctx(display), doc


# -- stage 2: validate --------------------------------------------------------

def _tables_of(src_name: str, ctx: _Ctx, doc: LTable) -> list[LTable]:
    extra = sorted(set(doc) - {"table"})
    if extra:
        ctx.fail(_kline(doc, extra[0]), None, None, f"unknown top-level keys {extra}")
    raw = doc.get("table")
    if not isinstance(raw, LArray) or not raw:
        ctx.fail(_kline(doc, "table", 1), None, None, "no [[table]] declared")
    for i, r in enumerate(raw):
        if not isinstance(r, LTable):
            ctx.fail(raw.item_line[i], None, None, "a [[table]] entry is not a table")
    return list(raw)


def _table_from_raw(src: Source, ctx: _Ctx, raw: LTable) -> Table:
    name = raw.get("name")
    line = _kline(raw, "name")
    if not isinstance(name, str) or not TABLE_IDENT.match(name):
        ctx.fail(line, None, None, f"table name {name!r} is not an upper camel case identifier")
    unknown = sorted(set(raw) - TABLE_KEYS, key=lambda k: raw.key_line[k])
    if unknown:
        ctx.fail(raw.key_line[unknown[0]], name, None, f"unknown keys {sorted(unknown)}")
    t = Table(name=name, source=src.name, path=src.path, line=line)
    t.same_layout_as = raw.get("sameLayoutAs")
    t._raw = raw  # resolved later, once every source is read
    t._ctx = ctx
    return t


def _resolve(t: Table, by_name: dict[str, Table], stack=()):
    """Fills a table from its own keys, or from the table whose layout it shares."""
    if getattr(t, "_resolved", False):
        return
    ctx, raw = t._ctx, t._raw
    if t.name in stack:
        ctx.fail(_kline(raw, "sameLayoutAs"), t.name, None, f"sameLayoutAs cycle through {' -> '.join(stack)}")
    base = None
    if t.same_layout_as is not None:
        base = by_name.get(t.same_layout_as)
        if base is None:
            ctx.fail(_kline(raw, "sameLayoutAs"), t.name, None, f"sameLayoutAs names unknown table {t.same_layout_as}")
        _resolve(base, by_name, stack + (t.name,))
        for k in ("arrays", "fields", "aggregates", "aliases", "checkBits"):
            if k in raw:
                ctx.fail(raw.key_line[k], t.name, None, f"'{k}' given beside sameLayoutAs")
    t.kind = raw.get("kind", base.kind if base else None)
    t.form = raw.get("form", base.form if base else None)
    if t.kind not in KINDS:
        ctx.fail(_kline(raw, "kind", t.line), t.name, None, f"kind {t.kind!r} is not one of {KINDS}")
    if t.form not in FORMS:
        ctx.fail(_kline(raw, "form", t.line), t.name, None, f"form {t.form!r} is not one of {FORMS}")
    if (t.kind == "shared") != (t.form == "inline"):
        ctx.fail(_kline(raw, "form", _kline(raw, "kind", t.line)), t.name, None,
                 f"a {t.kind} table cannot hold {t.form} arrays "
                 "(shared tables hold inline arrays, all others allocated ones)")
    last = raw.get("lastIndex", base.last_index if base else None)
    t.last_index = _int(ctx, _kline(raw, "lastIndex", t.line), t.name, None, "lastIndex", last, 0, READ_ALL_KEY - 1)
    if t.kind == "read":
        rak = raw.get("readAllKey", READ_ALL_KEY if base else None)
        if rak != READ_ALL_KEY:
            ctx.fail(_kline(raw, "readAllKey", t.line), t.name, None,
                     f"a read table's readAllKey must be {READ_ALL_KEY}, not {rak!r}")
    elif "readAllKey" in raw:
        ctx.fail(raw.key_line["readAllKey"], t.name, None, "readAllKey given for a table that is not a read table")
    if base:
        t.arrays = list(base.arrays)
        t.check_bits = base.check_bits
        t.fields = [Field(f.name, f.array, f.offset, f.width, f.line) for f in base.fields]
        t.aggregates = {k: list(v) for k, v in base.aggregates.items()}
        t.aliases = list(base.aliases)
        t._decl_lines = dict(base._decl_lines)
    else:
        _layout(t, raw, ctx)
    _check_layout(t, ctx)
    # Attribute order: byte-wise order of the names (upper case before lower case).
    t.fields.sort(key=lambda f: f.name.encode("ascii"))
    for i, f in enumerate(t.fields):
        f.id = t.first_field_id + i
    if t.fields and t.fields[-1].id > 32767:
        ctx.fail(t.line, t.name, None, "attribute ids exceed a signed 16-bit value")
    t._resolved = True


def _layout(t: Table, raw: LTable, ctx: _Ctx):
    arrays = raw.get("arrays")
    aline = _kline(raw, "arrays", t.line)
    if not isinstance(arrays, LArray) or not 1 <= len(arrays) <= MAX_ARRAYS:
        ctx.fail(aline, t.name, None, f"'arrays' must list 1 to {MAX_ARRAYS} capacities")
    for i, a in enumerate(arrays):
        _int(ctx, arrays.item_line[i], t.name, None, "arrays", a, 4, 4096)
        if a % 4:
            ctx.fail(arrays.item_line[i], t.name, None, f"array capacity {a} is not a multiple of 4")
    t.arrays = list(arrays)
    t._decl_lines = {}   # ("aggregate" | "alias", names) -> line of the declaration
    cb = raw.get("checkBits")
    if cb is not None:
        cline = raw.key_line["checkBits"]
        if not isinstance(cb, LTable) or set(cb) != {"array", "offset", "width"}:
            ctx.fail(cline, t.name, None, "checkBits needs exactly array, offset and width")
        if cb["array"] != 0:
            ctx.fail(cb.key_line["array"], t.name, "checkBits", "check bits are always in dataByte0")
        w = _int(ctx, cb.key_line["width"], t.name, "checkBits", "width", cb["width"], 1, 64)
        o = _int(ctx, cb.key_line["offset"], t.name, "checkBits", "offset", cb["offset"], 0)
        if o + w > arrays[0] * 8:
            ctx.fail(cline, t.name, "checkBits", f"bits {o}..{o + w - 1} lie past dataByte0's {arrays[0]} bytes")
        t.check_bits = (0, o, w)
    fields = raw.get("fields")
    if not isinstance(fields, LArray):
        ctx.fail(_kline(raw, "fields", t.line), t.name, None,
                 "'fields' must be a list (empty for a table without field attributes)")
    seen = {}
    for i, rf in enumerate(fields):
        fline = fields.item_line[i]
        if not isinstance(rf, LTable):
            ctx.fail(fline, t.name, None, f"field entry {rf!r} is not a table")
        fname = rf.get("name")
        if not isinstance(fname, str) or not IDENT.match(fname):
            ctx.fail(_kline(rf, "name", fline), t.name, str(fname), "field name is not a lower camel case identifier")
        unknown = sorted(set(rf) - FIELD_KEYS)
        if unknown:
            ctx.fail(rf.key_line[unknown[0]], t.name, fname, f"unknown keys {unknown}")
        if fname in seen:
            ctx.fail(fline, t.name, fname, f"duplicate field name (first declared on line {seen[fname]})")
        seen[fname] = fline
        arr = _int(ctx, _kline(rf, "array", fline), t.name, fname, "array", rf.get("array"), 0)
        off = _int(ctx, _kline(rf, "offset", fline), t.name, fname, "offset", rf.get("offset"), 0)
        width = _int(ctx, _kline(rf, "width", fline), t.name, fname, "width", rf.get("width"), 1)
        f = Field(fname, arr, off, width, fline)
        if "type" in rf and rf["type"] != f.type:
            ctx.fail(rf.key_line["type"], t.name, fname,
                     f"type {rf['type']!r} disagrees with width {width} (expected {f.type!r})")
        t.fields.append(f)
    t.aggregates = {}
    aggs = raw.get("aggregates", LArray(t.line))
    if not isinstance(aggs, LArray):
        ctx.fail(raw.key_line["aggregates"], t.name, None, "'aggregates' must be a list")
    for i, agg in enumerate(aggs):
        line = aggs.item_line[i]
        aname = agg.get("name") if isinstance(agg, LTable) else None
        parts = agg.get("parts") if isinstance(agg, LTable) else None
        if not isinstance(agg, LTable) or set(agg) != {"name", "parts"} or not isinstance(parts, list) or not parts:
            ctx.fail(line, t.name, str(aname), "an aggregate needs a name and a non-empty list of parts")
        if aname in t.aggregates:
            ctx.fail(line, t.name, aname, "aggregate declared twice")
        t.aggregates[aname] = list(parts)
        t._decl_lines[("aggregate", aname)] = line
    t.aliases = []
    pairs = raw.get("aliases", LArray(t.line))
    if not isinstance(pairs, LArray):
        ctx.fail(raw.key_line["aliases"], t.name, None, "'aliases' must be a list of pairs")
    for i, pair in enumerate(pairs):
        if not isinstance(pair, list) or len(pair) != 2:
            ctx.fail(pairs.item_line[i], t.name, None, f"alias {pair!r} is not a pair of names")
        t.aliases.append((pair[0], pair[1]))
        t._decl_lines[("alias", pair[0], pair[1])] = pairs.item_line[i]


def _check_layout(t: Table, ctx: _Ctx):
    by = {f.name: f for f in t.fields}
    for f in t.fields:
        if f.array >= len(t.arrays):
            ctx.fail(f.line, t.name, f.name, f"array {f.array} does not exist (the table has {len(t.arrays)})")
        cap = t.arrays[f.array] * 8
        if f.end > cap:
            ctx.fail(f.line, t.name, f.name,
                     f"bits {f.offset}..{f.end - 1} lie past dataByte{f.array}'s capacity of {cap // 8} bytes")
    declared: set[frozenset] = set()
    for aname, parts in t.aggregates.items():
        line = t._decl_lines[("aggregate", aname)]
        agg = by.get(aname)
        if agg is None:
            ctx.fail(line, t.name, aname, "aggregate names no field")
        for p in parts:
            pf = by.get(p)
            if pf is None:
                ctx.fail(line, t.name, p, f"part of aggregate {aname} names no field")
            if pf.array != agg.array or pf.offset < agg.offset or pf.end > agg.end or pf.width >= agg.width:
                ctx.fail(line, t.name, p, f"does not lie inside aggregate {aname} "
                         f"(bits {agg.offset}..{agg.end - 1} of dataByte{agg.array})")
            declared.add(frozenset((aname, p)))
    for a, b in t.aliases:
        line = t._decl_lines[("alias", a, b)]
        fa, fb = by.get(a), by.get(b)
        if fa is None or fb is None:
            ctx.fail(line, t.name, a if fa is None else b, "alias names no field")
        if (fa.array, fa.offset, fa.width) != (fb.array, fb.offset, fb.width):
            ctx.fail(line, t.name, b, f"width or position disagrees with its alias {a}")
        declared.add(frozenset((a, b)))
    # Any two fields that share a bit must be a declared aggregate and part, or
    # aliases; the later declaration of the two is the one reported.
    per_array: dict[int, list[Field]] = {}
    for f in t.fields:
        per_array.setdefault(f.array, []).append(f)
    for arr, fs in per_array.items():
        fs = sorted(fs, key=lambda f: (f.offset, f.width))
        for i, f in enumerate(fs):
            for g in fs[i + 1:]:
                if g.offset >= f.end:
                    break
                if frozenset((f.name, g.name)) not in declared:
                    first, later = (f, g) if f.line <= g.line else (g, f)
                    same = (f.offset, f.width) == (g.offset, g.width)
                    ctx.fail(later.line, t.name, later.name,
                             f"shares bits with {first.name} but they are not declared as "
                             + ("two names for one range (aliases)" if same else "an aggregate and its part"))
    if t.check_bits:
        _, o, w = t.check_bits
        for f in per_array.get(0, []):
            if f.offset < o + w and o < f.end:
                ctx.fail(f.line, t.name, f.name, f"overlaps the check bits {o}..{o + w - 1}")


def _descriptor(t: Table, src: Source, by_name: dict[str, Table]) -> Descriptor | None:
    ctx, raw = t._ctx, t._raw
    d = raw.get("descriptor")
    owner = src.tables[0] is t
    if d is None:
        if owner:
            ctx.fail(t.line, t.name, None, "the first table of a source needs a [table.descriptor]")
        return None
    dline = raw.key_line["descriptor"]
    if not owner:
        ctx.fail(dline, t.name, None, f"a twin has no descriptor of its own (the descriptor of {src.name} names it)")
    if not isinstance(d, LTable):
        ctx.fail(dline, t.name, None, "'descriptor' must be a table")
    unknown = sorted(set(d) - DESCRIPTOR_KEYS, key=lambda k: d.key_line[k])
    if unknown:
        ctx.fail(d.key_line[unknown[0]], t.name, None, f"unknown descriptor keys {sorted(unknown)}")
    for k in DESCRIPTOR_REQUIRED:
        if k not in d:
            ctx.fail(dline, t.name, None, f"descriptor lacks '{k}'")

    def line(k):
        return _kline(d, k, dline)

    inst = d["instances"]
    if not isinstance(inst, LArray) or not inst:
        ctx.fail(line("instances"), t.name, None, "'instances' must list at least one instance")
    width = None
    instances = []
    for i, mems in enumerate(inst):
        iline = inst.item_line[i]
        if not isinstance(mems, LArray) or not mems:
            ctx.fail(iline, t.name, None, f"instance {i} must list its data memories")
        if width is None:
            width = len(mems)
        elif len(mems) != width:
            ctx.fail(iline, t.name, None, f"instance {i} lists {len(mems)} data memories, instance 0 lists {width}")
        row = []
        for m, ids in enumerate(mems):
            mline = mems.item_line[m]
            if not isinstance(ids, LArray) or len(ids) > 1:
                ctx.fail(mline, t.name, None,
                         f"instance {i}, memory {m}: a list of one physical memory id, or [] where it lacks the memory")
            for v in ids:
                _int(ctx, mline, t.name, None, "instances", v, 0, 0xFFFFFFFF)
            row.append(list(ids))
        instances.append(row)
    for m in range(width):
        if not any(r[m] for r in instances):
            ctx.fail(line("instances"), t.name, None, f"data memory {m} has a physical memory in no instance")
    if len(instances) == 1 and width != len(t.arrays):
        ctx.fail(line("instances"), t.name, None,
                 f"{width} data memories for {len(t.arrays)} data byte arrays "
                 "(only a table of several instances maps its arrays onto other memories)")
    all_ids = [v for r in instances for ids in r for v in ids]
    dup = sorted({v for v in all_ids if all_ids.count(v) > 1})
    if dup:
        ctx.fail(line("instances"), t.name, None, f"physical memory id {dup[0]} named twice")

    counts = d.get("perMemoryCounts", None)
    if counts is None:
        counts = [1] * width
    else:
        if not isinstance(counts, LArray) or len(counts) != width:
            ctx.fail(line("perMemoryCounts"), t.name, None, f"'perMemoryCounts' must give one count per data memory ({width})")
        for i, c in enumerate(counts):
            _int(ctx, counts.item_line[i], t.name, None, "perMemoryCounts", c, 1, 0xFFFFFFFF)
        counts = list(counts)

    register = _bool(ctx, line("register"), t.name, "register", d["register"])
    second = _bool(ctx, line("secondAccess"), t.name, "secondAccess", d["secondAccess"])
    parity = _bool(ctx, line("parityCorrection"), t.name, "parityCorrection", d["parityCorrection"])
    entries = _int(ctx, line("entries"), t.name, None, "entries", d["entries"], 1, 0xFFFFFFFF)
    if t.name in ONE_ENTRY_REGISTERS:
        if entries != 1 or not register:
            ctx.fail(line("entries"), t.name, None,
                     f"this register has one entry on the chip (its index range is 0..{t.last_index})")
    elif entries != t.last_index + 1:
        ctx.fail(line("entries"), t.name, None, f"entries = {entries}, but the index range is 0..{t.last_index}")
    units = d["units"]
    if units not in UNITS:
        ctx.fail(line("units"), t.name, None, f"units {units!r} is not one of {UNITS}")
    mode = _int(ctx, line("accessMode"), t.name, None, "accessMode", d["accessMode"], 0)
    allowed = READ_MODES if t.kind == "read" else WRITE_MODES
    if mode not in allowed:
        what = "a read table" if t.kind == "read" else "a writable table"
        ctx.fail(line("accessMode"), t.name, None, f"accessMode {mode} is not one of {allowed} for {what}")
    interval = d.get("downloadInterval", 0.0)
    if isinstance(interval, bool) or not isinstance(interval, (int, float)) or interval < 0:
        ctx.fail(line("downloadInterval"), t.name, None, f"downloadInterval must be a number of seconds >= 0, not {interval!r}")
    allocator = d.get("allocator", "noOptimization")
    if allocator not in ALLOCATORS:
        ctx.fail(line("allocator"), t.name, None, f"allocator {allocator!r} is not one of {ALLOCATORS}")

    access = d.get("accessTable")
    twins = src.tables[1:]
    if access is not None:
        twin = next((u for u in twins if u.name == access), None)
        if twin is None or twin.same_layout_as != t.name:
            ctx.fail(line("accessTable"), t.name, None,
                     f"accessTable {access!r} is not a twin of this table in source {src.name}")
    for u in twins:
        if u.name != access:
            ctx.fail(u.line, u.name, None, f"a twin must be named by the descriptor of {src.name} (accessTable)")

    shares = d.get("sharesMemoriesWith")
    if shares is not None and (shares == t.name or shares not in by_name):
        ctx.fail(line("sharesMemoriesWith"), t.name, None, f"sharesMemoriesWith names no other table: {shares!r}")

    offsets = d.get("commandBuilderOffsets")
    if offsets is not None:
        if t.kind == "read":
            ctx.fail(line("commandBuilderOffsets"), t.name, None, "a read table has no command builders")
        if not isinstance(offsets, LArray) or len(offsets) != 2 or offsets[0] == offsets[1]:
            ctx.fail(line("commandBuilderOffsets"), t.name, None, "commandBuilderOffsets must list two distinct register offsets")
        for i, v in enumerate(offsets):
            _int(ctx, offsets.item_line[i], t.name, None, "commandBuilderOffsets", v, 0, 0xFFFF)
        offsets = list(offsets)

    desc = Descriptor(line=dline, entries=entries, instances=instances, per_memory_counts=counts,
                      register=register, second_access=second, units=units, access_mode=mode,
                      parity_correction=parity, download_interval=float(interval), allocator=allocator,
                      access_table=access, shares_memories_with=shares, command_builder_offsets=offsets,
                      read=t.kind == "read")
    desc._ids_line = line("instances")
    desc._shares_line = line("sharesMemoriesWith")
    return desc


def _check_shared_memories(tables: list[Table]):
    """A physical memory belongs to one table, unless one of the two tables
    says it shares the other's memories (a read table over a writable one,
    two identical register groups)."""
    owner: dict[int, Table] = {}
    for t in tables:
        d = t.descriptor
        if d is None:
            continue
        for r in d.instances:
            for ids in r:
                for v in ids:
                    o = owner.get(v)
                    if o is None:
                        owner[v] = t
                    elif d.shares_memories_with != o.name and o.descriptor.shares_memories_with != t.name:
                        t._ctx.fail(d._ids_line, t.name, None,
                                    f"physical memory id {v} is also a memory of {o.name} "
                                    f"({o.path}:{o.descriptor._ids_line}) and neither says it shares the other's memories")
    for t in tables:
        d = t.descriptor
        if d is None or d.shares_memories_with is None:
            continue
        o = next(u for u in tables if u.name == d.shares_memories_with)
        mine = {v for r in d.instances for ids in r for v in ids}
        theirs = {v for r in (o.descriptor.instances if o.descriptor else []) for ids in r for v in ids}
        if not mine & theirs:
            t._ctx.fail(d._shares_line, t.name, None, f"shares no physical memory with {o.name}")


# Helpers that map a table's memory ids onto parts of its data byte arrays,
# with the shape they serve: (data byte arrays, capacity, data memories).
MEM_ACCESS_HELPERS = {"DefaultEgressTimestampTableHelper": (1, 8, 2)}


def _hw_access(t: Table, src: Source):
    """Which optional accessor operations the table provides beyond its kind's
    (write responses, or read requests in read tables): the DMA bus address
    of an entry's data, in exactly the local tables whose data lies in chip
    memory (not registers); and a memory access helper, in exactly the
    tables whose descriptor spreads its data memories over the arrays."""
    ctx, raw = t._ctx, t._raw
    d = src.tables[0].descriptor
    dma = raw.get("dmaBusAddress", False)
    line = _kline(raw, "dmaBusAddress", t.line)
    _bool(ctx, line, t.name, "dmaBusAddress", dma)
    if t.kind == "shared":
        if dma:
            ctx.fail(line, t.name, None, "a shared-memory table has no memory mirror, so no DMA bus address")
    elif dma == d.register:
        what = "a register" if d.register else "a memory"
        ctx.fail(line, t.name, None, f"dmaBusAddress = {str(dma).lower()}, but the descriptor of {src.name} "
                 f"({src.path}:{d.line}) makes it {what}: exactly the local tables held in chip memory have one")
    t.dma_bus_address = dma
    helper = raw.get("memAccessHelper")
    hline = _kline(raw, "memAccessHelper")
    spread = d.data_memories != len(t.arrays)
    if helper is None:
        if spread:
            ctx.fail(t.line, t.name, None, f"{d.data_memories} data memories over {len(t.arrays)} data byte arrays "
                     f"need a memAccessHelper (one of {sorted(MEM_ACCESS_HELPERS)})")
        return
    if helper not in MEM_ACCESS_HELPERS:
        ctx.fail(hline, t.name, None, f"memAccessHelper {helper!r} is not one of {sorted(MEM_ACCESS_HELPERS)}")
    if not spread:
        ctx.fail(hline, t.name, None, "memAccessHelper given for a table with one data memory per data byte array")
    arrays, cap, mems = MEM_ACCESS_HELPERS[helper]
    if len(t.arrays) != arrays or t.arrays[0] != cap or d.data_memories != mems:
        ctx.fail(hline, t.name, None, f"{helper} serves {arrays} array of {cap} bytes over {mems} data memories")
    t.mem_access_helper = helper


def _check_seeds(tables: list[Table]):
    """Every collection node type has its own hash seed (the fixed ones included)."""
    seen: dict[int, tuple[Table, str]] = {}
    for t in tables:
        if not is_entity(t):
            continue
        for node in node_types(t):
            v = seed(t, node)
            if v in seen:
                o, onode = seen[v]
                t._ctx.fail(t.line, t.name, None, f"hash seed {v:#010x} of {t.name}::{node} equals that of "
                            f"{o.name}::{onode} ({o.path}:{o.line})")
            seen[v] = (t, node)
            t.seeds[node] = v


def load(catalogue_dir: Path) -> list[Source]:
    """Reads and validates the whole catalogue; sources in name order."""
    root = Path(catalogue_dir)
    files = sorted((root / "X2" / "Default").glob("*.toml"), key=lambda p: p.name)
    if not files:
        raise CatalogueError(f"{root}: no catalogue sources under X2/Default/")
    # Stage 1: every file is read before anything is checked.
    parsed = []
    for p in files:
        display = str(p.relative_to(root.parent)) if root.parent in p.parents else str(p)
        parsed.append((p.stem, display) + parse_source(p, display))
    # Stage 2.
    sources, by_name = [], {}
    for stem, display, ctx, doc in parsed:
        src = Source(stem, display, [])
        for raw in _tables_of(stem, ctx, doc):
            t = _table_from_raw(src, ctx, raw)
            if t.name in by_name:
                other = by_name[t.name]
                ctx.fail(t.line, t.name, None, f"table declared twice (also {other.path}:{other.line})")
            by_name[t.name] = t
            src.tables.append(t)
        if src.tables[0].name != src.name:
            ctx.fail(src.tables[0].line, src.tables[0].name, None,
                     f"the first table of source {src.name} must be named {src.name}")
        sources.append(src)
    for t in by_name.values():
        _resolve(t, by_name)
    for src in sources:
        for t in src.tables:
            t.descriptor = _descriptor(t, src, by_name)
    tables = [t for s in sources for t in s.tables]
    _check_shared_memories(tables)
    _check_seeds(tables)
    for src in sources:
        for t in src.tables:
            _hw_access(t, src)
    return sources
