"""read_images_bin and Image: names, range and index messages, rotation and relative poses."""
import gc
import math
import random
import struct

import pytest

import tolv
from colmap_files import NO_POINT3D, images_file
from colmap_files import panic_text as panic

IDENTITY = [[1.0, 0.0, 0.0], [0.0, 1.0, 0.0], [0.0, 0.0, 1.0]]
A = (5, (1, 0, 0, 0), (1, 2, 3), 1, "a.jpg", [])
B = (6, (0.5, 0.5, -0.5, 0.5), (0, 0, 0), 2, b"\xe9x", [(1.5, 2.5, 9), (3.0, 4.0, NO_POINT3D)])


def read(tmp_path, data):
    path = tmp_path / "images.bin"
    path.write_bytes(data)
    return tolv.read_images_bin(str(path))


def rot(w, x, y, z):
    """Rotation matrix of a quaternion, each operation in the written order."""
    x2, y2, z2 = x + x, y + y, z + z
    return [[(1 - y * y2) - z * z2, x2 * y - z2 * w, x2 * z + y2 * w],
            [x2 * y + z2 * w, (1 - x * x2) - z * z2, y2 * z - x2 * w],
            [x2 * z - y2 * w, y2 * z + x2 * w, (1 - x * x2) - y * y2]]


def relative_pose_from(qs, ts, qo, to):
    ws, xs, ys, zs = qs
    wo, xo, yo, zo = qo
    x = ((wo * xs - xo * ws) - zo * ys) + yo * zs
    y = ((wo * ys - yo * ws) - xo * zs) + zo * xs
    z = ((wo * zs - zo * ws) - yo * xs) + xo * ys
    w = ((wo * ws + xo * xs) + yo * ys) + zo * zs
    m = ((y * y + x * x) + z * z) + w * w
    k = math.inf if m == 0 else 1 / math.sqrt(m)
    x, y, z, w = x * k, y * k, z * k, w * k
    px, py, pz = to
    a = (py * z - pz * y) - px * w
    b = (pz * x - px * z) - py * w
    c = (px * y - py * x) - pz * w
    t = [ts[0] + ((y * c - z * b) * 2 - px), ts[1] + ((z * a - x * c) * 2 - py),
         ts[2] + ((x * b - y * a) * 2 - pz)]
    return rot(w, x, y, z), t


def bits(nested):
    """Flattened values as bit patterns (any NaN counts as one value)."""
    if isinstance(nested, (list, tuple)):
        return [b for item in nested for b in bits(item)]
    return ["nan" if math.isnan(nested) else struct.pack("<d", nested)]


@pytest.mark.parametrize("name", [b"", b"a", b"\xc3\xa9", b"\xe9", bytes(range(1, 256))])
def test_names_are_latin1(tmp_path, capfd, name):
    image = read(tmp_path, images_file([A[:4] + (name, [])]))[5]
    assert capfd.readouterr().out == "Found 1 registered images.\n"
    assert image.name == name.decode("latin-1") and image.name.encode("latin-1") == name
    assert f"name: {name.decode('latin-1')}, rot:" in str(image)


def test_fields_duplicates_and_empty(tmp_path, capfd):
    got = read(tmp_path, images_file([B, A, (5, (0, 0, 0, 1), (0, 0, 0), 7, "b", [])]))
    assert capfd.readouterr().out == "Found 3 registered images.\n"
    assert sorted(got) == [5, 6]
    assert (got[5].camera_id, got[5].name, got[5].point3D_ids) == (7, "b", [])
    b = got[6]
    assert (b.image_id, b.camera_id, b.trans, b.point3D_ids) == (6, 2, [0.0, 0.0, 0.0], [9, NO_POINT3D])
    b.point3D_ids.clear(), b.rot[0].clear(), b.trans.clear()
    assert len(b.point3D_ids) == 2 and len(b.rot[0]) == 3 and len(b.trans) == 3
    assert read(tmp_path, images_file([])) == {}


def test_every_cut(tmp_path, capfd):
    images = [B, (2**32 - 1, (1, 0, 0, 0), (0, 0, 0), 0, b"", [])]
    data = images_file(images)
    expected, pos = {}, 8  # cut -> message, filled field by field
    def field(width):
        nonlocal pos
        for cut in range(pos, pos + width):
            expected[cut] = f"range end index {pos + width} out of range for slice of length {cut}"
        pos += width
    for _, _, _, _, name, points in images:
        for width in [4] + [8] * 7 + [4]:
            field(width)
        for cut in range(pos, pos + len(name) + 1):
            expected[cut] = f"index out of bounds: the len is {cut} but the index is {cut}"
        pos += len(name) + 1
        for width in [8] + [8, 8, 8] * len(points):
            field(width)
    assert pos == len(data)
    for cut in range(len(data)):
        want = expected.get(cut, f"range end index 8 out of range for slice of length {cut}")
        assert panic(read, tmp_path, data[:cut]) == want
        assert capfd.readouterr().out == ("Found 2 registered images.\n" if cut >= 8 else "")


@pytest.mark.parametrize("q, expected", [
    ((1, 0, 0, 0), IDENTITY),
    ((2, 0, 0, 0), IDENTITY),
    ((0, 0, 0, 0), IDENTITY),
    ((0, 2, 0, 0), [[1.0, 0.0, 0.0], [0.0, -7.0, 0.0], [0.0, 0.0, -7.0]]),
    ((0, 1, 0, 0), [[1.0, 0.0, 0.0], [0.0, -1.0, 0.0], [0.0, 0.0, -1.0]]),
    ((0.5, 0.5, 0.5, 0.5), [[0.0, 0.0, 1.0], [1.0, 0.0, 0.0], [0.0, 1.0, 0.0]]),
])
def test_rot(tmp_path, q, expected):
    assert read(tmp_path, images_file([(1, q, (0, 0, 0), 0, "", [])]))[1].rot == expected


def random_pose(rng):
    scale = rng.choice([1.0, 1e-5, 1e5, None])  # None: small integers, many exact zeros
    q = [float(rng.randint(-2, 2)) if scale is None else rng.gauss(0, scale) for _ in range(4)]
    return tuple(q), tuple(rng.gauss(0, 10.0 ** rng.randint(-3, 4)) for _ in range(3))


def test_rot_and_relative_poses_bit_for_bit(tmp_path):
    rng = random.Random(20240613)
    poses = [random_pose(rng) for _ in range(60)] + [((0, 0, 0, 0), (1, 2, 3)), ((3, 0, 0, 0), (1, 2, 3))]
    got = read(tmp_path, images_file([(i, q, t, 0, "", []) for i, (q, t) in enumerate(poses)]))
    for i, (qs, ts) in enumerate(poses):
        assert bits(got[i].rot) == bits(rot(*qs))
        for j, (qo, to) in enumerate(poses):
            pose = got[i].relative_pose_from(got[j])
            assert type(pose) is tuple and bits(pose) == bits(relative_pose_from(qs, ts, qo, to)), (i, j)
            assert gc.is_tracked(pose)  # it holds lists, which a caller can make into a cycle
            assert bits(got[j].relative_pose_to(other=got[i])) == bits(pose), (i, j)
            if any(qs) and any(qo):
                assert i != j or pose == (IDENTITY, [0.0, 0.0, 0.0])
            else:  # a zero quaternion on either side: twelve NaNs
                assert bits(pose) == ["nan"] * 12


def test_string_form_and_argument_errors(tmp_path):
    a = read(tmp_path, images_file([A]))[5]
    assert str(a) == repr(a) == ("<Image ID: 5, name: a.jpg, rot: Quaternion { v: Vector3 [0.0, 0.0, 0.0], "
                                 "s: 1.0 }, trans: Vector3 [1.0, 2.0, 3.0]>")
    b = read(tmp_path, images_file([(1, (-0.0, 2.5e-7, 1e16, 1e20), (1e-5, 1e16, 0.0001), 0, "n", [])]))[1]
    assert str(b).endswith("rot: Quaternion { v: Vector3 [2.5e-7, 1e16, 1e20], s: -0.0 }, "
                           "trans: Vector3 [1e-5, 1e16, 0.0001]>")
    with pytest.raises(TypeError) as info:
        a.relative_pose_from(42)
    assert str(info.value) == "argument 'other': 'int' object cannot be converted to 'Image'"
    with pytest.raises(TypeError) as info:
        a.relative_pose_to()
    assert str(info.value) == "Image.relative_pose_to() missing 1 required positional argument: 'other'"


@pytest.mark.parametrize("data, end", [
    (images_file([A], count=2**64 - 1), 86 + 4),  # huge image count: the first missing image id
    (images_file([A])[:-8] + struct.pack("<QddQd", 2**63, 1, 2, 3, 4), 126),  # huge 2D point count
])
def test_huge_counts_fail_with_range_message(tmp_path, data, end):
    assert panic(read, tmp_path, data) == f"range end index {end} out of range for slice of length {len(data)}"
