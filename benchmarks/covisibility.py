"""Each image's k most co-visible images from a model: model_pairs over read_model's
arrays against compute_overlaps + covisibility_pairs over tolv's records.

    python benchmarks/covisibility.py [--size medium] [--runs 3] [--k 20]

Each measurement runs in a fresh process on a model of benchmarks/generate.py (loaded
before the clock starts, output silenced); the best of --runs is shown, CPU time and
wall time. Both ways must give the same pairs, in the same order (compared by a digest).
"""

from __future__ import annotations

import argparse
import hashlib
import json
import os
import resource
import subprocess
import sys
import time
from typing import Any, Callable, Dict, List, Tuple

HERE = os.path.dirname(os.path.abspath(__file__))

TASKS = ["records: compute_overlaps + covisibility_pairs", "arrays: covisibility_counts",
         "arrays: model_pairs"]


def prepare(name: str, folder: str, k: int) -> Tuple[Callable[[], Any], Callable[[Any], bytes]]:
    """The call to time, on a model already loaded, and the digest of its pairs."""
    import numpy as np

    import tolv
    import tolv_extras as tx
    if name.startswith("records"):
        with tx.quiet():
            _, images, points3D = tolv.read_reconstruction_bin(folder)

        def records() -> Any:
            with tx.quiet():
                overlaps = tolv.compute_overlaps(points3D)
            return tx.covisibility_pairs(images, overlaps, k)
        return records, lambda pairs: np.array(pairs, np.uint32).reshape(-1, 2).tobytes()
    model = tx.read_model(folder)
    if name.endswith("covisibility_counts"):
        return lambda: tx.covisibility_counts(model.points), lambda counts: b""
    return lambda: tx.model_pairs(model, k), lambda pairs: pairs.tobytes()


def child(name: str, folder: str, k: int) -> None:
    run, digest = prepare(name, folder, k)
    before = resource.getrusage(resource.RUSAGE_SELF)
    start = time.perf_counter()
    result = run()
    wall = time.perf_counter() - start
    after = resource.getrusage(resource.RUSAGE_SELF)
    print(json.dumps({"cpu": after.ru_utime - before.ru_utime + after.ru_stime - before.ru_stime,
                      "wall": wall, "pairs": len(result),
                      "digest": hashlib.sha256(digest(result)).hexdigest()}))


def measure(name: str, folder: str, runs: int, k: int) -> Dict[str, Any]:
    samples: List[Dict[str, Any]] = []
    for _ in range(runs):
        out = subprocess.run([sys.executable, __file__, "--child", name, folder, str(k)],
                             check=True, capture_output=True, text=True).stdout
        samples.append(json.loads(out.strip().splitlines()[-1]))
    return min(samples, key=lambda s: s["cpu"])


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--size", default="medium")
    parser.add_argument("--runs", type=int, default=3)
    parser.add_argument("--k", type=int, default=20)
    parser.add_argument("--child", nargs=3, help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.child:
        child(args.child[0], args.child[1], int(args.child[2]))
        return 0
    data = os.environ.get("TOLV_BENCH_DATA", os.path.join(HERE, "data"))
    folder = os.path.join(data, args.size)
    if not os.path.exists(os.path.join(folder, "points3D.bin")):
        sys.exit(f"no {args.size} model in {data}: python benchmarks/generate.py --sizes {args.size}")
    print(f"| {args.size} model, k = {args.k}, best of {args.runs} | CPU | wall | pairs |")
    print("|---|---:|---:|---:|")
    digests = set()
    for name in TASKS:
        best = measure(name, folder, args.runs, args.k)
        if not name.endswith("covisibility_counts"):
            digests.add(best["digest"])
        print(f"| {name} | {best['cpu'] * 1e3:.0f} ms | {best['wall'] * 1e3:.0f} ms | "
              f"{best['pairs'] if 'pairs' in name else ''} |", flush=True)
    if len(digests) != 1:
        sys.exit("model_pairs and covisibility_pairs gave different pairs")
    return 0


if __name__ == "__main__":
    sys.exit(main())
