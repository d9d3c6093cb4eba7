"""Reconstructions built and written by COLMAP's own writer (through pycolmap).

Each scene is random but seeded: noisy intrinsics, poses and points at full double
precision, ids with gaps (and near the top of their ranges), UTF-8 names, keypoints
without a 3D point, and COLMAP's own deletions of points and observations, so the
files carry what a real reconstruction carries after bundle adjustment and filtering.
"""

from __future__ import annotations

import os
from typing import Dict, List, NamedTuple, Sequence, Tuple

import numpy as np
import pycolmap

# COLMAP's camera models by code, the ones the reader knows.
MODEL_NAMES = [
    "SIMPLE_PINHOLE", "PINHOLE", "SIMPLE_RADIAL", "RADIAL", "OPENCV", "OPENCV_FISHEYE",
    "FULL_OPENCV", "FOV", "SIMPLE_RADIAL_FISHEYE", "RADIAL_FISHEYE", "THIN_PRISM_FISHEYE",
]
SENSORS = [(640, 480), (1920, 1080), (4000, 3000), (1, 1), (7360, 4912)]
NAME_STEMS = ["IMG_{:04d}.JPG", "café_{}.jpg", "写真/{}.png", "Ølberg sør {}.jpeg", "x{}"]
# Ids the formats allow at the top of their ranges; the ranges' own last values
# are COLMAP's invalid ids.
TOP_CAMERA_ID = 2**32 - 2
TOP_IMAGE_ID = 2**32 - 2
HIGH_POINT_ID = 2**40 + 17


class ScenePlan(NamedTuple):
    label: str
    models: Sequence[str]  # one camera per entry, cycled over the images
    images: int
    points: int
    seed: int
    rig: bool = False  # all cameras in one rig, one frame per turn through the cameras


def model_scenes() -> List[ScenePlan]:
    """One small scene per camera model."""
    return [ScenePlan(f"model{code}_{name.lower()}", [name], 6, 150, 100 + code)
            for code, name in enumerate(MODEL_NAMES)]


LARGE_SCENE = ScenePlan("large_all_models", MODEL_NAMES, 300, 20_000, 7)
# Images of a rig get their poses composed from the frame's and the sensor's.
RIG_SCENE = ScenePlan("rig_of_three_cameras", ["OPENCV", "PINHOLE", "SIMPLE_RADIAL_FISHEYE"],
                      24, 800, 11, rig=True)


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
    """The cameras, each in a rig of its own, or all in one rig (the first the reference)."""
    camera_ids = [1 + 5 * k for k in range(len(plan.models) - 1)] + [TOP_CAMERA_ID]
    rig = pycolmap.Rig(rig_id=1)
    for k, (camera_id, model) in enumerate(zip(camera_ids, plan.models)):
        width, height = SENSORS[k % len(SENSORS)]
        camera = pycolmap.Camera(camera_id=camera_id, model=model, width=width, height=height,
                                 params=noisy_params(rng, model, width, height))
        if not plan.rig:
            rec.add_camera_with_trivial_rig(camera)
            continue
        rec.add_camera(camera)
        if k == 0:
            rig.add_ref_sensor(camera.sensor_id)
        else:
            rig.add_sensor(camera.sensor_id, random_pose(rng))
    if plan.rig:
        rec.add_rig(rig)
    return camera_ids


def add_images(rec: pycolmap.Reconstruction, rng: np.random.Generator, plan: ScenePlan,
               image_ids: Sequence[int], camera_ids: Sequence[int],
               keypoint_counts: Sequence[int]) -> None:
    images = [pycolmap.Image(name=image_name(index),
                             keypoints=rng.uniform(0.0, 1000.0, size=(keypoint_counts[index], 2)),
                             camera_id=camera_ids[index % len(camera_ids)], image_id=image_id)
              for index, image_id in enumerate(image_ids)]
    if not plan.rig:
        for image in images:
            rec.add_image_with_trivial_frame(image, random_pose(rng))
        return
    per_frame = len(camera_ids)
    for frame_id in range(1, len(images) // per_frame + 1):
        members = images[(frame_id - 1) * per_frame:frame_id * per_frame]
        frame = pycolmap.Frame(frame_id=frame_id, rig_id=1)
        for image in members:
            frame.add_data_id(image.data_id)
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

    The last image is left out of every track: an image without any 3D point.
    """
    usable = max(num_images - 1, 2)
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
    totals = [u + int(rng.integers(0, 6)) for u in used]
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


def write_scene(plan: ScenePlan, folder: str) -> str:
    os.makedirs(folder, exist_ok=True)
    build_scene(plan).write(folder)
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
