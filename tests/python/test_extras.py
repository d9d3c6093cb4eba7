"""tolv_extras without numpy: camera models and K, names, the stored quaternion, reading
from any path with the missing file named, quiet(), files written whole or not at all,
and clear errors for wrong arguments."""

import math
import os
import re
import struct
import subprocess
import sys
from pathlib import Path

import pytest
import tolv_extras as tx
from tolv_extras.files import write_whole
from colmap_files import NUM_PARAMS, write_reconstruction

UNIT_Q = (1.0, 0.0, 0.0, 0.0)


def read(folder):
    with tx.quiet():
        return tx.read_reconstruction(folder)


# COLMAP's places of fx, fy, cx, cy in params, by model id (one focal length: fx = fy)
FOCAL_AND_CENTRE = {0: (0, 0, 1, 2), 1: (0, 1, 2, 3), 2: (0, 0, 1, 2), 3: (0, 0, 1, 2),
                    4: (0, 1, 2, 3), 5: (0, 1, 2, 3), 6: (0, 1, 2, 3), 7: (0, 1, 2, 3),
                    8: (0, 0, 1, 2), 9: (0, 0, 1, 2), 10: (0, 1, 2, 3)}


@pytest.mark.parametrize("code", range(11))
def test_models_follow_the_stored_code(code, tmp_path):
    params = [100.0 + k for k in range(NUM_PARAMS[code])]
    (camera,) = read(write_reconstruction(tmp_path, [(1, code, 640, 480, params)]))[0].values()
    assert tx.colmap_model_id(camera) == code and len(tx.param_names(camera)) == len(params)
    fx, fy, cx, cy = (params[k] for k in FOCAL_AND_CENTRE[code])
    K = tx.calibration_matrix(camera)
    assert K == [[fx, 0.0, cx], [0.0, fy, cy], [0.0, 0.0, 1.0]]
    if code in (0, 1):
        assert K == camera.K()
    assert tx.colmap_model_name(camera).replace("_", "").lower() == \
        camera.model_id.replace(" ", "").lower()


NAMES = [("plain.jpg", "plain.jpg"), ("café_07.jpg".encode(), "café_07.jpg"),
         (b"\xb2\xe2\xca\xd4.jpg", None)]  # GBK


@pytest.mark.parametrize("stored, text", NAMES)
def test_names_as_bytes_and_utf8(stored, text, tmp_path):
    stored = stored.encode() if isinstance(stored, str) else stored
    images = read(write_reconstruction(tmp_path, [], [(77, UNIT_Q, (0, 0, 0), 1, stored, [])]))[1]
    image = images[77]
    assert tx.name_bytes(image) == stored
    if text is None:
        with pytest.raises(UnicodeDecodeError, match="image 77"):
            tx.utf8_name(image)
        assert os.fsencode(tx.utf8_name(image, "surrogateescape")) == stored
    else:
        assert tx.utf8_name(image) == text


ODD_FLOATS = [-0.0, 5e-324, -1e-310, 1e300, 0.1, 1 / 3, 12345678.9, 1e-5, 1e16, math.inf,
              -math.inf]


# A name that holds the text form's own markers
@pytest.mark.parametrize("name", ["a.jpg", "x, rot: Quaternion { v: Vector3 [1.0, 2.0, 3.0], s: 4"])
def test_quaternion_is_the_stored_one_bit_for_bit(name, tmp_path):
    quaternions = [tuple(ODD_FLOATS[(k + j) % len(ODD_FLOATS)] for j in range(4))
                   for k in range(len(ODD_FLOATS))]
    images = [(k + 1, q, (1.0, 2.0, 3.0), 1, name, []) for k, q in enumerate(quaternions)]
    read_back = read(write_reconstruction(tmp_path, [], images))[1]
    for image_id, q, *_ in images:
        assert struct.pack("<4d", *tx.quaternion(read_back[image_id])) == struct.pack("<4d", *q)
    nan_image = read(write_reconstruction(tmp_path / "nan", [], [(1, (math.nan,) * 4, (0, 0, 0), 1,
                                                                     name, [])]))[1][1]
    assert all(map(math.isnan, tx.quaternion(nan_image)))


@pytest.mark.parametrize("missing", ["cameras.bin", "images.bin", "points3D.bin"])
def test_read_reconstruction_takes_a_path_and_names_the_missing_file(missing, tmp_path):
    folder = Path(write_reconstruction(tmp_path / "folder"))
    assert read(folder) == ({}, {}, {})
    (folder / missing).unlink()
    with pytest.raises(FileNotFoundError) as info:
        read(folder)
    assert info.value.filename == str(folder / missing) and missing in str(info.value)


def run_python(program):
    """program in a child Python whose standard output is block buffered, as in CI."""
    environment = {k: v for k, v in os.environ.items() if k != "PYTHONUNBUFFERED"}
    return subprocess.run([sys.executable, "-c", program], capture_output=True, text=True,
                          env=environment)


def test_quiet_drops_fd_1_inside_only_and_restores_it_on_an_exception(tmp_path):
    folder = write_reconstruction(tmp_path / "folder")
    program = f"""
import os, sys, tolv, tolv_extras as tx
print("before", flush=False)
try:
    with tx.quiet():
        print("python inside")
        os.write(1, b"raw inside\\n")
        tolv.read_reconstruction_bin({folder!r})
        raise KeyError("boom")
except KeyError:
    pass
print("after", flush=True)
tolv.read_cameras_bin({folder!r} + "/cameras.bin")
sys.stdout.flush()
os.close(1)
with tx.quiet():  # with descriptor 1 closed, it stays closed
    tolv.read_cameras_bin({folder!r} + "/cameras.bin")
try:
    os.fstat(1)
except OSError:
    print("closed after", file=sys.stderr)
"""
    result = run_python(program)
    assert result.returncode == 0, result.stderr
    assert result.stdout == "before\nafter\nFound 0 cameras\n"
    assert result.stderr.endswith("closed after\n")


def test_arrays_without_numpy_name_the_extra():
    program = ("import sys; sys.modules['numpy'] = None\n"
               "import tolv_extras as tx\n"
               "try:\n    tx.points_arrays({})\nexcept ImportError as e:\n    print(e)\n")
    result = run_python(program)
    assert result.returncode == 0, result.stderr
    assert "'arrays' extra" in result.stdout


def test_files_are_written_whole_or_not_at_all(tmp_path):
    folder = tmp_path / "folder"
    write_reconstruction(folder, [], [(1, UNIT_Q, (0, 0, 0), 1, "a.jpg", []),
                                      (2, UNIT_Q, (0, 0, 0), 1, "b.jpg", [])])
    images = read(folder)[1]
    out = tmp_path / "pairs.txt"
    tx.write_pairs(out, images, [(1, 2)])
    assert out.read_bytes() == b"a.jpg b.jpg\n"
    with pytest.raises(ValueError, match="image 3"):
        tx.write_pairs(out, images, [(2, 1), (1, 3)])
    with pytest.raises(IsADirectoryError):
        tx.write_pairs(folder, images, [(1, 2)])

    def failing_midway():
        yield b"partial"
        raise OSError(28, "No space left on device")
    with pytest.raises(OSError, match="No space left") as info:
        write_whole(str(out), failing_midway())
    assert info.value.filename == str(out)
    with pytest.raises(FileNotFoundError) as info:
        tx.write_pairs(tmp_path / "nowhere" / "pairs.txt", images, [])
    assert info.value.filename == str(tmp_path / "nowhere" / "pairs.txt")
    assert out.read_bytes() == b"a.jpg b.jpg\n"
    assert sorted(p.name for p in tmp_path.iterdir()) == ["folder", "pairs.txt"]
    assert sorted(p.name for p in folder.iterdir()) == ["cameras.bin", "images.bin", "points3D.bin"]


@pytest.mark.parametrize("call, argument", [
    (lambda: tx.calibration_matrix("camera"), "camera"),
    (lambda: tx.utf8_name(None), "image"),
    (lambda: tx.read_reconstruction(b"folder"), "folder"),
    (lambda: tx.covisibility_pairs({}, [], 3), "overlaps"),
    (lambda: tx.covisibility_pairs({}, {}, 2.0), "k"),
    (lambda: tx.write_pairs("out.txt", {1: "a.jpg"}, []), "images[1]"),
    (lambda: tx.write_pairs("out.txt", {}, [(3,)]), "pairs[0]"),
    (lambda: tx.write_ply(3, {}), "path"),
    (lambda: tx.write_ply("out.ply", [(1.0, 2.0, 3.0)]), "points3D"),
    (lambda: tx.write_ply("out.ply", {1: (1.0, 2.0, 3.0)}), "points3D[1]"),
])
def test_wrong_types_name_the_argument(call, argument, tmp_path, monkeypatch):
    monkeypatch.chdir(tmp_path)
    with pytest.raises(TypeError, match="^" + re.escape(argument) + " must be"):
        call()
    assert list(tmp_path.iterdir()) == []


def test_covisibility_pairs_rank_by_count_then_id():
    images = {1: None, 2: None, 3: None, 4: None}
    overlaps = {1: {1: 9, 2: 5, 3: 7, 4: 5, 8: 99}, 2: {1: 5}, 3: {1: 7}, 4: {1: 5}}
    assert tx.covisibility_pairs(images, overlaps, 2) == [(1, 3), (1, 2), (2, 1), (3, 1), (4, 1)]
