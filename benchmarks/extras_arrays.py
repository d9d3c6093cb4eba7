"""tolv_extras' arrays against the bare getter calls they are made of.

    python benchmarks/extras_arrays.py [--size medium] [--runs 5]

Each measurement runs in a fresh process on a model of benchmarks/generate.py (loaded
before the clock starts, output silenced); the best of --runs is shown, CPU time user
and system apart. "getters" touches every attribute that points_arrays (or
images_arrays) reads, once per record, and keeps nothing; the arrays must cost no more
than 1.3 times that.
"""

from __future__ import annotations

import argparse
import json
import os
import resource
import subprocess
import sys
from operator import attrgetter
from typing import Any, Callable, Dict, List, Mapping, Tuple

HERE = os.path.dirname(os.path.abspath(__file__))


def point_getters(points3D: Mapping[int, Any]) -> None:
    for point in points3D.values():
        color = point.color
        point.xyz, color.r, color.g, color.b, point.error, point.track


def image_getters(images: Mapping[int, Any]) -> None:
    for image in images.values():
        image.rot, image.trans, image.camera_id, image.name, str(image), image.point3D_ids


def task(name: str) -> Tuple[str, Callable[[Any], object]]:
    import tolv_extras as tx
    return {
        "points: getters": ("points", point_getters),
        "points: points_arrays": ("points", tx.points_arrays),
        "images: getters": ("images", image_getters),
        "images: images_arrays": ("images", tx.images_arrays),
    }[name]


TASKS = ["points: getters", "points: points_arrays", "images: getters", "images: images_arrays"]


def child(name: str, folder: str) -> None:
    import numpy  # noqa: F401  (imported before the clock starts)

    import tolv
    import tolv_extras as tx
    with tx.quiet():
        if task(name)[0] == "points":
            records: Any = tolv.read_points3D_bin(os.path.join(folder, "points3D.bin"))
        else:
            records = tolv.read_images_bin(os.path.join(folder, "images.bin"))
    run = task(name)[1]
    before = resource.getrusage(resource.RUSAGE_SELF)
    result = run(records)
    after = resource.getrusage(resource.RUSAGE_SELF)
    del result
    print(json.dumps({"user": after.ru_utime - before.ru_utime,
                      "system": after.ru_stime - before.ru_stime}))


def measure(name: str, folder: str, runs: int) -> Dict[str, float]:
    samples: List[Dict[str, float]] = []
    for _ in range(runs):
        out = subprocess.run([sys.executable, __file__, "--child", name, folder],
                             check=True, capture_output=True, text=True).stdout
        samples.append(json.loads(out.strip().splitlines()[-1]))
    return min(samples, key=lambda s: s["user"] + s["system"])


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--size", default="medium")
    parser.add_argument("--runs", type=int, default=5)
    parser.add_argument("--child", nargs=2, help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.child:
        child(*args.child)
        return 0
    data = os.environ.get("TOLV_BENCH_DATA", os.path.join(HERE, "data"))
    folder = os.path.join(data, args.size)
    if not os.path.exists(os.path.join(folder, "points3D.bin")):
        sys.exit(f"no {args.size} model in {data}: python benchmarks/generate.py --sizes {args.size}")
    print(f"| {args.size} model, best of {args.runs} | CPU user | CPU system | user + system | "
          "÷ getters |")
    print("|---|---:|---:|---:|---:|")
    base = 0.0
    for name in TASKS:
        best = measure(name, folder, args.runs)
        total = best["user"] + best["system"]
        base = total if name.endswith("getters") else base
        print(f"| {name} | {best['user'] * 1e3:.0f} ms | {best['system'] * 1e3:.0f} ms | "
              f"{total * 1e3:.0f} ms | {total / base:.2f} |", flush=True)
    return 0


if __name__ == "__main__":
    sys.exit(main())
