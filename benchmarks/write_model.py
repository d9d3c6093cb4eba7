"""tolv_extras.write_model, binary and text, against the floor of writing the same bytes to
the same disk (each file to a file beside it, fsync, rename) and pycolmap's writers, on
the medium model of benchmarks/generate.py.

    python benchmarks/generate.py --sizes medium && python benchmarks/write_model.py [--runs 3]

Every measurement runs in a fresh interpreter (this script again with --child): the model
is read (read_model, or pycolmap.Reconstruction) before the clock, then one write is
timed: CPU time of the whole process (user + system) and wall time. The runs of all
measurements are interleaved round by round; the best of --runs by wall time is shown.

Writes benchmarks/write_model.md, the section RESULTS.md carries (spliced into it here,
and kept by run.py when it rewrites the file).
"""

from __future__ import annotations

import argparse
import json
import os
import resource
import shutil
import subprocess
import sys
import time
from pathlib import Path
from typing import Dict, List

HERE = Path(__file__).resolve().parent
SECTION = HERE / "write_model.md"
RESULTS = HERE / "RESULTS.md"
HEADER = "## tolv_extras.write_model"
BIN_FILES = ("cameras.bin", "images.bin", "points3D.bin")

MEASUREMENTS = {
    "floor_bin": "floor: the 3 .bin files' bytes written beside, fsync, rename",
    "write_model_bin": "tx.write_model(folder, model, 'bin')",
    "pycolmap_bin": "pycolmap Reconstruction.write_binary",
    "write_model_txt": "tx.write_model(folder, model, 'txt')",
    "pycolmap_txt": "pycolmap Reconstruction.write_text",
}


def cpu() -> float:
    usage = resource.getrusage(resource.RUSAGE_SELF)
    return usage.ru_utime + usage.ru_stime


def child(name: str, source: str, out: str) -> Dict[str, float]:
    os.makedirs(out, exist_ok=True)
    if name == "floor_bin":
        contents = [(f, Path(source, f).read_bytes()) for f in BIN_FILES]

        def work() -> None:
            for file, data in contents:
                temporary = os.path.join(out, "." + file + ".tmp")
                with open(temporary, "wb") as handle:
                    handle.write(data)
                    handle.flush()
                    os.fsync(handle.fileno())
                os.replace(temporary, os.path.join(out, file))
    elif name.startswith("pycolmap"):
        import pycolmap
        rec = pycolmap.Reconstruction(source)
        work = (lambda: rec.write_binary(out)) if name.endswith("bin") else \
            (lambda: rec.write_text(out))
    else:
        import tolv_extras as tx
        model = tx.read_model(source, "bin")
        fmt = name[-3:]

        def work() -> None:
            tx.write_model(out, model, fmt)
    cpu0, wall0 = cpu(), time.perf_counter()
    work()
    return {"cpu": cpu() - cpu0, "wall": time.perf_counter() - wall0}


def fmt_time(seconds: float) -> str:
    return f"{seconds * 1e3:.1f} ms" if seconds < 1 else f"{seconds:.2f} s"


def main() -> None:
    parser = argparse.ArgumentParser()
    parser.add_argument("--child")
    parser.add_argument("--source", default=str(HERE / "data" / "medium"))
    parser.add_argument("--out", default=str(HERE / "data" / "written"))
    parser.add_argument("--runs", type=int, default=3)
    args = parser.parse_args()
    if args.child:
        print(json.dumps(child(args.child, args.source, args.out)))
        return
    runs: Dict[str, List[Dict[str, float]]] = {name: [] for name in MEASUREMENTS}
    for _ in range(args.runs):
        for name in MEASUREMENTS:
            shutil.rmtree(args.out, ignore_errors=True)
            # The last run's files reach the disk first: a child's fsync must not pay for
            # another's writeback (the journal commits what is dirty before it).
            os.sync()
            result = subprocess.run([sys.executable, __file__, "--child", name, "--source",
                                     args.source, "--out", args.out],
                                    check=True, capture_output=True, text=True)
            runs[name].append(json.loads(result.stdout.strip().splitlines()[-1]))
    shutil.rmtree(args.out, ignore_errors=True)
    best = {name: min(r, key=lambda x: x["wall"]) for name, r in runs.items()}
    reference = {"floor_bin": "floor_bin", "write_model_bin": "floor_bin",
                 "pycolmap_bin": "floor_bin", "write_model_txt": "write_model_txt",
                 "pycolmap_txt": "write_model_txt"}
    lines = [HEADER, "",
             f"Command: `python benchmarks/write_model.py --runs {args.runs}` on "
             f"{Path(args.source).name} ({os.cpu_count()} cores shared with other work, "
             f"CPython {sys.version.split()[0]}). Each row is one write in a fresh "
             "interpreter, the model read before the clock, into a folder on the same disk as "
             "the model; best of the runs by wall time. The floor writes the binary files' "
             "bytes (read before the clock) as write_model writes each file: beside it, "
             "fsync, rename. Dirty pages are synced before each child.", "",
             "| Measurement | CPU (user + system) | wall | × reference (wall) |",
             "| --- | --- | --- | --- |"]
    for name, label in MEASUREMENTS.items():
        ratio = best[name]["wall"] / best[reference[name]]["wall"]
        lines.append(f"| {label} | {fmt_time(best[name]['cpu'])} | "
                     f"{fmt_time(best[name]['wall'])} | "
                     f"{ratio:.2f} × {reference[name].replace('_', ' ')} |")
    section = "\n".join(lines) + "\n"
    print(section)
    SECTION.write_text(section)
    if RESULTS.exists():
        text = RESULTS.read_text()
        start = text.find(HEADER)
        if start < 0:
            text = text.rstrip() + "\n\n" + section
        else:
            end = text.find("\n## ", start + len(HEADER))
            text = text[:start] + section + ("" if end < 0 else text[end:])
        RESULTS.write_text(text)


if __name__ == "__main__":
    main()
