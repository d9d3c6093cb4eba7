"""Reconstructions built and written by COLMAP's own writer (through pycolmap).

Each scene is random but seeded: noisy intrinsics, poses and points at full double
precision, ids with gaps (and near the top of their ranges), UTF-8 names, keypoints
without a 3D point, and COLMAP's own deletions of points and observations, so the
files carry what a real reconstruction carries after bundle adjustment and filtering.
"""

from __future__ import annotations

import os
import struct
from pathlib import Path
from typing import Dict, Iterator, List, NamedTuple, Optional, Sequence, Tuple

import numpy as np
import pycolmap

# COLMAP's camera models by code. tolv's records know the first TOLV_MODELS of them,
# tolv_extras.read_model all.
MODEL_NAMES = [
    "SIMPLE_PINHOLE", "PINHOLE", "SIMPLE_RADIAL", "RADIAL", "OPENCV", "OPENCV_FISHEYE",
    "FULL_OPENCV", "FOV", "SIMPLE_RADIAL_FISHEYE", "RADIAL_FISHEYE", "THIN_PRISM_FISHEYE",
    "RAD_TAN_THIN_PRISM_FISHEYE", "SIMPLE_DIVISION", "DIVISION", "SIMPLE_FISHEYE", "FISHEYE",
    "EUCM", "EQUIRECTANGULAR",
]
TOLV_MODELS = 11
SENSORS = [(640, 480), (1920, 1080), (4000, 3000), (1, 1), (7360, 4912)]
NAME_STEMS = ["IMG_{:04d}.JPG", "café_{}.jpg", "写真/{}.png", "Ølberg sør {}.jpeg", "x{}"]
# Ids the formats allow at the top of their ranges; the ranges' own last values
# are COLMAP's invalid ids.
TOP_CAMERA_ID = 2**32 - 2
TOP_IMAGE_ID = 2**32 - 2
TOP_RIG_ID = 2**32 - 2
HIGH_POINT_ID = 2**40 + 17
# What a plan with extras adds: an IMU and a camera without a pose (and without images)
# in the last rig, IMU data in that rig's frames, a rig without sensors, and one image
# name stored as bytes that are not UTF-8 (COLMAP only takes UTF-8 names: patched into
# the written file, same length).
IMU_SENSOR = pycolmap.sensor_t(pycolmap.SensorType.IMU, 2**32 - 3)
IMU_DATA_BASE = 2**63
UNPOSED_CAMERA_ID = 2**31
EMPTY_RIG_ID = 3
RAW_NAME = ("café_1.jpg".encode("utf-8"), b"caf\xe9\xff_1.jpg")


class ScenePlan(NamedTuple):
    label: str
    models: Sequence[str]  # one camera per entry, cycled over the images
    images: int
    points: int
    seed: int
    # The sizes of the rigs the cameras form, in order (the first camera of each is its
    # reference), one frame per rig per turn through the cameras; none: a rig per camera.
    rigs: Sequence[int] = ()
    extras: bool = False  # see IMU_SENSOR


def model_scenes(codes: Sequence[int] = range(TOLV_MODELS)) -> List[ScenePlan]:
    """One small scene per camera model."""
    return [ScenePlan(f"model{code}_{MODEL_NAMES[code].lower()}", [MODEL_NAMES[code]], 6, 150,
                      100 + code) for code in codes]


LARGE_SCENE = ScenePlan("large_models_0_to_10", MODEL_NAMES[:TOLV_MODELS], 300, 20_000, 7)
# Images of a rig get their poses composed from the frame's and the sensor's.
RIG_SCENE = ScenePlan("rig_of_three_cameras", ["OPENCV", "PINHOLE", "SIMPLE_RADIAL_FISHEYE"],
                      24, 800, 11, rigs=(3,))
# Models tolv's records do not know, so for read_model only.
RIGS_SCENE = ScenePlan("two_rigs_imu_newer_models",
                       ["EUCM", "EQUIRECTANGULAR", "SIMPLE_DIVISION", "RAD_TAN_THIN_PRISM_FISHEYE",
                        "FISHEYE"], 20, 600, 13, rigs=(3, 2), extras=True)


def rig_ids(plan: ScenePlan) -> List[int]:
    return [1 + 4 * k for k in range(len(plan.rigs) - 1)] + [TOP_RIG_ID]


def noisy_params(rng: np.random.Generator, model: str, width: int, height: int) -> np.ndarray:
    """Parameters of the model's length: focal lengths, principal point, distortion."""
    template = pycolmap.Camera.create_from_model_name(1, model, 1.0, width, height)
    params = rng.normal(0.0, 0.05, size=len(template.params))
    for index in template.focal_length_idxs():
        params[index] = rng.uniform(0.6, 1.4) * max(width, height)
    principal = template.principal_point_idxs()
    if len(principal) == 2:
        params[principal[0]] = width / 2 + rng.normal(0.0, 3.0)
        params[principal[1]] = height / 2 + rng.normal(0.0, 3.0)
    return params


def random_pose(rng: np.random.Generator) -> pycolmap.Rigid3d:
    quat_xyzw = rng.normal(size=4)
    quat_xyzw /= np.linalg.norm(quat_xyzw)
    return pycolmap.Rigid3d(pycolmap.Rotation3d(quat_xyzw), rng.normal(0.0, 10.0, size=3))


def add_cameras(rec: pycolmap.Reconstruction, rng: np.random.Generator,
                plan: ScenePlan) -> List[int]:
    """The cameras that take the images, each in a rig of its own or in the plan's rigs."""
    camera_ids = [1 + 5 * k for k in range(len(plan.models) - 1)] + [TOP_CAMERA_ID]
    cameras = []
    for k, (camera_id, model) in enumerate(zip(camera_ids, plan.models)):
        width, height = SENSORS[k % len(SENSORS)]
        params = noisy_params(rng, model, width, height)
        cameras.append(pycolmap.Camera(camera_id=camera_id, model=model, width=width,
                                       height=height, params=params))
        if plan.rigs:
            rec.add_camera(cameras[-1])
        else:
            rec.add_camera_with_trivial_rig(cameras[-1])
    start = 0
    for rig_id, size in zip(rig_ids(plan), plan.rigs):
        rig = pycolmap.Rig(rig_id=rig_id)
        rig.add_ref_sensor(cameras[start].sensor_id)
        for camera in cameras[start + 1:start + size]:
            rig.add_sensor(camera.sensor_id, random_pose(rng))
        start += size
        if plan.extras and rig_id == TOP_RIG_ID:
            rig.add_sensor(IMU_SENSOR, random_pose(rng))
            unposed = pycolmap.Camera(camera_id=UNPOSED_CAMERA_ID, model="PINHOLE", width=64,
                                      height=48, params=[50.0, 51.0, 32.0, 24.0])
            rec.add_camera(unposed)
            rig.add_sensor(unposed.sensor_id, None)
        rec.add_rig(rig)
    if plan.extras:
        rec.add_rig(pycolmap.Rig(rig_id=EMPTY_RIG_ID))
    return camera_ids


def add_images(rec: pycolmap.Reconstruction, rng: np.random.Generator, plan: ScenePlan,
               image_ids: Sequence[int], camera_ids: Sequence[int],
               keypoint_counts: Sequence[int]) -> None:
    images = [pycolmap.Image(name=image_name(index),
                             keypoints=rng.uniform(0.0, 1000.0, size=(keypoint_counts[index], 2)),
                             camera_id=camera_ids[index % len(camera_ids)], image_id=image_id)
              for index, image_id in enumerate(image_ids)]
    if not plan.rigs:
        for image in images:
            rec.add_image_with_trivial_frame(image, random_pose(rng))
        return
    frame_id, start = 0, 0
    while start < len(images):
        for rig_id, size in zip(rig_ids(plan), plan.rigs):
            frame_id += 1
            members, start = images[start:start + size], start + size
            frame = pycolmap.Frame(frame_id=frame_id, rig_id=rig_id)
            for image in members:
                frame.add_data_id(image.data_id)
            if plan.extras and rig_id == TOP_RIG_ID:
                frame.add_data_id(pycolmap.data_t(sensor_id=IMU_SENSOR,
                                                  id=IMU_DATA_BASE + frame_id))
            frame.rig_from_world = random_pose(rng)
            rec.add_frame(frame)
            for image in members:
                image.frame_id = frame_id
                rec.add_image(image)
            rec.register_frame(frame_id)


def image_ids_with_gaps(rng: np.random.Generator, count: int) -> List[int]:
    ids = sorted(int(i) for i in rng.choice(np.arange(1, 4 * count + 2), size=count - 1,
                                            replace=False))
    return ids + [TOP_IMAGE_ID]


def plan_tracks(rng: np.random.Generator, num_images: int,
                num_points: int) -> List[List[int]]:
    """For each point, the distinct image indices that see it (2 to 8 of them).

    The last two images are left out of every track: images without any 3D point, the
    last one without any keypoint either.
    """
    usable = max(num_images - 2, 2)
    tracks = []
    for _ in range(num_points):
        length = int(rng.integers(2, min(8, usable) + 1))
        tracks.append([int(i) for i in rng.choice(usable, size=length, replace=False)])
    return tracks


def keypoint_slots(rng: np.random.Generator, tracks: Sequence[Sequence[int]],
                   num_images: int) -> Tuple[List[int], List[List[int]]]:
    """Keypoint counts per image and, per point, the keypoint each observation uses.

    Every image gets some keypoints that no point uses; the used ones are spread
    over the keypoint list instead of coming first.
    """
    used = [0] * num_images
    for track in tracks:
        for image in track:
            used[image] += 1
    totals = [u + int(rng.integers(0, 6)) for u in used[:-1]] + [used[-1]]
    shuffled = [list(rng.permutation(total)) for total in totals]
    taken = [0] * num_images
    slots = []
    for track in tracks:
        point_slots = []
        for image in track:
            point_slots.append(int(shuffled[image][taken[image]]))
            taken[image] += 1
        slots.append(point_slots)
    return totals, slots


def image_name(index: int) -> str:
    return NAME_STEMS[index % len(NAME_STEMS)].format(index)


def build_scene(plan: ScenePlan) -> pycolmap.Reconstruction:
    rng = np.random.default_rng(plan.seed)
    rec = pycolmap.Reconstruction()
    camera_ids = add_cameras(rec, rng, plan)
    image_ids = image_ids_with_gaps(rng, plan.images)
    tracks = plan_tracks(rng, plan.images, plan.points)
    totals, slots = keypoint_slots(rng, tracks, plan.images)
    add_images(rec, rng, plan, image_ids, camera_ids, totals)
    for number, (track_images, track_slots) in enumerate(zip(tracks, slots)):
        track = pycolmap.Track()
        for image, slot in zip(track_images, track_slots):
            track.add_element(image_ids[image], slot)
        point = pycolmap.Point3D(xyz=rng.normal(0.0, 50.0, size=3),
                                 color=rng.integers(0, 256, size=3).astype(np.uint8),
                                 error=float(rng.exponential(0.8)), track=track)
        point_id = HIGH_POINT_ID + number if number % 97 == 5 else 1 + 3 * number
        rec.add_point3D_with_id(point_id, point)
    rec.add_point3D(rng.normal(size=3), pycolmap.Track(), np.array([1, 2, 3], np.uint8))
    delete_some(rec, rng)
    return rec


def delete_some(rec: pycolmap.Reconstruction, rng: np.random.Generator) -> None:
    """COLMAP's own deletions: whole points, and single observations (which drop a
    point whose track falls below two)."""
    point_ids = sorted(rec.point3D_ids())
    for point_id in point_ids[::11]:
        rec.delete_point3D(point_id)
    for point_id in point_ids[3::13]:
        if rec.exists_point3D(point_id):
            elements = rec.points3D[point_id].track.elements
            if elements:
                victim = elements[int(rng.integers(0, len(elements)))]
                rec.delete_observation(victim.image_id, victim.point2D_idx)


def write_scene(plan: ScenePlan, folder: str, fmt: str = "bin",
                rec: Optional[pycolmap.Reconstruction] = None) -> str:
    """The plan's scene (or rec, built from it) written by COLMAP as "bin" or "txt"."""
    os.makedirs(folder, exist_ok=True)
    rec = build_scene(plan) if rec is None else rec
    (rec.write_text if fmt == "txt" else rec.write_binary)(folder)
    if plan.extras:
        path = Path(folder, "images." + fmt)
        end = b"\n" if fmt == "txt" else b"\0"
        data = path.read_bytes()
        assert data.count(RAW_NAME[0] + end) == 1
        path.write_bytes(data.replace(RAW_NAME[0] + end, RAW_NAME[1] + end))
    return folder


def overlaps_from_tracks(rec: pycolmap.Reconstruction) -> Dict[int, Dict[int, int]]:
    """Co-visibility from pycolmap's tracks: for a != b the sum over points of
    c_a * c_b, and c_a * (c_a + 1) on the diagonal, c_x being how often image x
    occurs in the point's track."""
    counts: Dict[int, Dict[int, int]] = {}
    for point in rec.points3D.values():
        per_image: Dict[int, int] = {}
        for element in point.track.elements:
            per_image[element.image_id] = per_image.get(element.image_id, 0) + 1
        for a, c_a in per_image.items():
            row = counts.setdefault(a, {})
            for b, c_b in per_image.items():
                row[b] = row.get(b, 0) + (c_a * (c_a + 1) if a == b else c_a * c_b)
    return counts


# The written files' records, to read their order and to write them in another order.
KINDS = ("cameras", "images", "points3D", "rigs", "frames")
PARAM_COUNTS = [len(pycolmap.Camera.create_from_model_name(1, name, 1.0, 2, 2).params)
                for name in MODEL_NAMES]


def binary_records(kind: str, data: bytes) -> Iterator[bytes]:
    """Each record of a .bin file, after the file's 64-bit record count."""
    at = 8
    for _ in range(struct.unpack_from("<Q", data)[0]):
        start = at
        if kind == "cameras":  # id, model, width, height, the model's params
            at += 24 + 8 * PARAM_COUNTS[struct.unpack_from("<i", data, at + 4)[0]]
        elif kind == "images":  # id, pose, camera id, name, then (x, y, point id) per keypoint
            at = data.index(b"\0", at + 64) + 1
            at += 8 + 24 * struct.unpack_from("<Q", data, at)[0]
        elif kind == "points3D":  # id, xyz, rgb, error, then (image id, keypoint) per element
            at += 51 + 8 * struct.unpack_from("<Q", data, at + 43)[0]
        elif kind == "rigs":  # id, sensor count, the reference, then (sensor, has pose, pose)
            count = struct.unpack_from("<I", data, at + 4)[0]
            at += 16 if count else 8
            for _ in range(count - 1):
                at += 9 + (56 if data[at + 8] else 0)
        else:  # frames: id, rig id, pose, then (sensor, data id) per datum
            at += 68 + 16 * struct.unpack_from("<I", data, at + 64)[0]
        yield data[start:at]
    assert at == len(data), f"{kind}.bin: {len(data) - at} bytes after the records"


def text_records(kind: str, data: bytes) -> Tuple[List[bytes], List[List[bytes]]]:
    """A .txt file's comment lines and its records (two lines each in images.txt)."""
    lines = data.split(b"\n")
    assert lines[-1] == b""
    lines.pop()
    head = 0
    while head < len(lines) and lines[head].startswith(b"#"):
        head += 1
    size = 2 if kind == "images" else 1
    return lines[:head], [lines[k:k + size] for k in range(head, len(lines), size)]


def record_ids(folder: str, kind: str, fmt: str) -> List[int]:
    """The ids of a file's records in the order the file stores them."""
    data = Path(folder, f"{kind}.{fmt}").read_bytes()
    if fmt == "txt":
        return [int(record[0].split()[0]) for record in text_records(kind, data)[1]]
    return [struct.unpack_from("<Q" if kind == "points3D" else "<I", record)[0]
            for record in binary_records(kind, data)]


def shuffle_records(source: str, folder: str, fmt: str, seed: int) -> str:
    """source's files with their records in a seeded random order (the same for both
    formats of one scene), which COLMAP, keeping every table by id, never writes."""
    os.makedirs(folder, exist_ok=True)
    for kind in KINDS:
        data = Path(source, f"{kind}.{fmt}").read_bytes()
        if fmt == "txt":
            head, records = text_records(kind, data)
        else:
            head, records = [data[:8]], list(binary_records(kind, data))
        order = np.random.default_rng(seed).permutation(len(records))
        records = [records[k] for k in order]
        if fmt == "txt":
            data = b"\n".join(head + [line for record in records for line in record]) + b"\n"
        else:
            data = head[0] + b"".join(records)
        Path(folder, f"{kind}.{fmt}").write_bytes(data)
    return folder
