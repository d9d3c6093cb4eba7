"""Chart of the native overlap counting's cost per pair visit against the image count,
from the CSV output of benchmarks/native/bench_overlaps (one file per build).

    build/native/bench_overlaps > after.csv    # and the same from an older build
    python benchmarks/plot_overlaps.py --after after.csv [--before before.csv] [--out docs/overlaps_per_visit.png]

Prints the numbers as a Markdown table too.
"""
import argparse
import csv
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent


def read(path):
    with open(path) as f:
        return list(csv.DictReader(f))


def series(rows, method):
    points = [(int(r["images"]), float(r["ns_per_visit"])) for r in rows if r["method"] == method]
    return [x for x, _ in points], [y for _, y in points]


def table(after, before):
    methods = ["automatic", "triangle", "rows"]
    head = "| images | pair visits | " + " | ".join(f"{m}, ns/visit" for m in methods)
    head += " | before, ns/visit |" if before else " |"
    lines = [head, "|" + "---:|" * (len(methods) + 2 + bool(before))]
    old = {r["images"]: r for r in before if r["method"] == "automatic"} if before else {}
    for images in dict.fromkeys(r["images"] for r in after):
        by_method = {r["method"]: r for r in after if r["images"] == images}
        first = next(iter(by_method.values()))
        cells = [by_method[m]["ns_per_visit"] if m in by_method else "" for m in methods]
        line = f"| {int(images):,} | {int(first['pair_visits']):,} | " + " | ".join(cells)
        if before:
            line += f" | {old[images]['ns_per_visit'] if images in old else ''}"
        lines.append(line + " |")
    return "\n".join(lines)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--after", required=True, help="bench_overlaps output of the build to show")
    parser.add_argument("--before", help="bench_overlaps output of an older build, drawn for comparison")
    parser.add_argument("--out", default=str(ROOT / "docs" / "overlaps_per_visit.png"))
    args = parser.parse_args()
    after = read(args.after)
    before = read(args.before) if args.before else None
    print(table(after, before))

    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    fig, ax = plt.subplots(figsize=(7, 3.8), dpi=100)
    if before:
        ax.plot(*series(before, "automatic"), "o-", color="#7f7f7f", label="before: triangle, then pair hash map")
    ax.plot(*series(after, "triangle"), "s--", color="#ff7f0e", alpha=0.7, label="triangle only")
    ax.plot(*series(after, "rows"), "^--", color="#2ca02c", alpha=0.7, label="row by row only")
    ax.plot(*series(after, "automatic"), "o-", color="#1f77b4", linewidth=2, label="now: the cheaper of the two")
    ax.set_xscale("log")
    ax.set_ylim(bottom=0)
    ax.set_xlabel("images")
    ax.set_ylabel("CPU ns per pair visit")
    visits = int(after[0]["pair_visits"])
    ax.set_title(f"Native overlap counting, about {visits / 1e6:.0f} million pair visits", fontsize=10)
    ax.grid(alpha=0.3, which="both")
    ax.legend(fontsize=8)
    fig.tight_layout()
    Path(args.out).parent.mkdir(parents=True, exist_ok=True)
    fig.savefig(args.out)
    print(f"written: {args.out}")


if __name__ == "__main__":
    main()
