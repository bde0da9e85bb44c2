"""Chip catalogue: parse the per-source TOML files and validate them into a model.

Stage 1 (parse) reads every catalogue/X2/Default/<Source>.toml with tomllib.
Stage 2 (validate) resolves shared layouts and checks every table; each error
names the file, line, table and field. Attribute ids and value types are
derived here, never read from the catalogue.
"""
from __future__ import annotations

import re
import tomllib
from dataclasses import dataclass, field as dc_field
from pathlib import Path

KINDS = ("shared", "local", "read")
FORMS = ("inline", "allocated")
READ_ALL_KEY = 4294967294
MAX_ARRAYS = 11
IDENT = re.compile(r"^[a-z][A-Za-z0-9]*$")
TABLE_IDENT = re.compile(r"^[A-Z][A-Za-z0-9]*$")

TABLE_KEYS = {"name", "kind", "form", "lastIndex", "readAllKey", "arrays", "checkBits", "fields",
              "aggregates", "aliases", "sameLayoutAs", "descriptor"}
FIELD_KEYS = {"name", "array", "offset", "width", "type"}


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
    descriptor: dict = dc_field(default_factory=dict)

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


class _Ctx:
    def __init__(self, path: str, text: str):
        self.path = path
        self.lines = text.split("\n")

    def line_of(self, needle: str, after: int = 0) -> int:
        for i in range(max(after - 1, 0), len(self.lines)):
            if needle in self.lines[i]:
                return i + 1
        return after or 1

    def fail(self, line: int, table: str | None, fieldname: str | None, msg: str):
        where = f"{self.path}:{line}"
        what = f"table {table}" if table else "catalogue"
        if fieldname:
            what += f", field {fieldname}"
        raise CatalogueError(f"{where}: {what}: {msg}")


def _int(ctx, line, table, fieldname, key, v, lo=0, hi=None):
    if not isinstance(v, int) or isinstance(v, bool):
        ctx.fail(line, table, fieldname, f"'{key}' must be an integer, not {v!r}")
    if v < lo or (hi is not None and v > hi):
        ctx.fail(line, table, fieldname, f"'{key}' = {v} outside {lo}..{hi if hi is not None else 'inf'}")
    return v


def parse_source(path: Path, display: str) -> tuple[Source, _Ctx, list[dict]]:
    text = path.read_text(encoding="utf-8")
    ctx = _Ctx(display, text)
    try:
        doc = tomllib.loads(text)
    except tomllib.TOMLDecodeError as e:
        raise CatalogueError(f"{display}: malformed TOML: {e}") from None
    extra = set(doc) - {"table"}
    if extra:
        ctx.fail(1, None, None, f"unknown top-level keys {sorted(extra)}")
    raw = doc.get("table")
    if not isinstance(raw, list) or not raw:
        ctx.fail(1, None, None, "no [[table]] declared")
    return Source(path.stem, display, []), ctx, raw


def _table_from_raw(src: Source, ctx: _Ctx, raw: dict, after: int) -> Table:
    name = raw.get("name")
    if not isinstance(name, str) or not TABLE_IDENT.match(name):
        ctx.fail(after, None, None, f"table name {name!r} is not an upper camel case identifier")
    line = ctx.line_of(f'name = "{name}"', after)
    unknown = set(raw) - TABLE_KEYS
    if unknown:
        ctx.fail(line, name, None, f"unknown keys {sorted(unknown)}")
    t = Table(name=name, source=src.name, path=src.path, line=line)
    t.same_layout_as = raw.get("sameLayoutAs")
    t.descriptor = raw.get("descriptor", {})
    t._raw = raw  # resolved later, once every source is read
    t._ctx = ctx
    return t


def _resolve(t: Table, by_name: dict[str, Table], stack=()):
    """Fills a table from its own keys, or from the table whose layout it shares."""
    if getattr(t, "_resolved", False):
        return
    ctx, raw = t._ctx, t._raw
    if t.name in stack:
        ctx.fail(t.line, t.name, None, f"sameLayoutAs cycle through {' -> '.join(stack)}")
    base = None
    if t.same_layout_as:
        base = by_name.get(t.same_layout_as)
        if base is None:
            ctx.fail(t.line, t.name, None, f"sameLayoutAs names unknown table {t.same_layout_as}")
        _resolve(base, by_name, stack + (t.name,))
        for k in ("arrays", "fields", "aggregates", "aliases", "checkBits"):
            if k in raw:
                ctx.fail(t.line, t.name, None, f"'{k}' given beside sameLayoutAs")
    t.kind = raw.get("kind", base.kind if base else None)
    t.form = raw.get("form", base.form if base else None)
    if t.kind not in KINDS:
        ctx.fail(t.line, t.name, None, f"kind {t.kind!r} is not one of {KINDS}")
    if t.form not in FORMS:
        ctx.fail(t.line, t.name, None, f"form {t.form!r} is not one of {FORMS}")
    if (t.kind == "shared") != (t.form == "inline"):
        ctx.fail(t.line, t.name, None, f"a {t.kind} table cannot hold {t.form} arrays "
                 "(shared tables hold inline arrays, all others allocated ones)")
    last = raw.get("lastIndex", base.last_index if base else None)
    t.last_index = _int(ctx, t.line, t.name, None, "lastIndex", last, 0, READ_ALL_KEY - 1)
    if t.kind == "read":
        rak = raw.get("readAllKey", READ_ALL_KEY if base else None)
        if rak != READ_ALL_KEY:
            ctx.fail(t.line, t.name, None, f"a read table's readAllKey must be {READ_ALL_KEY}, not {rak!r}")
    elif "readAllKey" in raw:
        ctx.fail(t.line, t.name, None, "readAllKey given for a table that is not a read table")
    if base:
        t.arrays = list(base.arrays)
        t.check_bits = base.check_bits
        t.fields = [Field(f.name, f.array, f.offset, f.width, f.line) for f in base.fields]
        t.aggregates = {k: list(v) for k, v in base.aggregates.items()}
        t.aliases = list(base.aliases)
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


def _layout(t: Table, raw: dict, ctx: _Ctx):
    arrays = raw.get("arrays")
    if not isinstance(arrays, list) or not 1 <= len(arrays) <= MAX_ARRAYS:
        ctx.fail(t.line, t.name, None, f"'arrays' must list 1 to {MAX_ARRAYS} capacities")
    for a in arrays:
        _int(ctx, t.line, t.name, None, "arrays", a, 4, 4096)
        if a % 4:
            ctx.fail(t.line, t.name, None, f"array capacity {a} is not a multiple of 4")
    t.arrays = list(arrays)
    cb = raw.get("checkBits")
    if cb is not None:
        if not isinstance(cb, dict) or set(cb) != {"array", "offset", "width"}:
            ctx.fail(t.line, t.name, None, "checkBits needs exactly array, offset and width")
        if cb["array"] != 0:
            ctx.fail(t.line, t.name, None, "check bits are always in dataByte0")
        w = _int(ctx, t.line, t.name, "checkBits", "width", cb["width"], 1, 64)
        o = _int(ctx, t.line, t.name, "checkBits", "offset", cb["offset"], 0)
        if o + w > arrays[0] * 8:
            ctx.fail(t.line, t.name, "checkBits", f"bits {o}..{o + w - 1} lie past dataByte0's {arrays[0]} bytes")
        t.check_bits = (0, o, w)
    fields = raw.get("fields")
    if not isinstance(fields, list):
        ctx.fail(t.line, t.name, None, "'fields' must be a list (empty for a table without field attributes)")
    seen = {}
    for rf in fields:
        if not isinstance(rf, dict):
            ctx.fail(t.line, t.name, None, f"field entry {rf!r} is not a table")
        fname = rf.get("name")
        fline = ctx.line_of(f'name = "{fname}"', t.line)
        if not isinstance(fname, str) or not IDENT.match(fname):
            ctx.fail(fline, t.name, str(fname), "field name is not a lower camel case identifier")
        unknown = set(rf) - FIELD_KEYS
        if unknown:
            ctx.fail(fline, t.name, fname, f"unknown keys {sorted(unknown)}")
        if fname in seen:
            ctx.fail(fline, t.name, fname, f"duplicate field name (first declared on line {seen[fname]})")
        seen[fname] = fline
        arr = _int(ctx, fline, t.name, fname, "array", rf.get("array"), 0)
        off = _int(ctx, fline, t.name, fname, "offset", rf.get("offset"), 0)
        width = _int(ctx, fline, t.name, fname, "width", rf.get("width"), 1)
        f = Field(fname, arr, off, width, fline)
        if "type" in rf and rf["type"] != f.type:
            ctx.fail(fline, t.name, fname, f"type {rf['type']!r} disagrees with width {width} (expected {f.type!r})")
        t.fields.append(f)
    t.aggregates = {}
    for agg in raw.get("aggregates", []):
        aname, parts = agg.get("name"), agg.get("parts")
        aline = ctx.line_of(f'name = "{aname}", parts', t.line)
        if set(agg) != {"name", "parts"} or not isinstance(parts, list) or not parts:
            ctx.fail(aline, t.name, str(aname), "an aggregate needs a name and a non-empty list of parts")
        if aname in t.aggregates:
            ctx.fail(aline, t.name, aname, "aggregate declared twice")
        t.aggregates[aname] = list(parts)
    t.aliases = []
    for pair in raw.get("aliases", []):
        if not isinstance(pair, list) or len(pair) != 2:
            ctx.fail(t.line, t.name, None, f"alias {pair!r} is not a pair of names")
        t.aliases.append((pair[0], pair[1]))


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
        line = ctx.line_of(f'name = "{aname}", parts', t.line)
        agg = by.get(aname)
        if agg is None:
            ctx.fail(line, t.name, aname, "aggregate names no field")
        for p in parts:
            pf = by.get(p)
            if pf is None:
                ctx.fail(line, t.name, p, f"part of aggregate {aname} names no field")
            if pf.array != agg.array or pf.offset < agg.offset or pf.end > agg.end or pf.width >= agg.width:
                ctx.fail(pf.line, t.name, p, f"does not lie inside aggregate {aname} "
                         f"(bits {agg.offset}..{agg.end - 1} of dataByte{agg.array})")
            declared.add(frozenset((aname, p)))
    for a, b in t.aliases:
        fa, fb = by.get(a), by.get(b)
        if fa is None or fb is None:
            ctx.fail(t.line, t.name, a if fa is None else b, "alias names no field")
        if (fa.array, fa.offset, fa.width) != (fb.array, fb.offset, fb.width):
            ctx.fail(fb.line, t.name, b, f"width or position disagrees with its alias {a}")
        declared.add(frozenset((a, b)))
    # Any two fields that share a bit must be a declared aggregate and part, or aliases.
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
                    same = (f.offset, f.width) == (g.offset, g.width)
                    ctx.fail(g.line, t.name, g.name,
                             f"shares bits with {f.name} but they are not declared as "
                             + ("two names for one range (aliases)" if same else "an aggregate and its part"))
    if t.check_bits:
        _, o, w = t.check_bits
        for f in per_array.get(0, []):
            if f.offset < o + w and o < f.end:
                ctx.fail(f.line, t.name, f.name, f"overlaps the check bits {o}..{o + w - 1}")


def load(catalogue_dir: Path) -> list[Source]:
    """Reads and validates the whole catalogue; sources in name order."""
    root = Path(catalogue_dir)
    files = sorted((root / "X2" / "Default").glob("*.toml"), key=lambda p: p.name)
    if not files:
        raise CatalogueError(f"{root}: no catalogue sources under X2/Default/")
    sources, by_name = [], {}
    for p in files:
        display = str(p.relative_to(root.parent)) if root.parent in p.parents else str(p)
        src, ctx, raws = parse_source(p, display)
        after = 1
        for raw in raws:
            if not isinstance(raw, dict):
                ctx.fail(after, None, None, "a [[table]] entry is not a table")
            t = _table_from_raw(src, ctx, raw, after)
            after = t.line + 1
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
    return sources
