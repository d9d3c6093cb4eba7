"""tolv_extras.write_model against COLMAP's own writer: every folder pycolmap writes,
read and written back, must be the same bytes, in either format and across formats,
and pycolmap must read what write_model wrote as the same model."""

from __future__ import annotations

import os
import subprocess
from pathlib import Path
from typing import Any, Callable, Dict, List

import pytest

pycolmap = pytest.importorskip(
    "pycolmap", reason="the peer tests compare with pycolmap: pip install '.[peers]'")

import numpy as np  # noqa: E402 (pycolmap brings numpy)

import tolv_extras as tx  # noqa: E402
from colmap_scenes import (LARGE_SCENE, MODEL_NAMES, RAW_NAME, RIG_SCENE,  # noqa: E402
                           RIGS_SCENE, ScenePlan, build_scene, model_scenes, shuffle_records,
                           write_scene)
from compare import model_differences  # noqa: E402
from test_colmap_writer import OLD_COLMAP_PYTHON  # noqa: E402

KINDS = ("cameras", "images", "points3D", "rigs", "frames")


def special_scene() -> Any:
    """What the random scenes rarely carry: an image without 2D points, a track that
    sees one image twice, a point without a track, parameters that are -0, NaN, inf,
    tiny and huge, and a frame with no image of its own rig's second camera."""
    rec = pycolmap.Reconstruction()
    camera = pycolmap.Camera.create_from_model_name(7, "FULL_OPENCV", 1.0, 2**40, 3)
    camera.params = [float("nan"), float("inf"), -float("inf"), -0.0, 1e20, 5e-324, 1e-5,
                     123456789012345678.0, 0.1, 1 / 3, 100.0, -1e-300]
    rec.add_camera(camera)
    rig = pycolmap.Rig(rig_id=2)
    rig.add_ref_sensor(camera.sensor_id)
    rec.add_rig(rig)
    frame = pycolmap.Frame()
    frame.frame_id = 9
    frame.rig_id = 2
    frame.rig_from_world = pycolmap.Rigid3d()
    for image_id in (5, 6):
        frame.add_data_id(pycolmap.data_t(camera.sensor_id, image_id))
    rec.add_frame(frame)
    rec.add_image(pycolmap.Image(image_id=5, name="no points", camera_id=7, frame_id=9))
    points = [pycolmap.Point2D(np.array([x, -0.0])) for x in (1.5, 2.5, 3.5)]
    rec.add_image(pycolmap.Image(image_id=6, name="c", camera_id=7, frame_id=9,
                                 points2D=points))
    track = pycolmap.Track()
    track.add_element(6, 0)
    track.add_element(6, 2)
    rec.add_point3D_with_id(2**40, pycolmap.Point3D(xyz=np.array([-0.0, 1e-320, 7.0]),
                                                    color=np.array([0, 255, 9], np.uint8),
                                                    error=0.25, track=track))
    rec.add_point3D(np.array([1.0, 2.0, 3.0]), pycolmap.Track(), np.array([1, 2, 3], np.uint8))
    return rec


SPECIAL = ScenePlan("special_values", ["FULL_OPENCV"], 0, 0, 0)
SCENES = model_scenes(range(len(MODEL_NAMES))) + [LARGE_SCENE, RIG_SCENE, RIGS_SCENE, SPECIAL]
SHUFFLED = (RIG_SCENE, RIGS_SCENE)


@pytest.fixture(scope="module")
def written(tmp_path_factory: pytest.TempPathFactory) -> Callable[[ScenePlan], Dict[str, str]]:
    """Each scene as pycolmap writes it, by variant: bin, txt, and for some scenes the
    same files with their records shuffled."""
    folders: Dict[str, Dict[str, str]] = {}

    def write(plan: ScenePlan) -> Dict[str, str]:
        if plan.label not in folders:
            root = tmp_path_factory.mktemp(plan.label)
            rec = special_scene() if plan is SPECIAL else build_scene(plan)
            out = {fmt: write_scene(plan, str(root / fmt), fmt, rec) for fmt in ("bin", "txt")}
            if plan in SHUFFLED:
                for fmt in ("bin", "txt"):
                    out[fmt + "_shuffled"] = shuffle_records(out[fmt], str(root / (fmt + "_s")),
                                                             fmt, plan.seed)
            folders[plan.label] = out
        return folders[plan.label]
    return write


def files_of(folder: str, fmt: str) -> Dict[str, bytes]:
    return {kind: Path(folder, f"{kind}.{fmt}").read_bytes() for kind in KINDS
            if Path(folder, f"{kind}.{fmt}").exists()}


def differing(ours: Dict[str, bytes], theirs: Dict[str, bytes]) -> List[str]:
    """The files that differ, with the first byte where they do."""
    out = [] if ours.keys() == theirs.keys() else [f"files {sorted(ours)} != {sorted(theirs)}"]
    for kind in sorted(set(ours) & set(theirs)):
        a, b = ours[kind], theirs[kind]
        if a != b:
            at = next((k for k, (x, y) in enumerate(zip(a, b)) if x != y), min(len(a), len(b)))
            out.append(f"{kind}: first difference at byte {at}: {a[at:at + 40]!r} != "
                       f"{b[at:at + 40]!r}")
    return out


CONVERSIONS = [(plan, source, target) for plan in SCENES
               for source, target in (("bin", "bin"), ("txt", "txt"), ("bin", "txt"),
                                      ("txt", "bin"))]
CONVERSIONS += [(plan, f"{fmt}_shuffled", fmt) for plan in SHUFFLED for fmt in ("bin", "txt")]


@pytest.mark.parametrize("plan, source, target", CONVERSIONS,
                         ids=[f"{p.label}-{s}-to-{t}" for p, s, t in CONVERSIONS])
def test_written_bytes_are_colmaps(plan: ScenePlan, source: str, target: str, tmp_path: Path,
                                   written: Callable[[ScenePlan], Dict[str, str]]) -> None:
    folders = written(plan)
    model = tx.read_model(folders[source], source[:3])
    tx.write_model(tmp_path, model, target)
    # The shuffled folder's records in its own order; the others as pycolmap wrote them.
    expected = folders[source] if source.endswith("shuffled") else folders[target]
    assert differing(files_of(str(tmp_path), target), files_of(expected, target)) == []
    assert sorted(os.listdir(tmp_path)) == sorted(f"{kind}.{target}"
                                                  for kind in files_of(expected, target))


@pytest.mark.parametrize("plan", SCENES, ids=[p.label for p in SCENES])
@pytest.mark.parametrize("fmt", ["bin", "txt"])
def test_pycolmap_reads_what_was_written(plan: ScenePlan, fmt: str, tmp_path: Path,
                                         written: Callable[[ScenePlan], Dict[str, str]]) -> None:
    model = tx.read_model(written(plan)["bin"], "bin")
    if fmt == "txt" and plan is SPECIAL:
        # COLMAP's text reader refuses cameras with parameters that are not finite.
        finite = np.nan_to_num(model.cameras.params, nan=0.5, posinf=2.0, neginf=-2.0)
        model = model._replace(cameras=model.cameras._replace(params=finite))
        tx.write_model(tmp_path, model, fmt)
        model = tx.read_model(tmp_path, fmt)  # with the calibration matrices of those
    tx.write_model(tmp_path, model, fmt)
    rec = pycolmap.Reconstruction(str(tmp_path))
    assert model_differences(model, rec, raw_name=RAW_NAME[1], text=fmt == "txt",
                             has_rigs=True) == []


OLD_SCENES = model_scenes() + [LARGE_SCENE, RIG_SCENE]
OLD_READ = ("import sys, pycolmap; rec = pycolmap.Reconstruction(sys.argv[1]); "
            "rec.write(sys.argv[2])")


@pytest.mark.skipif(not OLD_COLMAP_PYTHON, reason="TOLV_OLD_COLMAP_PYTHON names no Python with "
                    "pycolmap 0.4.0 (COLMAP 3.8) to read the folders")
@pytest.mark.parametrize("plan", OLD_SCENES, ids=[p.label for p in OLD_SCENES])
def test_colmap_3_8_reads_what_was_written(plan: ScenePlan, tmp_path: Path,
                                           written: Callable[[ScenePlan], Dict[str, str]]
                                           ) -> None:
    model = tx.read_model(written(plan)["bin"], "bin")
    ours = tmp_path / "ours"
    tx.write_model(ours, model._replace(rigs=None, frames=None), "bin")
    rewritten = tmp_path / "rewritten"
    rewritten.mkdir()
    subprocess.run([OLD_COLMAP_PYTHON, "-c", OLD_READ, str(ours), str(rewritten)], check=True)
    # COLMAP 3.8 read every record and wrote it back; it normalises quaternions as it
    # reads them, so those agree to rounding, everything else exactly.
    again = tx.read_model(str(rewritten), "bin")
    assert model_differences(again, pycolmap.Reconstruction(str(rewritten)), has_rigs=False) == []
    ours_order, again_order = np.argsort(model.images.ids), np.argsort(again.images.ids)
    assert np.allclose(model.images.quaternions[ours_order],
                       again.images.quaternions[again_order], rtol=0, atol=1e-15)
    for table in ("cameras", "images", "points"):
        assert sorted(getattr(again, table).ids.tolist()) == \
            sorted(getattr(model, table).ids.tolist())
    unit = model._replace(rigs=None, frames=None, images=model.images._replace(
        quaternions=again.images.quaternions[again_order][np.argsort(ours_order)]))
    assert model_differences(unit, pycolmap.Reconstruction(str(rewritten)), has_rigs=False) == []
