#!/usr/bin/env python3
"""Writes the linker's dynamic list of a shared library: every global data
symbol its object files define, except the vtables, VTTs and type_info
objects and names of its classes.

Linked with --dynamic-list, the library binds its calls and its references to
its own vtables and type_info locally (no symbol lookup at load), while every
other data symbol stays interposable, so that an inline function's statics,
an inline variable or a template's static member are still one object per
process. Type identity survives local binding: type_info compares names.

Usage: data_symbols.py OUTPUT OBJECT_DIR...   (every *.o below the folders)
"""
import pathlib
import subprocess
import sys

KEEP_LOCAL = ("_ZTV", "_ZTT", "_ZTI", "_ZTS")
DATA_TYPES = set("BDGRSVu")  # nm: bss, data, small data, read-only, weak object, unique global


def main():
    out, dirs = sys.argv[1], sys.argv[2:]
    objects = sorted(str(p) for d in dirs for p in pathlib.Path(d).rglob("*.o"))
    names = set()
    for i in range(0, len(objects), 200):
        res = subprocess.run(["nm", "-P", "--defined-only", *objects[i:i + 200]],
                             check=True, capture_output=True, text=True)
        for line in res.stdout.splitlines():
            parts = line.split()
            if len(parts) >= 2 and parts[1] in DATA_TYPES and not parts[0].startswith(KEEP_LOCAL):
                names.add(parts[0])
    text = "{\n" + "".join(f"  {n};\n" for n in sorted(names)) + "};\n"
    path = pathlib.Path(out)
    if not path.exists() or path.read_text() != text:
        path.write_text(text)


if __name__ == "__main__":
    main()
