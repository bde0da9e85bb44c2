"""A reader for the subset of TOML the catalogue is written in, keeping the
line of every key and every array item.

tomllib gives values only; the catalogue's error messages must name the line
of the offending key, so values are read here into containers that remember
where each of their members was written:

    LTable (dict)  .line: line of its header or opening brace;
                   .key_line[key]: line of `key = ...`
    LArray (list)  .line: line of its opening bracket;
                   .item_line[i]: line where item i begins

Supported: comments, `[[name]]` arrays of tables, `[name.sub]` sub-tables of
the last element of such an array (or of a plain table), bare keys, basic
strings with the usual escapes, decimal and 0x integers (with `_`), decimal
floats, booleans, arrays (over several lines, trailing comma allowed) and
inline tables on one line. Anything else is a TomlError with its line.
"""
from __future__ import annotations

import re


class TomlError(Exception):
    def __init__(self, line: int, msg: str):
        super().__init__(f"line {line}: {msg}")
        self.line = line
        self.msg = msg


class LTable(dict):
    def __init__(self, line: int):
        super().__init__()
        self.line = line
        self.key_line: dict[str, int] = {}


class LArray(list):
    def __init__(self, line: int):
        super().__init__()
        self.line = line
        self.item_line: list[int] = []


_BARE = re.compile(r"[A-Za-z0-9_-]+")
_INT = re.compile(r"[+-]?(0x[0-9A-Fa-f_]+|[0-9][0-9_]*)")
_FLOAT = re.compile(r"[+-]?[0-9][0-9_]*(\.[0-9_]+)?([eE][+-]?[0-9]+)?")
_ESCAPES = {'"': '"', "\\": "\\", "n": "\n", "t": "\t", "r": "\r", "b": "\b", "f": "\f"}


class _Reader:
    def __init__(self, text: str):
        self.s = text
        self.i = 0
        self.line = 1

    # -- characters -------------------------------------------------------
    def peek(self) -> str:
        return self.s[self.i] if self.i < len(self.s) else ""

    def advance(self, n: int = 1):
        for _ in range(n):
            if self.s[self.i] == "\n":
                self.line += 1
            self.i += 1

    def skip_blank(self, newlines: bool):
        """Spaces, tabs and comments; also line ends (and further comment
        lines) when `newlines`."""
        while self.i < len(self.s):
            c = self.s[self.i]
            if c in " \t\r":
                self.i += 1
            elif c == "#":
                while self.i < len(self.s) and self.s[self.i] != "\n":
                    self.i += 1
            elif c == "\n" and newlines:
                self.advance()
            else:
                break

    def expect(self, c: str, what: str):
        if self.peek() != c:
            got = self.peek() or "end of file"
            raise TomlError(self.line, f"expected {what}, found {got!r}")
        self.advance()

    def end_of_line(self):
        self.skip_blank(newlines=False)
        c = self.peek()
        if c not in ("", "\n"):
            raise TomlError(self.line, f"unexpected {c!r} after a value")
        if c == "\n":
            self.advance()

    # -- keys and values --------------------------------------------------
    def key(self) -> str:
        m = _BARE.match(self.s, self.i)
        if not m:
            raise TomlError(self.line, f"expected a key, found {(self.peek() or 'end of file')!r}")
        self.i = m.end()
        return m.group(0)

    def dotted_key(self) -> list[str]:
        parts = [self.key()]
        while True:
            self.skip_blank(newlines=False)
            if self.peek() != ".":
                return parts
            self.advance()
            self.skip_blank(newlines=False)
            parts.append(self.key())

    def value(self):
        c = self.peek()
        if c == '"':
            return self.string()
        if c == "[":
            return self.array()
        if c == "{":
            return self.inline_table()
        for word, v in (("true", True), ("false", False)):
            if self.s.startswith(word, self.i) and not _BARE.match(self.s, self.i + len(word)):
                self.i += len(word)
                return v
        m = _FLOAT.match(self.s, self.i)
        if m and (m.group(1) or m.group(2)) and not self.s.startswith("0x", self.i):
            self.i = m.end()
            return float(m.group(0).replace("_", ""))
        m = _INT.match(self.s, self.i)
        if m and not _BARE.match(self.s, m.end()):
            self.i = m.end()
            text = m.group(0).replace("_", "")
            return int(text, 16) if "0x" in text else int(text)
        raise TomlError(self.line, f"expected a value, found {(c or 'end of file')!r}")

    def string(self) -> str:
        self.advance()
        out = []
        while True:
            c = self.peek()
            if c in ("", "\n"):
                raise TomlError(self.line, "unterminated string")
            self.advance()
            if c == '"':
                return "".join(out)
            if c == "\\":
                e = self.peek()
                if e not in _ESCAPES:
                    raise TomlError(self.line, f"unknown escape \\{e}")
                self.advance()
                out.append(_ESCAPES[e])
            else:
                out.append(c)

    def array(self) -> LArray:
        arr = LArray(self.line)
        self.advance()
        while True:
            self.skip_blank(newlines=True)
            if self.peek() == "]":
                self.advance()
                return arr
            arr.item_line.append(self.line)
            arr.append(self.value())
            self.skip_blank(newlines=True)
            if self.peek() == ",":
                self.advance()
            elif self.peek() != "]":
                raise TomlError(self.line, f"expected ',' or ']' in an array, found {(self.peek() or 'end of file')!r}")

    def inline_table(self) -> LTable:
        t = LTable(self.line)
        self.advance()
        self.skip_blank(newlines=False)
        if self.peek() == "}":
            self.advance()
            return t
        while True:
            self.skip_blank(newlines=False)
            line = self.line
            k = self.key()
            self.skip_blank(newlines=False)
            self.expect("=", "'='")
            self.skip_blank(newlines=False)
            _put(t, k, self.value(), line)
            self.skip_blank(newlines=False)
            if self.peek() == ",":
                self.advance()
            elif self.peek() == "}":
                self.advance()
                return t
            else:
                raise TomlError(self.line, f"expected ',' or '}}' in an inline table, found {(self.peek() or 'end of file')!r}")


def _put(t: LTable, key: str, value, line: int):
    if key in t:
        raise TomlError(line, f"key '{key}' given twice (first on line {t.key_line[key]})")
    t[key] = value
    t.key_line[key] = line


def loads(text: str) -> LTable:
    """Reads a document; the root table's line is 1."""
    r = _Reader(text)
    root = LTable(1)
    current = root
    while True:
        r.skip_blank(newlines=True)
        if r.peek() == "":
            return root
        line = r.line
        if r.peek() == "[":
            r.advance()
            many = r.peek() == "["
            if many:
                r.advance()
            r.skip_blank(newlines=False)
            path = r.dotted_key()
            r.skip_blank(newlines=False)
            r.expect("]", "']'")
            if many:
                r.expect("]", "']]'")
            r.end_of_line()
            current = _header(root, path, many, line)
            continue
        k = r.key()
        r.skip_blank(newlines=False)
        r.expect("=", "'='")
        r.skip_blank(newlines=False)
        v = r.value()
        _put(current, k, v, line)
        r.end_of_line()


def _header(root: LTable, path: list[str], many: bool, line: int) -> LTable:
    t = root
    for name in path[:-1]:
        v = t.get(name)
        if isinstance(v, LArray) and v and isinstance(v[-1], LTable):
            t = v[-1]
        elif isinstance(v, LTable):
            t = v
        else:
            raise TomlError(line, f"[{'.'.join(path)}] names no table to extend")
    last = path[-1]
    if many:
        arr = t.get(last)
        if arr is None:
            arr = LArray(line)
            _put(t, last, arr, line)
        elif not isinstance(arr, LArray):
            raise TomlError(line, f"[[{'.'.join(path)}]] extends '{last}', which is not an array of tables")
        new = LTable(line)
        arr.item_line.append(line)
        arr.append(new)
        return new
    new = LTable(line)
    _put(t, last, new, line)
    return new
