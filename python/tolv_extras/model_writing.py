"""write_model: a Model (as read_model returns it) written in COLMAP's binary or text
format, byte for byte as COLMAP's own writer writes the same model. Every column is
checked before anything is written; the native part encodes and writes the files with
the interpreter lock released."""

from __future__ import annotations

import os
from typing import Any, Dict, List, Optional, Sequence, Tuple

from . import _model_io
from ._arguments import StrPath, text_path, type_name
from ._numpy import missing_numpy
from .model_io import FILES, RIG_FILES, Model

Array = Any  # a numpy array; the checks below take any array-like
Table = Dict[str, Any]

# Parameter counts by camera model id, from the native camera model table.
_PARAM_COUNTS = [len(names.split()) for _, _, names in _model_io.camera_models()]
_INTEGER_RANGES = {"u1": (0, 2**8 - 1), "u4": (0, 2**32 - 1), "u8": (0, 2**64 - 1),
                   "i4": (-2**31, 2**31 - 1), "i8": (-2**63, 2**63 - 1)}
_TYPE_NAMES = {"u1": "an 8-bit unsigned integer", "u4": "a 32-bit unsigned integer",
               "u8": "a 64-bit unsigned integer", "i4": "a 32-bit signed integer",
               "i8": "a 64-bit signed integer", "f8": "a double"}
# images.txt's reader skips the separators before a name and trims a line's blanks.
_SEPARATORS = (" ", "\t")
_BLANKS = (*_SEPARATORS, "\r")


def _refuse(where: str, row: Optional[int], what: str) -> ValueError:
    return ValueError(f"{where}{'' if row is None else f' row {row}'}: {what}")


def _first(np: Any, bad: Array) -> Optional[int]:
    """The first row where bad (one flag per value, rows first) holds, or None."""
    flat = np.flatnonzero(bad.reshape(len(bad), -1).any(axis=1)) if bad.size else []
    return int(flat[0]) if len(flat) else None


def _lossy_rows(np: Any, values: Array, dtype: str) -> Tuple[Optional[int], str]:
    """The first row whose value the on-disk dtype cannot hold, and why."""
    kind = values.dtype.kind
    if dtype == "f8":
        if kind == "f" and values.dtype.itemsize <= 8:
            return None, ""
        if kind not in "biuf":
            return 0, f"{values.dtype} values are not numbers"
        with np.errstate(invalid="ignore", over="ignore"):
            back = values.astype(np.float64).astype(values.dtype)
        same = (back == values) | (np.isnan(values) if kind == "f" else False)
        return _first(np, ~same), "the value is not exactly a double"
    low, high = _INTEGER_RANGES[dtype]
    if kind in "biu":
        info = np.iinfo(values.dtype) if kind != "b" else None
        bad = np.zeros(values.shape, bool)
        if info is not None and info.min < low:
            bad |= values < low
        if info is not None and info.max > high:
            bad |= values > high
        return _first(np, bad), f"the value is outside {low} to {high}"
    if kind == "f":
        with np.errstate(invalid="ignore"):
            bad = ~np.isfinite(values) | (values != np.floor(values))
            bad |= (values < float(low)) | (values >= float(high) + 1.0)
        return _first(np, bad), f"the value is not an integer from {low} to {high}"
    return 0, f"{values.dtype} values are not numbers"


def _column(np: Any, where: str, value: object, dtype: str, width: int,
            rows: Optional[int]) -> Array:
    """value as a C-contiguous array of the on-disk dtype, rows of width values (width
    0: one value per row), after checking it converts without loss."""
    values = np.asarray(value)
    if values.size == 0 and width:
        values = values.reshape(0, width)
    expected = "(N,)" if width == 0 else f"(N, {width})"
    if values.ndim != (1 if width == 0 else 2) or (width and values.shape[1] != width):
        raise _refuse(where, None, f"expected an array of shape {expected}, found shape "
                      f"{values.shape}")
    if rows is not None and len(values) != rows:
        raise _refuse(where, None, f"{len(values)} rows, but the table has {rows}")
    row, why = _lossy_rows(np, values, dtype)
    if row is not None:
        raise _refuse(where, row, f"{why} ({_TYPE_NAMES[dtype]} on disk)")
    return np.ascontiguousarray(values, dtype)


def _offsets(np: Any, where: str, value: object, rows: int) -> Array:
    """Offsets of rows + 1 entries, from 0, never falling."""
    offsets = _column(np, where, value, "i8", 0, rows + 1)
    if offsets[0] != 0:
        raise _refuse(where, 0, f"the first offset is {offsets[0]}, not 0")
    row = _first(np, np.diff(offsets) < 0)
    if row is not None:
        raise _refuse(where, row + 1, "an offset is smaller than the one before it")
    return offsets


def _list_end(where: str, offsets: Array, elements: int, rows: int) -> None:
    if int(offsets[-1]) != elements:
        raise _refuse(where, rows, f"the last offset is {int(offsets[-1])}, but the list has "
                      f"{elements} entries")


def _cameras(np: Any, cameras: Any) -> Table:
    rows = len(np.asarray(cameras.ids))
    t: Table = {"ids": _column(np, "cameras.ids", cameras.ids, "u4", 0, rows)}
    t["model_ids"] = _column(np, "cameras.model_ids", cameras.model_ids, "i4", 0, rows)
    row = _first(np, (t["model_ids"] < 0) | (t["model_ids"] >= len(_PARAM_COUNTS)))
    if row is not None:
        raise _refuse("cameras.model_ids", row, f"{t['model_ids'][row]} is not a COLMAP camera "
                      f"model id (0 to {len(_PARAM_COUNTS) - 1})")
    t["widths"] = _column(np, "cameras.widths", cameras.widths, "u8", 0, rows)
    t["heights"] = _column(np, "cameras.heights", cameras.heights, "u8", 0, rows)
    params = np.asarray(cameras.params)
    if params.size == 0:
        params = params.reshape(rows, 0)
    if params.ndim != 2 or len(params) != rows:
        raise _refuse("cameras.params", None, f"expected an array of shape ({rows}, P), found "
                      f"shape {params.shape}")
    counts = np.array(_PARAM_COUNTS, np.int64)[t["model_ids"]]
    row = _first(np, counts > params.shape[1])
    if row is not None:
        raise _refuse("cameras.params", row, f"camera model {t['model_ids'][row]} takes "
                      f"{counts[row]} parameters, the array has {params.shape[1]} columns")
    # Each camera's own parameters; the NaN padding after them is not written.
    taken = params[np.arange(params.shape[1]) < counts[:, None]]
    flat = _column(np, "cameras.params", taken, "f8", 0, None)
    t["params"] = flat
    t["param_offsets"] = np.zeros(rows + 1, np.int64)
    np.cumsum(counts, out=t["param_offsets"][1:])
    return t


def _name_bytes(np: Any, names: object, rows: int, text: bool) -> Tuple[Array, Array]:
    if isinstance(names, (str, bytes)) or not isinstance(names, Sequence):
        raise _refuse("images.names", None, f"expected a list of str, found {type_name(names)}")
    if len(names) != rows:
        raise _refuse("images.names", None, f"{len(names)} names, but the table has {rows} rows")
    encoded: List[bytes] = []
    for row, name in enumerate(names):
        if not isinstance(name, str):
            raise _refuse("images.names", row, f"expected a str, found {type_name(name)}")
        try:
            stored = name.encode("utf-8", "surrogateescape")
        except UnicodeEncodeError as error:
            raise _refuse("images.names", row, f"{name!r} cannot be stored: {error.reason}") \
                from None
        if "\0" in name:
            raise _refuse("images.names", row,
                          f"{name!r} holds a NUL byte, which ends a stored name")
        if text:
            if not name:
                raise _refuse("images.names", row, "images.txt cannot hold an empty name")
            if "\n" in name:
                raise _refuse("images.names", row, f"{name!r} holds a newline, which ends a "
                              "line of images.txt")
            if name.startswith(_SEPARATORS) or name.endswith(_BLANKS):
                raise _refuse("images.names", row, f"{name!r} starts or ends with a blank, "
                              "which images.txt does not keep")
        encoded.append(stored)
    offsets = np.zeros(rows + 1, np.int64)
    np.cumsum([len(name) for name in encoded], out=offsets[1:])
    return offsets, np.frombuffer(b"".join(encoded), np.uint8)


def _images(np: Any, images: Any, text: bool) -> Table:
    rows = len(np.asarray(images.ids))
    t: Table = {"ids": _column(np, "images.ids", images.ids, "u4", 0, rows)}
    t["quaternions"] = _column(np, "images.quaternions", images.quaternions, "f8", 4, rows)
    t["translations"] = _column(np, "images.translations", images.translations, "f8", 3, rows)
    t["camera_ids"] = _column(np, "images.camera_ids", images.camera_ids, "u4", 0, rows)
    t["name_offsets"], t["name_bytes"] = _name_bytes(np, images.names, rows, text)
    offsets = _offsets(np, "images.points2D_offsets", images.points2D_offsets, rows)
    t["points2D_offsets"] = offsets
    t["point3D_ids"] = _column(np, "images.point3D_ids", images.point3D_ids, "u8", 0, None)
    _list_end("images.points2D_offsets", offsets, len(t["point3D_ids"]), rows)
    t["xys"] = _column(np, "images.xys", images.xys, "f8", 2, len(t["point3D_ids"]))
    return t


def _points(np: Any, points: Any) -> Table:
    rows = len(np.asarray(points.ids))
    t: Table = {"ids": _column(np, "points.ids", points.ids, "u8", 0, rows)}
    t["xyz"] = _column(np, "points.xyz", points.xyz, "f8", 3, rows)
    t["rgb"] = _column(np, "points.rgb", points.rgb, "u1", 3, rows)
    t["errors"] = _column(np, "points.error", points.error, "f8", 0, rows)
    offsets = _offsets(np, "points.track_offsets", points.track_offsets, rows)
    t["track_offsets"] = offsets
    t["track_image_ids"] = _column(np, "points.track_image_ids", points.track_image_ids,
                                   "u4", 0, None)
    _list_end("points.track_offsets", offsets, len(t["track_image_ids"]), rows)
    t["track_point2D_idxs"] = _column(np, "points.track_point2D_idxs",
                                      points.track_point2D_idxs, "u4", 0,
                                      len(t["track_image_ids"]))
    return t


def _sensor_types(np: Any, where: str, types: Array, text: bool) -> None:
    row = _first(np, (types < -1) | (types > 1)) if text else None
    if row is not None:
        raise _refuse(where, row, f"{types[row]} is not a sensor type the text format names "
                      "(-1 INVALID, 0 CAMERA, 1 IMU)")


def _list_lengths(np: Any, where: str, offsets: Array, most: int, what: str) -> None:
    row = _first(np, np.diff(offsets) > most)
    if row is not None:
        raise _refuse(where, row, f"more {what} than a record holds ({most})")


def _rigs(np: Any, rigs: Any, text: bool) -> Table:
    rows = len(np.asarray(rigs.ids))
    t: Table = {"ids": _column(np, "rigs.ids", rigs.ids, "u4", 0, rows)}
    offsets = _offsets(np, "rigs.sensor_offsets", rigs.sensor_offsets, rows)
    t["sensor_offsets"] = offsets
    t["sensor_ids"] = _column(np, "rigs.sensor_ids", rigs.sensor_ids, "u4", 0, None)
    sensors = len(t["sensor_ids"])
    _list_end("rigs.sensor_offsets", offsets, sensors, rows)
    _list_lengths(np, "rigs.sensor_offsets", offsets, 2**32 - 1, "sensors")
    t["sensor_types"] = _column(np, "rigs.sensor_types", rigs.sensor_types, "i4", 0, sensors)
    _sensor_types(np, "rigs.sensor_types", t["sensor_types"], text)
    t["has_pose"] = _column(np, "rigs.has_pose", rigs.has_pose, "u1", 0, sensors)
    references = offsets[:-1][np.diff(offsets) > 0]
    posed = references[t["has_pose"][references] != 0]
    if len(posed):
        raise _refuse("rigs.has_pose", int(posed[0]), "a rig's reference sensor (its first) "
                      "has no pose: has_pose must be 0")
    row = _first(np, t["has_pose"] > 1) if text else None
    if row is not None:
        raise _refuse("rigs.has_pose", row, f"{t['has_pose'][row]}: rigs.txt holds 0 or 1")
    t["sensor_quaternions"] = _column(np, "rigs.sensor_quaternions", rigs.sensor_quaternions,
                                      "f8", 4, sensors)
    t["sensor_translations"] = _column(np, "rigs.sensor_translations",
                                       rigs.sensor_translations, "f8", 3, sensors)
    return t


def _frames(np: Any, frames: Any, text: bool) -> Table:
    rows = len(np.asarray(frames.ids))
    t: Table = {"ids": _column(np, "frames.ids", frames.ids, "u4", 0, rows)}
    t["rig_ids"] = _column(np, "frames.rig_ids", frames.rig_ids, "u4", 0, rows)
    t["quaternions"] = _column(np, "frames.quaternions", frames.quaternions, "f8", 4, rows)
    t["translations"] = _column(np, "frames.translations", frames.translations, "f8", 3, rows)
    offsets = _offsets(np, "frames.data_offsets", frames.data_offsets, rows)
    t["data_offsets"] = offsets
    t["data_ids"] = _column(np, "frames.data_ids", frames.data_ids, "u8", 0, None)
    data = len(t["data_ids"])
    _list_end("frames.data_offsets", offsets, data, rows)
    _list_lengths(np, "frames.data_offsets", offsets, 2**32 - 1, "data ids")
    t["data_sensor_types"] = _column(np, "frames.data_sensor_types", frames.data_sensor_types,
                                     "i4", 0, data)
    _sensor_types(np, "frames.data_sensor_types", t["data_sensor_types"], text)
    t["data_sensor_ids"] = _column(np, "frames.data_sensor_ids", frames.data_sensor_ids,
                                   "u4", 0, data)
    return t


def model_tables(np: Any, model: Model, text: bool) -> Dict[str, Optional[Table]]:
    """The model's columns as the native writer takes them, every one checked."""
    for part in Model._fields:
        if not hasattr(model, part):
            raise TypeError(f"model must be a Model (as read_model returns), not "
                            f"{type_name(model)}")
    return {"cameras": _cameras(np, model.cameras), "images": _images(np, model.images, text),
            "points": _points(np, model.points),
            "rigs": None if model.rigs is None else _rigs(np, model.rigs, text),
            "frames": None if model.frames is None else _frames(np, model.frames, text)}


def write_model(folder: StrPath, model: Model, format: str = "bin") -> None:
    """Writes the model into folder as COLMAP's binary ("bin") or text ("txt") files.

    cameras, images and points3D always; rigs and frames when the model has them (a
    model without them also removes the folder's rigs and frames files of that format,
    which would otherwise be read with it). Rows are written in the model's order;
    the bytes are those COLMAP's own writer writes for the same model (text: its header
    comments, numbers with 17 significant digits, which read back exactly). Camera
    parameters past each model's count (read_model's NaN padding) are not written, nor
    the poses of rig sensors whose has_pose is 0. read_model(folder, format) gives the
    model back.

    The folder is made if missing. Each file goes to a new file beside it, synced, and
    all are renamed into place only once all are written: a failure leaves the model
    that was there as it was, and no temporary file.

    Raises ValueError naming the field and row of a model the format cannot hold
    (lengths or offsets that disagree, values outside their on-disk types, a camera
    model id outside 0 to 17 or too few parameter columns, names with a NUL byte, or in
    text empty, with a newline, starting with a space or tab or ending with a space,
    tab or CR (images.txt does not keep them), a rig reference sensor
    with a pose), before anything is written; OSError (its filename the file) when a
    file cannot be written; TypeError for arguments of the wrong type.
    """
    try:
        import numpy as np
    except ImportError as missing:
        raise missing_numpy("write_model") from missing
    path = text_path(folder, "folder")
    if format not in FILES:
        raise ValueError(f"format must be 'bin' or 'txt', not {format!r}")
    text = format == "txt"
    tables = model_tables(np, model, text)
    os.makedirs(path, exist_ok=True)
    cameras, images, points3D, rigs, frames = (os.fsencode(os.path.join(path, name))
                                               for name in FILES[format] + RIG_FILES[format])
    _model_io.write_model_files((cameras, images, points3D, rigs, frames), text, tables)
