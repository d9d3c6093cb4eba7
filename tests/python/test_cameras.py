"""Reading cameras.bin: progress line, range messages, model codes, camera attributes and K()."""
import math
import random
import struct

import pytest

import tolv
from colmap_files import camera_record, cameras_file
from colmap_files import panic_text

# code -> (display name, parameter count), written out here rather than taken from the writer
MODELS = {0: ("Simple Pinhole", 3), 1: ("Pinhole", 4), 2: ("Simple Radial", 4), 3: ("Radial", 5),
          4: ("OpenCV", 8), 5: ("OpenCV Fisheye", 8), 6: ("Full OpenCV", 12), 7: ("FOV", 5),
          8: ("Simple Radial Fisheye", 4), 9: ("Radial Fisheye", 5), 10: ("Thin Prism Fisheye", 12)}
K_OF = {0: [[0.5, 0.0, 1.75], [0.0, 0.5, 3.0], [0.0, 0.0, 1.0]],
        1: [[0.5, 0.0, 3.0], [0.0, 1.75, 4.25], [0.0, 0.0, 1.0]]}


def params_for(model):
    return [0.5 + i * 1.25 for i in range(MODELS[model][1])]


@pytest.fixture
def read(tmp_path):
    def read(data):
        (tmp_path / "cameras.bin").write_bytes(data)
        return tolv.read_cameras_bin(str(tmp_path / "cameras.bin"))
    return read


def range_text(end, length):
    return f"range end index {end} out of range for slice of length {length}"


@pytest.mark.parametrize("code", MODELS)
def test_every_model(read, capfd, code):
    name, params = MODELS[code][0], params_for(code)
    camera = read(cameras_file([(7, code, 640, 480, params)]))[7]
    assert capfd.readouterr().out == "Found 1 cameras\n"
    assert (camera.camera_id, camera.model_id, camera.width, camera.height, camera.params) == (
        7, name, 640, 480, params)
    assert str(camera) == repr(camera) == f"<Camera ID: 7, width: 640, height: 480, model: {name}>"
    if code in K_OF:
        assert camera.K() == K_OF[code]
    else:  # the failed K() leaves the camera usable
        assert panic_text(camera.K) == "Not implemented"
        assert (camera.model_id, camera.params, str(camera).endswith(f"{name}>")) == (name, params, True)
    with pytest.raises(TypeError):
        camera.K(1)


def test_header_count_printed_trailing_ignored_last_duplicate_wins(read, capfd):
    data = cameras_file([(3, 0, 1, 1, [1.0, 2.0, 3.0]), (9, 1, 2, 2, [4.0] * 4), (3, 2, 5, 6, [7.0] * 4)])
    cameras = read(data + b"trailing bytes are never read")
    assert capfd.readouterr().out == "Found 3 cameras\n"
    assert sorted(cameras) == [3, 9] and (cameras[3].model_id, cameras[3].width) == ("Simple Radial", 5)
    assert read(struct.pack("<Q", 0) + b"\xff" * 40) == {}
    assert capfd.readouterr().out == "Found 0 cameras\n"
    inflated = cameras_file([(1, 0, 1, 1, [1.0, 2.0, 3.0])], count=2**64 - 1)  # printed before any record
    assert panic_text(read, inflated) == range_text(len(inflated) + 4, len(inflated))
    assert capfd.readouterr().out == f"Found {2**64 - 1} cameras\n"


def test_extreme_values_and_fresh_copies(read):
    top64, top32, params = 2**64 - 1, 2**32 - 1, [math.inf, -0.0, 5e-324, math.nan]
    camera = read(cameras_file([(top32, 1, top64, top64, params)]))[top32]
    assert (camera.camera_id, camera.width, camera.height) == (top32, top64, top64)
    assert str(camera) == f"<Camera ID: {top32}, width: {top64}, height: {top64}, model: Pinhole>"
    assert struct.pack("<4d", *camera.params) == struct.pack("<4d", *params)  # bit for bit
    camera.params.append(1.0)
    camera.params[0] = camera.K()[0][0] = 9.0
    camera.K()[2].clear()
    assert len(camera.params) == 4 and camera.params is not camera.params
    assert camera.params[0] == camera.K()[0][0] == math.inf and camera.K()[2] == [0.0, 0.0, 1.0]


@pytest.mark.parametrize("length", range(8))
def test_file_shorter_than_header_prints_nothing(read, capfd, length):
    assert panic_text(read, b"\x05" * length) == range_text(8, length)
    assert capfd.readouterr().out == ""


def test_every_cut_names_the_first_missing_field(read, capfd):
    cameras = [(1, 0, 10, 20, params_for(0)), (2, 6, 30, 40, params_for(6)),
               (3, 10, 50, 60, params_for(10)), (4, 3, 70, 80, params_for(3))]
    data, ends = cameras_file(cameras), [8]
    for _, model, _, _, _ in cameras:  # end offset of every field, from the layout alone
        for width in [4, 4, 8, 8] + [8] * MODELS[model][1]:
            ends.append(ends[-1] + width)
    assert ends[-1] == len(data) and len(read(data)) == 4
    for cut in range(8, len(data)):
        assert panic_text(read, data[:cut]) == range_text(min(e for e in ends if e > cut), cut)
    assert capfd.readouterr().out == "Found 4 cameras\n" * (len(data) - 7)


@pytest.mark.parametrize("code", [11, -2, 127, -128, 2**31 - 1, -2**31])
@pytest.mark.parametrize("record_bytes", [8, 24, None])
def test_invalid_model_code(read, code, record_bytes):
    data = cameras_file([(2, 0, 1, 1, [1.0, 2.0, 3.0])], count=2) + camera_record(1, code, 1, 1, [])[:record_bytes]
    assert panic_text(read, data) == "Invalid enum value"


@pytest.mark.parametrize("record_bytes, text", [
    (8, range_text(24, 16)), (20, range_text(32, 28)),
    (24, "Cannot get params for invalid camera"), (None, "Cannot get params for invalid camera")])
def test_model_code_minus_one(read, record_bytes, text):
    assert panic_text(read, cameras_file([], count=1) + camera_record(1, -1, 1, 1, [1.0] * 4)[:record_bytes]) == text


def test_random_mutations_return_dict_or_raise(read):
    rng = random.Random(20240611)
    base = cameras_file([(i, i % 11, 100 + i, 200 + i, params_for(i % 11)) for i in range(12)])
    panic, outcomes = type(pytest.raises(BaseException, read, b"").value), set()
    for _ in range(1500):
        data = bytearray(base)
        for _ in range(rng.randint(1, 6)):
            data[rng.randrange(len(data))] = rng.choice([0, 0xff, 0x80, 0x7f, rng.randrange(256)])
        if rng.random() < 0.3:
            data[:8] = struct.pack("<Q", rng.choice([13, 1000, 2**32, 2**63, 2**64 - 1]))
        if rng.random() < 0.5:
            del data[rng.randrange(len(data) + 1):]
        try:
            result = read(bytes(data))
        except (OSError, panic) as e:
            outcomes.add(type(e).__name__)
            continue
        outcomes.add(type(result).__name__)
        for key, camera in result.items():
            count = next(n for name, n in MODELS.values() if name == camera.model_id)
            assert camera.camera_id == key and len(camera.params) == count
    assert outcomes == {"dict", "PanicException"}
