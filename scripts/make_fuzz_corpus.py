#!/usr/bin/env python3
"""Writes the seed corpora of the fuzz targets: a few tiny valid inputs per target.

Usage: make_fuzz_corpus.py OUT_DIR  (creates OUT_DIR/<target>/seed_<n>)
"""
import struct
import sys
from pathlib import Path


def cameras(records, count=None):
    out = struct.pack("<Q", len(records) if count is None else count)
    for camera_id, model, width, height, params in records:
        out += struct.pack("<IiQQ", camera_id, model, width, height)
        out += struct.pack(f"<{len(params)}d", *params)
    return out


def images(records):
    out = struct.pack("<Q", len(records))
    for image_id, camera_id, name, points2D in records:
        out += struct.pack("<I7dI", image_id, 1, 0, 0, 0, 0.5, -1, 2, camera_id)
        out += name + b"\0" + struct.pack("<Q", len(points2D))
        for x, y, point3D_id in points2D:
            out += struct.pack("<ddQ", x, y, point3D_id)
    return out


def points3D(records):
    out = struct.pack("<Q", len(records))
    for point_id, rgb, track in records:
        out += struct.pack("<Q3d3Bd", point_id, 1, 2.5, -3, *rgb, 0.75)
        out += struct.pack("<Q", len(track))
        for image_id, point2D_idx in track:
            out += struct.pack("<II", image_id, point2D_idx)
    return out


def overlaps(flags, tracks):
    out = bytes([flags])
    for point_id, image_ids in tracks:
        out += bytes([point_id, len(image_ids)]) + struct.pack(f"<{len(image_ids)}H", *image_ids)
    return out


def model_text(parser, text):
    """A fuzz_model_text input: the parser's number (cameras, images, points3D, rigs,
    frames: 0 to 4), then the file's text."""
    return bytes([parser]) + text


def rigs(records):
    out = struct.pack("<Q", len(records))
    for rig_id, sensors in records:
        out += struct.pack("<II", rig_id, len(sensors))
        for k, (sensor_type, sensor_id, pose) in enumerate(sensors):
            out += struct.pack("<iI", sensor_type, sensor_id)
            if k == 0:
                continue  # the reference sensor has no pose flag
            out += struct.pack("<B", 0 if pose is None else 1)
            if pose is not None:
                out += struct.pack("<7d", *pose)
    return out


def frames(records):
    out = struct.pack("<Q", len(records))
    for frame_id, rig_id, data_ids in records:
        out += struct.pack("<II7dI", frame_id, rig_id, 1, 0, 0, 0, 0.5, -1, 2, len(data_ids))
        for sensor_type, sensor_id, data_id in data_ids:
            out += struct.pack("<iIQ", sensor_type, sensor_id, data_id)
    return out


def model_binary_seeds():
    """fuzz_model_binary: the first byte picks the parser (cameras, images, points3D,
    rigs, frames), the rest is the file."""
    files = [
        cameras([(1, 0, 1920, 1080, [500, 320, 240]), (7, 17, 2**64 - 1, 0, [1, 2]),
                 (1, 11, 4, 3, [0.5] * 16)]),
        cameras([(2, 3, 10, 10, [1] * 5)], count=2) + struct.pack("<Ii", 3, 18),
        images([(5, 1, b"a.jpg", [(1, 2, 3), (4, 5, 2**64 - 1)]), (6, 2, b"", []),
                (5, 3, b"\xc3\xa9", [(0.5, 0.25, 9)])]),
        points3D([(2**64 - 1, (1, 2, 3), []), (9, (4, 5, 6), [(3, 10), (3, 12)]),
                  (9, (7, 8, 9), [(1, 1)])]),
        rigs([(5, [(0, 1, None), (0, 2, [0.9, 0.1, 0.2, 0.3, 7, 8, 9]), (0, 3, None),
                   (1, 42, None)]), (9, [])]),
        frames([(3, 5, [(0, 1, 11), (1, 42, 2**64 - 1)]), (4, 9, [])]),
    ]
    kinds = [0, 0, 1, 2, 3, 4]
    return [bytes([kind]) + data for kind, data in zip(kinds, files)] + \
        [bytes([kind]) + struct.pack("<Q", 0) for kind in range(5)]


SEEDS = {
    "fuzz_cameras": [
        cameras([]),
        cameras([(1, 0, 1920, 1080, [500, 320, 240])]),
        cameras([(1, 1, 640, 480, [1, 2, 3, 4]), (7, 6, 2**64 - 1, 0, list(range(12))),
                 (1, 10, 1, 1, [0.5] * 12)]),
        # A second record of the invalid model, and of an unknown model code.
        cameras([(2, 3, 10, 10, [1] * 5)], count=2) + struct.pack("<IiQQ", 3, -1, 1, 1),
        cameras([(2, 8, 10, 10, [1] * 4)], count=2) + struct.pack("<Ii", 3, 11),
    ],
    "fuzz_images": [
        images([]),
        images([(1, 1, b"a", [(1.5, 2.5, 7)])]),
        images([(5, 1, b"a.jpg", [(1, 2, 3), (4, 5, 2**64 - 1)]), (6, 2, b"", []),
                (5, 3, b"\xc3\xa9", [])]),
    ],
    "fuzz_points3D": [
        points3D([]),
        points3D([(1, (0, 128, 255), [(1, 0), (2, 7)])]),
        points3D([(2**64 - 1, (1, 2, 3), []), (9, (4, 5, 6), [(3, 10), (3, 12)]),
                  (9, (7, 8, 9), [(1, 1)])]),
    ],
    "fuzz_overlaps": [
        overlaps(0, [(0, [1, 2, 3]), (1, [2, 3]), (2, [3, 3]), (3, [])]),
        overlaps(1, [(1, [1, 2]), (2, [2]), (1, [3, 3, 4])]),
        overlaps(2, [(0, [1, 65535, 9]), (1, [9, 1])]),
        # Many images seen once each (flag 4: one-image tracks): too many for a dense table.
        bytes([4]) + struct.pack("<400H", *range(400)),
    ],
    "fuzz_model_binary": model_binary_seeds(),
    "fuzz_model_text": [
        model_text(0, b"# Camera list\n1 PINHOLE 640 480 500 500 320 240\n"
                      b"2 EUCM 1 1 1 2 3 4 0.5 0.25\n3 SIMPLE_RADIAL 1 1 1e-320 +1.5 nan inf\n"),
        model_text(1, b"# Image list\n5 1 0 0 0 1 2 3 1 a b.jpg \n1.5 2.5 -1 3 4 18446744073709551615 \n"
                      b"6 0 1 0 0 0 0 0 2 c\r\n\r\n7 1 0 0 0 0 0 0 1 d\n1 2 3\n"
                      b"8 1 0 0 0 0 0 0 1 \rCR first\n"),
        model_text(2, b"# 3D point list\n1 1 2.5 -3 0 128 255 0.75 1 0 2 7\n"
                      b"18446744073709551615 0 0 0 1 2 3 0\r\n9 0 0 0 9 8 7 1.5 3 10"),
        model_text(3, b"# Rig calib list\n1 3 CAMERA 1 CAMERA 2 0 IMU 5 1 1 0 0 0 0.5 0.25 -1\n"
                      b"7 0\n3 2 IMU 4294967295 INVALID 6 0\n"),
        model_text(4, b"# Frame list\n1 1 0.5 0.5 0.5 0.5 1 2 3 3 CAMERA 1 1 CAMERA 6 2 IMU 2 9\n"
                      b"2 7 1 0 0 0 -1 -2 -3 0\n"),
    ],
}


def main():
    out_dir = Path(sys.argv[1])
    for target, seeds in SEEDS.items():
        (out_dir / target).mkdir(parents=True, exist_ok=True)
        for n, seed in enumerate(seeds):
            (out_dir / target / f"seed_{n}").write_bytes(seed)


if __name__ == "__main__":
    main()
