"""read_model: a whole COLMAP model, binary or text, as numpy arrays straight from its
files. The native part parses the files with the interpreter lock released and hands
over its buffers; numpy wraps them without a copy."""

from __future__ import annotations

import errno
import os
from typing import TYPE_CHECKING, Any, Dict, List, Mapping, NamedTuple, Optional, Tuple

from . import _model_io
from ._arguments import text_path
from ._numpy import missing_numpy
from .arrays import CamerasArrays, ImagesArrays, PointsArrays, cam_from_world_and_centers
from .errors import format_error
from .models import calibration_matrices

if TYPE_CHECKING:
    import numpy as np
    import numpy.typing as npt

_model_io.set_format_error_factory(format_error)

FILES = {
    "bin": ("cameras.bin", "images.bin", "points3D.bin"),
    "txt": ("cameras.txt", "images.txt", "points3D.txt"),
}
RIG_FILES = {"bin": ("rigs.bin", "frames.bin"), "txt": ("rigs.txt", "frames.txt")}
FORMAT_NAMES = {"bin": "binary", "txt": "text"}


class RigsArrays(NamedTuple):
    """R rigs, rows in file order.

    ids: (R,) rig ids
    sensor_offsets: (R + 1,) rig k's sensors are rows sensor_offsets[k] to
        sensor_offsets[k + 1] - 1 of the sensor arrays, its reference sensor first
        (a rig may have no sensors)
    sensor_types: (S,) COLMAP's sensor types: -1 invalid, 0 camera, 1 IMU
    sensor_ids: (S,) each sensor's id (for a camera, its camera id)
    has_pose: (S,) the stored has-pose flag, 0 or 1; 0 for reference sensors
    sensor_quaternions: (S, 4) sensor_from_rig rotations w x y z; NaN without a pose
    sensor_translations: (S, 3) sensor_from_rig translations; NaN without a pose
    """

    ids: npt.NDArray[np.uint32]
    sensor_offsets: npt.NDArray[np.int64]
    sensor_types: npt.NDArray[np.int32]
    sensor_ids: npt.NDArray[np.uint32]
    has_pose: npt.NDArray[np.uint8]
    sensor_quaternions: npt.NDArray[np.float64]
    sensor_translations: npt.NDArray[np.float64]


class FramesArrays(NamedTuple):
    """F frames, rows in file order.

    ids: (F,) frame ids
    rig_ids: (F,) each frame's rig
    quaternions: (F, 4) rig_from_world rotations w x y z, as stored
    translations: (F, 3) rig_from_world translations, as stored
    data_offsets: (F + 1,) frame k's data are rows data_offsets[k] to
        data_offsets[k + 1] - 1 of the data arrays
    data_sensor_types: (D,) the sensor type of each datum (0 camera, 1 IMU)
    data_sensor_ids: (D,) the sensor of each datum
    data_ids: (D,) each datum's id: an image id for a camera
    """

    ids: npt.NDArray[np.uint32]
    rig_ids: npt.NDArray[np.uint32]
    quaternions: npt.NDArray[np.float64]
    translations: npt.NDArray[np.float64]
    data_offsets: npt.NDArray[np.int64]
    data_sensor_types: npt.NDArray[np.int32]
    data_sensor_ids: npt.NDArray[np.uint32]
    data_ids: npt.NDArray[np.uint64]


class Model(NamedTuple):
    """A whole model as read by read_model; rigs and frames are None when the folder
    has no such file."""

    cameras: CamerasArrays
    images: ImagesArrays
    points: PointsArrays
    rigs: Optional[RigsArrays]
    frames: Optional[FramesArrays]


def _present(folder: str, names: Tuple[str, ...]) -> bool:
    return all(os.path.exists(os.path.join(folder, name)) for name in names)


def _model_subfolders(folder: str) -> List[str]:
    try:
        entries = sorted(os.listdir(folder))
    except OSError:
        return []
    return [entry for entry in entries
            if any(_present(os.path.join(folder, entry), files) for files in FILES.values())]


def _not_found(path: str, message: str) -> FileNotFoundError:
    return FileNotFoundError(errno.ENOENT, message, path)


def _no_model(folder: str, format: Optional[str]) -> OSError:
    """Why the folder holds no model of the format asked for, and where one is."""
    if os.path.exists(folder) and not os.path.isdir(folder):
        return NotADirectoryError(errno.ENOTDIR, "Not a folder: read_model takes the folder "
                                  "that holds the model's files", folder)
    if not os.path.isdir(folder):
        return _not_found(folder, "No such folder")
    wanted = [format] if format else list(FILES)
    others = [other for other in FILES if other not in wanted and _present(folder, FILES[other])]
    if others:
        other = others[0]
        return _not_found(
            os.path.join(folder, FILES[format or "bin"][0]),
            f"No {FORMAT_NAMES[format or 'bin']} model in this folder, but a "
            f"{FORMAT_NAMES[other]} one: read_model(folder, format={other!r})")
    subfolders = _model_subfolders(folder)
    if subfolders:
        listed = ", ".join(subfolders)
        return _not_found(
            folder, f"No model in this folder itself, but in its sub-folders {listed}: "
            f"read_model(os.path.join(folder, {subfolders[0]!r}))")
    candidates = [FILES[f] for f in wanted]
    partial = [names for names in candidates
               if any(os.path.exists(os.path.join(folder, name)) for name in names)]
    for name in (partial or candidates)[0]:
        path = os.path.join(folder, name)
        if not os.path.exists(path):
            return _not_found(path, "No such file or directory")
    return _not_found(folder, "No model in this folder")


def _model_paths(folder: str, format: Optional[str]) -> Tuple[str, List[str], List[Optional[str]]]:
    if format is None:
        format = next((f for f, names in FILES.items() if _present(folder, names)), None)
        if format is None:
            raise _no_model(folder, None)
    elif format not in FILES:
        raise ValueError(f"format must be 'bin', 'txt' or None, not {format!r}")
    elif not _present(folder, FILES[format]):
        raise _no_model(folder, format)
    paths = [os.path.join(folder, name) for name in FILES[format]]
    extra = [os.path.join(folder, name) for name in RIG_FILES[format]]
    return format, paths, [path if os.path.exists(path) else None for path in extra]


def read_model(folder: "str | os.PathLike[str]", format: Optional[str] = None) -> Model:
    """The model in folder, every file of it, as numpy arrays (Model).

    format: "bin", "txt" or None, which reads the binary model when cameras.bin,
    images.bin and points3D.bin are all there, else the text model when the three .txt
    files are. rigs and frames are read when the folder has them, else None.

    Rows are in the order the records are stored in the files; each table's ids give
    each row's id (rows_of maps ids to rows). When an id is stored twice, the later
    record replaces the earlier one: the earlier row is left out. Values are what COLMAP
    reads: binary fields bit for bit, text numbers correctly rounded, "-1" as a 2D
    point's 3D point id becoming INVALID_POINT3D_ID; names decoded from UTF-8, other
    bytes as surrogate escapes (name.encode("utf-8", "surrogateescape") gives the stored
    bytes). Prints nothing; the files are read with the interpreter lock released.

    Raises FileNotFoundError (its filename the missing path; the message says when the
    model is in a sub-folder or in the other format), NotADirectoryError when folder
    is a file, ModelFormatError for malformed data, OSError when a file cannot be read.
    """
    try:
        import numpy as np
    except ImportError as missing:
        raise missing_numpy("read_model") from missing
    path = text_path(folder, "folder")
    chosen, paths, extra = _model_paths(path, format)
    cameras, images, points3D = (os.fsencode(p) for p in paths)
    rigs, frames = (None if p is None else os.fsencode(p) for p in extra)
    tables = _model_io.read_model_files(cameras, images, points3D, rigs, frames,
                                        chosen == "txt", True)
    rows = {kind: _unique_rows(np, kind, raw) for kind, raw in tables.items() if raw is not None}
    return Model(cameras=_cameras(np, rows["cameras"]), images=_images(rows["images"]),
                 points=_points(rows["points"]),
                 rigs=RigsArrays(**_fields(RigsArrays, rows["rigs"])) if "rigs" in rows else None,
                 frames=FramesArrays(**_fields(FramesArrays, rows["frames"]))
                 if "frames" in rows else None)


# Each table's columns: name -> (dtype, row width, offsets column it belongs to or None).
Table = Dict[str, Any]
_LAYOUTS: Dict[str, Dict[str, Tuple[str, int, Optional[str]]]] = {
    "cameras": {"ids": ("u4", 0, None), "model_ids": ("i4", 0, None),
                "widths": ("u8", 0, None), "heights": ("u8", 0, None),
                "params": ("f8", 0, "param_offsets")},
    "images": {"ids": ("u4", 0, None), "quaternions": ("f8", 4, None),
               "translations": ("f8", 3, None), "camera_ids": ("u4", 0, None),
               "xys": ("f8", 2, "points2D_offsets"),
               "point3D_ids": ("u8", 0, "points2D_offsets")},
    "points": {"ids": ("u8", 0, None), "xyz": ("f8", 3, None), "rgb": ("u1", 3, None),
               "errors": ("f8", 0, None), "track_image_ids": ("u4", 0, "track_offsets"),
               "track_point2D_idxs": ("u4", 0, "track_offsets")},
    "rigs": {"ids": ("u4", 0, None), "sensor_types": ("i4", 0, "sensor_offsets"),
             "sensor_ids": ("u4", 0, "sensor_offsets"), "has_pose": ("u1", 0, "sensor_offsets"),
             "sensor_quaternions": ("f8", 4, "sensor_offsets"),
             "sensor_translations": ("f8", 3, "sensor_offsets")},
    "frames": {"ids": ("u4", 0, None), "rig_ids": ("u4", 0, None),
               "quaternions": ("f8", 4, None), "translations": ("f8", 3, None),
               "data_sensor_types": ("i4", 0, "data_offsets"),
               "data_sensor_ids": ("u4", 0, "data_offsets"), "data_ids": ("u8", 0, "data_offsets")},
}


def _wrap(np: Any, kind: str, raw: Table) -> Table:
    """The table's buffers as arrays of their dtypes and row widths, without a copy."""
    table: Table = {"names": raw["names"]} if "names" in raw else {}
    for name, (dtype, width, offsets) in _LAYOUTS[kind].items():
        values = np.frombuffer(raw[name], dtype)
        table[name] = values.reshape(-1, width) if width else values
        if offsets is not None and offsets not in table:
            table[offsets] = np.frombuffer(raw[offsets], np.int64)
    table["_layout"] = _LAYOUTS[kind]
    return table


def _unique_rows(np: Any, kind: str, raw: Table) -> Table:
    """The table, without the rows whose id a later row repeats."""
    table = _wrap(np, kind, raw)
    if not raw["repeated_ids"]:
        return table
    ids = table["ids"]
    # The last occurrence of each id: first occurrences in the reversed order.
    _, reversed_first = np.unique(ids[::-1], return_index=True)
    keep = np.zeros(len(ids), bool)
    keep[len(ids) - 1 - reversed_first] = True
    return _take_rows(np, table, keep)


def _take_rows(np: Any, table: Table, keep: "npt.NDArray[np.bool_]") -> Table:
    """The rows where keep is True, lists and their offsets included."""
    layout = table["_layout"]
    ragged = {name: offsets for name, (_, _, offsets) in layout.items() if offsets is not None}
    out = take_rows(np, {name: column for name, column in table.items() if name != "_layout"},
                    ragged, keep)
    out["_layout"] = layout
    return out


def take_rows(np: Any, columns: Mapping[str, Any], ragged: Mapping[str, str],
              keep: "npt.NDArray[np.bool_]",
              element_keep: Optional[Mapping[str, "npt.NDArray[np.bool_]"]] = None,
              kept_lengths: Optional[Mapping[str, "npt.NDArray[np.int64]"]] = None
              ) -> Dict[str, Any]:
    """The columns at the rows where keep is True, as new arrays.

    ragged maps each column that an offsets column cuts into rows to the name of that
    offsets column (an (R + 1,) int64 column of columns). Such a column keeps the
    elements of the kept rows, or, when element_keep has a mask for its offsets, the
    elements where that mask is True (it must be False for every element of a row that
    keep drops); the offsets are counted anew, from kept_lengths (kept elements per
    row, read at the kept rows) when the caller has them. A list column (names) is
    taken row by row, a None column stays None.
    """
    masks = dict(element_keep or {})
    counted = kept_lengths or {}
    offsets_names = set(ragged.values())
    out: Dict[str, Any] = {}
    for name in offsets_names:
        starts = columns[name]
        lengths = np.diff(starts)
        if name in counted:
            lengths = counted[name]
        elif name in masks:
            # Kept elements per row: differences of the running count at the row bounds.
            running = np.zeros(len(masks[name]) + 1, np.int64)
            np.cumsum(masks[name], out=running[1:])
            lengths = running[starts[1:]] - running[starts[:-1]]
        else:
            masks[name] = np.repeat(keep, lengths.astype(np.intp))  # 32-bit numpy wants intp
        kept_offsets = np.zeros(int(np.count_nonzero(keep)) + 1, np.int64)
        np.cumsum(lengths[keep], out=kept_offsets[1:])
        out[name] = kept_offsets
    for name, column in columns.items():
        if name in offsets_names:
            continue
        if column is None:
            out[name] = None
        elif isinstance(column, list):
            out[name] = [value for value, kept in zip(column, keep.tolist()) if kept]
        else:
            out[name] = _rows_where(np, column, masks[ragged[name]] if name in ragged else keep)
    return out


def _rows_where(np: Any, column: Any, mask: Any) -> Any:
    """column[mask] for a mask over its first axis; rows of several values are taken as
    one opaque item each, which numpy selects several times faster than rows of an
    array of two or more dimensions."""
    if column.ndim < 2 or not column.flags.c_contiguous or column.size == 0:
        return column[mask]
    width = column.size // len(column)
    items = column.reshape(len(column), width).view(np.dtype((np.void, width * column.itemsize)))
    return items.reshape(-1)[mask].view(column.dtype).reshape((-1,) + column.shape[1:])


def _cameras(np: Any, t: Table) -> CamerasArrays:
    counts = np.diff(t["param_offsets"])
    width = int(counts.max()) if len(counts) else 0
    params = np.full((len(counts), width), np.nan)
    params[np.arange(width) < counts[:, None]] = t["params"]
    return CamerasArrays(ids=t["ids"], model_ids=t["model_ids"], widths=t["widths"],
                         heights=t["heights"], params=params,
                         K=calibration_matrices(np, t["model_ids"], params))


def _images(t: Table) -> ImagesArrays:
    cam_from_world, centers = cam_from_world_and_centers(t["quaternions"], t["translations"])
    return ImagesArrays(ids=t["ids"], camera_ids=t["camera_ids"], names=t["names"],
                        quaternions=t["quaternions"], translations=t["translations"],
                        cam_from_world=cam_from_world, centers=centers,
                        points2D_offsets=t["points2D_offsets"], xys=t["xys"],
                        point3D_ids=t["point3D_ids"])


def _points(t: Table) -> PointsArrays:
    return PointsArrays(ids=t["ids"], xyz=t["xyz"], rgb=t["rgb"], error=t["errors"],
                        track_offsets=t["track_offsets"], track_image_ids=t["track_image_ids"],
                        track_point2D_idxs=t["track_point2D_idxs"])


def _fields(record: Any, t: Table) -> Dict[str, Any]:
    return {name: t[name] for name in record._fields}
