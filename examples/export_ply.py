"""Writes the 3D points of a COLMAP sparse model, binary or text, as a binary PLY point
cloud.

    python examples/export_ply.py FOLDER OUT.ply

One vertex per 3D point, in increasing point id order: double x, y, z, uchar red,
green, blue and the reprojection error as a float property named "error", binary
little-endian, as MeshLab, CloudCompare and Open3D read it. The points come from
tolv_extras.read_model (cameras, images and points3D as .bin or .txt files); the file
is written beside OUT.ply first and takes its place only once it is whole.
"""

from __future__ import annotations

import argparse
import os
import sys
from typing import Sequence

import numpy as np
import tolv_extras as tx

# (name, PLY type, numpy type) of each vertex property, in file order
VERTEX = (("x", "double", "<f8"), ("y", "double", "<f8"), ("z", "double", "<f8"),
          ("red", "uchar", "u1"), ("green", "uchar", "u1"), ("blue", "uchar", "u1"),
          ("error", "float", "<f4"))


def ply_bytes(points: tx.PointsArrays) -> bytes:
    """The PLY file of the points, sorted by point id."""
    order = np.argsort(points.ids, kind="stable")
    vertices = np.empty(len(order), np.dtype([(name, code) for name, _, code in VERTEX]))
    for axis, name in enumerate("xyz"):
        vertices[name] = points.xyz[order, axis]
    for channel, name in enumerate(("red", "green", "blue")):
        vertices[name] = points.rgb[order, channel]
    vertices["error"] = points.error[order]
    header = ["ply", "format binary_little_endian 1.0",
              "comment points of a COLMAP sparse reconstruction, read with tolv",
              f"element vertex {len(vertices)}",
              *(f"property {kind} {name}" for name, kind, _ in VERTEX), "end_header"]
    return ("\n".join(header) + "\n").encode("ascii") + vertices.tobytes()


def write_whole(path: str, data: bytes) -> None:
    """Writes data to a file beside path, then puts it in path's place."""
    partial = os.path.join(os.path.dirname(os.path.abspath(path)),
                           f".{os.path.basename(path)}.partial")
    try:
        with open(partial, "wb") as out:
            out.write(data)
        os.replace(partial, path)
    except BaseException:
        if os.path.exists(partial):
            os.unlink(partial)
        raise


def parse_args(argv: Sequence[str]) -> argparse.Namespace:
    parser = argparse.ArgumentParser(
        prog="export_ply.py",
        description="The 3D points of a COLMAP sparse model as a binary PLY file.")
    parser.add_argument("folder", metavar="FOLDER",
                        help="folder with cameras, images and points3D as .bin or .txt files")
    parser.add_argument("output", metavar="OUT.ply", help="PLY file to write")
    return parser.parse_args(argv)


def main(argv: Sequence[str]) -> int:
    args = parse_args(argv)
    points = tx.read_model(args.folder).points
    write_whole(args.output, ply_bytes(points))
    print(f"wrote {len(points.ids)} points to {args.output}")
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
