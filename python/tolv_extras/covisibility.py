"""Each image's most co-visible images, for feature matching and localization: from
tolv's records (covisibility_pairs over tolv.compute_overlaps) or from a whole model as
arrays (covisibility_counts, model_pairs), the same counts and the same pairs."""

from __future__ import annotations

import operator
from typing import TYPE_CHECKING, Any, List, Mapping, NamedTuple, Tuple

import tolv

from . import _model_io
from ._arguments import require_mapping, type_name
from ._numpy import missing_numpy
from .arrays import PointsArrays
from .model_io import Model
from .rows import rows_of

if TYPE_CHECKING:
    import numpy as np
    import numpy.typing as npt

Overlaps = Mapping[int, Mapping[int, int]]
Pair = Tuple[int, int]


class Covisibility(NamedTuple):
    """covisibility_counts' result: the N images seen by some track, as compressed rows.

    image_ids: (N,) uint32 image ids, ascending
    offsets: (N + 1,) int64: image k's partners are entries offsets[k] to
        offsets[k + 1] - 1 of the two arrays below
    partner_ids: (E,) uint32 the partner images, ascending within each row; a row
        holds its own image, with the diagonal count
    counts: (E,) uint64 the counts, never 0, as tolv.compute_overlaps gives them: for
        images a != b the sum over points of c_a c_b, for a itself the sum of
        c_a (c_a + 1), c_x being how often image x occurs in the point's track
    """

    image_ids: npt.NDArray[np.uint32]
    offsets: npt.NDArray[np.int64]
    partner_ids: npt.NDArray[np.uint32]
    counts: npt.NDArray[np.uint64]


def checked_k(k: object) -> int:
    """k as an int of at least 1: TypeError for a bool or a non-integer, ValueError below 1."""
    if isinstance(k, bool):
        raise TypeError("k must be an int, not bool")
    try:
        value = operator.index(k)  # type: ignore[arg-type]
    except TypeError:
        raise TypeError(f"k must be an int, not {type_name(k)}") from None
    if value < 1:
        raise ValueError(f"k must be at least 1, not {value}")
    return value


def top_covisible(overlaps: Overlaps, image_id: int, k: int,
                  known: Mapping[int, object]) -> List[int]:
    """The k images in known sharing most points with image_id, most first, then by id."""
    row = require_mapping(overlaps.get(image_id, {}), f"overlaps[{image_id!r}]")
    candidates = sorted((-shared, other) for other, shared in row.items()
                        if other != image_id and shared > 0 and other in known)
    return [other for _, other in candidates[:k]]


def covisibility_pairs(images: Mapping[int, tolv.Image], overlaps: Overlaps,
                       k: int) -> List[Pair]:
    """For every image, in increasing id order, its k most co-visible images.

    overlaps is tolv.compute_overlaps(points3D). Each image's partners come most shared
    3D points first, ties to the lower image id; the image itself, images sharing
    nothing and images that images lacks (a track may name one) are left out. The
    result depends only on the counts, never on dictionary order. Raises TypeError for
    arguments of the wrong type and ValueError for k below 1.
    """
    images = require_mapping(images, "images")
    overlaps = require_mapping(overlaps, "overlaps")
    k = checked_k(k)
    return [(image_id, other) for image_id in sorted(images)
            for other in top_covisible(overlaps, image_id, k, images)]


def _integer_column(np: Any, values: object, field: str, dtype: Any) -> Any:
    """values as a one-dimensional contiguous array of dtype; TypeError for a
    non-integer array, ValueError for another shape or a value dtype cannot hold."""
    array = np.asarray(values)
    if array.dtype.kind not in "ui":
        raise TypeError(f"points.{field} must be an integer array, not of dtype {array.dtype}")
    if array.ndim != 1:
        raise ValueError(f"points.{field} must be one-dimensional, not of shape {array.shape}")
    if array.dtype != dtype and len(array) != 0:
        limits = np.iinfo(dtype)
        low, high = int(array.min()), int(array.max())
        if low < limits.min or high > limits.max:
            raise ValueError(f"points.{field} holds {low if low < limits.min else high}, "
                             f"outside {np.dtype(dtype).name}")
    return np.ascontiguousarray(array, dtype)


def covisibility_counts(points: PointsArrays) -> Covisibility:
    """The co-visibility counts of the points' tracks (Covisibility), as
    tolv.compute_overlaps counts them, each row of points one track.

    Counted natively with the interpreter lock released; prints nothing. Raises
    TypeError unless points is a PointsArrays of integer track arrays, ValueError
    naming the field when track_offsets is not one more than the points, does not start
    at 0, decreases or does not end at the length of track_image_ids, or when an image
    id does not fit in 32 bits; ImportError without numpy.
    """
    try:
        import numpy as np
    except ImportError as missing:
        raise missing_numpy("covisibility_counts") from missing
    if not isinstance(points, PointsArrays):
        raise TypeError(f"points must be a tolv_extras.PointsArrays, not {type_name(points)}")
    offsets = _integer_column(np, points.track_offsets, "track_offsets", np.int64)
    image_ids = _integer_column(np, points.track_image_ids, "track_image_ids", np.uint32)
    if len(offsets) != len(points.ids) + 1:
        raise ValueError(f"points.track_offsets must hold one more offset than there are "
                         f"points ({len(points.ids) + 1}), not {len(offsets)}")
    try:
        raw = _model_io.covisibility_counts(offsets, image_ids)
    except ValueError as refusal:
        raise ValueError(f"points.{refusal}") from None
    rows, starts, partners, counts = raw
    return Covisibility(np.frombuffer(rows, np.uint32), np.frombuffer(starts, np.int64),
                        np.frombuffer(partners, np.uint32), np.frombuffer(counts, np.uint64))


def model_pairs(model: Model, k: int) -> "npt.NDArray[np.uint32]":
    """For every image of model.images, in increasing id order, its k most co-visible
    images, as a (P, 2) uint32 array of (image id, partner id) rows.

    The same pairs in the same order as covisibility_pairs on the model's records: each
    image's partners come most shared 3D points first, ties to the lower image id; the
    image itself, images sharing nothing and images that model.images lacks (a track
    may name one) are left out. Vectorised over all counts; prints nothing. Raises
    TypeError for arguments of the wrong type, ValueError for k below 1 and for tracks
    out of step with their offsets (covisibility_counts), ImportError without numpy.
    """
    try:
        import numpy as np
    except ImportError as missing:
        raise missing_numpy("model_pairs") from missing
    if not isinstance(model, Model):
        raise TypeError(f"model must be a tolv_extras.Model, not {type_name(model)}")
    k = checked_k(k)
    counts = covisibility_counts(model.points)
    lengths = np.diff(counts.offsets).astype(np.intp)  # 32-bit numpy repeats by intp
    rows = np.repeat(np.arange(len(counts.image_ids), dtype=np.int64), lengths)
    # Every partner has a row of its own (the counts are symmetric): its row number.
    partner_rows = rows_of(counts.image_ids, counts.partner_ids)
    row_known = np.isin(counts.image_ids, np.asarray(model.images.ids, np.uint32))
    keep = (rows != partner_rows) & row_known[rows] & row_known[partner_rows]
    # Within each row, most shared first, the entries left out (as sharing 0) last;
    # a stable sort keeps the row's partners in ascending id order among equal counts.
    # No entry leaves its row, so an entry's rank is its position less the row's start.
    shared = np.where(keep, counts.counts, np.uint64(0))
    if len(shared) == 0 or int(shared.max()) < 2**32:
        # All but the most extreme models: row and count packed into one key, a third
        # of a lexsort's time.
        key = (rows.astype(np.uint64) << np.uint64(32)) | (np.uint64(2**32 - 1) - shared)
        order = np.argsort(key, kind="stable")
    else:
        order = np.lexsort((~shared, rows))
    rank = np.arange(len(rows)) - np.repeat(counts.offsets[:-1], lengths)
    chosen = (rank < k) & keep[order]
    image_ids = counts.image_ids
    return np.stack([image_ids[rows[chosen]], image_ids[partner_rows[order][chosen]]], axis=1)
