"""What the garbage collector costs a program that keeps every track alive, for two builds
of tolv side by side: `tracks = [p.track for p in points3D.values()]` timed with the
collector on (its default thresholds) and with it off (gc.disable()), each build and mode
in a fresh process, the runs of all four interleaved so that a busy spell on a shared
machine falls on all alike.

    python benchmarks/compare_gc.py --before OLD/bin/python --after NEW/bin/python \\
        [--sizes small,medium,large] [--repeat 7] [--out FILE.md]

Each child loads the model's points, collects once, then times the one line (user and
system CPU time apart) and counts the collections of each generation that ran during it.
The table keeps the best child (least CPU time) of each build and mode, and checks that
every child built the same tracks.
"""
import argparse
import gc
import json
import os
import resource
import shutil
import subprocess
import sys
import time
from pathlib import Path

HERE = Path(__file__).resolve().parent
DEFAULT_REPEAT = {"small": 7, "medium": 7, "large": 3, "huge": 2}
MODES = ("on", "off")


def cpu():
    usage = resource.getrusage(resource.RUSAGE_SELF)
    return usage.ru_utime, usage.ru_stime


def child(folder, mode):
    import tolv

    points3D = tolv.read_points3D_bin(os.path.join(folder, "points3D.bin"))
    gc.collect()
    if mode == "off":
        gc.disable()
    collections0 = [g["collections"] for g in gc.get_stats()]
    user0, system0 = cpu()
    wall0 = time.perf_counter()
    tracks = [p.track for p in points3D.values()]
    wall = time.perf_counter() - wall0
    user1, system1 = cpu()
    collections = [g["collections"] - c for g, c in zip(gc.get_stats(), collections0)]
    gc.disable()  # the checks below make objects of their own
    elements = sum(map(len, tracks))
    fingerprint = hash(tuple(e for track in tracks for e in track))
    element_tracked = any(gc.is_tracked(track[0]) for track in tracks if track)
    return dict(user=user1 - user0, system=system1 - system0, wall=wall, collections=collections,
                elements=elements, fingerprint=fingerprint, element_tracked=element_tracked)


def run_child(python, folder, mode):
    out = subprocess.run([python, str(Path(__file__).resolve()), "--child", str(folder), mode], cwd=HERE,
                         stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True, check=False)
    if out.returncode != 0:
        raise SystemExit(f"{python} on {folder} failed:\n{out.stderr}")
    return json.loads(out.stdout.strip().splitlines()[-1])


def cpu_s(t):
    return t["user"] + t["system"]


def fmt(t):
    if cpu_s(t) < 1:
        return f"{cpu_s(t) * 1e3:.0f} ms ({t['user'] * 1e3:.0f} + {t['system'] * 1e3:.0f})"
    return f"{cpu_s(t):.2f} s ({t['user']:.2f} + {t['system']:.2f})"


def table(results, loads):
    lines = [
        "| Model | build | collector on, CPU (user + system) | collector off, CPU (user + system) "
        "| on ÷ off | collections during the line (gen 0, 1, 2) | elements tracked |",
        "|---|---|---:|---:|---:|---:|---|",
    ]
    for size, by_build in results.items():
        for build, best in by_build.items():
            on, off = best["on"], best["off"]
            lines.append(
                f"| {size} | {build} | {fmt(on)} | {fmt(off)} | {cpu_s(on) / cpu_s(off):.2f}× "
                f"| {', '.join(map(str, on['collections']))} | {'yes' if on['element_tracked'] else 'no'} |")
    lines += ["", "Load average (1 min) during the runs: " + ", ".join(f"{x:.1f}" for x in loads) + "."]
    return "\n".join(lines) + "\n"


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--before", help="interpreter with the old build of tolv")
    parser.add_argument("--after", help="interpreter with the new build of tolv")
    parser.add_argument("--sizes", default="medium")
    parser.add_argument("--repeat", type=int, help="children per build, mode and size (default: 7, 7, 3, 2)")
    parser.add_argument("--out", help="also write the table to this file")
    parser.add_argument("--child", nargs=2, metavar=("FOLDER", "MODE"), help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.child:
        print(json.dumps(child(*args.child)))
        return
    if not (args.before and args.after):
        parser.error("--before and --after are required")
    sys.path.insert(0, str(HERE))
    import generate

    results, loads = {}, []
    for size in args.sizes.split(","):
        folder, meta = generate.ensure(size)
        # Absolute, since the children run in this folder.
        builds = {"before": os.path.abspath(shutil.which(args.before) or args.before),
                  "after": os.path.abspath(shutil.which(args.after) or args.after)}
        runs = {(build, mode): [] for build in builds for mode in MODES}
        for round_ in range(args.repeat or DEFAULT_REPEAT[size]):
            for (build, mode), done in runs.items():
                loads.append(os.getloadavg()[0])
                done.append(run_child(builds[build], folder, mode))
                r = done[-1]
                print(f"{size} {round_ + 1} {build:6} gc {mode:3} {fmt(r)}  wall {r['wall']:.3f} s  "
                      f"collections {r['collections']}", flush=True)
        if len({(r["elements"], r["fingerprint"]) for rs in runs.values() for r in rs}) != 1:
            raise SystemExit(f"{size}: the children built different tracks")
        results[size] = {build: {mode: min(runs[build, mode], key=cpu_s) for mode in MODES}
                         for build in builds}
    text = table(results, loads)
    print("\n" + text)
    if args.out:
        Path(args.out).write_text(text)


if __name__ == "__main__":
    main()
