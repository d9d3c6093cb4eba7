"""read_reconstruction_bin: same content as the file readers, failure order, damaged files."""
import pathlib
import random
import struct

import pytest

import tolv
from colmap_files import NO_POINT3D, write_reconstruction

CAMERAS = [(1, 1, 640, 480, [500.0, 510.0, 320.0, 240.0]), (2, 0, 10, 20, [1.0, 2.0, 3.0])]
IMAGES = [(5, (1, 0, 0, 0), (1, 2, 3), 1, "a.jpg", [(1.0, 2.0, 7), (3.0, 4.0, NO_POINT3D)]),
          (6, (0.5, 0.5, 0.5, 0.5), (0, 0, -1), 2, b"\xe9", [])]
POINTS = [(7, (1, 2.5, -3), (1, 2, 3), 0.5, [(5, 0), (6, 3)]), (8, (0, 0, 0), (0, 255, 0), 0.0, [])]
LINES = "Found 2 cameras\nFound 2 registered images.\nFound 2 3D points.\n"
ATTRS = {"Camera": ["camera_id", "width", "height", "params", "model_id", "K"],
         "Image": ["image_id", "camera_id", "name", "point3D_ids", "rot", "trans"],
         "Point3D": ["id", "xyz", "error", "track", "color"]}
READERS = {"cameras.bin": tolv.read_cameras_bin, "images.bin": tolv.read_images_bin,
           "points3D.bin": tolv.read_points3D_bin}


def values(records):
    """Each record as its string form and attribute values, for comparison as mappings."""
    def plain(record):
        attrs = [getattr(record, name) for name in ATTRS[type(record).__name__]]
        return str(record), [a() if callable(a) else a if type(a) in (int, str, float, list) else str(a)
                             for a in attrs]
    return {key: plain(record) for key, record in records.items()}


@pytest.fixture
def folder(tmp_path):
    return write_reconstruction(tmp_path / "rec", CAMERAS, IMAGES, POINTS)


@pytest.mark.parametrize("call", [
    lambda f: tolv.read_reconstruction_bin(f),
    lambda f: tolv.read_reconstruction_bin(f + "/"),
    lambda f: tolv.read_reconstruction_bin(path=f + "//"),
])
def test_same_content_as_file_readers(folder, capfd, call):
    result = call(folder)
    assert capfd.readouterr().out == LINES
    assert type(result) is tuple and len(result) == 3
    for got, (file, reader) in zip(result, READERS.items()):
        assert values(got) == values(reader(f"{folder}/{file}"))
    assert sorted(result[1]) == [5, 6] and result[1][6].name == "\xe9"


@pytest.mark.parametrize("missing, lines", [
    ("cameras.bin", ""),
    ("images.bin", "Found 2 cameras\n"),
    ("points3D.bin", "Found 2 cameras\nFound 2 registered images.\n"),
])
def test_first_missing_file_ends_the_call(folder, capfd, missing, lines):
    (pathlib.Path(folder) / missing).unlink()
    if missing != "points3D.bin":  # never opened: as a directory it would give "Is a directory"
        (pathlib.Path(folder) / "points3D.bin").unlink()
        (pathlib.Path(folder) / "points3D.bin").mkdir()
    capfd.readouterr()
    with pytest.raises(FileNotFoundError) as info:
        tolv.read_reconstruction_bin(folder)
    assert str(info.value) == "No such file or directory (os error 2)" and info.value.errno is None
    assert capfd.readouterr().out == lines


def test_damaged_images_stop_before_points(folder, capfd):
    (pathlib.Path(folder) / "images.bin").write_bytes(struct.pack("<Q", 1))
    (pathlib.Path(folder) / "points3D.bin").unlink()
    capfd.readouterr()
    with pytest.raises(BaseException) as info:
        tolv.read_reconstruction_bin(folder)
    assert type(info.value).__name__ == "PanicException"
    assert str(info.value) == "range end index 12 out of range for slice of length 8"
    assert capfd.readouterr().out == "Found 2 cameras\nFound 1 registered images.\n"


@pytest.mark.parametrize("arg, kind, text", [
    ("cameras.bin", OSError, "Not a directory (os error 20)"),
    (b"rec", TypeError, "argument 'path': 'bytes' object cannot be converted to 'PyString'"),
    (pathlib.PurePosixPath("rec"), TypeError,
     "argument 'path': 'PurePosixPath' object cannot be converted to 'PyString'"),
])
def test_bad_folder_arguments(folder, capfd, arg, kind, text):
    if arg == "cameras.bin":
        arg = f"{folder}/cameras.bin"
    capfd.readouterr()
    with pytest.raises(BaseException) as info:
        tolv.read_reconstruction_bin(arg)
    assert type(info.value) is kind and str(info.value) == text
    assert capfd.readouterr().out == ""


def mutations(data, rng, count_offsets):
    yield data[:rng.randrange(len(data))]
    flipped = bytearray(data)
    for _ in range(rng.randint(1, 4)):
        flipped[rng.randrange(len(data))] ^= 1 << rng.randrange(8)
    yield bytes(flipped)
    huge = bytearray(data)
    at = rng.choice(count_offsets + [rng.randrange(len(data) - 7)])
    huge[at:at + 8] = struct.pack("<Q", rng.choice([2**64 - 1, 2**63, 2**32, 10**9]))
    yield bytes(huge)


# offsets of the record count, of each image's 2D point count and of each point's track length
COUNT_OFFSETS = {"images.bin": [0, 8 + 70, 8 + 126 + 66], "points3D.bin": [0, 8 + 43, 8 + 67 + 43]}


@pytest.mark.parametrize("file", sorted(COUNT_OFFSETS))
def test_damaged_files_fail_cleanly(folder, file):
    path = pathlib.Path(folder) / file
    original = path.read_bytes()
    assert [struct.unpack_from("<Q", original, at)[0] for at in COUNT_OFFSETS[file]] == [2, 2, 0]
    rng = random.Random(file)
    for _ in range(100):
        for data in mutations(original, rng, COUNT_OFFSETS[file]):
            path.write_bytes(data)
            for call in (READERS[file], lambda p: tolv.read_reconstruction_bin(folder)):
                try:
                    result = call(str(path))
                except OSError:
                    continue
                except BaseException as e:
                    assert type(e).__name__ == "PanicException", repr(e)
                    continue
                assert isinstance(result, (dict, tuple))
