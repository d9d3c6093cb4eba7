"""Writes the 3D points of a COLMAP sparse model, binary or text, as a binary PLY point
cloud.

    python examples/export_ply.py FOLDER OUT.ply

One vertex per 3D point, in increasing point id order: double x, y, z, uchar red,
green, blue and the reprojection error as a float property named "error", binary
little-endian, as MeshLab, CloudCompare and Open3D read it. The points come from
tolv_extras.read_model (cameras, images and points3D as .bin or .txt files) and go
out through tolv_extras.write_ply, which writes the file beside OUT.ply first and puts
it in place only once it is whole. `tolv ply FOLDER OUT.ply` does the same in file
order, and `--splatting` there writes the layout Gaussian-splatting trainers read.
"""

from __future__ import annotations

import argparse
import sys
from typing import Sequence

import numpy as np
import tolv_extras as tx


def by_point_id(points: tx.PointsArrays) -> tx.PointsArrays:
    """The points with their rows sorted by point id, tracks included."""
    order = np.argsort(points.ids, kind="stable")
    lengths = np.diff(points.track_offsets)[order]
    offsets = np.zeros(len(order) + 1, np.int64)
    np.cumsum(lengths, out=offsets[1:])
    # Track element j of the new row k sits at old_start[k] + j.
    shift = np.repeat(points.track_offsets[:-1][order] - offsets[:-1], lengths.astype(np.intp))
    elements = shift + np.arange(offsets[-1])
    return tx.PointsArrays(ids=points.ids[order], xyz=points.xyz[order], rgb=points.rgb[order],
                           error=points.error[order], track_offsets=offsets,
                           track_image_ids=points.track_image_ids[elements],
                           track_point2D_idxs=points.track_point2D_idxs[elements])


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
    count = tx.write_ply(args.output, by_point_id(tx.read_model(args.folder).points))
    print(f"wrote {count} points to {args.output}")
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
