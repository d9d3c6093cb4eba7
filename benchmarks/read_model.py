"""tolv_extras.read_model, binary and text, against the floor of copying the files' bytes,
today's path through tolv's records and tolv_extras' arrays, pycolmap, and a pure-Python
text reader, on the models of benchmarks/generate.py.

    pip install ".[bench]" && python benchmarks/read_model.py [--sizes small,medium,large] [--runs 5]

Every measurement runs in a fresh interpreter (this script again with --child) on files
in the page cache; the runs of all measurements are interleaved, round after round, and
the best of --runs is shown. Each child times one call: CPU time of the whole process
(all threads, user and system apart) and wall time, minor page faults, and its peak RSS
(VmHWM) against its RSS just before the call, with numpy and the readers imported. The
text models are pycolmap's write_text of the binary ones, made once and cached beside
them (benchmarks/data/SIZE-txt). Before any timing, read_model's text and binary arrays,
the pure-Python text reader and pycolmap are checked against each other on the small model.

Writes benchmarks/read_model.md, the section RESULTS.md carries (spliced into it here,
and kept by run.py when it rewrites the file), and the raw runs to benchmarks/results/.
"""

from __future__ import annotations

import argparse
import json
import os
import resource
import statistics
import sys
import time
from pathlib import Path

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))

from child_runs import cpu_s, run_child  # noqa: E402

SECTION = HERE / "read_model.md"
RESULTS = HERE / "RESULTS.md"
HEADER = "## tolv_extras.read_model"
BIN_FILES = ("cameras.bin", "images.bin", "points3D.bin")
TXT_FILES = ("cameras.txt", "images.txt", "points3D.txt")
LIMITS = {"python_txt": None}  # set from the arguments in main

# name -> (format of the folder it reads, label)
MEASUREMENTS = {
    "floor": ("bin", "floor: read the 3 .bin files into bytes, bytearray() each once"),
    "tolv_arrays": ("bin", "tx.read_reconstruction + points_, images_, cameras_arrays"),
    "pycolmap_bin": ("bin", "pycolmap.Reconstruction(binary folder)"),
    "read_model_bin": ("bin", "tx.read_model(binary folder)"),
    "pycolmap_txt": ("txt", "pycolmap.Reconstruction(text folder)"),
    "python_txt": ("txt", "pure-Python text reader (split, int, float)"),
    "read_model_txt": ("txt", "tx.read_model(text folder)"),
}
# Diagnostic children: read_model with its native call timed apart from the Python around it.
PHASES = {"phases_bin": "bin", "phases_txt": "txt"}


# ---------------------------------------------------------------- in the child


def status_kib(*keys):
    out = {}
    with open("/proc/self/status") as f:
        for line in f:
            key = line.split(":", 1)[0]
            if key in keys:
                out[key] = int(line.split()[1]) * 1024
    return out


def array_bytes(model):
    """Bytes of what read_model returns: every array's nbytes, the names as str objects."""
    arrays = names = 0
    for table in model:
        if table is None:
            continue
        for value in table:
            if hasattr(value, "nbytes"):
                arrays += value.nbytes
            elif isinstance(value, list):
                names += sys.getsizeof(value) + sum(sys.getsizeof(v) for v in value)
    return arrays, names


def model_counts(model):
    return [len(model.cameras.ids), len(model.images.ids), len(model.points.ids)]


def task(name, folder):
    """The timed operation of one measurement, and what to report about its result."""
    if name == "floor":
        def run():
            copies = []
            for file in BIN_FILES:
                with open(os.path.join(folder, file), "rb") as f:
                    data = f.read()
                copies.append(bytearray(data))
                del data
            return copies
        return run, lambda r: {"counts": None}
    if name == "tolv_arrays":
        import tolv_extras as tx

        def run():
            with tx.quiet():
                cameras, images, points3D = tx.read_reconstruction(folder)
            return (tx.cameras_arrays(cameras), tx.images_arrays(images), tx.points_arrays(points3D))
        return run, lambda r: {"counts": [len(r[0].ids), len(r[1].ids), len(r[2].ids)]}
    if name.startswith("pycolmap"):
        import pycolmap
        return (lambda: pycolmap.Reconstruction(folder),
                lambda r: {"counts": [r.num_cameras(), r.num_images(), r.num_points3D()]})
    if name == "python_txt":
        import pure_python_text_reader as ppt
        return lambda: ppt.read_model_text(folder), lambda r: {"counts": [len(d) for d in r]}
    if name.startswith("read_model"):
        import tolv_extras as tx

        def report(model):
            arrays, names = array_bytes(model)
            return {"counts": model_counts(model), "array_bytes": arrays, "name_bytes": names,
                    "file_bytes": sum(os.path.getsize(os.path.join(folder, f)) for f in os.listdir(folder)
                                      if f.endswith((".bin", ".txt")))}
        return lambda: tx.read_model(folder), report
    if name.startswith("phases"):
        import tolv_extras.model_io as model_io
        native = model_io._model_io.read_model_files
        spent = {}

        def timed(*args):
            t0, c0 = time.perf_counter(), resource.getrusage(resource.RUSAGE_SELF)
            out = native(*args)
            c1 = resource.getrusage(resource.RUSAGE_SELF)
            spent.update(native_wall=time.perf_counter() - t0, native_user=c1.ru_utime - c0.ru_utime,
                         native_system=c1.ru_stime - c0.ru_stime, native_minflt=c1.ru_minflt - c0.ru_minflt)
            return out
        model_io._model_io.read_model_files = timed
        return lambda: model_io.read_model(folder), lambda r: dict(spent, counts=model_counts(r))
    raise SystemExit(f"unknown measurement {name}")


def child(name, folder):
    import numpy  # noqa: F401  (every child pays the same imports before the clock)

    import tolv_extras  # noqa: F401
    run, report = task(name, folder)
    base = status_kib("VmRSS", "VmHWM")
    r0, w0 = resource.getrusage(resource.RUSAGE_SELF), time.perf_counter()
    result = run()
    w1, r1 = time.perf_counter(), resource.getrusage(resource.RUSAGE_SELF)
    after = status_kib("VmHWM", "VmRSS", "RssAnon", "RssFile")
    out = {"user": r1.ru_utime - r0.ru_utime, "system": r1.ru_stime - r0.ru_stime, "wall": w1 - w0,
           "minflt": r1.ru_minflt - r0.ru_minflt, "majflt": r1.ru_majflt - r0.ru_majflt,
           "base_rss": base["VmRSS"], "base_hwm": base["VmHWM"], "peak_rss": after["VmHWM"],
           "rss_after": after["VmRSS"], "anon_after": after["RssAnon"], "file_after": after["RssFile"]}
    out.update(report(result))
    print(json.dumps(out))


def verify(small_bin, small_txt):
    """read_model's text arrays equal its binary ones; the pure-Python text reader and
    pycolmap's text load agree with them. Raises on any mismatch."""
    import numpy as np
    import pycolmap

    import pure_python_text_reader as ppt
    import tolv_extras as tx

    b, t = tx.read_model(small_bin), tx.read_model(small_txt)
    problems = []
    for table in ("cameras", "images", "points"):
        tb, tt = getattr(b, table), getattr(t, table)
        for field in tb._fields:
            vb, vt = getattr(tb, field), getattr(tt, field)
            same = vb == vt if isinstance(vb, list) else np.array_equal(vb, vt, equal_nan=True)
            if not same:
                problems.append(f"read_model {table}.{field}: text differs from binary")
    cameras, images, points3D = ppt.read_model_text(small_txt)
    if sorted(images) != sorted(b.images.ids.tolist()) or sorted(points3D) != sorted(b.points.ids.tolist()):
        problems.append("pure-Python text reader: other ids")
    row = {int(i): k for k, i in enumerate(b.points.ids)}
    for pid, p in points3D.items():
        k = row[pid]
        lo, hi = b.points.track_offsets[k], b.points.track_offsets[k + 1]
        if (list(p.xyz) != b.points.xyz[k].tolist() or list(p.image_ids) != b.points.track_image_ids[lo:hi].tolist()
                or list(p.point2D_idxs) != b.points.track_point2D_idxs[lo:hi].tolist()):
            problems.append(f"pure-Python text reader: point {pid} differs")
            break
    irow = {int(i): k for k, i in enumerate(b.images.ids)}
    for iid, im in images.items():
        k = irow[iid]
        lo, hi = b.images.points2D_offsets[k], b.images.points2D_offsets[k + 1]
        ids = [v % 2**64 for v in im.point3D_ids]
        if (im.name != b.images.names[k] or ids != b.images.point3D_ids[lo:hi].tolist()
                or [list(xy) for xy in im.xys] != b.images.xys[lo:hi].tolist()):
            problems.append(f"pure-Python text reader: image {iid} differs")
            break
    rec = pycolmap.Reconstruction(small_txt)
    if (rec.num_cameras(), rec.num_images(), rec.num_points3D()) != tuple(model_counts(b)):
        problems.append("pycolmap text load: other counts")
    elif sum(rec.points3D[int(i)].track.length() for i in b.points.ids) != len(b.points.track_image_ids):
        problems.append("pycolmap text load: other track lengths")
    if problems:
        raise AssertionError("readers disagree:\n  " + "\n  ".join(problems))


# ---------------------------------------------------------------- in the parent


def ensure_text(size, folder, meta):
    """The text model of this size: pycolmap's write_text of the binary one, made once."""
    out = folder.parent / f"{size}-txt"
    stamp = out / "meta.json"
    if stamp.exists() and json.loads(stamp.read_text()) == meta and all((out / f).exists() for f in TXT_FILES):
        return out
    import shutil

    import pycolmap

    print(f"writing the {size} text model in {out} ...", flush=True)
    partial = folder.parent / f"{size}-txt.partial"
    shutil.rmtree(partial, ignore_errors=True)
    partial.mkdir(parents=True)
    pycolmap.Reconstruction(str(folder)).write_text(str(partial))
    (partial / "meta.json").write_text(json.dumps(meta))
    shutil.rmtree(out, ignore_errors=True)
    partial.rename(out)
    return out


def warm(folder):
    for name in sorted(os.listdir(folder)):
        with open(os.path.join(folder, name), "rb") as f:
            while f.read(1 << 24):
                pass


def measure(name, folder):
    r = run_child(sys.executable, Path(__file__).resolve(), name, folder, cwd=HERE)
    r["cpu"] = cpu_s(r)
    return r


def best(runs):
    return min(runs, key=lambda r: r["cpu"])


def elements(meta):
    """What read_model's per-element cost is counted in: 2D points plus track elements."""
    return meta["points2D"] + meta["track_elements"]


def folder_bytes(folder, files):
    return sum(os.path.getsize(os.path.join(folder, f)) for f in files)


def ms(seconds):
    return f"{seconds * 1e3:,.1f} ms" if seconds < 1 else f"{seconds:,.2f} s"


def cpu_text(r):
    return f"{ms(r['cpu'])} ({ms(r['user'])} + {ms(r['system'])})"


def mib(n):
    return f"{n / 2**20:,.0f}"


def render(results, info, command):
    lines = [
        HEADER,
        "",
        f"Command: `{command}`. {info['cpu']}, {info['cores']} cores shared with other work, "
        f"CPython {info['python']}, numpy {info['numpy_version']}, pycolmap {info['pycolmap_version']}; "
        f"tolv {info['tolv_version']} built from {info['checkout']}. Load average (1 min) "
        f"{info['loadavg']:.1f} at the start, {info['loadavg_end']:.1f} at the end.",
        "",
        "Each measurement is one call in a fresh interpreter (numpy, tolv_extras and the reader "
        "imported before the clock), the files in the page cache, the runs of all rows "
        "interleaved round by round; shown is the best of N children by CPU time. CPU time "
        "is the user + system time of the whole process during the call (every thread: "
        "read_model parses images and points on two threads, so its wall time can be below "
        "its CPU time); the median of the N is beside it. Peak RSS is the child's high-water "
        "mark (VmHWM) during the call; \"growth\" is that minus its RSS just before the call "
        "(the interpreter, numpy and the reader's imports). Minor faults: first touches of "
        "fresh pages (and of mapped file pages) during the call. The text models are "
        "pycolmap's write_text of the binary ones (with its rigs.txt and frames.txt, which "
        "read_model and pycolmap read too); \"× read_model\" divides by read_model's time "
        "for the same format.",
        "",
    ]
    for size, res in results.items():
        meta = res["meta"]
        lines += [
            f"### {size}: {meta['images']:,} images, {meta['points3D']:,} 3D points, "
            f"{meta['points2D']:,} 2D points, {meta['track_elements']:,} track elements",
            "",
            f"Binary files {mib(res['bin_bytes'])} MiB, text files {mib(res['txt_bytes'])} MiB; "
            f"N = {res['runs']}.",
            "",
            "| Measurement | CPU, best (user + system) | CPU, median | × read_model | wall, best "
            "| × read_model | peak RSS (MiB) | growth (MiB) | minor faults |",
            "|---|---:|---:|---:|---:|---:|---:|---:|---:|",
        ]
        m = res["measurements"]
        for name, (fmt, label) in MEASUREMENTS.items():
            if name in res["skipped"]:
                lines.append(f"| {label} | skipped: {res['skipped'][name]} | | | | | | | |")
                continue
            if name not in m:
                continue
            runs, ref = m[name], best(m[f"read_model_{fmt}"])
            b = best(runs)
            lines.append(
                f"| {label} | {cpu_text(b)} | {ms(statistics.median(r['cpu'] for r in runs))} "
                f"| {b['cpu'] / ref['cpu']:.2f} | {ms(min(r['wall'] for r in runs))} "
                f"| {min(r['wall'] for r in runs) / min(r['wall'] for r in m[f'read_model_{fmt}']):.2f} "
                f"| {mib(b['peak_rss'])} | {mib(b['peak_rss'] - b['base_rss'])} | {b['minflt']:,} |")
        lines.append("")

    lines += targets(results)
    lines += memory(results)
    lines += per_element(results)
    lines += phases(results)
    return "\n".join(lines).rstrip() + "\n"


def ratio_pair(m, slow, fast):
    """slow ÷ fast, from the best children and from the medians."""
    b = best(m[slow])["cpu"] / best(m[fast])["cpu"]
    med = statistics.median(r["cpu"] for r in m[slow]) / statistics.median(r["cpu"] for r in m[fast])
    return b, med


def targets(results):
    rows = []

    def row(size, text, value, shown, ok):
        rows.append(f"| {size} | {text} | {shown} | {'yes' if ok else '**no**'} |")

    for size, res in results.items():
        m = res["measurements"]
        b, med = ratio_pair(m, "read_model_bin", "floor")
        row(size, "read_model bin CPU ≤ 0.7× the floor's", b, f"{b:.2f}× ({med:.2f}×)", b <= 0.7)
        b, med = ratio_pair(m, "tolv_arrays", "read_model_bin")
        row(size, "read_model bin ≥ 10× faster than read_reconstruction + arrays", b,
            f"{b:.1f}× ({med:.1f}×)", b >= 10)
        b, med = ratio_pair(m, "pycolmap_bin", "read_model_bin")
        row(size, "read_model bin ≥ 5× faster than pycolmap (binary)", b, f"{b:.1f}× ({med:.1f}×)", b >= 5)
        b, med = ratio_pair(m, "pycolmap_txt", "read_model_txt")
        row(size, "read_model txt ≥ 5× faster than pycolmap (text), CPU", b, f"{b:.1f}× ({med:.1f}×)", b >= 5)
        wall = min(r["wall"] for r in m["pycolmap_txt"]) / min(r["wall"] for r in m["read_model_txt"])
        row(size, "read_model txt faster still in wall time", wall, f"{wall:.1f}× (CPU {b:.1f}×)", wall > b)
    return [
        "### Targets",
        "",
        "From the best child of each row; in parentheses the ratio of the medians.",
        "",
        "| Model | Target | measured | holds |",
        "|---|---|---:|---|",
        *rows,
        "",
    ]


def memory(results):
    rows = []
    for size, res in results.items():
        for fmt in ("bin", "txt"):
            runs = res["measurements"][f"read_model_{fmt}"]
            b = min(runs, key=lambda r: r["peak_rss"] - r["base_rss"])
            growth = b["peak_rss"] - b["base_rss"]
            returned = b["array_bytes"] + b["name_bytes"]
            files = b["file_bytes"]
            slack = max(8 * 2**20, returned // 20)
            rows.append(
                f"| {size} | {fmt} | {mib(b['array_bytes'])} + {b['name_bytes'] / 2**20:,.1f} "
                f"| {mib(files)} | {mib(growth)} | {mib(growth - returned):>} "
                f"| {mib(growth - returned - files)} | {mib(b['rss_after'] - b['base_rss'])} "
                f"| {'yes' if growth - returned <= slack else ('with the mapped files' if growth - returned - files <= slack else '**no**')} |")
    return [
        "### Peak memory of read_model against what it returns",
        "",
        "Returned: the nbytes of every array of the Model, plus the names as str objects (and "
        "their list). Files: the bytes of the model's files, which read_model maps; mapped "
        "pages it touches count in RSS until unmapped. Growth: peak RSS of the call minus "
        "the RSS before it, the least over the N children. Target: growth ≤ returned + a "
        "small buffer (here 5% of the returned bytes, at least 8 MiB), for binary with the "
        "mapped files allowed on top. \"Held after\" is the RSS after the call less the RSS "
        "before: what the Model keeps.",
        "",
        "| Model | format | returned: arrays + names (MiB) | files (MiB) | growth (MiB) "
        "| growth − returned | growth − returned − files | held after (MiB) | holds |",
        "|---|---|---:|---:|---:|---:|---:|---:|---|",
        *rows,
        "",
    ]


def per_element(results):
    rows, per = [], {"bin": {}, "txt": {}}
    for size, res in results.items():
        meta, m = res["meta"], res["measurements"]
        cells = []
        for fmt, key in (("bin", "bin_bytes"), ("txt", "txt_bytes")):
            t = best(m[f"read_model_{fmt}"])["cpu"]
            per[fmt][size] = t / elements(meta)
            cells += [f"{t / elements(meta) * 1e9:.2f}", f"{t / res[key] * 1e9:.3f}"]
        rows.append(f"| {size} | {elements(meta):,} | " + " | ".join(cells) + " |")
    spread = {fmt: max(v.values()) / min(v.values()) for fmt, v in per.items() if v}
    return [
        "### Per-element cost of read_model",
        "",
        "CPU time of the best child per element (2D points + track elements) and per byte of "
        "the three main files. Flat from small to large means max/min ≤ 1.25: binary "
        f"×{spread['bin']:.2f} ({'yes' if spread['bin'] <= 1.25 else '**no**'}), text "
        f"×{spread['txt']:.2f} ({'yes' if spread['txt'] <= 1.25 else '**no**'}).",
        "",
        "| Model | 2D points + track elements | bin, ns per element | bin, ns per byte "
        "| txt, ns per element | txt, ns per byte |",
        "|---|---:|---:|---:|---:|---:|",
        *rows,
        "",
    ]


def phases(results):
    rows = []
    for size, res in results.items():
        for fmt in ("bin", "txt"):
            runs = res["measurements"].get(f"phases_{fmt}")
            if not runs:
                continue
            b = best(runs)
            native = b["native_user"] + b["native_system"]
            rows.append(
                f"| {size} | {fmt} | {cpu_text(b)} | {ms(native)} ({ms(b['native_user'])} + "
                f"{ms(b['native_system'])}) | {ms(b['native_wall'])} | {b['native_minflt']:,} "
                f"| {ms(b['cpu'] - native)} |")
    if not rows:
        return []
    return [
        "### Where read_model's time goes",
        "",
        "Children of their own (best of N): read_model with its native call "
        "(`_model_io.read_model_files`: mapping, parsing on two threads, handing the columns "
        "over, decoding the names) timed apart; the rest is the Python around it (choosing "
        "the files, numpy views of the buffers, the repeated-id check's outcome, the cameras' "
        "padded parameters and K, cam_from_world and centers).",
        "",
        "| Model | format | read_model, CPU | native call, CPU | native call, wall "
        "| native call, minor faults | Python around it, CPU |",
        "|---|---|---:|---:|---:|---:|---:|",
        *rows,
        "",
    ]


def splice(section):
    """RESULTS.md with this section in place of its earlier version, or at its end."""
    text = RESULTS.read_text() if RESULTS.exists() else "# Benchmark results\n"
    lines = text.splitlines()
    try:
        start = lines.index(HEADER)
        end = next((k for k in range(start + 1, len(lines)) if lines[k].startswith("## ")), len(lines))
        lines[start:end] = section.rstrip().splitlines() + [""]
    except ValueError:
        lines += [""] + section.rstrip().splitlines()
    RESULTS.write_text("\n".join(lines).rstrip() + "\n")


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--sizes", default="small,medium,large")
    parser.add_argument("--runs", type=int, default=5)
    parser.add_argument("--python-limit", type=float, default=90.0, metavar="SECONDS",
                        help="skip the pure-Python text reader where it would take more CPU time "
                             "per run than this, estimated from a smaller model (default 90)")
    parser.add_argument("--python-limit-gb", type=float, default=4.0, metavar="GIB",
                        help="... or more memory than this (default 4)")
    parser.add_argument("--no-write", action="store_true", help="print the section only")
    parser.add_argument("--render", metavar="JSON",
                        help="write the section again from a raw results file, without timing")
    parser.add_argument("--child", nargs=2, help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.child:
        child(*args.child)
        return 0

    if args.render:
        raw = json.loads(Path(args.render).read_text())
        return write(render(raw["results"], raw["info"], raw["command"]), args.no_write)

    import generate
    import run as run_py

    info = run_py.machine()
    command = "python benchmarks/read_model.py" + "".join(f" {a}" for a in sys.argv[1:])
    sizes = args.sizes.split(",")
    folders = {}
    for size in sizes:
        folder, meta = generate.ensure(size)
        folders[size] = (folder, ensure_text(size, folder, meta), meta)
    small = generate.ensure("small")
    print("checking read_model's text arrays against its binary ones, the pure-Python text "
          "reader and pycolmap on the small model ...", flush=True)
    verify(str(small[0]), str(ensure_text("small", *small)))
    print("  all agree", flush=True)

    results, rate = {}, None
    for size in sizes:
        folder, txt, meta = folders[size]
        res = dict(meta=meta, runs=args.runs, measurements={}, skipped={},
                   bin_bytes=folder_bytes(folder, BIN_FILES), txt_bytes=folder_bytes(txt, TXT_FILES))
        names = list(MEASUREMENTS) + list(PHASES)
        if rate is not None:
            seconds, memory = rate[0] * res["txt_bytes"], rate[1] * res["txt_bytes"]
            if seconds > args.python_limit or memory > args.python_limit_gb * 2**30:
                res["skipped"]["python_txt"] = (f"estimated from a smaller model at {seconds:.0f} s "
                                                f"and {memory / 2**30:.1f} GiB per run")
                names.remove("python_txt")
        warm(folder)
        warm(txt)
        print(f"\n{size}: {generate.describe(meta)}", flush=True)
        runs = {name: [] for name in names}
        for k in range(args.runs):
            for name in names:
                fmt = MEASUREMENTS[name][0] if name in MEASUREMENTS else PHASES[name]
                r = measure(name, folder if fmt == "bin" else txt)
                if r["counts"] is not None and r["counts"] != [meta["cameras"], meta["images"], meta["points3D"]]:
                    raise SystemExit(f"{name} on {size}: {r['counts']} records")
                runs[name].append(r)
                print(f"  run {k + 1}/{args.runs} {name:15} cpu {ms(r['cpu']):>10} ({ms(r['user'])} + "
                      f"{ms(r['system'])})  wall {ms(r['wall']):>10}  growth {mib(r['peak_rss'] - r['base_rss'])} MiB",
                      flush=True)
        res["measurements"] = runs
        if "python_txt" in runs:
            b = best(runs["python_txt"])
            rate = (b["cpu"] / res["txt_bytes"], b["peak_rss"] / res["txt_bytes"])
        results[size] = res

    info["loadavg_end"] = os.getloadavg()[0]
    section = render(results, info, command)
    raw_dir = HERE / "results"
    raw_dir.mkdir(exist_ok=True)
    raw = raw_dir / ("read_model-" + time.strftime("%Y%m%d-%H%M%S") + ".json")
    raw.write_text(json.dumps(dict(command=command, info=info, results=results), indent=1))
    print(f"raw results: {raw}")
    return write(section, args.no_write)


def write(section, dry_run):
    if dry_run:
        print(section)
        return 0
    SECTION.write_text(section)
    splice(section)
    print(f"written: {SECTION}, {RESULTS}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
