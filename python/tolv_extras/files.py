"""Files for the programs that come next: pairs files and PLY point clouds, each written
whole or not at all."""

from __future__ import annotations

import os
import secrets
import stat
from typing import TYPE_CHECKING, Any, Dict, Iterable, List, Mapping, Sequence, Tuple, Union

import tolv

from ._arguments import StrPath, require_records, text_path, type_name
from ._numpy import missing_numpy
from .arrays import ImagesArrays, PointsArrays, point_values, sorted_points
from .names import name_bytes

if TYPE_CHECKING:
    import numpy as np
    import numpy.typing as npt

Pair = Tuple[int, int]

# (name, PLY type, numpy type) of each vertex property, in file order: the point cloud
# layout, and the one Gaussian-splatting trainers' PLY readers look up by field name
# (positions, normals they initialise, colours).
VERTEX_PROPERTIES = (
    ("x", "double", "<f8"), ("y", "double", "<f8"), ("z", "double", "<f8"),
    ("red", "uchar", "u1"), ("green", "uchar", "u1"), ("blue", "uchar", "u1"),
    ("error", "float", "<f4"),
)
SPLATTING_PROPERTIES = (
    ("x", "float", "<f4"), ("y", "float", "<f4"), ("z", "float", "<f4"),
    ("nx", "float", "<f4"), ("ny", "float", "<f4"), ("nz", "float", "<f4"),
    ("red", "uchar", "u1"), ("green", "uchar", "u1"), ("blue", "uchar", "u1"),
)


def _open_beside(path: str) -> Tuple[int, str]:
    """A new, empty file in path's folder: with the mode of the file it will replace, or
    the mode a plain open would give."""
    folder, base = os.path.split(path)
    try:
        mode = stat.S_IMODE(os.stat(path).st_mode)
    except FileNotFoundError:
        mode = 0o666  # less the umask, as for open()
    while True:
        temporary = os.path.join(folder, f".{base}.{secrets.token_hex(6)}.tmp")
        try:
            descriptor = os.open(temporary, os.O_WRONLY | os.O_CREAT | os.O_EXCL, mode)
        except FileExistsError:
            continue
        if mode != 0o666:
            os.fchmod(descriptor, mode)
        return descriptor, temporary


def _remove(path: str) -> None:
    try:
        os.unlink(path)
    except FileNotFoundError:
        pass


def write_whole(path: str, chunks: Iterable[bytes]) -> None:
    """Writes the chunks to path, replacing it only once all of them are on disk.

    They go to a new file beside it (beside the file a symbolic link names) that then
    takes its place, so a failure (a full disk, an error while the chunks are made)
    leaves no partial file: path keeps what it held before, or stays absent. OSErrors
    name path, not the file beside it.
    """
    target = os.path.realpath(path) if path else path
    try:
        descriptor, temporary = _open_beside(target)
    except OSError as error:
        raise type(error)(error.errno, error.strerror, path) from error
    try:
        with os.fdopen(descriptor, "wb") as out:
            for chunk in chunks:
                out.write(chunk)
            out.flush()
            os.fsync(out.fileno())
        os.replace(temporary, target)
    except BaseException as error:
        _remove(temporary)
        if isinstance(error, OSError) and error.errno is not None:
            raise type(error)(error.errno, error.strerror, path) from error
        raise


def _pair_of_ids(pair: object, where: str) -> Pair:
    if isinstance(pair, tuple) and len(pair) == 2 and all(isinstance(i, int) for i in pair):
        return pair[0], pair[1]
    raise TypeError(f"{where} must be a pair of image ids (a tuple of two ints), "
                    f"not {pair!r:.60}")


def _pair_list(pairs: object) -> List[Pair]:
    """The pairs as (int, int) tuples: from a sequence of pairs, or from a (P, 2) integer
    array (as model_pairs returns)."""
    if type(pairs).__module__ == "numpy" and hasattr(pairs, "dtype"):
        array: Any = pairs
        if array.dtype.kind not in "ui":
            raise TypeError(f"pairs must be an integer array, not of dtype {array.dtype}")
        if array.ndim != 2 or array.shape[1] != 2:
            raise ValueError(f"pairs must be of shape (P, 2), not {array.shape}")
        return [(first, second) for first, second in array.tolist()]
    if isinstance(pairs, (str, bytes)) or not isinstance(pairs, Sequence):
        raise TypeError(f"pairs must be a sequence of (image_id, image_id) or a (P, 2) "
                        f"integer array, not {type_name(pairs)}")
    return [_pair_of_ids(pair, f"pairs[{index}]") for index, pair in enumerate(pairs)]


def _names_of(images: object) -> Dict[int, bytes]:
    """Each image's stored name bytes by id, from ImagesArrays or tolv's records."""
    if isinstance(images, ImagesArrays):
        ids = images.ids.tolist()
        if len(ids) != len(images.names):
            raise ValueError(f"images has {len(ids)} ids but {len(images.names)} names")
        return {image_id: name.encode("utf-8", "surrogateescape")
                for image_id, name in zip(ids, images.names)}
    records = require_records(images, tolv.Image, "images")
    return {image_id: name_bytes(image) for image_id, image in records.items()}


def _unwritable(name: bytes) -> bool:
    """Whether a pairs file cannot hold the name: readers split lines on white space,
    ASCII (bytes.split) or any that str.split knows, so such a name, or an empty one,
    does not come back whole."""
    if not name or len(name.split()) != 1:
        return True
    return any(c.isspace() for c in name.decode("utf-8", "surrogateescape"))


def pair_lines(images: object, pairs: object) -> bytes:
    """One "name_a name_b" line per pair, the names as their stored bytes."""
    names = _names_of(images)
    listed = _pair_list(pairs)
    checked = set()
    lines = []
    for index, (first, second) in enumerate(listed):
        for image_id in (first, second):
            if image_id in checked:
                continue
            if image_id not in names:
                raise ValueError(f"pairs[{index}] names image {image_id}, which images lacks")
            if _unwritable(names[image_id]):
                name = names[image_id].decode("utf-8", "surrogateescape")
                raise ValueError(f"image {image_id} is named {name!r}, which a pairs file "
                                 f"cannot hold: its readers split lines on white space")
            checked.add(image_id)
        lines.append(names[first] + b" " + names[second] + b"\n")
    return b"".join(lines)


def write_pairs(path: StrPath, images: Union[Mapping[int, tolv.Image], ImagesArrays],
                pairs: Union[Sequence[Pair], "npt.NDArray[np.integer[Any]]"]) -> None:
    """Writes the pairs as a pairs file: one "name_a name_b" line each, names as stored.

    The format that feature matching and localization pipelines read. images is the
    dict of tolv.Image records or an ImagesArrays (read_model's model.images); pairs a
    sequence of (image id, image id) tuples or a (P, 2) integer array (model_pairs).
    The file is written whole or not at all. Raises TypeError for arguments of the
    wrong type; ValueError for a pair naming an image that images lacks, and for an
    image in the pairs whose name is empty or holds white space (space, tab, line
    breaks or any other), which the format cannot hold, naming its id and name;
    OSError if the file cannot be written.
    """
    target = text_path(path, "path")
    data = pair_lines(images, pairs)
    write_whole(target, [data])


Properties = Sequence[Tuple[str, str, str]]


def ply_header(count: int, properties: Properties = VERTEX_PROPERTIES) -> bytes:
    lines = ["ply", "format binary_little_endian 1.0",
             "comment points of a COLMAP sparse reconstruction, read with tolv",
             f"element vertex {count}"]
    lines += [f"property {kind} {name}" for name, kind, _ in properties]
    lines.append("end_header")
    return ("\n".join(lines) + "\n").encode("ascii")


def _array_values(points: PointsArrays) -> Tuple[Any, Any, Any]:
    """xyz (N, 3), rgb (N, 3) and error (N,) of the arrays, checked to hold N rows each."""
    import numpy as np

    xyz, rgb, error = (np.asarray(values) for values in (points.xyz, points.rgb, points.error))
    if error.ndim != 1:
        raise ValueError(f"points.error must be one-dimensional, not of shape {error.shape}")
    for name, values in (("xyz", xyz), ("rgb", rgb)):
        if values.shape != (len(error), 3):
            raise ValueError(f"points.{name} must be of shape ({len(error)}, 3), a row per "
                             f"error, not {values.shape}")
    return xyz, rgb, error


def write_ply(path: StrPath, points3D: Union[PointsArrays, Mapping[int, tolv.Point3D]],
              splatting: bool = False) -> int:
    """Writes the points as a binary little-endian PLY file; returns how many.

    points3D: a PointsArrays (from read_model or points_arrays), one vertex per row in
    row order, or tolv's dict of Point3D records, one vertex per record in increasing
    point id order.

    The default layout is a point cloud as MeshLab, CloudCompare and Open3D read it:
    double x, y, z, uchar red, green, blue and the reprojection error as a float
    property "error". splatting=True writes the layout Gaussian-splatting trainers ask
    for by field name: float x, y, z (rounded to the nearest float32, beyond its range
    +-inf), float nx, ny, nz (all zero) and uchar red, green, blue.

    The file is written whole or not at all. Raises TypeError for arguments of the
    wrong type, ValueError for arrays whose shapes disagree, ImportError without
    numpy, OSError if the file cannot be written.
    """
    target = text_path(path, "path")
    # Arguments of the wrong type are named as such, with numpy or without it.
    arrays = points3D if isinstance(points3D, PointsArrays) else None
    records: Mapping[int, tolv.Point3D] = {}
    if arrays is None:
        if not isinstance(points3D, Mapping):
            raise TypeError(f"points3D must be a PointsArrays or a mapping of tolv.Point3D "
                            f"records, not {type_name(points3D)}")
        records = require_records(points3D, tolv.Point3D, "points3D")
    try:
        import numpy as np
    except ImportError as missing:
        raise missing_numpy("write_ply") from missing
    if arrays is not None:
        xyz, rgb, error = _array_values(arrays)
    else:
        xyz, rgb, error = point_values(np, sorted_points(np, records)[1])
    properties = SPLATTING_PROPERTIES if splatting else VERTEX_PROPERTIES
    vertices = np.zeros(len(error), np.dtype([(name, code) for name, _, code in properties]))
    with np.errstate(over="ignore"):  # float32 fields: out of range becomes +-inf
        for axis, name in enumerate("xyz"):
            vertices[name] = xyz[:, axis]
        for channel, name in enumerate(("red", "green", "blue")):
            vertices[name] = rgb[:, channel]
        if not splatting:
            vertices["error"] = error
    write_whole(target, [ply_header(len(vertices), properties), vertices.tobytes()])
    return len(vertices)
