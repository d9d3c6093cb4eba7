"""tolv against COLMAP's own writer and reader: folders written through pycolmap must
read back identically, field by field, with tolv and with pycolmap."""

from __future__ import annotations

import os
import struct
import subprocess
from pathlib import Path
from typing import Any, Callable, Dict, List, NamedTuple, Optional, Tuple

import pytest

pycolmap = pytest.importorskip(
    "pycolmap", reason="the peer tests compare with pycolmap: pip install '.[peers]'")

import numpy as np  # noqa: E402 (pycolmap brings numpy)

import tolv  # noqa: E402
import tolv_extras as tx  # noqa: E402
from colmap_scenes import (LARGE_SCENE, RIG_SCENE, ScenePlan, model_scenes,  # noqa: E402
                           overlaps_from_tracks, write_scene)
from compare import (NO_POINT3D, bits, camera_differences, extras_differences,  # noqa: E402
                     image_differences, model_differences, overlap_differences,
                     point_differences, relative_pose_differences)

SAMPLE = Path(__file__).resolve().parents[2] / "examples" / "sample" / "sparse"
SCENES = model_scenes() + [LARGE_SCENE, RIG_SCENE]
# A Python whose pycolmap is 0.4.0, the COLMAP 3.8 release: folders re-written by it are
# compared too (.ci/run sets it up where CPython 3.8 is installed).
OLD_COLMAP_PYTHON = os.environ.get("TOLV_OLD_COLMAP_PYTHON", "")
REWRITE = "import sys, pycolmap; pycolmap.Reconstruction(sys.argv[1]).write(sys.argv[2])"


class Loaded(NamedTuple):
    folder: str
    rec: Any  # pycolmap.Reconstruction
    cameras: Dict[int, Any]
    images: Dict[int, Any]
    points3D: Dict[int, Any]


def load_both(folder: str) -> Loaded:
    rec = pycolmap.Reconstruction(folder)
    return Loaded(folder, rec, *tolv.read_reconstruction_bin(folder))


def every_difference(loaded: Loaded) -> List[str]:
    rec = loaded.rec
    return (camera_differences(loaded.cameras, rec) + image_differences(loaded.images, rec)
            + point_differences(loaded.points3D, rec)
            + overlap_differences(tolv.compute_overlaps(loaded.points3D), overlaps_from_tracks(rec))
            + relative_pose_differences(loaded.images, rec)
            + extras_differences(loaded.cameras, loaded.images,
                                 Path(loaded.folder, "images.bin").read_bytes(), rec))


@pytest.fixture(scope="module", params=SCENES + ["sample"],
                ids=[s.label for s in SCENES] + ["repository_sample"])
def loaded(request: pytest.FixtureRequest, tmp_path_factory: pytest.TempPathFactory) -> Loaded:
    if request.param == "sample":
        return load_both(str(SAMPLE))
    plan: ScenePlan = request.param
    folder = write_scene(plan, str(tmp_path_factory.mktemp(plan.label)))
    # COLMAP writes its rig and frame files beside the three that tolv reads.
    assert {"rigs.bin", "frames.bin"} <= set(os.listdir(folder))
    return load_both(folder)


def test_scenes_carry_what_they_are_built_for(loaded: Loaded) -> None:
    """Without these the comparisons below would prove less than they claim."""
    point3D_ids = [pid for image in loaded.images.values() for pid in image.point3D_ids]
    assert NO_POINT3D in point3D_ids
    if loaded.folder == str(SAMPLE):
        return
    assert any(set(image.point3D_ids) <= {NO_POINT3D} for image in loaded.images.values())
    ids = sorted(loaded.points3D)
    assert ids[-1] > 2**32 and len(ids) < ids[-1]  # 64-bit ids with gaps
    assert max(loaded.images) == 2**32 - 2 and max(loaded.cameras) == 2**32 - 2
    assert any(not p.track for p in loaded.points3D.values())
    assert any(max(map(ord, image.name)) > 127 for image in loaded.images.values())
    rigs = loaded.rec.num_rigs()
    assert rigs == 1 or rigs == len(loaded.cameras)
    if rigs == 1:  # several cameras per frame, posed through the rig
        assert loaded.rec.num_frames() * len(loaded.cameras) == len(loaded.images)


@pytest.mark.parametrize("check", [camera_differences, image_differences, point_differences],
                         ids=["cameras", "images", "points3D"])
def test_records_match_pycolmap(loaded: Loaded, check: Callable[..., List[str]]) -> None:
    records = {camera_differences: loaded.cameras, image_differences: loaded.images,
               point_differences: loaded.points3D}[check]
    assert check(records, loaded.rec) == []


def test_overlaps_match_a_count_from_pycolmap_tracks(loaded: Loaded) -> None:
    expected = overlaps_from_tracks(loaded.rec)
    assert overlap_differences(tolv.compute_overlaps(loaded.points3D), expected) == []


def test_relative_poses_match_colmap_composition(loaded: Loaded) -> None:
    assert relative_pose_differences(loaded.images, loaded.rec) == []


def test_extras_match_pycolmap(loaded: Loaded) -> None:
    images_bin = Path(loaded.folder, "images.bin").read_bytes()
    assert extras_differences(loaded.cameras, loaded.images, images_bin, loaded.rec) == []


def test_single_file_readers_match_the_folder_reader(loaded: Loaded) -> None:
    cameras = tolv.read_cameras_bin(loaded.folder + "/cameras.bin")
    images = tolv.read_images_bin(loaded.folder + "/images.bin")
    points3D = tolv.read_points3D_bin(loaded.folder + "/points3D.bin")
    assert camera_differences(cameras, loaded.rec) == []
    assert image_differences(images, loaded.rec) == []
    assert point_differences(points3D, loaded.rec) == []


@pytest.mark.skipif(not OLD_COLMAP_PYTHON, reason="TOLV_OLD_COLMAP_PYTHON names no Python with "
                    "pycolmap 0.4.0 (COLMAP 3.8) to re-write the folders")
@pytest.mark.parametrize("plan", SCENES, ids=[s.label for s in SCENES])
def test_folders_rewritten_by_colmap_3_8_match(plan: ScenePlan, tmp_path: Path) -> None:
    original = write_scene(plan, str(tmp_path / "original"))
    rewritten = tmp_path / "rewritten"
    rewritten.mkdir()
    subprocess.run([OLD_COLMAP_PYTHON, "-c", REWRITE, original, str(rewritten)], check=True)
    assert sorted(os.listdir(rewritten)) == ["cameras.bin", "images.bin", "points3D.bin"]
    loaded = load_both(str(rewritten))
    assert every_difference(loaded) == []
    # A folder without rig and frame files: read_model has none either.
    assert model_differences(tx.read_model(str(rewritten)), loaded.rec, has_rigs=False) == []
    # Nothing was lost on the way through the older writer.
    first = pycolmap.Reconstruction(original)
    assert camera_differences(loaded.cameras, first) == []
    assert image_differences(loaded.images, first) == []
    assert point_differences(loaded.points3D, first) == []


# The checker itself: a folder that pycolmap has read is altered in one record
# before tolv reads it, and the comparison must name that field.

Alteration = Tuple[str, bytes, bytes]


def next_up(value: float) -> float:
    return float(np.nextafter(value, np.inf))


def alter_camera_param(rec: Any) -> Alteration:
    params = next(iter(rec.cameras.values())).params
    return "cameras.bin", bits([params[-1]]), bits([next_up(params[-1])])


def alter_translation(rec: Any) -> Alteration:
    t = next(iter(rec.images.values())).cam_from_world().translation
    return "images.bin", bits(t), bits([t[0], next_up(t[1]), t[2]])


def alter_quaternion(rec: Any) -> Alteration:
    x, y, z, w = next(iter(rec.images.values())).cam_from_world().rotation.quat
    return "images.bin", bits([w, x, y, z]), bits([w + 1e-9, x, y, z])


def alter_name(rec: Any) -> Alteration:
    name = next(im.name for im in rec.images.values() if "é" in im.name).encode("utf-8")
    return "images.bin", name, name.replace("é".encode("utf-8"), "è".encode("utf-8"))


def alter_point3D_id(rec: Any) -> Alteration:
    point = next(p for im in rec.images.values() for p in im.points2D if p.has_point3D())
    old = bits(point.xy) + struct.pack("<Q", point.point3D_id)
    return "images.bin", old, bits(point.xy) + struct.pack("<Q", NO_POINT3D)


def first_long_track(rec: Any) -> Any:
    return next(p for p in rec.points3D.values() if p.track.length() >= 2)


def point_head(point: Any, color: Optional[List[int]] = None,
               error: Optional[float] = None) -> bytes:
    """The bytes after a point's id: xyz, colour, error."""
    rgb = point.color if color is None else color
    return (bits(point.xyz) + bytes(int(c) for c in rgb)
            + bits([point.error if error is None else error]))


def alter_xyz(rec: Any) -> Alteration:
    xyz = first_long_track(rec).xyz
    return "points3D.bin", bits(xyz), bits([next_up(xyz[0]), xyz[1], xyz[2]])


def alter_colour(rec: Any) -> Alteration:
    point = first_long_track(rec)
    color = [(int(point.color[0]) + 1) % 256, int(point.color[1]), int(point.color[2])]
    return "points3D.bin", point_head(point), point_head(point, color=color)


def alter_error(rec: Any) -> Alteration:
    point = first_long_track(rec)
    return "points3D.bin", point_head(point), point_head(point, error=next_up(point.error))


def track_bytes(elements: List[Any]) -> bytes:
    return b"".join(struct.pack("<II", e.image_id, e.point2D_idx) for e in elements)


def alter_track_order(rec: Any) -> Alteration:
    elements = first_long_track(rec).track.elements
    swapped = [elements[1], elements[0]] + elements[2:]
    return "points3D.bin", track_bytes(elements), track_bytes(swapped)


def alter_track_image(rec: Any) -> Alteration:
    elements = first_long_track(rec).track.elements
    others = sorted(set(rec.images.keys()) - {e.image_id for e in elements})
    moved = pycolmap.TrackElement(others[0], elements[0].point2D_idx)
    return "points3D.bin", track_bytes(elements), track_bytes([moved] + elements[1:])


@pytest.mark.parametrize("alteration, reported", [
    (alter_camera_param, "params"), (alter_translation, "trans"), (alter_quaternion, "rot"),
    (alter_name, "name bytes"), (alter_point3D_id, "point3D_ids"), (alter_xyz, "xyz"),
    (alter_colour, "colour"), (alter_error, "error"), (alter_track_order, "track"),
    (alter_track_image, "overlaps differ"), (alter_quaternion, "cam_from_world"),
], ids=lambda v: getattr(v, "__name__", v))
def test_checker_reports_an_altered_record(tmp_path: Path, alteration: Callable[[Any], Alteration],
                                           reported: str) -> None:
    folder = write_scene(model_scenes()[4], str(tmp_path))
    rec = pycolmap.Reconstruction(folder)
    file_name, old, new = alteration(rec)
    data = Path(folder, file_name).read_bytes()
    assert old != new and data.count(old) == 1
    Path(folder, file_name).write_bytes(data.replace(old, new))
    loaded = Loaded(folder, rec, *tolv.read_reconstruction_bin(folder))
    differences = every_difference(loaded)
    assert any(reported in line for line in differences), differences


def test_checker_reports_a_record_missing_on_one_side(tmp_path: Path) -> None:
    folder = write_scene(model_scenes()[2], str(tmp_path))
    loaded = load_both(folder)
    assert every_difference(loaded) == []
    loaded.rec.delete_point3D(next(iter(loaded.rec.point3D_ids())))
    assert any(line.startswith("point ids") for line in every_difference(loaded))
