"""filter_points and filter_images: a model without some of its points or images, both
sides of every observation kept in step, in whole-array numpy operations (no Python
loop over points or observations)."""

from __future__ import annotations

import operator
from typing import TYPE_CHECKING, Any, Dict, NamedTuple

from ._arguments import type_name
from ._numpy import missing_numpy
from .arrays import ImagesArrays, PointsArrays
from .model_io import FramesArrays, Model, take_rows
from .rows import rows_of

if TYPE_CHECKING:
    import numpy as np
    import numpy.typing as npt

# Each table's columns cut into rows by an offsets column: column -> its offsets.
_RAGGED = {
    "images": {"xys": "points2D_offsets", "point3D_ids": "points2D_offsets"},
    "points": {"track_image_ids": "track_offsets", "track_point2D_idxs": "track_offsets"},
    "frames": {"data_sensor_types": "data_offsets", "data_sensor_ids": "data_offsets",
               "data_ids": "data_offsets"},
}
# 2D points per block when their ids are rewritten.
_BLOCK = 1 << 18
# COLMAP's sensor type of a camera, whose frame data name images.
_CAMERA_SENSOR = 0


class _Observations(NamedTuple):
    """Each track element of the model, in track order."""

    valid: Any  # (E,) bool: its image exists, holds its 2D point, and that names the point
    point2D_rows: Any  # (E,) int64: its 2D point's row in xys and point3D_ids, where valid
    image_rows: Any  # (E,) int64: its image's row, len(images.ids) if the image is missing


def filter_points(model: Model, keep: "npt.ArrayLike") -> Model:
    """model without the 3D points whose entry of keep is False (a new Model).

    keep: one bool per row of model.points, in row order (a numpy bool array or a
    sequence of bools). The kept points keep their rows' order and their tracks; every
    2D point that observed a removed point gets INVALID_POINT3D_ID (its x, y and its
    place in the image stay). point3D_ids and the points table are new arrays (the
    points table is the input's own when it is left as it was); cameras, the images'
    other columns, rigs and frames are the input's own arrays. model itself is never
    written to, and every dtype is read_model's.

    Observations are kept consistent on both sides, also for a model that was not: a
    track element whose image is not in the model, whose 2D point index is past that
    image's 2D points, or whose 2D point names another point (or none) leaves the track;
    a 2D point naming a point that does not exist, or whose track does not list it,
    gets INVALID_POINT3D_ID. Points and images are never removed for that, and an
    element that a track lists twice stays twice.

    Raises TypeError when model is not a Model or keep is not boolean, ValueError when
    keep's length is not the number of points; both name the argument.
    """
    np = _numpy("filter_points")
    _require_model(model)
    points, images = model.points, model.images
    point_keep = _row_mask(np, keep, len(points.ids), "keep", "point")
    seen = _observations(np, images, points)
    element_keep = seen.valid & np.repeat(point_keep, _lengths(np, points.track_offsets))
    point3D_ids = _drop_unobserved(np, images.point3D_ids,
                                   _observed(np, images, seen, element_keep))
    # Tracks that were whole stay whole: their lengths need no counting.
    lengths = np.diff(points.track_offsets) if seen.valid.all() else None
    return model._replace(points=_points_rows(np, points, point_keep, element_keep, lengths),
                          images=images._replace(point3D_ids=point3D_ids))


def filter_images(model: Model, keep: "npt.ArrayLike", min_track_length: int = 2) -> Model:
    """model without the images whose entry of keep is False (a new Model).

    keep: one bool per row of model.images, in row order (a numpy bool array or a
    sequence of bools). The removed images' observations leave every track; a point
    whose track then has fewer than min_track_length observations (track elements, an
    image that sees the point twice counting twice) is removed as filter_points removes
    it, whether or not it lost any: 0 keeps every point, 2 (the default) removes what
    COLMAP removes when it drops images, and points that had shorter tracks before.

    Frames keep naming only images that exist: a camera datum (sensor type 0) whose
    image is not in the result leaves its frame, and a frame that so loses every camera
    datum it had is removed, IMU data included, as COLMAP leaves no frame behind whose
    images are all gone; a frame without camera data in the input stays.

    Rows keep their order. point3D_ids is a new array; so is every other column of a
    table that lost rows or track elements, while a table (or, when every image stays,
    an image column) left as it was is the input's own, as are cameras and rigs. model
    itself is never written to, and every dtype is read_model's.

    Input whose observations disagree on their two sides is made consistent as
    filter_points does.

    Raises TypeError when model is not a Model, keep is not boolean or min_track_length
    is not an int; ValueError when keep's length is not the number of images or
    min_track_length is negative; each names the argument.
    """
    np = _numpy("filter_images")
    _require_model(model)
    if isinstance(min_track_length, bool):
        raise TypeError("min_track_length must be an int, not bool")
    try:
        least = operator.index(min_track_length)
    except TypeError:
        raise TypeError(f"min_track_length must be an int, not "
                        f"{type_name(min_track_length)}") from None
    if least < 0:
        raise ValueError(f"min_track_length must be 0 or more, not {least}")
    points, images = model.points, model.images
    image_keep = _row_mask(np, keep, len(images.ids), "keep", "image")
    seen = _observations(np, images, points)
    # The missing image's row (len(images.ids)) is not kept.
    element_keep = seen.valid & np.append(image_keep, False)[seen.image_rows]
    track_lengths = _kept_lengths(np, points.track_offsets, element_keep)
    point_keep = track_lengths >= least
    element_keep &= np.repeat(point_keep, _lengths(np, points.track_offsets))
    observed = _observed(np, images, seen, element_keep)
    if not image_keep.all():
        observed = observed[np.repeat(image_keep, _lengths(np, images.points2D_offsets))]
        images = ImagesArrays(**take_rows(np, images._asdict(), _RAGGED["images"], image_keep))
    # The ids taken with the rows are a new array already, so they are rewritten in place.
    images = images._replace(point3D_ids=_drop_unobserved(
        np, images.point3D_ids, observed, in_place=not image_keep.all()))
    frames = model.frames
    if frames is not None:
        frames = _frames_of(np, frames, images.ids)
    return model._replace(
        points=_points_rows(np, points, point_keep, element_keep, track_lengths),
        images=images, frames=frames)


def _numpy(function: str) -> Any:
    try:
        import numpy
    except ImportError as missing:
        raise missing_numpy(function) from missing
    return numpy


def _require_model(model: object) -> None:
    if not isinstance(model, Model):
        raise TypeError(f"model must be a tolv_extras.Model (as read_model returns), "
                        f"not {type_name(model)}")


def _row_mask(np: Any, keep: "npt.ArrayLike", rows: int, argument: str,
              kind: str) -> "npt.NDArray[np.bool_]":
    mask = np.asarray(keep)
    if mask.dtype != np.bool_:
        raise TypeError(f"{argument} must be an array of bool, one per {kind} row, "
                        f"not of dtype {mask.dtype}")
    if mask.shape != (rows,):
        raise ValueError(f"{argument} must hold one bool per {kind} row, {rows}, "
                         f"not an array of shape {mask.shape}")
    result: npt.NDArray[np.bool_] = mask
    return result


def _lengths(np: Any, offsets: "npt.NDArray[np.int64]") -> Any:
    return np.diff(offsets).astype(np.intp)  # np.repeat takes intp counts (32-bit numpy)


def _kept_lengths(np: Any, offsets: "npt.NDArray[np.int64]", element_keep: Any) -> Any:
    """The number of kept elements in each row: running counts at the row bounds."""
    running = np.zeros(len(element_keep) + 1, np.int64)
    np.cumsum(element_keep, out=running[1:])
    return running[offsets[1:]] - running[offsets[:-1]]


def _observations(np: Any, images: ImagesArrays, points: PointsArrays) -> _Observations:
    """Where each track element's 2D point is, and whether it observes the point."""
    # A missing image maps to the row past the last: no 2D points, its offset the end.
    image_rows = _rows_or_past_end(images.ids, points.track_image_ids)
    offsets = images.points2D_offsets
    counts = np.append(np.diff(offsets), 0)
    indices = points.track_point2D_idxs
    valid = indices < counts[image_rows]
    rows = offsets[image_rows] + indices
    if len(images.point3D_ids):
        element_ids = np.repeat(points.ids.astype(np.uint64, copy=False),
                                _lengths(np, points.track_offsets))
        # Rows of elements that are not valid may lie past the end (or, cast to a 32-bit
        # intp, wrap): clipped, never used. np.take wants intp indices on 32-bit numpy.
        gathered = np.take(images.point3D_ids, rows.astype(np.intp, copy=False), mode="clip")
        valid &= gathered == element_ids
    return _Observations(valid=valid, point2D_rows=rows, image_rows=image_rows)


def _rows_or_past_end(ids: Any, wanted: Any) -> Any:
    """The row of each wanted id in ids, len(ids) for an id that ids lacks."""
    return rows_of(ids, wanted, missing=len(ids))


def _drop_unobserved(np: Any, point3D_ids: Any, observed: Any, in_place: bool = False) -> Any:
    """A new uint64 array (point3D_ids itself when in_place and it is uint64):
    point3D_ids where observed is True, the invalid id elsewhere.
    Without a branch per 2D point (random masks make numpy's masked writes several
    times slower): the invalid id, 2**64 - 1, has every bit set, so each entry is or-ed
    with observed - 1, all ones where False; in blocks, so the temporary stays small and
    in cache."""
    same = in_place and point3D_ids.dtype == np.uint64
    out = point3D_ids if same else np.empty(len(point3D_ids), np.uint64)
    for start in range(0, len(point3D_ids), _BLOCK):
        block = slice(start, start + _BLOCK)
        ones_where_unobserved = np.subtract(observed[block], np.uint64(1), dtype=np.uint64)
        np.bitwise_or(point3D_ids[block], ones_where_unobserved, out=out[block],
                      casting="unsafe")
    return out


def _observed(np: Any, images: ImagesArrays, seen: _Observations, element_keep: Any) -> Any:
    """(2D points,) bool: whether a kept track element observes each 2D point."""
    observed = np.zeros(len(images.point3D_ids), bool)
    observed[seen.point2D_rows[element_keep]] = True
    return observed


def _points_rows(np: Any, points: PointsArrays, point_keep: Any, element_keep: Any,
                 track_lengths: Any = None) -> PointsArrays:
    """The kept points with their kept track elements; points itself when that is all."""
    if point_keep.all() and element_keep.all():
        return points
    return PointsArrays(**take_rows(
        np, points._asdict(), _RAGGED["points"], point_keep, {"track_offsets": element_keep},
        None if track_lengths is None else {"track_offsets": track_lengths}))


def _frames_of(np: Any, frames: FramesArrays, image_ids: Any) -> FramesArrays:
    """The frames with camera data of the images in image_ids only."""
    camera = frames.data_sensor_types == _CAMERA_SENSOR
    present = np.zeros(len(camera), bool)
    present[camera] = _rows_or_past_end(image_ids, frames.data_ids[camera]) < len(image_ids)
    data_keep = ~camera | present
    lengths = _lengths(np, frames.data_offsets)
    had_camera = _kept_lengths(np, frames.data_offsets, camera) > 0
    has_camera = _kept_lengths(np, frames.data_offsets, camera & present) > 0
    frame_keep = has_camera | ~had_camera
    data_keep &= np.repeat(frame_keep, lengths)
    if data_keep.all():
        return frames
    columns: Dict[str, Any] = frames._asdict()
    return FramesArrays(**take_rows(np, columns, _RAGGED["frames"], frame_keep,
                                    {"data_offsets": data_keep}))

