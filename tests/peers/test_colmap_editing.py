"""filter_points and filter_images against COLMAP doing the same deletions (pycolmap's
delete_point3D and deregister_frame, then its own writer and reader), and the edited
models written by write_model as pycolmap reads them."""

from __future__ import annotations

import os
from pathlib import Path
from typing import Any, Callable, Dict, List, Tuple

import pytest

pycolmap = pytest.importorskip(
    "pycolmap", reason="the peer tests compare with pycolmap: pip install '.[peers]'")

import numpy as np  # noqa: E402 (pycolmap brings numpy)

import tolv_extras as tx  # noqa: E402
from colmap_scenes import (RAW_NAME, RIG_SCENE, RIGS_SCENE, ScenePlan,  # noqa: E402
                           build_scene, model_scenes, write_scene)
from compare import model_differences  # noqa: E402

SCENES = [model_scenes()[2], RIG_SCENE, RIGS_SCENE]
Edit = Callable[[Any, Any], Tuple[Any, Any]]  # (model, rec) -> (edited model, edited rec)


def drop_points(model: Any, rec: Any) -> Tuple[Any, Any]:
    """A seeded third of the points, through filter_points and delete_point3D."""
    keep = np.random.default_rng(21).random(len(model.points.ids)) >= 1 / 3
    for point_id in model.points.ids[~keep].tolist():
        rec.delete_point3D(point_id)
    return tx.filter_points(model, keep), rec


def drop_frames(model: Any, rec: Any) -> Tuple[Any, Any]:
    """Every third frame's images (the first frame stays: it holds the scene's raw name),
    through filter_images and deregister_frame. COLMAP drops a point when its track
    falls below two; filter_images also drops points that were shorter before (the
    scenes hold one without a track), so those go here too."""
    frame_ids = sorted(rec.frames)[1::3]
    gone = set()
    for frame_id in frame_ids:
        gone |= {int(data.id) for data in rec.frames[frame_id].image_ids}
        rec.deregister_frame(frame_id)
    for point_id in list(rec.point3D_ids()):
        if rec.points3D[point_id].track.length() < 2:
            rec.delete_point3D(point_id)
    keep = ~np.isin(model.images.ids, sorted(gone))
    assert 0 < keep.sum() < len(keep)
    return tx.filter_images(model, keep), rec


EDITS: Dict[str, Edit] = {"filter_points": drop_points, "filter_images": drop_frames}
CASES = [(plan, name) for plan in SCENES for name in EDITS]


def edited(plan: ScenePlan, name: str, root: Path) -> Tuple[Any, Any]:
    """The edited model and COLMAP's reading of its own writing of the same edit."""
    original = write_scene(plan, str(root / "original"))
    model = tx.read_model(original, "bin")
    ours, rec = EDITS[name](model, build_scene(plan))
    return ours, pycolmap.Reconstruction(write_scene(plan, str(root / "colmap"), "bin", rec))


@pytest.mark.parametrize("plan, name", CASES, ids=[f"{p.label}-{n}" for p, n in CASES])
def test_edit_matches_colmap_doing_the_same(tmp_path: Path, plan: ScenePlan, name: str) -> None:
    ours, theirs = edited(plan, name, tmp_path)
    assert model_differences(ours, theirs, raw_name=RAW_NAME[1], text=False,
                             has_rigs=True) == []


WRITE_CASES = [(plan, name, fmt) for plan, name in CASES for fmt in ("bin", "txt")]


@pytest.mark.parametrize("plan, name, fmt", WRITE_CASES,
                         ids=[f"{p.label}-{n}-{f}" for p, n, f in WRITE_CASES])
def test_edited_model_written_reads_back_in_pycolmap(tmp_path: Path, plan: ScenePlan, name: str,
                                                     fmt: str) -> None:
    write_model = getattr(tx, "write_model", None)
    if write_model is None:
        pytest.skip("this tolv_extras has no write_model")
    ours, _ = edited(plan, name, tmp_path)
    folder = str(tmp_path / "written")
    os.makedirs(folder)
    write_model(folder, ours, fmt)
    rec = pycolmap.Reconstruction(folder)
    assert model_differences(ours, rec, raw_name=RAW_NAME[1], text=fmt == "txt",
                             has_rigs=True) == []
    again = tx.read_model(folder, fmt)
    differing: List[str] = [
        f"{table}.{field}" for table, arrays in ours._asdict().items()
        for field, column in arrays._asdict().items()
        if not (column == getattr(getattr(again, table), field) if isinstance(column, list)
                else np.array_equal(column, getattr(getattr(again, table), field),
                                    equal_nan=True))]
    assert differing == []
