"""compute_overlaps of two builds of tolv side by side: each build's interpreter in turn,
in fresh processes, so that a busy spell on a shared machine falls on both alike.

    python benchmarks/compare_overlaps.py --before OLD/bin/python --after NEW/bin/python \\
        [--sizes small,medium,large,huge] [--repeat 3] [--out FILE.md]

Each child loads the model's points, then times compute_overlaps (user and system CPU
time apart; calls under a fifth of a second are repeated and averaged), the growth of its
peak RSS during the first call (the high-water mark is reset after loading), and in the
same process the output floor of run.py. The table keeps each
build's best child (least CPU time for compute_overlaps) and checks that both builds
gave the same counts.
"""
import argparse
import json
import os
import resource
import sys
import time
from pathlib import Path

from child_runs import cpu_s, fmt, run_child

HERE = Path(__file__).resolve().parent
SCRIPT = Path(__file__).resolve()
DEFAULT_REPEAT = {"small": 5, "medium": 3, "large": 3, "huge": 2}


def cpu():
    usage = resource.getrusage(resource.RUSAGE_SELF)
    return usage.ru_utime, usage.ru_stime


def status_bytes(field):
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith(field + ":"):
                return int(line.split()[1]) * 1024
    raise RuntimeError(f"no {field} in /proc/self/status")


def timed(function, *args, calls=1):
    """The result of the last of the calls, and the mean time per call: the CPU clocks
    tick in milliseconds, so short calls are repeated."""
    user0, system0 = cpu()
    wall0 = time.perf_counter()
    for _ in range(calls):
        result = function(*args)
    wall = time.perf_counter() - wall0
    user1, system1 = cpu()
    return result, dict(user=(user1 - user0) / calls, system=(system1 - system0) / calls, wall=wall / calls)


def calls_for(seconds):
    """How many calls of this length make a fifth of a second or more (at most 50)."""
    return max(1, min(50, int(0.2 / max(seconds, 1e-6)) + 1)) if seconds < 0.2 else 1


def child(folder):
    import array
    import gc

    import tolv
    from run import output_floor

    points3D = tolv.read_points3D_bin(os.path.join(folder, "points3D.bin"))
    gc.collect()
    with open("/proc/self/clear_refs", "w") as f:
        f.write("5")  # resets VmHWM to the current RSS
    base = status_bytes("VmRSS")
    overlaps, tolv_time = timed(tolv.compute_overlaps, points3D)
    peak_growth = status_bytes("VmHWM") - base
    if calls_for(tolv_time["wall"]) > 1:
        del overlaps
        overlaps, tolv_time = timed(tolv.compute_overlaps, points3D, calls=calls_for(tolv_time["wall"]))
    outer = array.array("Q", overlaps)
    lengths = array.array("Q", map(len, overlaps.values()))
    inner = array.array("Q", (b for row in overlaps.values() for b in row))
    counts = array.array("Q", (c for row in overlaps.values() for c in row.values()))
    # Order-free fingerprint of the result, to compare the builds.
    fingerprint = sum(hash((a, b, c)) & 0xFFFFFFFFFFFF for a, row in overlaps.items() for b, c in row.items())
    del overlaps
    gc.collect()
    _, floor_time = timed(output_floor, outer, lengths, inner, counts)
    if calls_for(floor_time["wall"]) > 1:
        _, floor_time = timed(output_floor, outer, lengths, inner, counts, calls=calls_for(floor_time["wall"]))
    return dict(tolv=tolv_time, floor=floor_time, peak_growth=peak_growth, entries=len(inner),
                fingerprint=fingerprint)


def table(results, loads):
    lines = [
        "| Model | build | compute_overlaps, CPU (user + system) | output floor, CPU | ratio | "
        "peak RSS growth in the call | result entries |",
        "|---|---|---:|---:|---:|---:|---:|",
    ]
    for size, by_build in results.items():
        for build, best in by_build.items():
            lines.append(
                f"| {size} | {build} | {fmt(best['tolv'])} | {fmt(best['floor'])} "
                f"| {cpu_s(best['tolv']) / cpu_s(best['floor']):.2f}× | {best['peak_growth'] / 2**20:,.0f} MiB "
                f"| {best['entries']:,} |")
        speedup = cpu_s(by_build["before"]["tolv"]) / cpu_s(by_build["after"]["tolv"])
        lines.append(f"| {size} | after ÷ before | {1 / speedup:.2f} ({speedup:.1f}× faster) | | | | |")
    lines += ["", "Load average (1 min) during the runs: " + ", ".join(f"{x:.1f}" for x in loads) + "."]
    return "\n".join(lines) + "\n"


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--before", help="interpreter with the old build of tolv")
    parser.add_argument("--after", help="interpreter with the new build of tolv")
    parser.add_argument("--sizes", default="small,medium,large")
    parser.add_argument("--repeat", type=int, help="children per build and size (default: 5, 3, 3, 2)")
    parser.add_argument("--out", help="also write the table to this file")
    parser.add_argument("--child", help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.child:
        print(json.dumps(child(args.child)))
        return
    if not (args.before and args.after):
        parser.error("--before and --after are required")
    sys.path.insert(0, str(HERE))
    import generate

    results, loads = {}, []
    for size in args.sizes.split(","):
        folder, meta = generate.ensure(size)
        builds = {"before": args.before, "after": args.after}
        runs = {build: [] for build in builds}
        for round_ in range(args.repeat or DEFAULT_REPEAT[size]):
            for build, python in builds.items():
                loads.append(os.getloadavg()[0])
                runs[build].append(run_child(python, SCRIPT, folder, cwd=HERE))
                r = runs[build][-1]
                print(f"{size} {round_ + 1} {build:6} tolv {fmt(r['tolv'])}  floor {fmt(r['floor'])}  "
                      f"peak +{r['peak_growth'] / 2**20:,.0f} MiB", flush=True)
        if len({r["fingerprint"] for rs in runs.values() for r in rs}) != 1:
            raise SystemExit(f"{size}: the builds' results differ")
        results[size] = {build: min(rs, key=lambda r: cpu_s(r["tolv"])) for build, rs in runs.items()}
    text = table(results, loads)
    print("\n" + text)
    if args.out:
        Path(args.out).write_text(text)


if __name__ == "__main__":
    main()
