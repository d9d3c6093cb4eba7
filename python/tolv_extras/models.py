"""COLMAP's camera models: names and ids, the meaning of each parameter, and the
calibration matrix K for every model, for tolv's records and for arrays alike."""

from __future__ import annotations

import math
from typing import TYPE_CHECKING, Any, Dict, List, NamedTuple, Tuple

import tolv

from . import _model_io
from ._arguments import require_record

if TYPE_CHECKING:
    import numpy as np
    import numpy.typing as npt


class CameraModel(NamedTuple):
    """One COLMAP camera model: its id (as stored in cameras.bin), its name (as written
    in cameras.txt) and the names of its parameters in stored order."""

    id: int
    name: str
    param_names: Tuple[str, ...]


CAMERA_MODELS: Tuple[CameraModel, ...] = tuple(
    CameraModel(model_id, name, tuple(names.split()))
    for model_id, name, names in _model_io.camera_models())
"""COLMAP's camera models indexed by id, 0 (SIMPLE_PINHOLE) to 17 (EQUIRECTANGULAR).

f, fx, fy are focal lengths and cx, cy the principal point, in pixels; k, k0 to k6
radial and p0 to p2 tangential distortion; omega the FOV model's field of view;
sx1, sy1, s0 to s3 thin-prism distortion; alpha, beta the EUCM model's parameters;
w, h the EQUIRECTANGULAR model's image size."""

# tolv's display names (Camera.model_id) of the models its reader knows, by id.
_DISPLAY_NAMES = ("Simple Pinhole", "Pinhole", "Simple Radial", "Radial", "OpenCV",
                  "OpenCV Fisheye", "Full OpenCV", "FOV", "Simple Radial Fisheye",
                  "Radial Fisheye", "Thin Prism Fisheye")
MODELS: Dict[str, CameraModel] = dict(zip(_DISPLAY_NAMES, CAMERA_MODELS))


def _calibration_places(model: CameraModel) -> Tuple[int, int, int, int]:
    """Where fx, fy, cx and cy are in the model's parameters; -1 for a model without
    a calibration matrix."""
    names = model.param_names
    if "cx" not in names:
        return (-1, -1, -1, -1)
    fx = names.index("f") if "f" in names else names.index("fx")
    fy = names.index("f") if "f" in names else names.index("fy")
    return (fx, fy, names.index("cx"), names.index("cy"))


# By model id: the places of fx, fy, cx, cy.
CALIBRATION_PLACES: Tuple[Tuple[int, int, int, int], ...] = tuple(
    map(_calibration_places, CAMERA_MODELS))


def camera_model(camera: tolv.Camera) -> CameraModel:
    """The model of camera: COLMAP's id, name and parameter names."""
    return MODELS[require_record(camera, tolv.Camera, "camera").model_id]


def colmap_model_name(camera: tolv.Camera) -> str:
    """COLMAP's name of the camera's model, e.g. "SIMPLE_RADIAL" for "Simple Radial"."""
    return camera_model(camera).name


def colmap_model_id(camera: tolv.Camera) -> int:
    """COLMAP's numeric id of the camera's model (0 to 10), as stored in cameras.bin."""
    return camera_model(camera).id


def param_names(camera: tolv.Camera) -> Tuple[str, ...]:
    """The meaning of each entry of camera.params, in order, e.g. ("f", "cx", "cy", "k").

    f, fx, fy are focal lengths and cx, cy the principal point, in pixels; k, k1 to k6
    radial and p1, p2 tangential distortion, omega the FOV model's field of view,
    sx1, sy1 thin-prism distortion (CAMERA_MODELS describes every model).
    """
    return camera_model(camera).param_names


def _calibration(places: Tuple[int, int, int, int], params: List[float]) -> List[List[float]]:
    if places[0] < 0:
        return [[math.nan] * 3 for _ in range(3)]
    fx, fy, cx, cy = (params[k] for k in places)
    return [[fx, 0.0, cx], [0.0, fy, cy], [0.0, 0.0, 1.0]]


def calibration_matrix(camera: tolv.Camera) -> List[List[float]]:
    """The 3x3 calibration matrix K of the camera, rows first, for every model.

    [[fx, 0, cx], [0, fy, cy], [0, 0, 1]], with fx = fy = f for the models with a single
    focal length: the values of camera.K() where that is defined (Simple Pinhole and
    Pinhole), and COLMAP's calibration matrix for every model. Distortion is not part
    of K; param_names tells which parameters hold it.
    """
    return _calibration(CALIBRATION_PLACES[camera_model(camera).id], camera.params)


def calibration_matrices(np: Any, model_ids: "npt.NDArray[np.int32]",
                         params: "npt.NDArray[np.float64]") -> "npt.NDArray[np.float64]":
    """K (C, 3, 3) of C cameras from their model ids and NaN-padded params (C, P);
    all NaN for a model without one (EQUIRECTANGULAR)."""
    count = len(model_ids)
    places = np.array(CALIBRATION_PLACES, dtype=np.int64)[model_ids] if count else \
        np.zeros((0, 4), np.int64)
    rows = np.arange(count)
    padded = np.concatenate([params, np.full((count, 1), math.nan)], axis=1)
    pick = np.where(places < 0, padded.shape[1] - 1, places)  # NaN column for none
    values = padded[rows[:, None], pick]
    K = np.zeros((count, 3, 3))
    K[:, 0, 0], K[:, 1, 1], K[:, 0, 2], K[:, 1, 2] = values.T
    K[:, 2, 2] = 1.0
    K[places[:, 0] < 0] = math.nan
    result: "npt.NDArray[np.float64]" = K
    return result
