"""tolv_extras.filter_points and filter_images against read_model of the same binary
model, on the models of benchmarks/generate.py.

    python benchmarks/edit_model.py [--sizes medium] [--runs 5]

Each measurement runs in a fresh interpreter (this script again with --child): the model
is read (and the keep mask made) before the clock, then one call is timed: CPU time of
the whole process (user + system), wall time, minor page faults, and the growth of the
peak RSS (VmHWM) over the RSS before the call. The runs of all rows are interleaved
round by round; shown is the best of --runs by CPU time and the median beside it.
Prints a Markdown table for RESULTS.md.
"""

from __future__ import annotations

import argparse
import json
import resource
import statistics
import sys
import time
from pathlib import Path

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))

from child_runs import cpu_s, fmt, run_child  # noqa: E402

SEED = 5
# name -> label; the keep masks are drawn from SEED.
MEASUREMENTS = {
    "read_model": "tx.read_model(binary folder)",
    "points_random": "tx.filter_points(model, keep): a random 10% of the points dropped",
    "points_all": "tx.filter_points(model, keep): every point kept",
    "images_random": "tx.filter_images(model, keep): a random 10% of the images dropped",
    "images_half": "tx.filter_images(model, keep): every other image dropped",
    "images_all": "tx.filter_images(model, keep): every image kept",
}


def status_bytes(key):
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith(key + ":"):
                return int(line.split()[1]) * 1024
    raise KeyError(key)


def task(name, folder):
    import numpy as np

    import tolv_extras as tx

    if name == "read_model":
        return lambda: tx.read_model(folder)
    model = tx.read_model(folder)
    rng = np.random.default_rng(SEED)
    points, images = len(model.points.ids), len(model.images.ids)
    keep = {
        "points_random": lambda: rng.random(points) >= 0.1,
        "points_all": lambda: np.ones(points, bool),
        "images_random": lambda: rng.random(images) >= 0.1,
        "images_half": lambda: np.arange(images) % 2 == 0,
        "images_all": lambda: np.ones(images, bool),
    }[name]()
    edit = tx.filter_points if name.startswith("points") else tx.filter_images
    return lambda: edit(model, keep)


def child(name, folder):
    run = task(name, folder)
    base = status_bytes("VmRSS")
    r0, w0 = resource.getrusage(resource.RUSAGE_SELF), time.perf_counter()
    result = run()
    w1, r1 = time.perf_counter(), resource.getrusage(resource.RUSAGE_SELF)
    print(json.dumps({"user": r1.ru_utime - r0.ru_utime, "system": r1.ru_stime - r0.ru_stime,
                      "wall": w1 - w0, "minflt": r1.ru_minflt - r0.ru_minflt,
                      "growth": status_bytes("VmHWM") - base,
                      "points": len(result.points.ids), "images": len(result.images.ids)}))


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--sizes", default="medium")
    parser.add_argument("--runs", type=int, default=5)
    parser.add_argument("--child", nargs=2, metavar=("NAME", "FOLDER"))
    args = parser.parse_args()
    if args.child:
        child(*args.child)
        return
    import generate

    for size in args.sizes.split(","):
        folder, meta = generate.ensure(size)
        runs = {name: [] for name in MEASUREMENTS}
        for _ in range(args.runs):
            for name in MEASUREMENTS:
                runs[name].append(run_child(sys.executable, __file__, name, folder))
        print(f"\n### {size}: {generate.describe(meta)}\n")
        print(f"N = {args.runs}.\n")
        print("| Measurement | CPU, best (user + system) | CPU, median | × read_model | "
              "wall, best | growth (MiB) | minor faults | result: points, images |")
        print("|---|---:|---:|---:|---:|---:|---:|---:|")
        reference = min(map(cpu_s, runs["read_model"]))
        for name, label in MEASUREMENTS.items():
            best = min(runs[name], key=cpu_s)
            median = statistics.median(map(cpu_s, runs[name]))
            print(f"| {label} | {fmt(best)} | {median * 1e3:.1f} ms | "
                  f"{cpu_s(best) / reference:.2f} | {best['wall'] * 1e3:.1f} ms | "
                  f"{best['growth'] / 2**20:,.0f} | {best['minflt']:,} | "
                  f"{best['points']:,}, {best['images']:,} |")


if __name__ == "__main__":
    main()
