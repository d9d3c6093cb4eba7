"""Counts far beyond the data (2^63 records, 2^40 track entries, counts whose byte size
wraps around 2^64) fail at once with the range message, without allocating for them."""
import os
import struct
import subprocess
import sys

import pytest

import tolv
from colmap_files import camera_record, image_record, point_record, with_count

# Runs one reader with the address space capped at 512 MiB above what the interpreter
# already uses, so an allocation sized from a count shows up as MemoryError or a crash.
CHILD = r"""
import resource, sys
import tolv
import tolv_extras
with open("/proc/self/statm") as statm:
    cap = int(statm.read().split()[0]) * resource.getpagesize() + 512 * 2**20
resource.setrlimit(resource.RLIMIT_AS, (cap, resource.getrlimit(resource.RLIMIT_AS)[1]))
try:
    getattr(tolv_extras if sys.argv[1] == "read_model" else tolv, sys.argv[1])(sys.argv[2])
    outcome = "returned"
except BaseException as error:
    outcome = f"{type(error).__name__}: {error}"
sys.stdout.write("\n" + outcome + "\n")
"""

HUGE = [2**63, 2**64 - 1]
CAMERA = camera_record(1, 0, 640, 480, [1.0, 2.0, 3.0])  # 48 bytes


def image_with(num_points2D, entry_bytes):
    """One image named "a" (Q field ends at 82) declaring num_points2D, then entry_bytes of entries."""
    head = image_record(1, (1, 0, 0, 0), (0, 0, 0), 1, "a")[:-8]
    return with_count([head + struct.pack("<Q", num_points2D) + bytes(entry_bytes)])


def point_with(track_length, entry_bytes):
    """One point (track length field ends at 59) declaring track_length, then entry_bytes of entries."""
    head = point_record(1, (0, 0, 0), (0, 0, 0), 0.0)[:-8]
    return with_count([head + struct.pack("<Q", track_length) + bytes(entry_bytes)])


CASES = [  # (reader, file, end index, length) of the expected range message
    *[("read_cameras_bin", with_count([], n), 12, 8) for n in HUGE],
    *[("read_cameras_bin", with_count([CAMERA] * 2, n), 108, 104) for n in HUGE],
    *[("read_images_bin", with_count([], n), 12, 8) for n in HUGE],
    *[("read_points3D_bin", with_count([], n), 16, 8) for n in HUGE],
    ("read_images_bin", image_with(2**40, 0), 90, 82),
    ("read_images_bin", image_with(2**64 - 1, 60), 146, 142),  # cut inside the third y
    ("read_images_bin", image_with(-(-(2**64) // 24), 24), 114, 106),  # Q * 24 wraps to 8
    ("read_points3D_bin", point_with(2**40, 0), 63, 59),
    ("read_points3D_bin", point_with(2**64 - 1, 26), 87, 85),  # cut inside the fourth image id
    ("read_points3D_bin", point_with(2**61 + 1, 8), 71, 67),  # T * 8 wraps to 8
]


def run_capped(reader, path):
    """reader's outcome on path in a child with the address space capped."""
    env = dict(os.environ)
    env["PYTHONPATH"] = os.pathsep.join(filter(None, [os.path.dirname(tolv.__file__),
                                                       env.get("PYTHONPATH")]))
    child = subprocess.run([sys.executable, "-c", CHILD, reader, str(path)], env=env,
                           capture_output=True, text=True, timeout=120)
    assert child.returncode == 0, child.stderr
    return child.stdout.splitlines()[-1]


@pytest.mark.parametrize("reader, data, end, length", CASES)
def test_huge_count_fails_without_allocating(tmp_path, reader, data, end, length):
    assert len(data) == length
    path = tmp_path / "file.bin"
    path.write_bytes(data)
    outcome = run_capped(reader, path)
    assert outcome == f"PanicException: range end index {end} out of range for slice of length {length}"


@pytest.mark.parametrize("reader, data", [case[:2] for case in CASES])
def test_read_model_refuses_huge_counts_without_allocating(tmp_path, reader, data):
    pytest.importorskip("numpy")
    name = {"read_cameras_bin": "cameras.bin", "read_images_bin": "images.bin",
            "read_points3D_bin": "points3D.bin"}[reader]
    for other in ("cameras.bin", "images.bin", "points3D.bin"):
        (tmp_path / other).write_bytes(data if other == name else with_count([]))
    assert run_capped("read_model", tmp_path).startswith(f"ModelFormatError: {name}: byte ")
