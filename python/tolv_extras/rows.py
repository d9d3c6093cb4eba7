"""rows_of: from ids to the rows that hold them, vectorised (track image ids to image
rows, a 2D point's 3D point id to a point row)."""

from __future__ import annotations

from typing import TYPE_CHECKING, Any, Optional

from ._numpy import missing_numpy

if TYPE_CHECKING:
    import numpy as np
    import numpy.typing as npt

# A table indexed by id is used when it is no larger than this many entries per row.
_DENSE_FACTOR = 4


def rows_of(ids: "npt.ArrayLike", wanted: "npt.ArrayLike",
            missing: Optional[int] = None) -> "npt.NDArray[np.int64]":
    """The row of each id of wanted in ids (a table's ids, each at most once), as int64.

    rows_of(model.images.ids, model.points.track_image_ids) gives each track element's
    image row. An id that ids lacks raises KeyError naming it, or becomes missing when
    that is given (e.g. -1). Runs in O(len(ids) + len(wanted)) for compact ids (an
    index table) and O((len(ids) + len(wanted)) log len(ids)) otherwise.
    """
    try:
        import numpy as np
    except ImportError as absent:
        raise missing_numpy("rows_of") from absent
    keys = np.asarray(ids)
    query = np.asarray(wanted)
    if keys.ndim != 1:
        raise ValueError(f"ids must be one-dimensional, not of shape {keys.shape}")
    negative = None
    if keys.dtype.kind in "ui" and query.dtype.kind in "ui":
        # Compared as unsigned: mixing signed and unsigned would go through float64.
        # Unsigned queries of any width are compared as they are (no copy).
        if query.dtype.kind == "i":
            negative = query < 0
            query = np.where(negative, 0, query).astype(np.uint64)
        keys = keys.astype(np.uint64, copy=False)
    if len(keys) == 0:
        found = np.zeros(query.shape, bool)
        rows = np.zeros(query.shape, np.int64)
    elif keys.dtype == np.uint64 and int(keys.max()) < _DENSE_FACTOR * len(keys) + 1024:
        rows, found = _dense_rows(np, keys, query)
    else:
        rows, found = _sorted_rows(np, keys, query)
    if negative is not None:
        found &= ~negative
    if not bool(found.all()):
        if missing is None:
            absent_id = np.asarray(wanted)[~found].flat[0]
            raise KeyError(f"id {int(absent_id)} is not among the ids")
        rows = np.where(found, rows, missing)
    return rows


def _dense_rows(np: Any, keys: Any, query: Any) -> Any:
    table = np.full(int(keys.max()) + 1, -1, np.int64)
    table[keys] = np.arange(len(keys), dtype=np.int64)
    if query.size == 0 or int(query.max()) < len(table):
        rows = table[query]  # every query inside the table: one gather
    else:
        inside = query < len(table)
        rows = np.where(inside, table[np.where(inside, query, 0)], -1)
    return rows, rows >= 0


def _sorted_rows(np: Any, keys: Any, query: Any) -> Any:
    order = np.argsort(keys, kind="stable")
    sorted_keys = keys[order]
    places = np.searchsorted(sorted_keys, query)
    clipped = np.minimum(places, len(keys) - 1)
    found = sorted_keys[clipped] == query
    return order[clipped].astype(np.int64), found
