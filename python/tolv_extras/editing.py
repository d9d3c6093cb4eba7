"""filter_points and filter_images: a model without some of its points or images, both
sides of every observation kept in step, in whole-array numpy operations (no Python
loop over points or observations)."""

from __future__ import annotations

import operator
from typing import TYPE_CHECKING, Any, Dict, NamedTuple

from . import _model_io
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
# COLMAP's sensor type of a camera, whose frame data name images.
_CAMERA_SENSOR = 0


class _Kept(NamedTuple):
    """What stays of a model's observations, in the native pass's one sweep."""

    elements: Any  # (E,) bool: valid, and its image and point stay
    track_lengths: Any  # (N,) int64: the point's kept elements (0 where it goes)
    points: Any  # (N,) bool: the point stays (kept and with enough kept elements)
    point3D_ids: Any  # (kept images' 2D points,) uint64: the id, invalid where unobserved


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
    keep's length is not the number of points; both name the argument. ValueError
    naming the column, too, when an offsets column (points2D_offsets, track_offsets)
    does not cut its columns into one row per id.
    """
    np = _numpy("filter_points")
    _require_model(model)
    points, images = model.points, model.images
    point_keep = _row_mask(np, keep, len(points.ids), "keep", "point")
    kept = _kept(np, images, points, np.ones(len(images.ids), bool), point_keep, 0)
    return model._replace(points=_points_rows(np, points, kept),
                          images=images._replace(point3D_ids=kept.point3D_ids))


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
    min_track_length is negative; each names the argument. Offsets columns are
    checked as by filter_points.
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
    kept = _kept(np, images, points, image_keep, np.ones(len(points.ids), bool), least)
    if not image_keep.all():
        # Every column but the ids, which the native pass gave for the kept images.
        columns = {**images._asdict(), "point3D_ids": None}
        images = ImagesArrays(**take_rows(np, columns, _RAGGED["images"], image_keep))
    images = images._replace(point3D_ids=kept.point3D_ids)
    frames = model.frames
    if frames is not None:
        frames = _frames_of(np, frames, images.ids)
    return model._replace(points=_points_rows(np, points, kept), images=images, frames=frames)


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


def _kept(np: Any, images: ImagesArrays, points: PointsArrays, image_keep: Any,
          point_keep: Any, least: int) -> _Kept:
    """The observations that stay when only the images in image_keep and the points in
    point_keep may, a point needing least of them; only valid ones can: their image
    exists and holds their 2D point, which names their point."""
    # A missing image maps to the row past the last.
    image_rows = _rows_or_past_end(images.ids, points.track_image_ids)
    image_keep = _column(np, image_keep, np.uint8)
    # Offsets out of step are refused by the native pass, which names them.
    counts = np.diff(images.points2D_offsets)
    kept_2D_points = int(counts[image_keep != 0].sum()) if len(counts) == len(image_keep) else 0
    point3D_ids = np.empty(max(kept_2D_points, 0), np.uint64)
    elements, lengths, kept_points = _model_io.kept_observations(
        _column(np, images.point3D_ids, np.uint64), _column(np, images.points2D_offsets, np.int64),
        image_keep, _column(np, points.ids, np.uint64),
        _column(np, points.track_offsets, np.int64), _column(np, point_keep, np.uint8),
        _column(np, image_rows, np.int64), _point2D_indices(np, points.track_point2D_idxs),
        min(least, len(points.track_point2D_idxs) + 1), point3D_ids)
    return _Kept(elements=np.frombuffer(elements, np.bool_),
                 track_lengths=np.frombuffer(lengths, np.int64),
                 points=np.frombuffer(kept_points, np.bool_), point3D_ids=point3D_ids)


def _column(np: Any, column: Any, dtype: Any) -> Any:
    """column as a contiguous array of dtype (itself when it is one already); ids of
    another integer type wrap as astype wraps them, as the 2D points' ids do."""
    return np.ascontiguousarray(np.asarray(column).astype(dtype, copy=False))


def _point2D_indices(np: Any, indices: Any) -> Any:
    """The track elements' 2D point indices as uint32, the largest one where an index
    of another type does not fit (no image holds that many 2D points)."""
    values = np.asarray(indices)
    if values.dtype == np.uint32:
        return np.ascontiguousarray(values)
    fits = (values >= 0) & (values <= 0xFFFFFFFF)
    return np.where(fits, values, 0xFFFFFFFF).astype(np.uint32)


def _rows_or_past_end(ids: Any, wanted: Any) -> Any:
    """The row of each wanted id in ids, len(ids) for an id that ids lacks."""
    return rows_of(ids, wanted, missing=len(ids))


def _points_rows(np: Any, points: PointsArrays, kept: _Kept) -> PointsArrays:
    """The kept points with their kept track elements; points itself when that is all."""
    if kept.points.all() and kept.elements.all():
        return points
    return PointsArrays(**take_rows(
        np, points._asdict(), _RAGGED["points"], kept.points, {"track_offsets": kept.elements},
        {"track_offsets": kept.track_lengths}))


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

