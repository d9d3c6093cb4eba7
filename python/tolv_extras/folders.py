"""Reading a reconstruction folder from any path, with the missing file named."""

from __future__ import annotations

import errno
import os
from typing import Dict, Tuple

import tolv

from ._arguments import StrPath, text_path

FILES = ("cameras.bin", "images.bin", "points3D.bin")

Reconstruction = Tuple[Dict[int, tolv.Camera], Dict[int, tolv.Image], Dict[int, tolv.Point3D]]


def read_reconstruction(folder: StrPath) -> Reconstruction:
    """tolv.read_reconstruction_bin for a str or os.PathLike folder: (cameras, images,
    points3D).

    A folder that lacks one of the three files raises FileNotFoundError naming that
    file (its filename attribute is the missing path), where the module's own error
    names none. Everything else is as tolv.read_reconstruction_bin, progress lines and
    PanicException for malformed data included.
    """
    path = text_path(folder, "folder")
    try:
        return tolv.read_reconstruction_bin(path)
    except FileNotFoundError as error:
        missing = [name for name in FILES if not os.path.exists(os.path.join(path, name))]
        if not missing:
            raise
        where = os.path.join(path, missing[0])
        raise FileNotFoundError(errno.ENOENT, os.strerror(errno.ENOENT), where) from error
