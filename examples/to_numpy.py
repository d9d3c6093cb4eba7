"""Turns a COLMAP sparse reconstruction into numpy arrays.

    python examples/to_numpy.py FOLDER

Points: ids, N x 3 float64 positions, N x 3 uint8 colours, reprojection errors and
track lengths. Images: ids, names, world-to-camera 3 x 4 matrices [R | t] and camera
centres -R^T t. Cameras: ids, model names, sizes, parameters (padded with NaN to the
longest model) and the 3 x 3 matrix K where the model has one (NaN elsewhere).
Prints the shapes and how long loading and converting took.

Every attribute access of a record builds new Python objects, so the speed is in
touching each attribute once and streaming the values straight into numpy with
np.fromiter instead of building nested lists first.
"""

from __future__ import annotations

import argparse
import itertools
import math
import sys
import time
from operator import attrgetter
from typing import Iterable, List, Mapping, NamedTuple, Sequence, Tuple, Union

import numpy as np
import numpy.typing as npt

import tolv

# Camera models whose parameters start with the focal lengths and principal point
# of a plain pinhole; tolv's K() is defined for exactly these two.
MODELS_WITH_K = ("Simple Pinhole", "Pinhole")


class PointArrays(NamedTuple):
    ids: npt.NDArray[np.uint64]  # (N,)
    xyz: npt.NDArray[np.float64]  # (N, 3) world coordinates
    rgb: npt.NDArray[np.uint8]  # (N, 3)
    error: npt.NDArray[np.float64]  # (N,) reprojection error, pixels
    track_length: npt.NDArray[np.int64]  # (N,) observations per point


class ImageArrays(NamedTuple):
    ids: npt.NDArray[np.uint32]  # (M,)
    camera_ids: npt.NDArray[np.uint32]  # (M,)
    names: List[str]  # M names, decoded from UTF-8 where they are
    cam_from_world: npt.NDArray[np.float64]  # (M, 3, 4): x_cam = [R | t] @ [X; 1]
    centers: npt.NDArray[np.float64]  # (M, 3) camera centres in world coordinates


class CameraArrays(NamedTuple):
    ids: npt.NDArray[np.uint32]  # (C,)
    models: List[str]  # C model names
    size: npt.NDArray[np.uint64]  # (C, 2) width, height
    params: npt.NDArray[np.float64]  # (C, P), P the longest parameter list, NaN padded
    K: npt.NDArray[np.float64]  # (C, 3, 3), NaN for models without a K


def floats(values: Iterable[float], count: int) -> npt.NDArray[np.float64]:
    return np.fromiter(values, np.float64, count)


def flat(rows: Iterable[Iterable[float]]) -> Iterable[float]:
    return itertools.chain.from_iterable(rows)


def point_arrays(points3D: Mapping[int, tolv.Point3D]) -> PointArrays:
    n = len(points3D)
    records = list(points3D.values())
    colors = map(attrgetter("r", "g", "b"), map(attrgetter("color"), records))
    return PointArrays(
        ids=np.fromiter(points3D.keys(), np.uint64, n),
        xyz=floats(flat(map(attrgetter("xyz"), records)), 3 * n).reshape(n, 3),
        rgb=np.fromiter(flat(colors), np.uint8, 3 * n).reshape(n, 3),
        error=floats(map(attrgetter("error"), records), n),
        track_length=np.fromiter(map(len, map(attrgetter("track"), records)), np.int64, n),
    )


def display_name(name: str) -> str:
    """tolv reads each name byte as one character; undo that for UTF-8 names."""
    try:
        return name.encode("latin-1").decode("utf-8")
    except UnicodeDecodeError:
        return name


def image_arrays(images: Mapping[int, tolv.Image]) -> ImageArrays:
    m = len(images)
    records = list(images.values())
    rotations = floats(flat(row for image in records for row in image.rot), 9 * m).reshape(m, 3, 3)
    translations = floats(flat(map(attrgetter("trans"), records)), 3 * m).reshape(m, 3)
    # centre = -R^T t, for all images at once
    centers = -np.einsum("mji,mj->mi", rotations, translations)
    return ImageArrays(
        ids=np.fromiter(images.keys(), np.uint32, m),
        camera_ids=np.fromiter(map(attrgetter("camera_id"), records), np.uint32, m),
        names=[display_name(image.name) for image in records],
        cam_from_world=np.concatenate([rotations, translations[:, :, None]], axis=2),
        centers=centers,
    )


def camera_arrays(cameras: Mapping[int, tolv.Camera]) -> CameraArrays:
    c = len(cameras)
    records = list(cameras.values())
    param_lists = [camera.params for camera in records]
    params = np.full((c, max(map(len, param_lists), default=0)), math.nan)
    K = np.full((c, 3, 3), math.nan)
    for row, (camera, values) in enumerate(zip(records, param_lists)):
        params[row, :len(values)] = values
        if camera.model_id in MODELS_WITH_K:
            K[row] = camera.K()
    return CameraArrays(
        ids=np.fromiter(cameras.keys(), np.uint32, c),
        models=[camera.model_id for camera in records],
        size=np.array([(camera.width, camera.height) for camera in records],
                      dtype=np.uint64).reshape(c, 2),
        params=params,
        K=K,
    )


AnyArrays = Union[PointArrays, ImageArrays, CameraArrays]


def describe(name: str, arrays: AnyArrays) -> List[str]:
    lines = [name]
    for field, value in zip(arrays._fields, arrays):
        if isinstance(value, np.ndarray):
            shape, kind = str(value.shape), str(value.dtype)
        elif isinstance(value, list):
            shape, kind = f"({len(value)},)", "list of str"
        else:
            continue
        lines.append(f"  {field:<15} {shape:<15} {kind}")
    return lines


def clocks() -> Tuple[float, float]:
    """Wall time and this process's CPU time: on a busy machine the CPU time is the steadier."""
    return time.perf_counter(), time.process_time()


def elapsed(since: Tuple[float, float], until: Tuple[float, float]) -> str:
    wall, cpu = (1e3 * (b - a) for a, b in zip(since, until))
    return f"{wall:.0f} ms (CPU {cpu:.0f} ms)"


def parse_args(argv: Sequence[str]) -> argparse.Namespace:
    parser = argparse.ArgumentParser(
        prog="to_numpy.py", description="A COLMAP sparse reconstruction as numpy arrays.")
    parser.add_argument("folder", metavar="FOLDER",
                        help="folder with cameras.bin, images.bin and points3D.bin")
    return parser.parse_args(argv)


def main(argv: Sequence[str]) -> int:
    args = parse_args(argv)
    start = clocks()
    cameras, images, points3D = tolv.read_reconstruction_bin(args.folder)
    loaded = clocks()
    arrays: List[Tuple[str, AnyArrays]] = [
        ("points", point_arrays(points3D)), ("images", image_arrays(images)),
        ("cameras", camera_arrays(cameras))]
    converted = clocks()
    for name, value in arrays:
        print("\n".join(describe(name, value)))
    print(f"load {elapsed(start, loaded)}, to numpy {elapsed(loaded, converted)}")
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
