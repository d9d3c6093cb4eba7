"""Writes the 3D points of a COLMAP sparse reconstruction as a binary PLY point cloud.

    python examples/export_ply.py FOLDER OUT.ply

One vertex per 3D point, in increasing point id order: double x, y, z, uchar red,
green, blue and the reprojection error as a float property named "error", binary
little-endian, as MeshLab, CloudCompare and Open3D read it (tolv_extras.write_ply).
"""

from __future__ import annotations

import argparse
import errno
import os
import sys
from typing import Dict, Sequence

import tolv
import tolv_extras as tx


def read_points(folder: str) -> Dict[int, tolv.Point3D]:
    """The folder's points3D.bin; when it is missing, the error names it."""
    path = os.path.join(folder, "points3D.bin")
    try:
        return tolv.read_points3D_bin(path)
    except FileNotFoundError as error:
        raise FileNotFoundError(errno.ENOENT, os.strerror(errno.ENOENT), path) from error


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
    count = tx.write_ply(args.output, read_points(args.folder))
    print(f"wrote {count} points to {args.output}")
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
