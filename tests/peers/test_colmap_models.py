"""tolv_extras.read_model against COLMAP's own writer and reader: every scene written by
pycolmap in binary and in text must read field by field as pycolmap reads it, in the
files' record order, and the text model exactly as the binary one."""

from __future__ import annotations

import os
import struct
from pathlib import Path
from typing import Any, Callable, Dict, List, NamedTuple, Tuple

import pytest

pycolmap = pytest.importorskip(
    "pycolmap", reason="the peer tests compare with pycolmap: pip install '.[peers]'")

import numpy as np  # noqa: E402 (pycolmap brings numpy)

import tolv_extras as tx  # noqa: E402
from colmap_scenes import (LARGE_SCENE, MODEL_NAMES, RAW_NAME, RIG_SCENE,  # noqa: E402
                           RIGS_SCENE, ScenePlan, build_scene, model_scenes, record_ids,
                           shuffle_records, text_records, write_scene)
from compare import MODEL_CHECKS, NO_POINT3D, bits, model_differences  # noqa: E402
from test_colmap_writer import (SAMPLE, alter_camera_param, alter_colour,  # noqa: E402
                                alter_error, alter_name, alter_point3D_id, alter_quaternion,
                                alter_track_order, alter_translation, alter_xyz)

SCENES = model_scenes(range(len(MODEL_NAMES))) + [LARGE_SCENE, RIG_SCENE, RIGS_SCENE]
# Scenes also read with their files' records in a random order.
SHUFFLED = (RIG_SCENE, RIGS_SCENE)
VARIANTS = {plan.label: ["bin", "txt"] + (["bin_shuffled", "txt_shuffled"] if plan in SHUFFLED
                                          else []) for plan in SCENES}
CASES = [(plan, variant) for plan in SCENES for variant in VARIANTS[plan.label]]
TABLES = {"cameras": "cameras", "images": "images", "points3D": "points", "rigs": "rigs",
          "frames": "frames"}


class Case(NamedTuple):
    folder: str
    fmt: str
    model: Any  # tolv_extras.Model
    rec: Any  # pycolmap.Reconstruction of the same folder
    has_rigs: bool


@pytest.fixture(scope="module")
def written(tmp_path_factory: pytest.TempPathFactory) -> Callable[[ScenePlan], Dict[str, str]]:
    """Each scene's folders by variant, built and written once."""
    folders: Dict[str, Dict[str, str]] = {}

    def write(plan: ScenePlan) -> Dict[str, str]:
        if plan.label not in folders:
            root, rec = tmp_path_factory.mktemp(plan.label), build_scene(plan)
            out = {fmt: write_scene(plan, str(root / fmt), fmt, rec) for fmt in ("bin", "txt")}
            for variant in VARIANTS[plan.label][2:]:
                out[variant] = shuffle_records(out[variant[:3]], str(root / variant),
                                               variant[:3], plan.seed)
            folders[plan.label] = out
        return folders[plan.label]
    return write


@pytest.fixture(scope="module", params=CASES + [(None, "bin")],
                ids=[f"{plan.label}-{variant}" for plan, variant in CASES]
                + ["repository_sample-bin"])
def case(request: pytest.FixtureRequest, written: Callable[[ScenePlan], Dict[str, str]]) -> Case:
    plan, variant = request.param
    folder = str(SAMPLE) if plan is None else written(plan)[variant]
    fmt = variant[:3]
    return Case(folder, fmt, tx.read_model(folder, fmt), pycolmap.Reconstruction(folder),
                os.path.exists(os.path.join(folder, "rigs." + fmt)))


@pytest.mark.parametrize("table", list(MODEL_CHECKS))
def test_model_matches_pycolmap(case: Case, table: str) -> None:
    assert MODEL_CHECKS[table](case.model, case.rec, raw_name=RAW_NAME[1],
                               text=case.fmt == "txt", has_rigs=case.has_rigs) == []


def test_rows_are_in_file_order(case: Case) -> None:
    for kind, table in TABLES.items():
        arrays = getattr(case.model, table)
        if arrays is not None:
            assert arrays.ids.tolist() == record_ids(case.folder, kind, case.fmt), kind
    if case.fmt != "txt" or not case.has_rigs:
        return  # a binary model's inner order is the text one's (the next test)
    rigs, frames = case.model.rigs, case.model.frames
    sensors = [(int(t), int(i)) for t, i in zip(rigs.sensor_types, rigs.sensor_ids)]
    data = [(int(t), int(s), int(d))
            for t, s, d in zip(frames.data_sensor_types, frames.data_sensor_ids, frames.data_ids)]
    assert sensors == [sensor for tokens in text_tokens(case.folder, "rigs")
                       for sensor in rig_sensors(tokens)]
    assert data == [datum for tokens in text_tokens(case.folder, "frames")
                    for datum in frame_data(tokens)]


SENSOR_TYPES = {b"CAMERA": 0, b"IMU": 1}


def text_tokens(folder: str, kind: str) -> List[List[bytes]]:
    return [record[0].split() for record in
            text_records(kind, Path(folder, f"{kind}.txt").read_bytes())[1]]


def rig_sensors(tokens: List[bytes]) -> List[Tuple[int, int]]:
    """A rigs.txt line's sensors in their order: the reference, then each with its pose."""
    count, at, out = int(tokens[1]), 2, []
    for k in range(count):
        out.append((SENSOR_TYPES[tokens[at]], int(tokens[at + 1])))
        at += 2 if k == 0 else 3 + 7 * int(tokens[at + 2])
    return out


def frame_data(tokens: List[bytes]) -> List[Tuple[int, int, int]]:
    at = 10  # id, rig id, 7 pose values, the count
    return [(SENSOR_TYPES[tokens[k]], int(tokens[k + 1]), int(tokens[k + 2]))
            for k in range(at, at + 3 * int(tokens[9]), 3)]


TEXT_CASES = [(plan, variant) for plan, variant in CASES if variant.startswith("txt")]


@pytest.mark.parametrize("plan, variant", TEXT_CASES,
                         ids=[f"{plan.label}-{variant}" for plan, variant in TEXT_CASES])
def test_text_model_is_the_binary_model(plan: ScenePlan, variant: str,
                                        written: Callable[[ScenePlan], Dict[str, str]]) -> None:
    """Bit for bit, names with spaces and bytes that are not UTF-8 included."""
    folders = written(plan)
    text = tx.read_model(folders[variant], "txt")
    binary = tx.read_model(folders[variant.replace("txt", "bin")], "bin")
    for table, ours in text._asdict().items():
        theirs = getattr(binary, table)
        for name, column in ours._asdict().items():
            other = getattr(theirs, name)
            if isinstance(column, list):
                assert column == other, f"{table}.{name}"
            else:
                assert (column.dtype, column.shape, column.tobytes()) == \
                    (other.dtype, other.shape, other.tobytes()), f"{table}.{name}"


def test_scenes_carry_what_they_are_built_for(case: Case) -> None:
    """Without these the comparisons above would prove less than they claim."""
    images, points = case.model.images, case.model.points
    assert NO_POINT3D in images.point3D_ids.tolist()
    if case.folder == str(SAMPLE):
        assert case.model.rigs is None and case.model.frames is None
        return
    assert 0 in np.diff(images.points2D_offsets) and 0 in np.diff(points.track_offsets)
    assert any(" " in name for name in images.names)
    if RIGS_SCENE.label not in case.folder:
        return
    rigs = case.model.rigs
    assert RAW_NAME[1] in [name.encode("utf-8", "surrogateescape") for name in images.names]
    assert 0 in np.diff(rigs.sensor_offsets)  # a rig without sensors
    assert 1 in rigs.sensor_types.tolist()  # an IMU
    references = rigs.sensor_offsets[:-1][np.diff(rigs.sensor_offsets) > 0]
    assert not np.delete(np.asarray(rigs.has_pose, dtype=bool), references).all()  # no pose
    assert 1 in case.model.frames.data_sensor_types.tolist()
    assert np.isnan(case.model.cameras.K).all(axis=(1, 2)).any()  # EQUIRECTANGULAR


# The checker itself: a folder that pycolmap has read is altered in one record before
# read_model reads it, and the comparison must name that field.

Alteration = Tuple[str, bytes, bytes]


def alter_sensor_translation(rec: Any) -> Alteration:
    rig = next(r for r in rec.rigs.values() if r.non_ref_sensors)
    t = next(iter(rig.non_ref_sensors.values())).translation
    return "rigs.bin", bits(t), bits([t[0], t[1], np.nextafter(t[2], np.inf)])


def alter_data_id(rec: Any) -> Alteration:
    frame = next(iter(rec.frames.values()))
    data = next(iter(frame.data_ids))
    old = struct.pack("<iIQ", int(data.sensor_id.type.value), data.sensor_id.id, data.id)
    return "frames.bin", old, old[:8] + struct.pack("<Q", data.id + 2**40)


@pytest.mark.parametrize("alteration, reported", [
    (alter_camera_param, "params"), (alter_translation, "translations"),
    (alter_quaternion, "quaternions"), (alter_name, "names"), (alter_point3D_id, "point3D_ids"),
    (alter_xyz, "xyz"), (alter_colour, "rgb"), (alter_error, "error"),
    (alter_track_order, "track"), (alter_sensor_translation, "other sensors"),
    (alter_data_id, "data_ids"),
], ids=lambda v: getattr(v, "__name__", v))
def test_checker_reports_an_altered_record(tmp_path: Path, alteration: Callable[[Any], Alteration],
                                           reported: str) -> None:
    folder = write_scene(RIG_SCENE, str(tmp_path))
    rec = pycolmap.Reconstruction(folder)
    file_name, old, new = alteration(rec)
    data = Path(folder, file_name).read_bytes()
    assert old != new and data.count(old) == 1
    Path(folder, file_name).write_bytes(data.replace(old, new))
    differences = model_differences(tx.read_model(folder, "bin"), rec)
    assert any(f": {reported} " in line for line in differences), differences
