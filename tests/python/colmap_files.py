"""Writes COLMAP binary files for tests: little-endian, packed, from plain Python values;
and the check shared by tests of malformed files."""
import struct

import pytest

NO_POINT3D = 2**64 - 1

# model code -> parameter count
NUM_PARAMS = {0: 3, 1: 4, 2: 4, 3: 5, 4: 8, 5: 8, 6: 12, 7: 5, 8: 4, 9: 5, 10: 12}


def camera_record(camera_id, model, width, height, params):
    return struct.pack("<IiQQ", camera_id, model, width, height) + struct.pack(
        f"<{len(params)}d", *params
    )


def image_record(image_id, qvec, tvec, camera_id, name, points2D=()):
    """name is bytes (stored as is) or str (stored as UTF-8); points2D holds (x, y, point3D_id)."""
    if isinstance(name, str):
        name = name.encode("utf-8")
    out = struct.pack("<I4d3dI", image_id, *qvec, *tvec, camera_id) + name + b"\0"
    out += struct.pack("<Q", len(points2D))
    return out + b"".join(struct.pack("<ddQ", x, y, pid) for x, y, pid in points2D)


def point_record(point_id, xyz, rgb, error, track=()):
    """track holds (image_id, point2D_idx) pairs."""
    out = struct.pack("<Q3d3Bd", point_id, *xyz, *rgb, error)
    out += struct.pack("<Q", len(track))
    return out + b"".join(struct.pack("<II", i, j) for i, j in track)


def with_count(records, count=None):
    """A whole file: the 8-byte record count (default: len(records)) and the records."""
    records = list(records)
    return struct.pack("<Q", len(records) if count is None else count) + b"".join(records)


def cameras_file(cameras, count=None):
    """cameras: (camera_id, model, width, height, params) tuples."""
    return with_count((camera_record(*c) for c in cameras), count)


def images_file(images, count=None):
    """images: (image_id, qvec, tvec, camera_id, name, points2D) tuples."""
    return with_count((image_record(*i) for i in images), count)


def points_file(points, count=None):
    """points: (point_id, xyz, rgb, error, track) tuples."""
    return with_count((point_record(*p) for p in points), count)


def write_reconstruction(folder, cameras=(), images=(), points=()):
    """Writes the three files of a reconstruction folder and returns the folder as str."""
    folder.mkdir(parents=True, exist_ok=True)
    (folder / "cameras.bin").write_bytes(cameras_file(cameras))
    (folder / "images.bin").write_bytes(images_file(images))
    (folder / "points3D.bin").write_bytes(points_file(points))
    return str(folder)


def panic_text(call, *args):
    """The message of the PanicException that call(*args) raises; it must not be an Exception."""
    with pytest.raises(BaseException) as info:
        call(*args)
    assert type(info.value).__name__ == "PanicException"
    assert not isinstance(info.value, Exception)
    return str(info.value)


def write_text_model(folder, cameras=(), images=(), points=()):
    """The same tuples as write_reconstruction, as COLMAP's three text files; floats in
    their shortest exact form, 2D points without a 3D point as -1."""
    from tolv_extras import CAMERA_MODELS

    def line(*fields):
        return " ".join(map(str, fields)) + "\n"

    folder.mkdir(parents=True, exist_ok=True)
    (folder / "cameras.txt").write_text("# Camera list\n" + "".join(
        line(c, CAMERA_MODELS[m].name, w, h, *map(repr, p)) for c, m, w, h, p in cameras))
    image_lines = []
    for image_id, q, t, camera_id, name, points2D in images:
        image_lines.append(line(image_id, *map(repr, q), *map(repr, t), camera_id, name))
        image_lines.append(line(*(v for x, y, pid in points2D
                                  for v in (repr(x), repr(y), -1 if pid == NO_POINT3D else pid))))
    (folder / "images.txt").write_text("# Image list\n" + "".join(image_lines))
    (folder / "points3D.txt").write_text("# 3D point list\n" + "".join(
        line(p, *map(repr, xyz), *rgb, repr(e), *(v for pair in track for v in pair))
        for p, xyz, rgb, e, track in points))
    return str(folder)
