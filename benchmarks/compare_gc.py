"""What the garbage collector costs a program that keeps every track alive, for two builds
of tolv side by side: `tracks = [p.track for p in points3D.values()]` timed with the
collector on (its default thresholds), with only its young generations collecting (the
full collections held off by a third threshold out of reach; CPython 3.8 to 3.13), and
with it off (gc.disable()). A third row builds the same lists of (image_id, point2D_idx)
tuples in plain Python from flat arrays, as any program holding such lists would: the
floor of what the collector costs for them. Children of a fourth kind run with the
collector on and time each collection through gc.callbacks, to show where the time goes.

    python benchmarks/compare_gc.py --before OLD/bin/python --after NEW/bin/python \\
        [--sizes small,medium,large] [--repeat 7] [--out FILE.md]

Every build and mode runs in a fresh process, the runs of all of them interleaved so that
a busy spell on a shared machine falls on all alike. Each child loads the model's points,
collects once, then times the one line (user and system CPU time apart) and counts the
collections of each generation that ran during it. The table keeps the best child (least
CPU time) of each row and mode, and checks that every child built the same tracks.
"""
import argparse
import gc
import json
import os
import resource
import shutil
import sys
import time
from pathlib import Path

from child_runs import cpu_s, fmt, run_child

HERE = Path(__file__).resolve().parent
SCRIPT = Path(__file__).resolve()
DEFAULT_REPEAT = {"small": 7, "medium": 7, "large": 3, "huge": 2}
MODES = ("on", "young", "off", "inside")
FLOOR = "plain Python"


def cpu():
    usage = resource.getrusage(resource.RUSAGE_SELF)
    return usage.ru_utime, usage.ru_stime


def plain_tracks(image_ids, point2D_idxs, lengths):
    """The tracks as plain Python builds them: one new list of new tuples per point."""
    from itertools import islice

    pairs = zip(image_ids, point2D_idxs)
    return [list(islice(pairs, n)) for n in lengths]


class CollectionClock:
    """CPU time spent inside collections, by generation, from gc.callbacks."""

    def __init__(self):
        self.seconds = [0.0, 0.0, 0.0]
        self.start = 0.0

    def __call__(self, phase, info):
        if phase == "start":
            self.start = time.process_time()
        else:
            self.seconds[info["generation"]] += time.process_time() - self.start


def child(folder, mode, source):
    from array import array

    import tolv

    points3D = tolv.read_points3D_bin(os.path.join(folder, "points3D.bin"))
    if source == "plain":
        image_ids = array("I", (e[0] for p in points3D.values() for e in p.track))
        point2D_idxs = array("I", (e[1] for p in points3D.values() for e in p.track))
        lengths = array("Q", (len(p.track) for p in points3D.values()))
        del points3D
    gc.collect()
    if mode == "young":
        gc.set_threshold(*gc.get_threshold()[:2], 2**30)
    elif mode == "off":
        gc.disable()
    clock = CollectionClock()
    if mode == "inside":
        gc.callbacks.append(clock)
    collections0 = [g["collections"] for g in gc.get_stats()]
    user0, system0 = cpu()
    wall0 = time.perf_counter()
    if source == "plain":
        tracks = plain_tracks(image_ids, point2D_idxs, lengths)
    else:
        tracks = [p.track for p in points3D.values()]
    wall = time.perf_counter() - wall0
    user1, system1 = cpu()
    collections = [g["collections"] - c for g, c in zip(gc.get_stats(), collections0)]
    gc.callbacks.clear()
    gc.disable()  # the checks below make objects of their own
    elements = sum(map(len, tracks))
    fingerprint = hash(tuple(e for track in tracks for e in track))
    return dict(user=user1 - user0, system=system1 - system0, wall=wall, collections=collections,
                inside=clock.seconds, elements=elements, fingerprint=fingerprint)


def table(results, loads):
    lines = [
        "| Model | build | collector on | young generations only | collector off | on ÷ off "
        "| collections (gen 0, 1, 2) | CPU inside them (gen 0 + 1, gen 2) |",
        "|---|---|---:|---:|---:|---:|---:|---:|",
    ]
    for size, by_row in results.items():
        for row, best in by_row.items():
            on, off, inside = best["on"], best["off"], best["inside"]["inside"]
            lines.append(
                f"| {size} | {row} | {fmt(on, 0)} | {fmt(best['young'], 0)} | {fmt(off, 0)} "
                f"| {cpu_s(on) / cpu_s(off):.2f}× | {', '.join(map(str, on['collections']))} "
                f"| {(inside[0] + inside[1]) * 1e3:.0f} ms, {inside[2] * 1e3:.0f} ms |")
    lines += ["", "CPU time as user + system. Load average (1 min) during the runs: "
              f"{min(loads):.1f} to {max(loads):.1f}."]
    return "\n".join(lines) + "\n"


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--before", help="interpreter with the old build of tolv")
    parser.add_argument("--after", help="interpreter with the new build of tolv")
    parser.add_argument("--sizes", default="medium")
    parser.add_argument("--repeat", type=int, help="children per row, mode and size (default: 7, 7, 3, 2)")
    parser.add_argument("--out", help="also write the table to this file")
    parser.add_argument("--child", nargs=3, metavar=("FOLDER", "MODE", "SOURCE"), help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.child:
        print(json.dumps(child(*args.child)))
        return
    if not (args.before and args.after):
        parser.error("--before and --after are required")
    sys.path.insert(0, str(HERE))
    import generate

    # Absolute, since the children run in this folder; a venv's link is kept, not resolved.
    before, after = (os.path.abspath(shutil.which(p) or p) for p in (args.before, args.after))
    rows = {"before": (before, "tolv"), "after": (after, "tolv"), FLOOR: (after, "plain")}
    results, loads = {}, []
    for size in args.sizes.split(","):
        folder, meta = generate.ensure(size)
        runs = {(row, mode): [] for row in rows for mode in MODES}
        for round_ in range(args.repeat or DEFAULT_REPEAT[size]):
            for (row, mode), done in runs.items():
                python, source = rows[row]
                loads.append(os.getloadavg()[0])
                done.append(run_child(python, SCRIPT, folder, mode, source, cwd=HERE))
                r = done[-1]
                print(f"{size} {round_ + 1} {row:12} gc {mode:5} {fmt(r, 0)}  wall {r['wall']:.3f} s  "
                      f"collections {r['collections']}", flush=True)
        if len({(r["elements"], r["fingerprint"]) for rs in runs.values() for r in rs}) != 1:
            raise SystemExit(f"{size}: the children built different tracks")
        results[size] = {row: {mode: min(runs[row, mode], key=cpu_s) for mode in MODES} for row in rows}
    text = table(results, loads)
    print("\n" + text)
    if args.out:
        Path(args.out).write_text(text)


if __name__ == "__main__":
    main()
