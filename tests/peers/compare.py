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


# tolv_extras.read_model's arrays against pycolmap's reading of the same folder, row by
# row in the arrays' order, each row found in pycolmap by its id.

DTYPES = {
    "cameras": dict(ids="u4", model_ids="i4", widths="u8", heights="u8", params="f8", K="f8"),
    "images": dict(ids="u4", camera_ids="u4", quaternions="f8", translations="f8",
                   cam_from_world="f8", centers="f8", points2D_offsets="i8", xys="f8",
                   point3D_ids="u8"),
    "points": dict(ids="u8", xyz="f8", rgb="u1", error="f8", track_offsets="i8",
                   track_image_ids="u4", track_point2D_idxs="u4"),
    "rigs": dict(ids="u4", sensor_offsets="i8", sensor_types="i4", sensor_ids="u4",
                 sensor_quaternions="f8", sensor_translations="f8"),
    "frames": dict(ids="u4", rig_ids="u4", quaternions="f8", translations="f8",
                   data_offsets="i8", data_sensor_types="i4", data_sensor_ids="u4",
                   data_ids="u8"),
}
# Ragged columns: the offsets, and the columns they cut into rows.
RAGGED = {"images": ("points2D_offsets", "xys", "point3D_ids"),
          "points": ("track_offsets", "track_image_ids", "track_point2D_idxs"),
          "rigs": ("sensor_offsets", "sensor_types", "sensor_ids", "has_pose",
                   "sensor_quaternions", "sensor_translations"),
          "frames": ("data_offsets", "data_sensor_types", "data_sensor_ids", "data_ids")}
NAN = float("nan")
NO_POSE = bits([NAN] * 7)


def nan_bits(values: Any) -> bytes:
    """bits, with every NaN as the one NaN: padding and missing poses are just NaN."""
    values = np.ravel(np.asarray(values, dtype=np.float64))
    return bits(np.where(np.isnan(values), NAN, values))


def layout_differences(table: str, arrays: Any) -> List[str]:
    """dtypes, one row per id, and offsets from 0 to the ragged columns' length."""
    out = [f"{table}.{name}: dtype {getattr(arrays, name).dtype} != {dtype}"
           for name, dtype in DTYPES[table].items() if getattr(arrays, name).dtype != dtype]
    rows = len(arrays.ids)
    out += [f"{table}.{name}: {len(column)} rows for {rows} ids" for name, column in
            arrays._asdict().items() if name not in RAGGED.get(table, ()) and len(column) != rows]
    if table in RAGGED:
        offsets, *columns = RAGGED[table]
        ends = getattr(arrays, offsets)
        if len(ends) != rows + 1 or ends[0] != 0 or np.any(np.diff(ends) < 0):
            out.append(f"{table}.{offsets}: {ends[:5]} ... not from 0 up, one per row and one")
        out += [f"{table}.{name}: {len(getattr(arrays, name))} rows, offsets end at {ends[-1]}"
                for name in columns if len(getattr(arrays, name)) != ends[-1]]
    return out


def rows_by_id(table: str, ids: Any,
               theirs: Mapping[int, Any]) -> Tuple[List[str], List[Tuple[int, str, Any]]]:
    """The differences in ids, and (row, where, pycolmap's record) for each row."""
    ours = ids.tolist()
    out = [] if len(set(ours)) == len(ours) else [f"{table}: repeated ids"]
    out += key_differences(table, dict.fromkeys(ours), dict(theirs))
    return out, [(row, f"{table} {i} (row {row})", theirs[i]) for row, i in enumerate(ours)
                 if i in theirs]


def field_differences(where: str, fields: Sequence[Tuple[str, Any, Any]]) -> List[str]:
    return [f"{where}: {name} {ours!r} != {theirs!r}" for name, ours, theirs in fields
            if ours != theirs]


def wxyz(rigid: Any) -> bytes:
    x, y, z, w = rigid.rotation.quat
    return bits([w, x, y, z])


def cameras_array_differences(model: Any, rec: pycolmap.Reconstruction, **_: Any) -> List[str]:
    cameras = model.cameras
    out = layout_differences("cameras", cameras)
    keys, rows = rows_by_id("camera", cameras.ids, rec.cameras)
    out += keys
    width = max([len(ref.params) for ref in rec.cameras.values()], default=0)
    if cameras.params.shape[1:] != (width,) or cameras.K.shape[1:] != (3, 3):
        out.append(f"cameras: params {cameras.params.shape}, K {cameras.K.shape}, "
                   f"the longest params {width}")
        return out
    for row, where, ref in rows:
        count = len(ref.params)
        perspective = ref.model.name != "EQUIRECTANGULAR"
        K = np.ravel(ref.calibration_matrix()) if perspective else [NAN] * 9
        out += field_differences(where, [
            ("model_ids", int(cameras.model_ids[row]), int(ref.model.value)),
            ("size", (int(cameras.widths[row]), int(cameras.heights[row])),
             (ref.width, ref.height)),
            ("params", nan_bits(cameras.params[row]),
             bits(list(ref.params) + [NAN] * (width - count))),
            ("K", nan_bits(cameras.K[row]), bits(K)),
            ("model", tx.CAMERA_MODELS[int(ref.model.value)].name, ref.model.name),
            ("param_names", list(tx.CAMERA_MODELS[int(ref.model.value)].param_names),
             [name.strip() for name in ref.params_info.split(",")])])
    return out


def name_bytes_of(image: pycolmap.Image, raw_name: bytes) -> bytes:
    """The name pycolmap read, as bytes. pycolmap cannot show a name that is not UTF-8:
    that must be the raw name the scene patched in."""
    try:
        return image.name.encode("utf-8")
    except UnicodeDecodeError:
        return raw_name


def images_array_differences(model: Any, rec: pycolmap.Reconstruction, raw_name: bytes = b"",
                             text: bool = False, **_: Any) -> List[str]:
    images = model.images
    out = layout_differences("images", images)
    keys, rows = rows_by_id("image", images.ids, rec.images)
    out += keys
    if len(images.names) != len(images.ids):
        out.append(f"images: {len(images.names)} names for {len(images.ids)} ids")
        return out
    offsets = images.points2D_offsets.tolist()
    for row, where, ref in rows:
        pose = ref.cam_from_world()
        name = images.names[row].encode("utf-8", "surrogateescape")
        span = slice(offsets[row], offsets[row + 1])
        out += field_differences(where, [
            ("camera_ids", int(images.camera_ids[row]), ref.camera_id),
            # pycolmap's text reader keeps a name up to its first space only.
            ("names", name.split(b" ")[0] if text else name, name_bytes_of(ref, raw_name)),
            ("quaternions", bits(images.quaternions[row]), wxyz(pose)),
            ("translations", bits(images.translations[row]), bits(pose.translation)),
            ("xys", bits(np.ravel(images.xys[span])),
             bits([v for p in ref.points2D for v in p.xy])),
            ("point3D_ids", images.point3D_ids[span].tolist(), point3D_ids_of(ref))])
        error = max(max_abs_difference(images.cam_from_world[row], pose.matrix()),
                    max_abs_difference(images.centers[row], ref.projection_center())
                    / max(1.0, float(np.linalg.norm(pose.translation))))
        if not error <= ROTATION_TOLERANCE:
            out.append(f"{where}: cam_from_world or centers differ by {error:.3g}")
    return out


def points_array_differences(model: Any, rec: pycolmap.Reconstruction, **_: Any) -> List[str]:
    points = model.points
    out = layout_differences("points", points)
    keys, rows = rows_by_id("point", points.ids, rec.points3D)
    out += keys
    offsets = points.track_offsets.tolist()
    for row, where, ref in rows:
        span = slice(offsets[row], offsets[row + 1])
        out += field_differences(where, [
            ("xyz", bits(points.xyz[row]), bits(ref.xyz)),
            ("rgb", points.rgb[row].tolist(), [int(c) for c in ref.color]),
            ("error", bits([points.error[row]]), bits([ref.error])),
            ("track", list(zip(points.track_image_ids[span].tolist(),
                               points.track_point2D_idxs[span].tolist())),
             [(e.image_id, e.point2D_idx) for e in ref.track.elements])])
    return out


def sensor_key(sensor: Any) -> Tuple[int, int]:
    return int(sensor.type.value), int(sensor.id)


def rigs_and_frames_differences(model: Any, rec: pycolmap.Reconstruction, has_rigs: bool = True,
                                **_: Any) -> List[str]:
    """Rigs and frames; sensors and data compared as sets (pycolmap keeps them so), their
    order in the files is checked from the files themselves."""
    if model.rigs is None or model.frames is None or not has_rigs:
        return [] if (model.rigs, model.frames, has_rigs) == (None, None, False) else \
            [f"rigs {type(model.rigs).__name__}, frames {type(model.frames).__name__} "
             f"where the folder {'has' if has_rigs else 'has no'} rig and frame files"]
    rigs, frames = model.rigs, model.frames
    out = layout_differences("rigs", rigs) + layout_differences("frames", frames)
    keys, rows = rows_by_id("rig", rigs.ids, rec.rigs)
    out += keys
    offsets = rigs.sensor_offsets.tolist()
    for row, where, ref in rows:
        span = range(offsets[row], offsets[row + 1])
        sensors = [((int(rigs.sensor_types[s]), int(rigs.sensor_ids[s])), bool(rigs.has_pose[s]),
                    nan_bits(np.concatenate([rigs.sensor_quaternions[s],
                                             rigs.sensor_translations[s]])))
                   for s in span]
        expected = {sensor_key(sensor): (pose is not None, NO_POSE if pose is None else
                                         wxyz(pose) + bits(pose.translation))
                    for sensor, pose in ref.non_ref_sensors.items()}
        if ref.num_sensors() == 0 or int(ref.ref_sensor_id.type.value) < 0:  # a rig without sensors
            out += field_differences(where, [("sensors", sensors, [])])
            continue
        out += field_differences(where, [
            ("reference sensor", sensors[0] if sensors else None,
             (sensor_key(ref.ref_sensor_id), False, NO_POSE)),
            ("other sensors", {key: (has, pose) for key, has, pose in sensors[1:]}, expected),
            ("sensor count", len(sensors), 1 + len(expected))])
    keys, rows = rows_by_id("frame", frames.ids, rec.frames)
    out += keys
    offsets = frames.data_offsets.tolist()
    for row, where, ref in rows:
        span = slice(offsets[row], offsets[row + 1])
        data = sorted(zip(frames.data_sensor_types[span].tolist(),
                          frames.data_sensor_ids[span].tolist(), frames.data_ids[span].tolist()))
        pose = ref.rig_from_world
        out += field_differences(where, [
            ("rig_ids", int(frames.rig_ids[row]), ref.rig_id),
            ("quaternions", bits(frames.quaternions[row]), wxyz(pose)),
            ("translations", bits(frames.translations[row]), bits(pose.translation)),
            ("data_ids", data,
             sorted(sensor_key(d.sensor_id) + (int(d.id),) for d in ref.data_ids))])
    return out


MODEL_CHECKS = {"cameras": cameras_array_differences, "images": images_array_differences,
                "points": points_array_differences, "rigs_and_frames": rigs_and_frames_differences}


def model_differences(model: Any, rec: pycolmap.Reconstruction, **how: Any) -> List[str]:
    return [line for check in MODEL_CHECKS.values() for line in check(model, rec, **how)]
