"""Writes the 3D points of a COLMAP sparse reconstruction as a binary PLY point cloud.

    python examples/export_ply.py FOLDER OUT.ply

One vertex per 3D point, in increasing point id order: double x, y, z, uchar red,
green, blue and the reprojection error as a float property named "error", binary
little-endian, as MeshLab, CloudCompare and Open3D read it.
"""

from __future__ import annotations

import argparse
import itertools
import sys
from operator import attrgetter
from typing import Mapping, Sequence

import numpy as np
import numpy.typing as npt

import tolv

# (name, PLY type) of each vertex property, in file order
PROPERTIES = [("x", "double"), ("y", "double"), ("z", "double"),
              ("red", "uchar"), ("green", "uchar"), ("blue", "uchar"), ("error", "float")]
NUMPY_TYPES = {"double": "<f8", "uchar": "u1", "float": "<f4"}
VERTEX = np.dtype([(name, NUMPY_TYPES[kind]) for name, kind in PROPERTIES])


def vertices(points3D: Mapping[int, tolv.Point3D]) -> npt.NDArray[np.void]:
    """The points as packed vertex records, sorted by point id so output is reproducible."""
    n = len(points3D)
    ids = np.fromiter(points3D.keys(), np.uint64, n)
    records = list(points3D.values())
    xyz = np.fromiter(itertools.chain.from_iterable(map(attrgetter("xyz"), records)),
                      np.float64, 3 * n).reshape(n, 3)
    colors = map(attrgetter("r", "g", "b"), map(attrgetter("color"), records))
    rgb = np.fromiter(itertools.chain.from_iterable(colors), np.uint8, 3 * n).reshape(n, 3)
    error = np.fromiter(map(attrgetter("error"), records), np.float64, n)
    out = np.empty(n, VERTEX)
    for axis, name in enumerate("xyz"):
        out[name] = xyz[:, axis]
    for channel, name in enumerate(("red", "green", "blue")):
        out[name] = rgb[:, channel]
    out["error"] = error
    return out[np.argsort(ids, kind="stable")]


def header(count: int) -> bytes:
    lines = ["ply", "format binary_little_endian 1.0",
             "comment points of a COLMAP sparse reconstruction, read with tolv",
             f"element vertex {count}"]
    lines += [f"property {kind} {name}" for name, kind in PROPERTIES]
    lines.append("end_header")
    return ("\n".join(lines) + "\n").encode("ascii")


def write_ply(path: str, points: npt.NDArray[np.void]) -> None:
    with open(path, "wb") as out:
        out.write(header(len(points)))
        out.write(points.tobytes())


def parse_args(argv: Sequence[str]) -> argparse.Namespace:
    parser = argparse.ArgumentParser(
        prog="export_ply.py",
        description="The 3D points of a COLMAP sparse reconstruction as a binary PLY file.")
    parser.add_argument("folder", metavar="FOLDER",
                        help="folder with cameras.bin, images.bin and points3D.bin")
    parser.add_argument("output", metavar="OUT.ply", help="PLY file to write")
    return parser.parse_args(argv)


def main(argv: Sequence[str]) -> int:
    args = parse_args(argv)
    points3D = tolv.read_points3D_bin(args.folder + "/points3D.bin")
    points = vertices(points3D)
    write_ply(args.output, points)
    print(f"wrote {len(points)} points to {args.output}")
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
