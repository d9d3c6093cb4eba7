"""Files larger than the reader's 1 MiB window: records, names, tracks and 2D point
blocks that straddle window boundaries, or outgrow the window, read back exactly."""
import random
import struct

import pytest

import tolv
from colmap_files import images_file, points_file

WINDOW = 1 << 20


def random_points(rng, count, long_track=0):
    points = []
    for pid in range(count):
        length = long_track if pid == count // 2 else rng.randrange(0, 12)
        track = [(rng.randrange(1 << 32), rng.randrange(1 << 32)) for _ in range(length)]
        xyz = tuple(rng.uniform(-1e3, 1e3) for _ in range(3))
        points.append((pid * 7 + 1, xyz, (pid % 256, 3, 250), rng.random(), track))
    return points


def check_points(path, points):
    got = tolv.read_points3D_bin(str(path))
    assert len(got) == len(points)
    for pid, xyz, rgb, error, track in points:
        p = got[pid]
        assert (p.xyz, (p.color.r, p.color.g, p.color.b), p.error, p.track) == (
            list(xyz), rgb, error, track)


@pytest.mark.parametrize("long_track", [0, 300_000])  # the second outgrows the window
def test_points_across_windows(tmp_path, long_track):
    points = random_points(random.Random(long_track), 30_000, long_track)
    path = tmp_path / "points3D.bin"
    path.write_bytes(points_file(points))
    assert path.stat().st_size > 2 * WINDOW
    check_points(path, points)


def test_images_across_windows(tmp_path):
    rng = random.Random(5)
    images = []
    for iid in range(1, 60):
        name = bytes(rng.randrange(1, 256) for _ in range(rng.choice([3, 40_000])))
        pts = [(rng.random(), rng.random(), rng.randrange(1 << 64)) for _ in range(rng.randrange(0, 3000))]
        images.append((iid, (1, 0, 0, 0), (1, 2, 3), iid, name, pts))
    path = tmp_path / "images.bin"
    path.write_bytes(images_file(images))
    assert path.stat().st_size > 2 * WINDOW
    got = tolv.read_images_bin(str(path))
    for iid, _, _, _, name, pts in images:
        assert got[iid].name.encode("latin-1") == name
        assert got[iid].point3D_ids == [p[2] for p in pts]


def test_cuts_near_window_boundaries_name_the_field(tmp_path):
    # 51-byte records with empty tracks: a cut at c lands in record (c - 8) // 51.
    points = [(i, (0.0, 0.0, 0.0), (0, 0, 0), 0.0, []) for i in range(50_000)]
    data = points_file(points)
    layout = [8, 8, 8, 8, 1, 1, 1, 8, 8]  # id, x, y, z, r, g, b, error, T
    for cut in [WINDOW - 1, WINDOW, WINDOW + 1, WINDOW + 30, 2 * WINDOW + 7]:
        start = 8 + (cut - 8) // 51 * 51
        end = start
        for width in layout:
            end += width
            if end > cut:
                break
        path = tmp_path / "cut.bin"
        path.write_bytes(data[:cut])
        with pytest.raises(BaseException) as info:
            tolv.read_points3D_bin(str(path))
        assert type(info.value).__name__ == "PanicException"
        assert str(info.value) == f"range end index {end} out of range for slice of length {cut}"


def test_name_running_to_the_end_of_a_large_file(tmp_path):
    data = struct.pack("<Q", 1) + struct.pack("<I7dI", 1, 1, 0, 0, 0, 0, 0, 0, 1) + b"x" * (3 * WINDOW)
    path = tmp_path / "images.bin"
    path.write_bytes(data)
    with pytest.raises(BaseException, match=f"^index out of bounds: the len is {len(data)} but the index is {len(data)}$"):
        tolv.read_images_bin(str(path))
