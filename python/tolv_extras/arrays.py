"""The array records of a model (PointsArrays, ImagesArrays, CamerasArrays), and tolv's
records as such arrays, rows sorted by id (read_model fills the same records straight
from the files, rows in file order).

Every attribute access of a tolv record builds new Python objects, so each function
reads each attribute of each record once and streams the values straight into
preallocated arrays (np.fromiter), never through nested Python lists. Variable-length
lists (tracks, an image's 3D point ids) become one compressed index: offsets of length
N + 1 and one flat array, row k's entries in [offsets[k], offsets[k + 1]).
"""

from __future__ import annotations

import array
import math
from itertools import chain
from operator import attrgetter
from typing import (
    TYPE_CHECKING,
    Any,
    Callable,
    Iterable,
    Iterator,
    List,
    Mapping,
    NamedTuple,
    Optional,
    Sequence,
    Tuple,
    TypeVar,
)

import tolv

from ._arguments import require_records
from ._numpy import missing_numpy
from .models import calibration_matrix, colmap_model_id
from .names import name_bytes
from .poses import quaternion

if TYPE_CHECKING:
    import numpy as np
    import numpy.typing as npt

Record = TypeVar("Record")
# Lists are gathered this many records at a time: one batch of them alive at once, and
# small enough to stay in cache.
_BATCH = 256


class PointsArrays(NamedTuple):
    """points_arrays' and read_model's N points: rows sorted by point id from
    points_arrays, in file order from read_model.

    ids: (N,) point ids
    xyz: (N, 3) world coordinates
    rgb: (N, 3) colours, red, green, blue
    error: (N,) reprojection errors in pixels
    track_offsets: (N + 1,) point k's track is entries track_offsets[k] to
        track_offsets[k + 1] - 1 of the two arrays below
    track_image_ids: (T,) the image of each track element
    track_point2D_idxs: (T,) the index of each track element's 2D point in its image
    """

    ids: npt.NDArray[np.uint64]
    xyz: npt.NDArray[np.float64]
    rgb: npt.NDArray[np.uint8]
    error: npt.NDArray[np.float64]
    track_offsets: npt.NDArray[np.int64]
    track_image_ids: npt.NDArray[np.uint32]
    track_point2D_idxs: npt.NDArray[np.uint32]


class ImagesArrays(NamedTuple):
    """images_arrays' and read_model's M images: rows sorted by image id from
    images_arrays, in file order from read_model.

    ids: (M,) image ids
    camera_ids: (M,) camera ids
    names: M names decoded from UTF-8; bytes that are not UTF-8 as surrogate escapes,
        so os.fsencode(name) gives the stored bytes back
    quaternions: (M, 4) stored world-to-camera quaternions, w x y z
    translations: (M, 3) stored world-to-camera translations t
    cam_from_world: (M, 3, 4) world-to-camera [R | t]: x_cam = R @ X + t
    centers: (M, 3) camera centres in world coordinates, -R^T t
    points2D_offsets: (M + 1,) image k's 2D points are rows points2D_offsets[k] to
        points2D_offsets[k + 1] - 1 of xys and point3D_ids
    xys: (P, 2) each 2D point's x, y in pixels; None from images_arrays (tolv's
        records do not hold them), an array from read_model
    point3D_ids: (P,) the 3D point id of each 2D point, INVALID_POINT3D_ID for none
    """

    ids: npt.NDArray[np.uint32]
    camera_ids: npt.NDArray[np.uint32]
    names: List[str]
    quaternions: npt.NDArray[np.float64]
    translations: npt.NDArray[np.float64]
    cam_from_world: npt.NDArray[np.float64]
    centers: npt.NDArray[np.float64]
    points2D_offsets: npt.NDArray[np.int64]
    xys: Optional[npt.NDArray[np.float64]]
    point3D_ids: npt.NDArray[np.uint64]


class CamerasArrays(NamedTuple):
    """cameras_arrays' and read_model's C cameras: rows sorted by camera id from
    cameras_arrays, in file order from read_model.

    ids: (C,) camera ids
    model_ids: (C,) COLMAP's model ids, 0 to 17 (CAMERA_MODELS names them)
    widths: (C,) image widths in pixels
    heights: (C,) image heights in pixels
    params: (C, P) parameters, P the longest parameter list, padded with NaN
    K: (C, 3, 3) calibration matrices as COLMAP defines them (calibration_matrix);
        NaN for EQUIRECTANGULAR, which has none
    """

    ids: npt.NDArray[np.uint32]
    model_ids: npt.NDArray[np.int32]
    widths: npt.NDArray[np.uint64]
    heights: npt.NDArray[np.uint64]
    params: npt.NDArray[np.float64]
    K: npt.NDArray[np.float64]


def _sorted_by_id(np: Any, records: Mapping[int, Record], ids_type: Any
                  ) -> Tuple[Any, List[Record]]:
    """The ids in increasing order and the records in that order."""
    count = len(records)
    ids = np.fromiter(records.keys(), ids_type, count)
    values = list(records.values())
    if count > 1 and not bool((ids[1:] > ids[:-1]).all()):
        order = np.argsort(ids, kind="stable")
        ids = ids[order]
        values = [values[k] for k in order.tolist()]
    return ids, values


def _floats(np: Any, values: Iterable[float], count: int) -> Any:
    return np.fromiter(values, np.float64, count)


def _flat(rows: Iterable[Iterable[Any]]) -> Iterator[Any]:
    return chain.from_iterable(rows)


def _batches(items: Sequence[Record]) -> Iterator[Sequence[Record]]:
    for start in range(0, len(items), _BATCH):
        yield items[start:start + _BATCH]


def _native_array(typecode: str, itemsize: int) -> "array.array[int]":
    values = array.array(typecode)
    if values.itemsize != itemsize:
        raise RuntimeError(f"array typecode {typecode!r} holds {values.itemsize} bytes here, "
                           f"not {itemsize}")
    return values


Gather = Callable[[Sequence[Any], Callable[[Any], List[Any]], "array.array[int]",
                   "array.array[int]"], None]


def _gather_int_lists(records: Sequence[Record], get: Callable[[Record], List[int]],
                      values: "array.array[int]", lengths: "array.array[int]") -> None:
    for one in map(get, records):  # fromlist reads a list of ints without an iterator
        lengths.append(len(one))
        values.fromlist(one)


def _gather_pair_lists(records: Sequence[Record], get: Callable[[Record], List[Any]],
                       values: "array.array[int]", lengths: "array.array[int]") -> None:
    for batch in _batches(records):
        lists = list(map(get, batch))
        lengths.extend(map(len, lists))
        values.extend(_flat(_flat(lists)))


def _compressed(np: Any, records: Sequence[Record], get: Callable[[Record], List[Any]],
                values_type: Any, gather: Gather) -> Tuple[Any, Any]:
    """Offsets (N + 1, int64) and the flat values of the lists get(record), gathered
    through array.array, whose conversion of ints is faster than np.fromiter's."""
    itemsize = np.dtype(values_type).itemsize
    values = _native_array("I" if itemsize == 4 else "Q", itemsize)
    lengths = _native_array("q", 8)
    gather(records, get, values, lengths)
    offsets = np.zeros(len(records) + 1, np.int64)
    np.cumsum(np.frombuffer(lengths, np.int64), out=offsets[1:])
    return offsets, np.frombuffer(values, values_type).copy()


def cam_from_world_and_centers(quaternions: "npt.NDArray[np.float64]",
                               translations: "npt.NDArray[np.float64]") -> Tuple[Any, Any]:
    """[R | t] (M, 3, 4) and the centres -R^T t (M, 3) from stored quaternions w x y z
    and translations, with R exactly as tolv's Image.rot gives it (the quaternion is
    not normalised; each expression rounds once per operation, in the order written)."""
    import numpy as np

    w, x, y, z = quaternions.T
    x2, y2, z2 = x + x, y + y, z + z
    m = np.empty((len(quaternions), 3, 4))
    m[:, 0, 0] = (1.0 - y * y2) - z * z2
    m[:, 0, 1] = x2 * y - z2 * w
    m[:, 0, 2] = x2 * z + y2 * w
    m[:, 1, 0] = x2 * y + z2 * w
    m[:, 1, 1] = (1.0 - x * x2) - z * z2
    m[:, 1, 2] = y2 * z - x2 * w
    m[:, 2, 0] = x2 * z - y2 * w
    m[:, 2, 1] = y2 * z + x2 * w
    m[:, 2, 2] = (1.0 - x * x2) - y * y2
    m[:, :, 3] = translations
    t0, t1, t2 = translations.T
    centers = np.empty((len(quaternions), 3))
    for i in range(3):
        centers[:, i] = -((m[:, 0, i] * t0 + m[:, 1, i] * t1) + m[:, 2, i] * t2)
    return m, centers


def point_values(np: Any, records: Sequence[tolv.Point3D]) -> Tuple[Any, Any, Any]:
    """xyz (N, 3), rgb (N, 3) and error (N,) of the points, in the order given."""
    n = len(records)
    colors = map(attrgetter("r", "g", "b"), map(attrgetter("color"), records))
    return (_floats(np, _flat(map(attrgetter("xyz"), records)), 3 * n).reshape(n, 3),
            np.fromiter(_flat(colors), np.uint8, 3 * n).reshape(n, 3),
            _floats(np, map(attrgetter("error"), records), n))


def sorted_points(np: Any, points3D: Mapping[int, tolv.Point3D]
                  ) -> Tuple[Any, List[tolv.Point3D]]:
    """The point ids (uint64) in increasing order and the points in that order."""
    return _sorted_by_id(np, require_records(points3D, tolv.Point3D, "points3D"), np.uint64)


def points_arrays(points3D: Mapping[int, tolv.Point3D]) -> PointsArrays:
    """The points as arrays (PointsArrays), sorted by point id; the ids are the keys."""
    try:
        import numpy as np
    except ImportError as missing:
        raise missing_numpy("points_arrays") from missing
    ids, records = sorted_points(np, points3D)
    xyz, rgb, error = point_values(np, records)
    offsets, values = _compressed(np, records, attrgetter("track"), np.uint32,
                                  _gather_pair_lists)
    elements = values.reshape(-1, 2)
    return PointsArrays(
        ids=ids, xyz=xyz, rgb=rgb, error=error, track_offsets=offsets,
        track_image_ids=np.ascontiguousarray(elements[:, 0]),
        track_point2D_idxs=np.ascontiguousarray(elements[:, 1]),
    )


def images_arrays(images: Mapping[int, tolv.Image]) -> ImagesArrays:
    """The images as arrays (ImagesArrays), sorted by image id; the ids are the keys."""
    try:
        import numpy as np
    except ImportError as missing:
        raise missing_numpy("images_arrays") from missing
    ids, records = _sorted_by_id(np, require_records(images, tolv.Image, "images"), np.uint32)
    m = len(records)
    quaternions = _floats(np, _flat(map(quaternion, records)), 4 * m).reshape(m, 4)
    translations = _floats(np, _flat(map(attrgetter("trans"), records)), 3 * m).reshape(m, 3)
    cam_from_world, centers = cam_from_world_and_centers(quaternions, translations)
    offsets, point3D_ids = _compressed(np, records, attrgetter("point3D_ids"), np.uint64,
                                       _gather_int_lists)
    return ImagesArrays(
        ids=ids,
        camera_ids=np.fromiter(map(attrgetter("camera_id"), records), np.uint32, m),
        names=[name_bytes(image).decode("utf-8", "surrogateescape") for image in records],
        quaternions=quaternions, translations=translations,
        cam_from_world=cam_from_world, centers=centers,
        points2D_offsets=offsets, xys=None, point3D_ids=point3D_ids,
    )


def cameras_arrays(cameras: Mapping[int, tolv.Camera]) -> CamerasArrays:
    """The cameras as arrays (CamerasArrays), sorted by camera id; the ids are the keys."""
    try:
        import numpy as np
    except ImportError as missing:
        raise missing_numpy("cameras_arrays") from missing
    ids, records = _sorted_by_id(np, require_records(cameras, tolv.Camera, "cameras"),
                                 np.uint32)
    c = len(records)
    param_lists = [camera.params for camera in records]
    params = np.full((c, max(map(len, param_lists), default=0)), math.nan)
    for row, values in enumerate(param_lists):
        params[row, :len(values)] = values
    return CamerasArrays(
        ids=ids,
        model_ids=np.fromiter(map(colmap_model_id, records), np.int32, c),
        widths=np.fromiter(map(attrgetter("width"), records), np.uint64, c),
        heights=np.fromiter(map(attrgetter("height"), records), np.uint64, c),
        params=params,
        K=np.array([calibration_matrix(camera) for camera in records],
                   dtype=np.float64).reshape(c, 3, 3),
    )
