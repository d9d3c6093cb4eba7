"""The 3D points as a binary PLY point cloud."""

from __future__ import annotations

from typing import Mapping

import tolv

from ._arguments import StrPath, text_path
from ._files import write_whole
from ._numpy import missing_numpy
from .arrays import point_values, sorted_points

# (name, PLY type, numpy type) of each vertex property, in file order
VERTEX_PROPERTIES = (
    ("x", "double", "<f8"), ("y", "double", "<f8"), ("z", "double", "<f8"),
    ("red", "uchar", "u1"), ("green", "uchar", "u1"), ("blue", "uchar", "u1"),
    ("error", "float", "<f4"),
)


def ply_header(count: int) -> bytes:
    lines = ["ply", "format binary_little_endian 1.0",
             "comment points of a COLMAP sparse reconstruction, read with tolv",
             f"element vertex {count}"]
    lines += [f"property {kind} {name}" for name, kind, _ in VERTEX_PROPERTIES]
    lines.append("end_header")
    return ("\n".join(lines) + "\n").encode("ascii")


def write_ply(path: StrPath, points3D: Mapping[int, tolv.Point3D]) -> int:
    """Writes the points as a binary little-endian PLY file; returns how many.

    One vertex per 3D point in increasing point id order: double x, y, z, uchar red,
    green, blue and the reprojection error as a float property "error", as MeshLab,
    CloudCompare and Open3D read it. The file is written whole or not at all.
    """
    target = text_path(path, "path")
    try:
        import numpy as np
    except ImportError as missing:
        raise missing_numpy("write_ply") from missing
    xyz, rgb, error = point_values(np, sorted_points(np, points3D)[1])
    vertex = np.dtype([(name, code) for name, _, code in VERTEX_PROPERTIES])
    vertices = np.empty(len(error), vertex)
    for axis, name in enumerate("xyz"):
        vertices[name] = xyz[:, axis]
    for channel, name in enumerate(("red", "green", "blue")):
        vertices[name] = rgb[:, channel]
    vertices["error"] = error
    write_whole(target, [ply_header(len(vertices)), vertices.tobytes()])
    return len(vertices)
