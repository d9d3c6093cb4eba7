"""Draws the image co-visibility matrix of a COLMAP sparse reconstruction as a PNG.

    python examples/overlap_matrix.py [FOLDER [OUTPUT]]

FOLDER defaults to the sample reconstruction next to this script, OUTPUT to
overlaps.png. Cell (a, b) is the number of 3D points that images a and b both
observe, on a log colour scale; empty cells share nothing. The images are
reordered so that groups which see the same part of the scene form blocks on the
diagonal. Needs numpy and matplotlib (pip install "tolv[plot]" numpy).
"""

from __future__ import annotations

import io
import os
import sys
from typing import Dict, List, Mapping, Sequence

import numpy as np
import numpy.typing as npt
import PIL.Image
import tolv
import tolv_extras as tx
from matplotlib.colors import ListedColormap
from matplotlib.figure import Figure

FloatMatrix = npt.NDArray[np.float64]
Overlaps = Mapping[int, Mapping[int, int]]


def default_folder() -> str:
    return os.path.join(os.path.dirname(os.path.abspath(__file__)), "sample", "sparse")


def shared_counts(ids: Sequence[int], overlaps: Overlaps) -> FloatMatrix:
    """Matrix of shared 3D points between images, in the order of `ids`.

    The diagonal is left at 0: the count an image has with itself is twice the
    number of points it sees, a different quantity from the pair counts.
    """
    index = {image_id: k for k, image_id in enumerate(ids)}
    counts = np.zeros((len(ids), len(ids)))
    for a, row in overlaps.items():
        for b, shared in row.items():
            if a != b and a in index and b in index:
                counts[index[a], index[b]] = shared
    return counts


def cluster_order(counts: FloatMatrix) -> List[int]:
    """Row order that puts images seeing the same things next to each other.

    Average-linkage clustering: start with every image on its own and keep
    joining the two groups with the highest mean link, where a link is the log
    of the shared count (so a few very strong neighbours do not drown the weaker
    ties). Each join keeps the members of both groups in their order and turns
    the groups so that the two most strongly linked ends meet, which lays out a
    walk round an object as a band along the diagonal. Ties go to the lowest
    index, so the order is the same on every run.
    """
    weights = np.log1p(counts)
    n = weights.shape[0]
    groups: List[List[int]] = [[k] for k in range(n)]
    alive = list(range(n))
    link = weights.copy()
    np.fill_diagonal(link, -np.inf)
    while len(alive) > 1:
        sub = link[np.ix_(alive, alive)]
        flat = int(np.argmax(sub))
        i, j = alive[flat // len(alive)], alive[flat % len(alive)]
        if i > j:
            i, j = j, i
        first, second = groups[i], groups[j]
        candidates = [first + second, first + second[::-1],
                      first[::-1] + second, first[::-1] + second[::-1]]
        joined = max(candidates, key=lambda c: float(weights[c[len(first) - 1], c[len(first)]]))
        size_i, size_j = len(first), len(second)
        merged = (size_i * link[i] + size_j * link[j]) / (size_i + size_j)
        link[i, :] = merged
        link[:, i] = merged
        link[i, i] = -np.inf
        groups[i] = joined
        alive.remove(j)
    return groups[alive[0]] if alive else []


def render(ids: Sequence[int], labels: Sequence[str], counts: FloatMatrix, title: str) -> Figure:
    n = len(ids)
    size = min(14.0, max(5.0, 2.5 + 0.16 * n))
    fig = Figure(figsize=(size + 1.6, size), dpi=100, layout="constrained")
    ax = fig.add_subplot()
    # Cells without shared points are NaN, which imshow leaves undrawn.
    shown = np.where(counts > 0.0, counts, np.nan)
    top = max(float(counts.max()), 2.0)
    image = ax.imshow(shown, cmap="viridis", norm="log", vmin=1.0, vmax=top,
                      interpolation="nearest")
    ax.set_facecolor("#f2f2f2")  # cells without shared points
    # The diagonal in a darker grey, so it reads as "not a pair" rather than "no overlap".
    diagonal = np.where(np.eye(n) > 0.0, 1.0, np.nan)
    ax.imshow(diagonal, cmap=ListedColormap(["#b0b0b0"]), interpolation="nearest")
    colorbar = fig.colorbar(image, ax=ax, shrink=0.8)
    colorbar.set_label("3D points seen by both images")
    if n <= 80:
        ax.set_xticks(range(n), labels, rotation=90, fontsize=6)
        ax.set_yticks(range(n), labels, fontsize=6)
    ax.set_xlabel("image (id and name)")
    ax.set_ylabel("image (id and name)")
    ax.set_title(title, fontsize=10)
    return fig


def save(fig: Figure, output: str) -> None:
    """Writes the figure; a PNG goes out without alpha channel, a quarter smaller."""
    if not output.lower().endswith(".png"):
        fig.savefig(output)
        return
    buffer = io.BytesIO()
    fig.savefig(buffer, format="png")
    buffer.seek(0)
    with PIL.Image.open(buffer) as picture:
        picture.convert("RGB").save(output, optimize=True)


def main(argv: Sequence[str]) -> int:
    if len(argv) > 3:
        print(f"usage: {argv[0]} [FOLDER [OUTPUT]]", file=sys.stderr)
        return 2
    folder = argv[1] if len(argv) > 1 else default_folder()
    output = argv[2] if len(argv) > 2 else "overlaps.png"
    with tx.quiet():  # tolv's own "Found ..." and "Making sets..." lines
        _, images, points3D = tx.read_reconstruction(folder)
        overlaps: Overlaps = tolv.compute_overlaps(points3D)
    names: Dict[int, str] = {i: tx.utf8_name(image, "replace") for i, image in images.items()}

    # Images that share no point with any other image stay out of the picture.
    ids = sorted(i for i, row in overlaps.items() if len(row) > 1)
    if not ids:
        print(f"no two images in {folder} share a 3D point; nothing to draw", file=sys.stderr)
        return 1
    counts = shared_counts(ids, overlaps)
    order = cluster_order(counts)
    ids = [ids[k] for k in order]
    counts = counts[np.ix_(order, order)]
    labels = [f"{i} {names.get(i, '?')}" for i in ids]

    pairs = int(np.count_nonzero(counts)) // 2
    title = f"Shared 3D points of {len(ids)} images ({pairs} overlapping pairs)"
    fig = render(ids, labels, counts, title)
    save(fig, output)
    print(f"wrote {output}")
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
