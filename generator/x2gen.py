#!/usr/bin/env python3
"""Generates the table code of the library from the chip catalogue.

    x2gen.py --catalogue DIR --out DIR   write X2/Default/<Source>.{h,cpp}, X2/Default/All.h and
                                         X2/Default/Modules.cpp (the load-time registration)
    x2gen.py --catalogue DIR --list      print the paths it would write, one per line
    x2gen.py --catalogue DIR --check     validate only

Three stages: parse the TOML sources (tomlsubset.py, keeping every line),
validate them into a model (catalogue.py), emit C++ (emit_cpp.py for the
records, emit_table.py for the local entities, emit_desc.py for descriptors
and the load-time steps, emit_module.py for the module metadata). Files are
rewritten only when their content changes, so an unchanged table does not
recompile.
"""
import argparse
import sys
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))

from catalogue import CatalogueError, load  # noqa: E402
import emit_cpp  # noqa: E402
import emit_desc  # noqa: E402
import emit_reflect  # noqa: E402


def outputs(sources):
    files = {}
    for s in sources:
        files[f"X2/Default/{s.name}.h"] = lambda s=s: emit_cpp.emit_header(s)
        files[f"X2/Default/{s.name}.cpp"] = lambda s=s: emit_cpp.emit_source(s)
        files[f"X2/Default/Reflect/{s.name}.cpp"] = lambda s=s: emit_reflect.emit_source(s)
    files["X2/Default/All.h"] = lambda: emit_cpp.emit_all_header(sources)
    files["X2/Default/Modules.cpp"] = lambda: emit_desc.emit_modules_source(sources)
    return files


def write_if_changed(path: Path, text: str):
    if path.exists() and path.read_text(encoding="utf-8") == text:
        path.touch()  # keeps the build's timestamps ahead of the catalogue
        return
    path.parent.mkdir(parents=True, exist_ok=True)
    tmp = path.with_suffix(path.suffix + ".tmp")
    tmp.write_text(text, encoding="utf-8")
    tmp.replace(path)


def main(argv=None):
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--catalogue", required=True, type=Path)
    mode = ap.add_mutually_exclusive_group(required=True)
    mode.add_argument("--out", type=Path)
    mode.add_argument("--list", action="store_true")
    mode.add_argument("--check", action="store_true")
    args = ap.parse_args(argv)
    try:
        sources = load(args.catalogue)
    except CatalogueError as e:
        print(f"x2gen: {e}", file=sys.stderr)
        return 1
    files = outputs(sources)
    if args.list:
        print("\n".join(sorted(files)))
    elif args.out:
        for rel in sorted(files):
            write_if_changed(args.out / rel, files[rel]())
    return 0


if __name__ == "__main__":
    sys.exit(main())
