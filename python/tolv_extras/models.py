"""Camera models by COLMAP's names and ids, the meaning of each parameter, and the
calibration matrix K for every model."""

from __future__ import annotations

from typing import Dict, List, NamedTuple, Tuple

import tolv

from ._arguments import require_record


class CameraModel(NamedTuple):
    """One camera model: COLMAP's name and id, and the names of its parameters in order."""

    colmap_name: str
    colmap_id: int
    param_names: Tuple[str, ...]


def _names(text: str) -> Tuple[str, ...]:
    return tuple(text.split())


# By tolv's display name (Camera.model_id). The ids are the codes stored in cameras.bin.
MODELS: Dict[str, CameraModel] = {
    "Simple Pinhole": CameraModel("SIMPLE_PINHOLE", 0, _names("f cx cy")),
    "Pinhole": CameraModel("PINHOLE", 1, _names("fx fy cx cy")),
    "Simple Radial": CameraModel("SIMPLE_RADIAL", 2, _names("f cx cy k")),
    "Radial": CameraModel("RADIAL", 3, _names("f cx cy k1 k2")),
    "OpenCV": CameraModel("OPENCV", 4, _names("fx fy cx cy k1 k2 p1 p2")),
    "OpenCV Fisheye": CameraModel("OPENCV_FISHEYE", 5, _names("fx fy cx cy k1 k2 k3 k4")),
    "Full OpenCV": CameraModel("FULL_OPENCV", 6,
                               _names("fx fy cx cy k1 k2 p1 p2 k3 k4 k5 k6")),
    "FOV": CameraModel("FOV", 7, _names("fx fy cx cy omega")),
    "Simple Radial Fisheye": CameraModel("SIMPLE_RADIAL_FISHEYE", 8, _names("f cx cy k")),
    "Radial Fisheye": CameraModel("RADIAL_FISHEYE", 9, _names("f cx cy k1 k2")),
    "Thin Prism Fisheye": CameraModel("THIN_PRISM_FISHEYE", 10,
                                      _names("fx fy cx cy k1 k2 p1 p2 k3 k4 sx1 sy1")),
}


def camera_model(camera: tolv.Camera) -> CameraModel:
    """The model of camera: COLMAP's name, id and parameter names."""
    return MODELS[require_record(camera, tolv.Camera, "camera").model_id]


def colmap_model_name(camera: tolv.Camera) -> str:
    """COLMAP's name of the camera's model, e.g. "SIMPLE_RADIAL" for "Simple Radial"."""
    return camera_model(camera).colmap_name


def colmap_model_id(camera: tolv.Camera) -> int:
    """COLMAP's numeric id of the camera's model (0 to 10), as stored in cameras.bin."""
    return camera_model(camera).colmap_id


def param_names(camera: tolv.Camera) -> Tuple[str, ...]:
    """The meaning of each entry of camera.params, in order, e.g. ("f", "cx", "cy", "k").

    f, fx, fy are focal lengths and cx, cy the principal point, in pixels; k, k1 to k6
    radial and p1, p2 tangential distortion, omega the FOV model's field of view,
    sx1, sy1 thin-prism distortion.
    """
    return camera_model(camera).param_names


def _calibration(names: Tuple[str, ...], params: List[float]) -> List[List[float]]:
    value = dict(zip(names, params))
    fx = value["f"] if "f" in value else value["fx"]
    fy = value["f"] if "f" in value else value["fy"]
    return [[fx, 0.0, value["cx"]], [0.0, fy, value["cy"]], [0.0, 0.0, 1.0]]


def calibration_matrix(camera: tolv.Camera) -> List[List[float]]:
    """The 3x3 calibration matrix K of the camera, rows first, for every model.

    [[fx, 0, cx], [0, fy, cy], [0, 0, 1]], with fx = fy = f for the models with a single
    focal length: the values of camera.K() where that is defined (Simple Pinhole and
    Pinhole), and COLMAP's calibration matrix for every model. Distortion is not part
    of K; param_names tells which parameters hold it.
    """
    model = camera_model(camera)
    return _calibration(model.param_names, camera.params)
