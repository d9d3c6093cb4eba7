"""What a model folder holds, as the lines `tolv info` prints: the files found and counts
and means computed from read_model's arrays, the same for a binary and a text model."""

from __future__ import annotations

import os
from collections import Counter
from typing import List, NamedTuple, Optional

from ._arguments import StrPath, text_path
from .model_io import FORMAT_NAMES, Model, _model_paths
from .models import CAMERA_MODELS

_LABEL = 25  # width of the label column, colon included


class ModelFiles(NamedTuple):
    """The model read_model reads from a folder.

    folder: the folder as given; format: "bin" or "txt"; names: the file names read,
    cameras, images and points3D first, then rigs and frames when the folder has them.
    """

    folder: str
    format: str
    names: List[str]


def model_files(folder: StrPath, format: Optional[str] = None) -> ModelFiles:
    """The model's format and files in folder, chosen as read_model chooses them.

    Raises what read_model raises for a folder without that model: FileNotFoundError
    naming the missing path, NotADirectoryError, ValueError for an unknown format.
    """
    path = text_path(folder, "folder")
    chosen, paths, extra = _model_paths(path, format)
    names = [os.path.basename(p) for p in paths]
    names += [os.path.basename(p) for p in extra if p is not None]
    return ModelFiles(path, chosen, names)


def _line(label: str, value: object) -> str:
    return f"{label + ':':<{_LABEL}}{value}"


def _camera_lines(model: Model) -> List[str]:
    """One line per camera model, most cameras first: how many cameras, how many images."""
    cameras, images = model.cameras, model.images
    model_of = dict(zip(cameras.ids.tolist(), cameras.model_ids.tolist()))
    shots = Counter(model_of[camera_id] for camera_id in images.camera_ids.tolist()
                    if camera_id in model_of)
    counts = Counter(model_of.values())

    def name(model_id: int) -> str:
        # read_model accepts only COLMAP's ids; anything else is named by its number
        return CAMERA_MODELS[model_id].name if 0 <= model_id < len(CAMERA_MODELS) \
            else f"model {model_id}"

    ranked = sorted(counts.items(), key=lambda item: (-item[1], name(item[0])))
    return [f"  {name(model_id) + ':':<{_LABEL - 3}} {n}, taking {shots[model_id]} images"
            for model_id, n in ranked]


def report_lines(files: ModelFiles, model: Model) -> List[str]:
    """The report of the model read from files: format and files, cameras by COLMAP
    model name (most first, then by name), images, 3D points, observations (track
    elements), mean track length, mean reprojection error in pixels, 2D points and how
    many observe a 3D point, rigs and frames. Lines without a newline; the means only
    when there are points."""
    from . import INVALID_POINT3D_ID

    points, images = model.points, model.images
    lines = [_line("Model", f"{files.folder} ({FORMAT_NAMES[files.format]})"),
             _line("Files", ", ".join(files.names)),
             _line("Cameras", len(model.cameras.ids)), *_camera_lines(model),
             _line("Images", len(images.ids)), _line("3D points", len(points.ids))]
    observations = int(points.track_offsets[-1]) if len(points.track_offsets) else 0
    lines.append(_line("Observations", observations))
    if len(points.ids):
        lines.append(_line("Mean track length", f"{observations / len(points.ids):.2f}"))
        lines.append(_line("Mean reprojection error", f"{float(points.error.mean()):.3f} px"))
    points2D = len(images.point3D_ids)
    matched = int((images.point3D_ids != INVALID_POINT3D_ID).sum())
    share = f" ({100.0 * matched / points2D:.1f}%)" if points2D else ""
    lines.append(_line("2D points", f"{points2D}, {matched} matched{share}"))
    if model.rigs is not None:
        sensors = int(model.rigs.sensor_offsets[-1])
        lines.append(_line("Rigs", f"{len(model.rigs.ids)}, {sensors} sensors"))
    if model.frames is not None:
        lines.append(_line("Frames", len(model.frames.ids)))
    return lines
