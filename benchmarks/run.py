"""Times tolv against pycolmap, a pure-Python reader and the floor (reading the bytes and
making as many bare Python objects), on synthetic models of three sizes, and on request a
fourth, "huge" (20,000 images, 10 million points: about 4 GB of files, 6 GB of memory).

    pip install ".[bench]" && python benchmarks/run.py [--sizes small,medium,large] [--repeat N] [--quick]
    TOLV_BENCH_DATA=/big/disk python benchmarks/run.py --sizes huge --groups overlaps

Every measurement runs in a fresh interpreter (this script started again with --worker),
with its standard output sent to /dev/null because tolv writes its progress lines straight
to file descriptor 1. Before any timing, every reader's output on the small model is
checked against tolv's; a mismatch stops the run.

Writes benchmarks/RESULTS.md and docs/benchmark.png (with --quick: only
benchmarks/results/quick.md; with --groups: benchmarks/results/partial.md), and the raw
numbers to benchmarks/results/.
"""
import argparse
import array
import gc
import json
import os
import platform
import resource
import statistics
import subprocess
import sys
import tempfile
import time
from pathlib import Path

HERE = Path(__file__).resolve().parent
ROOT = HERE.parent
RESULTS_DIR = HERE / "results"
BEFORE_AFTER = HERE / "overlaps_before_after.md"
GC_BEFORE_AFTER = HERE / "gc_before_after.md"
ARRAYS_BEFORE_AFTER = HERE / "arrays_before_after.md"
READ_MODEL = HERE / "read_model.md"  # written by read_model.py
WRITE_MODEL = HERE / "write_model.md"  # written by write_model.py
EDIT_MODEL = HERE / "edit_model.md"  # edit_model.py's table and the numpy-only comparison
FILES = ("cameras.bin", "images.bin", "points3D.bin")
DEFAULT_REPEAT = {"small": 5, "medium": 3, "large": 3, "huge": 2}
# The pure-Python overlap count, when too slow to run whole, is timed on every n-th point.
PYTHON_OVERLAP_SAMPLE = 20
NO_POINT3D = 2**64 - 1

# name -> (operation group, label); the group's tolv entry is the ratio's reference.
MEASUREMENTS = {
    "tolv_load": ("load", "tolv.read_reconstruction_bin"),
    "pycolmap_load": ("load", "pycolmap.Reconstruction(path)"),
    "python_load": ("load", "pure-Python struct reader"),
    "floor": ("load", "floor: read the 3 files + N bare objects in a dict"),
    "floor_bytes": ("load", "floor: read the 3 files only"),
    "tolv_touch": ("touch", "tolv: load + touch every record"),
    "pycolmap_touch": ("touch", "pycolmap: load + touch every record"),
    "python_touch": ("touch", "pure Python: load + touch every record"),
    "tolv_overlaps": ("overlaps", "tolv.compute_overlaps"),
    "overlaps_floor": ("overlaps", "output floor: the same dict of dicts from plain arrays"),
    "python_overlaps": ("overlaps", "Python dict-of-dicts overlap count"),
    "python_overlaps_sampled": ("overlaps", f"Python count, estimated from every {PYTHON_OVERLAP_SAMPLE}th point"),
}
# Measured in the same child as another measurement, not by a run of their own.
SAME_CHILD = {"overlaps_floor": "tolv_overlaps"}
GROUPS = ("load", "touch", "overlaps")
REFERENCE = {"load": "tolv_load", "touch": "tolv_touch", "overlaps": "tolv_overlaps"}
SPREAD = 1.5  # runs of one measurement further apart than this get flagged in the table


def current_rss():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


def peak_rss():
    """Peak RSS of this process image. ru_maxrss would do, but Linux carries it over exec
    from the forking parent, so a child would never report less than the parent's peak."""
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith("VmHWM:"):
                return int(line.split()[1]) * 1024
    return resource.getrusage(resource.RUSAGE_SELF).ru_maxrss * 1024


def touch_tolv(images, points3D):
    for point in points3D.values():
        point.xyz
        point.track
    for image in images.values():
        image.name
        image.rot
        image.point3D_ids


def touch_pycolmap(rec):
    for point in rec.points3D.values():
        point.xyz
        [(el.image_id, el.point2D_idx) for el in point.track.elements]
    for image in rec.images.values():
        image.name
        image.cam_from_world().rotation.matrix()
        [p.point3D_id for p in image.points2D]


def touch_python(images, points3D):
    for point in points3D.values():
        point.xyz
        point.image_ids
        point.point2D_idxs
    for image in images.values():
        image.name
        image.rot
        image.point3D_ids


class Clock:
    """Times one `with` block: wall time, and the CPU time (user + system) of this
    process, which a busy shared machine disturbs far less."""

    def __enter__(self):
        self.base_rss = current_rss()
        self.wall0, self.cpu0 = time.perf_counter(), time.process_time()
        return self

    def __exit__(self, *exc):
        self.wall = time.perf_counter() - self.wall0
        self.cpu = time.process_time() - self.cpu0


def task_tolv_load(folder, meta, clock):
    import tolv

    with clock:
        cameras, images, points3D = tolv.read_reconstruction_bin(folder)
    return dict(counts=[len(cameras), len(images), len(points3D)])


def task_tolv_touch(folder, meta, clock):
    import tolv

    with clock:
        cameras, images, points3D = tolv.read_reconstruction_bin(folder)
        touch_tolv(images, points3D)


def task_pycolmap_load(folder, meta, clock):
    import pycolmap

    with clock:
        rec = pycolmap.Reconstruction(folder)
    return dict(counts=[rec.num_cameras(), rec.num_images(), rec.num_points3D()])


def task_pycolmap_touch(folder, meta, clock):
    import pycolmap

    with clock:
        rec = pycolmap.Reconstruction(folder)
        touch_pycolmap(rec)


def task_python_load(folder, meta, clock):
    import pure_python_reader as ppr

    with clock:
        cameras, images, points3D = ppr.read_model(folder)
    return dict(counts=[len(cameras), len(images), len(points3D)])


def task_python_touch(folder, meta, clock):
    import pure_python_reader as ppr

    with clock:
        cameras, images, points3D = ppr.read_model(folder)
        touch_python(images, points3D)


def read_files(folder):
    data = []
    for name in FILES:
        with open(os.path.join(folder, name), "rb") as f:
            data.append(f.read())
    return data


def task_floor(folder, meta, clock):
    records = meta["cameras"] + meta["images"] + meta["points3D"]
    with clock:
        data = read_files(folder)
        # iter(object, None) calls object() until zip stops: no bytecode runs per object.
        objects = dict(zip(range(records), iter(object, None)))
    return dict(counts=[len(data), len(objects)])


def task_floor_bytes(folder, meta, clock):
    with clock:
        data = read_files(folder)
    return dict(counts=[len(data)])


def output_floor(outer, lengths, inner, counts):
    """The least that building compute_overlaps' result can cost in Python: the same dict
    of dicts from plain arrays of keys and counts, every int made anew from a machine word."""
    result = {}
    at = 0
    for key, length in zip(outer, lengths):
        end = at + length
        result[key] = dict(zip(inner[at:end], counts[at:end]))
        at = end
    return result


def task_tolv_overlaps(folder, meta, clock):
    """compute_overlaps, then in the same process the output floor of its result."""
    import tolv

    points3D = tolv.read_points3D_bin(folder + "/points3D.bin")
    with clock:
        overlaps = tolv.compute_overlaps(points3D)
    peak = peak_rss()
    outer = array.array("Q", overlaps)
    lengths = array.array("Q", map(len, overlaps.values()))
    inner = array.array("Q", (b for row in overlaps.values() for b in row))
    counts = array.array("Q", (c for row in overlaps.values() for c in row.values()))
    shape = [len(overlaps), len(inner)]
    del overlaps
    gc.collect()
    floor_clock = Clock()
    with floor_clock:
        floor = output_floor(outer, lengths, inner, counts)
    if [len(floor), sum(map(len, floor.values()))] != shape:
        raise SystemExit("the output floor built a different shape")
    return dict(counts=shape, peak_rss_call=peak,
                same_child={"overlaps_floor": dict(seconds=floor_clock.cpu, wall=floor_clock.wall)})


def task_python_overlaps_sampled(folder, meta, clock):
    """The pure-Python count over every n-th point, scaled up by the pair visits."""
    import pure_python_reader as ppr
    import tolv

    class Point:
        __slots__ = ("image_ids",)

        def __init__(self, image_ids):
            self.image_ids = image_ids

    points3D = tolv.read_points3D_bin(folder + "/points3D.bin")
    sample = {pid: Point([image for image, _ in p.track])
              for pid, p in list(points3D.items())[::PYTHON_OVERLAP_SAMPLE]}
    del points3D
    visits = sum(len(p.image_ids) * (len(p.image_ids) + 1) // 2 for p in sample.values())
    with clock:
        overlaps = ppr.count_overlaps(sample)
    return dict(counts=[len(overlaps), sum(map(len, overlaps.values()))], scale=meta["pair_visits"] / visits)


def task_python_overlaps(folder, meta, clock):
    import pure_python_reader as ppr

    points3D = ppr.read_points3D(folder + "/points3D.bin")
    with clock:
        overlaps = ppr.count_overlaps(points3D)
    return dict(counts=[len(overlaps), sum(map(len, overlaps.values()))])


def task_tolv_memory(folder, meta, clock):
    """What tolv keeps per record: the RSS growth while each reader's result is held."""
    import tolv

    with clock:
        rss0 = current_rss()
        points3D = tolv.read_points3D_bin(folder + "/points3D.bin")
        rss1 = current_rss()
        images = tolv.read_images_bin(folder + "/images.bin")
        rss2 = current_rss()
    return dict(
        counts=[len(points3D), len(images)],
        bytes_per_point3D=(rss1 - rss0) / meta["points3D"],
        bytes_per_point2D=(rss2 - rss1) / meta["points2D"],
    )


def task_verify(folder, meta, clock):
    with clock:
        verify(folder)


def worker(task, folder, out_path):
    """Runs one measurement in this fresh process and writes its numbers as JSON."""
    meta = json.loads((Path(folder) / "meta.json").read_text())
    clock = Clock()
    result = globals()["task_" + task](folder, meta, clock) or {}
    scale = result.pop("scale", 1.0)
    result.update(
        seconds=clock.cpu * scale, wall=clock.wall * scale, base_rss=clock.base_rss,
        peak_rss=result.pop("peak_rss_call", None) or peak_rss(),
        ru_maxrss=resource.getrusage(resource.RUSAGE_SELF).ru_maxrss * 1024,
    )
    Path(out_path).write_text(json.dumps(result))


def verify(folder):
    """Checks that pycolmap, the pure-Python reader and the Python overlap count give what
    tolv gives, and that the generated model is self-consistent; raises on any mismatch."""
    import pycolmap
    import tolv

    import pure_python_reader as ppr

    cameras, images, points3D = tolv.read_reconstruction_bin(folder)
    py_cameras, py_images, py_points = ppr.read_model(folder)
    rec = pycolmap.Reconstruction(folder)
    problems = []

    def check(ok, what):
        if not ok and len(problems) < 20:
            problems.append(what)

    def norm(name):
        return name.replace(" ", "").replace("_", "").lower()

    def close(m1, m2, tol):
        return all(abs(a - b) <= tol for r1, r2 in zip(m1, m2) for a, b in zip(r1, r2))

    check(set(cameras) == set(py_cameras) == set(rec.cameras.keys()), "camera ids differ")
    for cid, cam in cameras.items():
        py, pc = py_cameras.get(cid), rec.cameras[cid] if rec.exists_camera(cid) else None
        if py is None or pc is None:
            continue
        check(cam.camera_id == cid, f"camera {cid}: camera_id {cam.camera_id}")
        check(norm(cam.model_id) == norm(py.model) == norm(pc.model.name), f"camera {cid}: model")
        check((cam.width, cam.height) == (py.width, py.height) == (pc.width, pc.height), f"camera {cid}: size")
        check(cam.params == py.params == list(pc.params), f"camera {cid}: params")

    check(set(images) == set(py_images) == set(rec.images.keys()), "image ids differ")
    for iid, im in images.items():
        py, pc = py_images.get(iid), rec.images[iid] if rec.exists_image(iid) else None
        if py is None or pc is None:
            continue
        ids = im.point3D_ids
        check(im.image_id == iid, f"image {iid}: image_id")
        check(im.name == py.name == pc.name, f"image {iid}: name {im.name!r} {py.name!r} {pc.name!r}")
        check(im.camera_id == py.camera_id == pc.camera_id, f"image {iid}: camera_id")
        check(ids == py.point3D_ids, f"image {iid}: point3D_ids differ from the Python reader")
        check(ids == [p.point3D_id for p in pc.points2D], f"image {iid}: point3D_ids differ from pycolmap")
        check(close(im.rot, py.rot, 1e-12), f"image {iid}: rot differs from the Python reader")
        pose = pc.cam_from_world()
        check(close(im.rot, pose.rotation.matrix().tolist(), 1e-9), f"image {iid}: rot differs from pycolmap")
        check(close([im.trans], [py.tvec], 0.0), f"image {iid}: trans")
        check(close([im.trans], [pose.translation.tolist()], 1e-12), f"image {iid}: trans vs pycolmap")

    check(set(points3D) == set(py_points) == set(rec.points3D.keys()), "point ids differ")
    matched = 0
    for pid, pt in points3D.items():
        py, pc = py_points.get(pid), rec.points3D[pid] if rec.exists_point3D(pid) else None
        if py is None or pc is None:
            continue
        track = pt.track
        color = pt.color
        check(pt.id == pid, f"point {pid}: id")
        check(pt.xyz == list(py.xyz) == pc.xyz.tolist(), f"point {pid}: xyz")
        check(pt.error == py.error == pc.error, f"point {pid}: error")
        check([color.r, color.g, color.b] == list(py.rgb) == pc.color.tolist(), f"point {pid}: color")
        check(len(track) == len(py.image_ids) == pc.track.length(), f"point {pid}: track length")
        check(track == list(zip(py.image_ids, py.point2D_idxs)), f"point {pid}: track vs the Python reader")
        check(track == [(e.image_id, e.point2D_idx) for e in pc.track.elements], f"point {pid}: track vs pycolmap")
        for image_id, idx in track:  # the generator's promise: tracks name real 2D points
            check(py_images[image_id].point3D_ids[idx] == pid, f"point {pid}: ({image_id}, {idx}) not its 2D point")
        matched += len(track)
    check(matched == sum(len(i.point3D_ids) - i.point3D_ids.count(NO_POINT3D) for i in py_images.values()),
          "matched 2D points and track elements differ in number")

    overlaps = tolv.compute_overlaps(points3D)
    check(overlaps == ppr.count_overlaps(py_points), "overlap counts differ from the Python count")
    check(all(overlaps[a][b] == overlaps[b][a] for a in overlaps for b in overlaps[a]), "overlaps not symmetric")

    if problems:
        raise AssertionError("readers disagree:\n  " + "\n  ".join(problems))


def run_child(task, folder, timeout=3600):
    with tempfile.NamedTemporaryFile(suffix=".json", delete=False) as f:
        out_path = f.name
    try:
        proc = subprocess.run(
            [sys.executable, str(Path(__file__).resolve()), "--worker", task, str(folder), out_path],
            stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, text=True, timeout=timeout, cwd=HERE,
        )
        if proc.returncode != 0:
            raise SystemExit(f"\n{task} on {folder} failed (exit {proc.returncode}):\n{proc.stderr}")
        return json.loads(Path(out_path).read_text())
    finally:
        os.unlink(out_path)


def summarize(task, runs, meta):
    """Medians over the runs of one measurement, after checking what each run saw."""
    expect = [meta["cameras"], meta["images"], meta["points3D"]]
    for r in runs:
        if task.endswith("_load") and r["counts"] != expect:
            raise SystemExit(f"{task}: got {r['counts']} records, the model has {expect}")
    out = dict(
        seconds=statistics.median(r["seconds"] for r in runs),
        wall=statistics.median(r["wall"] for r in runs),
        all_seconds=[round(r["seconds"], 4) for r in runs],
        all_wall=[round(r["wall"], 4) for r in runs],
        peak_rss=statistics.median(r["peak_rss"] for r in runs),
        base_rss=statistics.median(r["base_rss"] for r in runs),
        counts=runs[0].get("counts"),
    )
    for key in ("bytes_per_point3D", "bytes_per_point2D"):
        if key in runs[0]:
            out[key] = statistics.median(r[key] for r in runs)
    return out


def load_elements(meta):
    """What a load has to turn into objects: records, 2D points and track elements."""
    return meta["cameras"] + meta["images"] + meta["points3D"] + meta["points2D"] + meta["track_elements"]


def python_work(meta):
    """The amount of work the pure-Python measurements scale with, for the skip rule."""
    return {"python_load": load_elements(meta), "python_touch": load_elements(meta),
            "python_overlaps": meta["pair_visits"]}


def warm_cache(folder):
    for name in FILES:
        with open(folder / name, "rb") as f:
            while f.read(1 << 24):
                pass


def machine():
    cpu = "unknown CPU"
    try:
        for line in open("/proc/cpuinfo"):
            if line.startswith("model name"):
                cpu = line.split(":", 1)[1].strip()
                break
    except OSError:
        pass
    versions = {}
    for mod in ("tolv", "pycolmap", "numpy"):
        try:
            from importlib.metadata import version

            versions[mod] = version(mod)
        except Exception:
            versions[mod] = "?"
    if versions["tolv"] == "?":
        import tolv

        versions["tolv"] = f"(not a package: {tolv.__file__})"
    try:
        head = subprocess.run(["git", "-C", str(ROOT), "rev-parse", "--short", "HEAD"],
                              capture_output=True, text=True).stdout.strip()
        dirty = subprocess.run(["git", "-C", str(ROOT), "status", "--porcelain", "--", "src"],
                               capture_output=True, text=True).stdout.strip()
        checkout = head + (" with uncommitted changes to src/" if dirty else "") if head else "?"
    except OSError:
        checkout = "?"
    return dict(
        checkout=checkout, cpu=cpu, cores=os.cpu_count(), python=platform.python_version(),
        implementation=platform.python_implementation(), system=f"{platform.system()} {platform.release()}",
        loadavg=os.getloadavg()[0], **{f"{k}_version": v for k, v in versions.items()},
    )


def fmt_s(seconds):
    if seconds is None:
        return "n/a"
    return f"{seconds * 1000:.1f} ms" if seconds < 1 else f"{seconds:.2f} s"


def fmt_mb(n):
    return f"{n / 2**20:,.0f}"


def render(results, info, command):
    lines = [
        "# Benchmark results",
        "",
        f"Machine: {info['cpu']}, {info['cores']} cores, {info['system']}; "
        f"{info['implementation']} {info['python']}; tolv {info['tolv_version']}, "
        f"pycolmap {info['pycolmap_version']}, numpy {info['numpy_version']}; "
        f"repository at {info['checkout']}.",
        "",
        f"Command: `{command}`",
        "",
        "Each time is the median of N runs, each in a fresh interpreter, with the files in the page "
        "cache and the runs of all measurements interleaved. CPU time is the user + system time of "
        "the child during the timed operation; on this shared machine it is the steadier number and "
        "the one the ratios, per-element costs, targets and chart use. Wall time includes waiting "
        "for a core. \"× tolv\" divides by tolv's time for the same operation (the floors by tolv's "
        "load). Peak RSS is the child's high-water mark (`VmHWM`, which unlike `ru_maxrss` does not "
        "carry over the parent's peak through exec), interpreter and imports included; the overlap "
        "rows include loading the points they count. The floor reads the three files and makes one "
        "bare `object()` per camera, image and 3D point, stored under an `int` key in a `dict`. "
        f"Load average: {info['loadavg']:.2f} at the start, {info.get('loadavg_end', 0):.2f} at the end.",
        "",
    ]
    for size, res in results.items():
        meta = res["meta"]
        lines += [
            f"## {size}: {meta['images']:,} images, {meta['points3D']:,} 3D points, "
            f"{meta['points2D']:,} 2D points, {meta['track_elements']:,} track elements",
            "",
            f"{meta['cameras']} cameras; mean track length {meta['mean_track_length']:.2f}, longest "
            f"{meta['max_track_length']}; {meta['pair_visits']:,} track pairs to count; N = {res['repeat']}.",
            "",
            "| Measurement | CPU time | best run | × tolv | wall time | × tolv | peak RSS (MiB) |",
            "|---|---:|---:|---:|---:|---:|---:|",
        ]
        spread_seen = False
        for name, (group, label) in MEASUREMENTS.items():
            m = res["measurements"].get(name)
            if m is None:
                note = res["skipped"].get(name)
                if note:
                    lines.append(f"| {label} | skipped: {note} | | | | | |")
                continue
            ref = res["measurements"].get(REFERENCE[group])

            def ratio(key):
                return f"{m[key] / ref[key]:.2f}" if ref and ref[key] > 0 else ""

            runs = m["all_seconds"]
            spread = " †" if min(runs) > 0 and max(runs) / min(runs) > SPREAD else ""
            spread_seen = spread_seen or bool(spread)
            lines.append(f"| {label} | {fmt_s(m['seconds'])}{spread} | {fmt_s(min(runs))} | {ratio('seconds')} "
                         f"| {fmt_s(m['wall'])} | {ratio('wall')} | {fmt_mb(m['peak_rss'])} |")
        if spread_seen:
            lines += ["", f"† the slowest run took more than {SPREAD}× the CPU time of the fastest; "
                      "the runs are in the raw results under benchmarks/results/."]
        lines.append("")

    lines += [
        "## Per-record cost of tolv",
        "",
        "Load elements = cameras + images + 3D points + 2D points + track elements. "
        "Bytes kept: RSS growth while the result of `read_points3D_bin` (per 3D point, track "
        "included) or `read_images_bin` (per 2D point) is held.",
        "",
        "| Model | load, ns per element | load + touch, ns per element | overlaps, ns per track pair "
        "| bytes per 3D point | bytes per 2D point |",
        "|---|---:|---:|---:|---:|---:|",
    ]
    def per(ms, name, amount, fmt=".1f"):
        return f"{ms[name]['seconds'] / amount * 1e9:{fmt}}" if name in ms else "n/a"

    for size, res in results.items():
        meta, ms = res["meta"], res["measurements"]
        el = load_elements(meta)
        mem = ms.get("tolv_memory", {})
        lines.append(
            f"| {size} | {per(ms, 'tolv_load', el)} | {per(ms, 'tolv_touch', el)} "
            f"| {per(ms, 'tolv_overlaps', meta['pair_visits'])} "
            f"| {mem.get('bytes_per_point3D', 0):.0f} | {mem.get('bytes_per_point2D', 0):.1f} |"
        )
    lines.append("")
    lines += overlap_floor_ratios(results)
    lines += targets(results)
    # The comparisons of two builds come from compare_overlaps.py, compare_gc.py and
    # extras_arrays.py, read_model's, write_model's and the edits' sections from
    # read_model.py, write_model.py and edit_model.py, not from this run.
    for before_after in (BEFORE_AFTER, GC_BEFORE_AFTER, ARRAYS_BEFORE_AFTER, READ_MODEL,
                         WRITE_MODEL, EDIT_MODEL):
        if before_after.exists():
            lines += [before_after.read_text().rstrip(), ""]
    return "\n".join(lines) + "\n"


def overlap_floor_ratios(results):
    """compute_overlaps against the floor of building its result, measured in one process."""
    rows = []
    for size, res in results.items():
        ms = res["measurements"]
        if "tolv_overlaps" not in ms or "overlaps_floor" not in ms:
            continue
        tolv_runs, floor_runs = ms["tolv_overlaps"]["all_seconds"], ms["overlaps_floor"]["all_seconds"]
        best_ratio = min(t / f for t, f in zip(tolv_runs, floor_runs))
        rows.append(f"| {size} | {fmt_s(ms['tolv_overlaps']['seconds'])} | {fmt_s(ms['overlaps_floor']['seconds'])} "
                    f"| {ms['tolv_overlaps']['seconds'] / ms['overlaps_floor']['seconds']:.2f}× "
                    f"| {best_ratio:.2f}× | {'yes' if best_ratio <= 2 else '**no**'} |")
    if not rows:
        return []
    return [
        "## compute_overlaps against its output floor",
        "",
        "Both timed in the same child, one after the other; the ratio of medians, and the best "
        "ratio of one child's two times. Target: at most 2×.",
        "",
        "| Model | compute_overlaps | output floor | ratio | best child's ratio | within 2× |",
        "|---|---:|---:|---:|---:|---|",
        *rows,
        "",
    ]


def targets(results):
    """The maintainers' targets, checked against this run."""
    if "medium" not in results or "tolv_load" not in results["medium"]["measurements"]:
        return []
    ms = results["medium"]["measurements"]

    def ratio(a, b):
        return ms[a]["seconds"] / ms[b]["seconds"] if a in ms and b in ms else None

    def best(a, b):
        return min(ms[a]["all_seconds"]) / min(ms[b]["all_seconds"]) if a in ms and b in ms else None

    def row(text, shown, ok):
        mark = "n/a" if ok is None else ("yes" if ok else "**no**")
        return f"| {text} | {shown or ''} | {mark} |"

    def check(value, ok):
        return None if value is None else ok(value)

    py = ratio("python_load", "tolv_load")
    pc = ratio("pycolmap_load", "tolv_load")
    fl = ratio("tolv_load", "floor")
    ov = ratio("python_overlaps", "tolv_overlaps")
    rss_t, rss_p = ms["tolv_load"]["peak_rss"], ms.get("pycolmap_load", {}).get("peak_rss")
    out = [
        "## Targets (medium model)",
        "",
        "Judged on the medians; in parentheses the same ratio from each side's best run.",
        "",
        "| Target | measured | holds |",
        "|---|---:|---|",
        row("read_reconstruction_bin ≥ 25× faster than pure Python",
            py and f"{py:.1f}× ({best('python_load', 'tolv_load'):.1f}×)", check(py, lambda v: v >= 25)),
        row("read_reconstruction_bin ≥ 4× faster than pycolmap",
            pc and f"{pc:.1f}× ({best('pycolmap_load', 'tolv_load'):.1f}×)", check(pc, lambda v: v >= 4)),
        row("read_reconstruction_bin within 1.5× of the floor",
            fl and f"{fl:.2f}× ({best('tolv_load', 'floor'):.2f}×) the floor", check(fl, lambda v: v <= 1.5)),
        row("compute_overlaps ≥ 50× faster than the Python count",
            ov and f"{ov:.1f}× ({best('python_overlaps', 'tolv_overlaps'):.1f}×)", check(ov, lambda v: v >= 50)),
        row("tolv peak RSS below pycolmap's (load)", rss_p and f"{fmt_mb(rss_t)} vs {fmt_mb(rss_p)} MiB",
            check(rss_p, lambda v: rss_t < v)),
    ]
    if "large" in results and "pycolmap_load" in results["large"]["measurements"]:
        big = results["large"]["measurements"]
        rss_t, rss_p = big["tolv_load"]["peak_rss"], big["pycolmap_load"]["peak_rss"]
        out.append(row("tolv peak RSS below pycolmap's (load), large model",
                       f"{fmt_mb(rss_t)} vs {fmt_mb(rss_p)} MiB", rss_t < rss_p))
    per = {s: r["measurements"]["tolv_load"]["seconds"] / load_elements(r["meta"]) for s, r in results.items()}
    if len(per) > 1:
        spread = max(per.values()) / min(per.values())
        shown = ", ".join(f"{s} {v * 1e9:.1f}" for s, v in per.items()) + " ns"
        out.append(row("tolv load time per element flat across sizes (max/min ≤ 1.25)",
                       f"{shown} (×{spread:.2f})", spread <= 1.25))
    return out + [""]


def chart(results, path):
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    panels = [
        ("load", ["tolv_load", "pycolmap_load", "python_load", "floor"]),
        ("load + touch", ["tolv_touch", "pycolmap_touch", "python_touch"]),
        ("overlaps", ["tolv_overlaps", "overlaps_floor", "python_overlaps", "python_overlaps_sampled"]),
    ]
    colours = {"tolv": "#1f77b4", "pycolmap": "#ff7f0e", "python": "#7f7f7f", "floor": "#2ca02c",
               "overlaps": "#2ca02c"}
    labels = {"tolv": "tolv", "pycolmap": "pycolmap", "python": "pure Python", "floor": "floor",
              "overlaps": "floor"}
    sizes = list(results)
    fig, axes = plt.subplots(1, 3, figsize=(10, 3.2), dpi=100)
    for ax, (title, names) in zip(axes, panels):
        width = 0.8 / len(names)
        for k, name in enumerate(names):
            who = name.split("_")[0]
            xs, ys = [], []
            for i, size in enumerate(sizes):
                m = results[size]["measurements"].get(name)
                if m:
                    xs.append(i + (k - (len(names) - 1) / 2) * width)
                    ys.append(m["seconds"])
            ax.bar(xs, ys, width, color=colours[who], label=labels[who])
            for i, size in enumerate(sizes):
                if name in results[size]["skipped"]:
                    x = i + (k - (len(names) - 1) / 2) * width
                    ax.text(x, 0.02, "skipped", rotation=90, ha="center", va="bottom", fontsize=7,
                            color=colours[who], transform=ax.get_xaxis_transform())
        ax.set_yscale("log")
        ax.set_xlim(-0.5, len(sizes) - 0.5)
        ax.set_xticks(range(len(sizes)), sizes)
        ax.set_title(title, fontsize=10)
        ax.grid(axis="y", alpha=0.3, which="both")
    axes[0].set_ylabel("CPU seconds (log)")
    handles = {h.get_label(): h for ax in axes for h in ax.containers}
    fig.legend(handles.values(), handles.keys(), loc="lower center", ncol=4, fontsize=8, frameon=False)
    fig.tight_layout(rect=(0, 0.08, 1, 1))
    path.parent.mkdir(parents=True, exist_ok=True)
    fig.savefig(path)


def main():
    parser = argparse.ArgumentParser(description="Benchmarks tolv against pycolmap and pure Python.")
    parser.add_argument("--sizes", default="small,medium,large",
                        help="comma-separated: small,medium,large, and huge on request")
    parser.add_argument("--repeat", type=int, help="runs per measurement (default: 5 small, 3 medium, 3 large, 2 huge)")
    parser.add_argument("--groups", default=",".join(GROUPS),
                        help="comma-separated measurements to run: load,touch,overlaps (default all; a subset "
                             "writes benchmarks/results/partial.md)")
    parser.add_argument("--quick", action="store_true",
                        help="small model, one run each; writes benchmarks/results/quick.md only")
    parser.add_argument("--python-limit", type=float, default=120.0, metavar="SECONDS",
                        help="skip a pure-Python measurement expected to take more CPU time than this (default 120)")
    parser.add_argument("--python-limit-gb", type=float, default=4.0, metavar="GIB",
                        help="skip a pure-Python measurement expected to need more memory than this (default 4)")
    parser.add_argument("--render", metavar="JSON",
                        help="rewrite RESULTS.md and the chart from a raw results file, without timing")
    parser.add_argument("--worker", nargs=3, metavar=("TASK", "FOLDER", "OUT"), help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.worker:
        return worker(*args.worker)
    if args.render:
        raw = json.loads(Path(args.render).read_text())
        return write_outputs(raw["results"], raw["info"], raw["command"], quick=False, save_raw=False)

    import generate

    try:
        import pycolmap  # noqa: F401
        import tolv  # noqa: F401
    except ImportError as e:
        raise SystemExit(f"{e}: install tolv with its bench extra first: pip install \".[bench]\"")

    sizes = ["small"] if args.quick else args.sizes.split(",")
    for size in sizes:
        if size not in generate.SIZES:
            raise SystemExit(f"unknown size {size!r}; choose from {', '.join(generate.SIZES)}")
    groups = set(args.groups.split(","))
    if not groups <= set(GROUPS):
        raise SystemExit(f"unknown group in {args.groups!r}; choose from {', '.join(GROUPS)}")
    partial = groups != set(GROUPS)
    command = "python benchmarks/run.py" + "".join(f" {a}" for a in sys.argv[1:])
    info = machine()
    print(f"{info['cpu']}, {info['cores']} cores, Python {info['python']}", flush=True)

    small_dir, _ = generate.ensure("small")
    print("checking pycolmap, the pure-Python reader and the Python overlap count against tolv "
          "on the small model ...", flush=True)
    run_child("verify", small_dir)
    print("  all agree", flush=True)

    results, rates = {}, {}
    if sizes[0] != "small" and not args.quick:
        # Rates for the pure-Python skip rule, from one run on the small model.
        for name, amount in python_work(generate.ensure("small")[1]).items():
            m = run_child(name, small_dir)
            rates[name] = (m["seconds"] / amount, (m["peak_rss"] - m["base_rss"]) / amount, m["base_rss"])
    for size in sizes:
        folder, meta = generate.ensure(size)
        repeat = 1 if args.quick else (args.repeat or DEFAULT_REPEAT[size])
        warm_cache(folder)
        print(f"\n{size}: {generate.describe(meta)}; {repeat} run(s) each", flush=True)
        res = dict(meta=meta, repeat=repeat, measurements={}, skipped={})
        tasks = []
        for name, amount in python_work(meta).items():
            seconds = rates[name][0] * amount if name in rates else 0.0
            memory = rates[name][1] * amount + rates[name][2] if name in rates else 0.0
            if seconds > args.python_limit or memory > args.python_limit_gb * 2**30:
                res["skipped"][name] = (f"estimated from a smaller model at {seconds / 60:.1f} min "
                                        f"and {memory / 2**30:.1f} GiB per run")
                print(f"  {name:16} skipped: {res['skipped'][name]}", flush=True)
        tasks = [name for name, (group, _) in MEASUREMENTS.items()
                 if group in groups and name not in res["skipped"] and name not in SAME_CHILD
                 and (name != "python_overlaps_sampled" or "python_overlaps" in res["skipped"])]
        # Round robin, so a busy spell on the machine spreads over all measurements.
        runs = {name: [] for name in tasks}
        for rep in range(repeat):
            for name in tasks:
                runs[name].append(run_child(name, folder))
                print(f"  run {rep + 1}/{repeat} {name:16} cpu {fmt_s(runs[name][-1]['seconds']):>10}  "
                      f"wall {fmt_s(runs[name][-1]['wall']):>10}", flush=True)
        if "load" in groups:
            runs["tolv_memory"] = [run_child("tolv_memory", folder)]
        for name, source in SAME_CHILD.items():
            if source in runs:
                runs[name] = [dict(r, **r["same_child"][name]) for r in runs[source]]
        for name, task_runs in runs.items():
            res["measurements"][name] = summarize(name, task_runs, meta)
        for name, amount in python_work(meta).items():
            if name in res["measurements"]:
                m = res["measurements"][name]
                rates[name] = (m["seconds"] / amount, (m["peak_rss"] - m["base_rss"]) / amount, m["base_rss"])
        results[size] = res

    info["loadavg_end"] = os.getloadavg()[0]
    write_outputs(results, info, command, quick=args.quick, save_raw=True, partial=partial)


def write_outputs(results, info, command, quick, save_raw, partial=False):
    report = render(results, info, command)
    print("\n" + report)
    RESULTS_DIR.mkdir(parents=True, exist_ok=True)
    if save_raw:
        raw = RESULTS_DIR / (time.strftime("%Y%m%d-%H%M%S") + ".json")
        raw.write_text(json.dumps(dict(command=command, info=info, results=results), indent=1))
        print(f"raw results: {raw}")
    if quick or partial:
        name = "quick.md" if quick else "partial.md"
        (RESULTS_DIR / name).write_text(report)
        print(f"written: {RESULTS_DIR / name}")
    else:
        (HERE / "RESULTS.md").write_text(report)
        chart(results, ROOT / "docs" / "benchmark.png")
        print(f"written: {HERE / 'RESULTS.md'}, {ROOT / 'docs' / 'benchmark.png'}")

if __name__ == "__main__":
    main()
