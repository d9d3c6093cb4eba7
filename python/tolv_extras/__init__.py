"""tolv_extras: what usually comes after loading a COLMAP reconstruction with tolv.

A companion of the tolv module: pure Python over tolv's public functions and records,
and a native part of its own that reads whole models, binary or text, straight into
arrays. It imports without numpy; the functions returning arrays import numpy when
called (install tolv's "arrays" extra).

Whole models as numpy arrays, straight from the files (binary or text):
    read_model(folder, format)     Model(cameras, images, points, rigs, frames), rows in
                                   file order; ModelFormatError for malformed files
    write_model(folder, model, format)  the Model as COLMAP's binary or text files, byte
                                   for byte as COLMAP writes it
    rows_of(ids, wanted)           the row of each wanted id (track image ids -> rows)
    covisibility_counts(points)    Covisibility: tolv.compute_overlaps' counts as
                                   compressed rows, counted natively
    model_pairs(model, k)          (P, 2) uint32: each image's k most co-visible images,
                                   as covisibility_pairs picks them
    CAMERA_MODELS                  COLMAP's camera models by id, 0 to 17: name, param_names

Editing whole models (new Models; both sides of every observation kept in step):
    filter_points(model, keep)     without the points whose keep is False; the 2D points
                                   that saw them get INVALID_POINT3D_ID
    filter_images(model, keep, min_track_length=2)
                                   without the images whose keep is False, their
                                   observations, the points left with shorter tracks,
                                   and the frames left without images

Reading records:
    read_reconstruction(folder)    tolv.read_reconstruction_bin for str or os.PathLike,
                                   naming the missing file when one of the three is absent
    quiet()                        context manager that drops tolv's progress lines

Cameras:
    colmap_model_name(camera)      "SIMPLE_RADIAL" for tolv's "Simple Radial", ...
    colmap_model_id(camera)        COLMAP's model id, 0 to 10
    param_names(camera)            meaning of each entry of camera.params, ("f", "cx", ...)
    calibration_matrix(camera)     3x3 K for every model (camera.K() has two)

Images:
    utf8_name(image, errors)       the stored name decoded as UTF-8
    name_bytes(image)              the stored name bytes
    quaternion(image)              the stored (w, x, y, z), bit for bit
    INVALID_POINT3D_ID             2**64 - 1: a 2D point without a 3D point

tolv's records as numpy arrays, rows sorted by id:
    points_arrays(points3D)        ids, xyz, rgb, error and the tracks as a compressed index
    images_arrays(images)          ids, camera ids, names, quaternions, translations,
                                   [R | t], centres, 3D point ids as a compressed index
    cameras_arrays(cameras)        ids, model ids, sizes, NaN-padded params, K

Files:
    covisibility_pairs(images, overlaps, k)   each image's k most co-visible images
    write_pairs(path, images, pairs)          "name_a name_b" pairs file (records or
                                              ImagesArrays; names holding white space
                                              are refused)
    write_ply(path, points3D, splatting)      binary PLY of PointsArrays or records:
                                              a point cloud, or the Gaussian-splatting
                                              layout (float xyz, zero normals, rgb)

The command line: `tolv info|convert|filter|pairs|ply ...` (python -m tolv_extras),
thin over these functions; `tolv COMMAND --help` describes each.

Files are written whole or not at all. A record of the wrong type raises TypeError
naming the argument.
"""

from .arrays import (
    CamerasArrays,
    ImagesArrays,
    PointsArrays,
    cameras_arrays,
    images_arrays,
    points_arrays,
)
from .covisibility import Covisibility, covisibility_counts, covisibility_pairs, model_pairs
from .editing import filter_images, filter_points
from .errors import ModelFormatError
from .files import write_pairs, write_ply
from .folders import read_reconstruction
from .model_io import FramesArrays, Model, RigsArrays, read_model
from .model_writing import write_model
from .models import (
    CAMERA_MODELS,
    CameraModel,
    calibration_matrix,
    colmap_model_id,
    colmap_model_name,
    param_names,
)
from .names import name_bytes, utf8_name
from .poses import quaternion
from .progress import quiet
from .rows import rows_of

INVALID_POINT3D_ID = 2**64 - 1
"""The 3D point id of a 2D point that observes no 3D point, in Image.point3D_ids and
ImagesArrays.point3D_ids: the non-negative int 18446744073709551615, never -1."""

__all__ = [
    "CAMERA_MODELS",
    "INVALID_POINT3D_ID",
    "CameraModel",
    "CamerasArrays",
    "Covisibility",
    "FramesArrays",
    "ImagesArrays",
    "Model",
    "ModelFormatError",
    "PointsArrays",
    "RigsArrays",
    "calibration_matrix",
    "cameras_arrays",
    "colmap_model_id",
    "colmap_model_name",
    "covisibility_counts",
    "covisibility_pairs",
    "filter_images",
    "filter_points",
    "images_arrays",
    "model_pairs",
    "name_bytes",
    "param_names",
    "points_arrays",
    "quaternion",
    "quiet",
    "read_model",
    "read_reconstruction",
    "rows_of",
    "write_model",
    "utf8_name",
    "write_pairs",
    "write_ply",
]
