"""Field-by-field comparison of tolv's records with pycolmap's reading of the same folder.

Each function returns a list of readable differences, empty when the two agree, so a
failing test names every field that differs and the checker itself can be tested on
deliberately altered files.
"""

from __future__ import annotations

import itertools
import struct
from typing import Any, Dict, List, Mapping, Sequence, Tuple

import numpy as np
import pycolmap

import tolv_extras as tx

NO_POINT3D = 2**64 - 1
ROTATION_TOLERANCE = 1e-12
RELATIVE_POSE_TOLERANCE = 1e-9
RELATIVE_PAIRS_PER_SCENE = 60

DISPLAY_NAMES = {
    "SIMPLE_PINHOLE": "Simple Pinhole", "PINHOLE": "Pinhole", "SIMPLE_RADIAL": "Simple Radial",
    "RADIAL": "Radial", "OPENCV": "OpenCV", "OPENCV_FISHEYE": "OpenCV Fisheye",
    "FULL_OPENCV": "Full OpenCV", "FOV": "FOV", "SIMPLE_RADIAL_FISHEYE": "Simple Radial Fisheye",
    "RADIAL_FISHEYE": "Radial Fisheye", "THIN_PRISM_FISHEYE": "Thin Prism Fisheye",
}


def bits(values: Sequence[float]) -> bytes:
    """Exact bit patterns: -0.0 differs from 0.0 and every last-place change shows."""
    return struct.pack(f"<{len(values)}d", *[float(v) for v in values])


def max_abs_difference(ours: Sequence[Sequence[float]], theirs: Any) -> float:
    return float(np.max(np.abs(np.asarray(ours, dtype=np.float64) - np.asarray(theirs))))


def key_differences(kind: str, ours: Mapping[int, Any], theirs: Mapping[int, Any]) -> List[str]:
    if set(ours) == set(theirs):
        return []
    return [f"{kind} ids: only tolv {sorted(set(ours) - set(theirs))[:5]}, "
            f"only pycolmap {sorted(set(theirs) - set(ours))[:5]}"]


def matched(kind: str, ours: Mapping[int, Any],
            their_items: Any) -> Tuple[List[str], List[Tuple[int, str, Any, Any]]]:
    """The differences in ids, and (id, where, ours, theirs) for each id on both sides, in order."""
    theirs = dict(their_items)
    both = sorted(set(ours) & set(theirs))
    return key_differences(kind, ours, theirs), [(i, f"{kind} {i}", ours[i], theirs[i]) for i in both]


def camera_differences(cameras: Mapping[int, Any], rec: pycolmap.Reconstruction) -> List[str]:
    out, pairs = matched("camera", cameras, rec.cameras.items())
    for _, where, ours, ref in pairs:
        if ours.camera_id != ref.camera_id:
            out.append(f"{where}: camera_id {ours.camera_id} != {ref.camera_id}")
        if ours.model_id != DISPLAY_NAMES.get(ref.model.name):
            out.append(f"{where}: model {ours.model_id!r} != {ref.model.name}")
        if (ours.width, ours.height) != (ref.width, ref.height):
            out.append(f"{where}: size {ours.width}x{ours.height} != {ref.width}x{ref.height}")
        if bits(ours.params) != bits(ref.params):
            out.append(f"{where}: params {ours.params} != {list(ref.params)}")
        if ref.model.name in ("SIMPLE_PINHOLE", "PINHOLE") and \
                bits(np.ravel(ours.K())) != bits(np.ravel(ref.calibration_matrix())):
            out.append(f"{where}: K {ours.K()} != {ref.calibration_matrix().tolist()}")
    return out


def point3D_ids_of(image: pycolmap.Image) -> List[int]:
    """COLMAP's 3D point id per keypoint, its invalid id spelled as the file's 2^64 - 1."""
    return [p.point3D_id if p.has_point3D() else NO_POINT3D for p in image.points2D]


def image_differences(images: Mapping[int, Any], rec: pycolmap.Reconstruction) -> List[str]:
    out, pairs = matched("image", images, rec.images.items())
    for _, where, ours, ref in pairs:
        pose = ref.cam_from_world()
        if (ours.image_id, ours.camera_id) != (ref.image_id, ref.camera_id):
            out.append(f"{where}: ids {(ours.image_id, ours.camera_id)} != "
                       f"{(ref.image_id, ref.camera_id)}")
        if ours.name.encode("latin-1") != ref.name.encode("utf-8"):
            out.append(f"{where}: name bytes {ours.name.encode('latin-1')!r} != "
                       f"{ref.name.encode('utf-8')!r}")
        if bits(ours.trans) != bits(pose.translation):
            out.append(f"{where}: trans {ours.trans} != {pose.translation.tolist()}")
        rot_error = max_abs_difference(ours.rot, pose.rotation.matrix())
        if not rot_error <= ROTATION_TOLERANCE:
            out.append(f"{where}: rot differs by {rot_error:.3g}")
        if ours.point3D_ids != point3D_ids_of(ref):
            out.append(f"{where}: point3D_ids differ")
    return out


def point_differences(points3D: Mapping[int, Any], rec: pycolmap.Reconstruction) -> List[str]:
    out, pairs = matched("point", points3D, rec.points3D.items())
    for point_id, where, ours, ref in pairs:
        if ours.id != point_id:
            out.append(f"{where}: id {ours.id}")
        if bits(ours.xyz) != bits(ref.xyz):
            out.append(f"{where}: xyz {ours.xyz} != {ref.xyz.tolist()}")
        if (ours.color.r, ours.color.g, ours.color.b) != tuple(int(c) for c in ref.color):
            out.append(f"{where}: colour {(ours.color.r, ours.color.g, ours.color.b)} != "
                       f"{ref.color.tolist()}")
        if bits([ours.error]) != bits([ref.error]):
            out.append(f"{where}: error {ours.error!r} != {ref.error!r}")
        if ours.track != [(e.image_id, e.point2D_idx) for e in ref.track.elements]:
            out.append(f"{where}: track {ours.track} != {ref.track.elements}")
    return out


def overlap_differences(overlaps: Mapping[int, Mapping[int, int]],
                        expected: Dict[int, Dict[int, int]]) -> List[str]:
    ours = {a: dict(row) for a, row in overlaps.items()}
    if ours == expected:
        return []
    rows = sorted(a for a in set(ours) | set(expected) if ours.get(a) != expected.get(a))
    return [f"overlaps differ in the rows of images {rows[:10]}"]


def relative_pose_differences(images: Mapping[int, Any],
                              rec: pycolmap.Reconstruction) -> List[str]:
    """relative_pose_from against COLMAP's own composition cam_a_from_world * world_from_cam_b."""
    out = []
    ids = sorted(set(images) & set(rec.images.keys()))
    pairs = list(itertools.product(ids, repeat=2))
    if len(pairs) > RELATIVE_PAIRS_PER_SCENE:  # a spread of pairs, self-pairs included
        n = len(ids)
        pairs = [(ids[k % n], ids[(37 * k) % n]) for k in range(RELATIVE_PAIRS_PER_SCENE)]
    for a, b in pairs:
        rotation, translation = images[a].relative_pose_from(images[b])
        ref = rec.images[a].cam_from_world() * rec.images[b].cam_from_world().inverse()
        error = max(max_abs_difference(rotation, ref.rotation.matrix()),
                    max_abs_difference([translation], [ref.translation]))
        if not error <= RELATIVE_POSE_TOLERANCE:
            out.append(f"relative pose of image {a} from {b} differs by {error:.3g}")
    return out


def stored_quaternions(images_bin: bytes) -> Dict[int, bytes]:
    """The 32 bytes of each image's quaternion, straight from the file."""
    out: Dict[int, bytes] = {}
    (count,), at = struct.unpack_from("<Q", images_bin), 8
    for _ in range(count):
        image_id = struct.unpack_from("<I", images_bin, at)[0]
        out[image_id] = images_bin[at + 4:at + 36]
        at = images_bin.index(b"\0", at + 64) + 1
        at += 8 + 24 * struct.unpack_from("<Q", images_bin, at)[0]
    return out


def extras_differences(cameras: Mapping[int, Any], images: Mapping[int, Any],
                       images_bin: bytes, rec: pycolmap.Reconstruction) -> List[str]:
    """tolv_extras' model names and ids, parameter names, K, quaternions and [R | t]."""
    out, pairs = matched("camera", cameras, rec.cameras.items())
    for _, where, ours, ref in pairs:
        if (tx.colmap_model_name(ours), tx.colmap_model_id(ours)) != (ref.model.name,
                                                                         int(ref.model.value)):
            out.append(f"{where}: model {tx.colmap_model_name(ours)} != {ref.model.name}")
        if ", ".join(tx.param_names(ours)) != ref.params_info:
            out.append(f"{where}: param names {tx.param_names(ours)} != {ref.params_info}")
        if bits(np.ravel(tx.calibration_matrix(ours))) != bits(np.ravel(ref.calibration_matrix())):
            out.append(f"{where}: K {tx.calibration_matrix(ours)} != "
                       f"{ref.calibration_matrix().tolist()}")
    stored = stored_quaternions(images_bin)
    image_keys, image_pairs = matched("image", images, rec.images.items())
    out += image_keys
    arrays = tx.images_arrays(images)
    rows = {image_id: row for row, image_id in enumerate(arrays.ids.tolist())}
    for image_id, where, ours, ref in image_pairs:
        if bits(tx.quaternion(ours)) != stored[image_id]:
            out.append(f"{where}: quaternion {tx.quaternion(ours)} is not the stored one")
        error = max_abs_difference(arrays.cam_from_world[rows[image_id]],
                                   ref.cam_from_world().matrix())
        if not error <= ROTATION_TOLERANCE:
            out.append(f"{where}: cam_from_world differs by {error:.3g}")
    return out
