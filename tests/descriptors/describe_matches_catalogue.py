"""`x2tables describe --json` shows, for every table, the module, type index
and descriptor values that the catalogue gives (read with the generator's
own reader and validator)."""
import json
import subprocess
import sys
from pathlib import Path

tool, root = sys.argv[1], Path(sys.argv[2])
sys.path.insert(0, str(root / "generator"))
from catalogue import load  # noqa: E402
import emit_desc  # noqa: E402
import emit_table  # noqa: E402

shown = {t["name"]: t for t in json.loads(subprocess.run([tool, "describe", "--json"], check=True,
                                                         capture_output=True, text=True).stdout)}
failures = []
count = 0
for src in load(root / "catalogue"):
    for t in src.tables:
        got = shown.pop(t.name)
        want = {"module": f"X2/Default/{src.name}", "typeIndex": emit_table.type_index(src, t), "descriptor": None}
        d = t.descriptor
        if d is not None:
            count += 1
            want["descriptor"] = {
                "name": f"{t.name}Desc", "typeIndex": emit_desc.descriptor_index(src), "entries": d.entries,
                "register": d.register, "secondAccess": d.second_access, "units": d.units,
                "accessMode": d.access_mode, "parityCorrection": d.parity_correction,
                "downloadInterval": d.download_interval, "suffix": d.suffix,
                "writeResponseCollection": d.write_response_collection,
                "commandBuilders": d.command_builder_offsets is not None, "instances": d.instances,
                "perMemoryCounts": d.per_memory_counts,
                "allocator": "noOptimization" if d.allocator == "noOptimization" else "other",
                "accessTable": d.access_table}
        for key, value in want.items():
            if got.get(key) != value:
                failures.append(f"{t.name}: {key}: shown {got.get(key)!r}, catalogue {value!r}")
if shown:
    failures.append(f"tables shown but not in the catalogue: {sorted(shown)}")
if count != 85:
    failures.append(f"{count} descriptors, expected 85")
print("\n".join(failures) or f"{count} descriptors and 87 tables agree")
sys.exit(1 if failures else 0)
