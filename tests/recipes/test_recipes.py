"""The recipes in examples/: their output checked against the records with independent
code (a PLY parser written here, a plain Python co-visibility count), their command
lines, and what they do with bad input."""

from __future__ import annotations

import os
import re
import struct
import subprocess
import sys
from collections import Counter
from itertools import combinations
from pathlib import Path

import pytest

np = pytest.importorskip("numpy", reason="the recipes need numpy: pip install '.[plot]'")
pytest.importorskip("matplotlib", reason="the recipes need matplotlib: pip install '.[plot]'")

import tolv  # noqa: E402
import tolv_extras as tx  # noqa: E402
from colmap_files import NO_POINT3D, write_reconstruction, write_text_model  # noqa: E402

ROOT = Path(__file__).resolve().parents[2]
SAMPLE = str(ROOT / "examples" / "sample" / "sparse")
OUTPUT_NAMES = {"to_numpy.py": [], "export_ply.py": ["out.ply"],
                "covisibility_pairs.py": ["out.txt"], "scene.py": ["out.png"]}
RECIPES = list(OUTPUT_NAMES)
# The recipes that need only arrays read the model with tx.read_model, binary or text; the
# others need tolv's records.
READ_MODEL = ["to_numpy.py", "export_ply.py", "covisibility_pairs.py", "scene.py"]


def run(script, *args):
    return subprocess.run([sys.executable, str(ROOT / "examples" / script), *map(str, args)],
                          capture_output=True, text=True)


def quiet_read(folder):
    return tolv.read_reconstruction_bin(folder)


# A folder with what the sample lacks: tied counts, a track naming an image that
# images.bin does not hold, an image seen by nothing, ids out of file order, a point
# without track, a point id of 2^64 - 2, a UTF-8 name, a name that is not UTF-8 and one
# with a space.
UNIT_Q = (1.0, 0.0, 0.0, 0.0)


def edge_folder(tmp_path, text=False):
    images = [
        (9, UNIT_Q, (0.0, 0.0, 0.0), 1, "nine.jpg", [(1.0, 2.0, NO_POINT3D)] * 3),
        (1, UNIT_Q, (1.0, 0.0, 0.0), 1, "ünï.jpg", []),
        (5, UNIT_Q, (0.0, 1.0, 0.0), 1, b"bad\xff.jpg", []),
        (3, UNIT_Q, (0.0, 0.0, 1.0), 1, "three.jpg", []),
        (7, UNIT_Q, (0.0, 0.0, 2.0), 1, "all alone.jpg", []),
    ]
    points = [
        (2**63 + 5, (1.0, -2.0, 3.5), (255, 0, 7), 0.25, [(1, 0), (5, 0), (3, 0), (9, 0)]),
        (40, (-0.0, 1e300, -7.25), (1, 2, 3), 1e-310, [(1, 1), (5, 1)]),
        (12, (4.0, 5.0, 6.0), (9, 9, 9), 1.5, [(3, 1), (1, 2), (42, 0)]),
        (13, (0.5, 0.5, 0.5), (0, 0, 0), 3.0, []),
        (2**64 - 2, (0.0, 0.0, 0.0), (4, 5, 6), 0.0, [(9, 2)]),
    ]
    cameras = [(1, 0, 100, 80, (90.0, 50.0, 40.0))]
    if text:  # a text file holds no name that is not UTF-8
        images = [i[:4] + (i[4].decode("latin-1") if isinstance(i[4], bytes) else i[4],) + i[5:]
                  for i in images]
        return write_text_model(tmp_path / "edge-text", cameras, images, points)
    return write_reconstruction(tmp_path / "edge", cameras, images, points)


def text_twin(binary, folder):
    """The binary model in binary as the three text files, every value the same."""
    model = tx.read_model(binary)
    c, i, p = model.cameras, model.images, model.points
    cameras = [(camera_id, model_id, w, h, params[:len(tx.CAMERA_MODELS[model_id].param_names)])
               for camera_id, model_id, w, h, params in zip(
                   c.ids.tolist(), c.model_ids.tolist(), c.widths.tolist(), c.heights.tolist(),
                   c.params.tolist())]
    offsets, xys, point3D_ids = i.points2D_offsets.tolist(), i.xys.tolist(), i.point3D_ids.tolist()
    images = [(image_id, q, t, camera_id, name,
               [(x, y, pid) for (x, y), pid in zip(xys[a:b], point3D_ids[a:b])])
              for image_id, q, t, camera_id, name, a, b in zip(
                  i.ids.tolist(), i.quaternions.tolist(), i.translations.tolist(),
                  i.camera_ids.tolist(), i.names, offsets[:-1], offsets[1:])]
    offsets = p.track_offsets.tolist()
    elements = list(zip(p.track_image_ids.tolist(), p.track_point2D_idxs.tolist()))
    points = [(point_id, xyz, rgb, error, elements[a:b])
              for point_id, xyz, rgb, error, a, b in zip(
                  p.ids.tolist(), p.xyz.tolist(), p.rgb.tolist(), p.error.tolist(),
                  offsets[:-1], offsets[1:])]
    return write_text_model(Path(folder), cameras, images, points)


@pytest.fixture(params=["sample", "edge"])
def folder(request, tmp_path):
    return SAMPLE if request.param == "sample" else edge_folder(tmp_path)


@pytest.fixture(params=["sample", "edge", "sample-text", "edge-text"])
def model_folder(request, tmp_path):
    """(a folder for read_model, binary or text, the binary folder of the same model)."""
    binary = SAMPLE if request.param.startswith("sample") else edge_folder(tmp_path)
    if not request.param.endswith("text"):
        return binary, binary
    if binary == SAMPLE:
        return text_twin(SAMPLE, tmp_path / "sample-text"), binary
    return edge_folder(tmp_path, text=True), binary


# export_ply.py

def parse_ply(data):
    """A PLY reader of its own: header lines, then packed vertices of the declared types."""
    end = data.index(b"end_header\n") + len(b"end_header\n")
    lines = data[:end].decode("ascii").splitlines()
    assert lines[0] == "ply" and lines[1] == "format binary_little_endian 1.0"
    declared = [line.split() for line in lines[2:-1] if not line.startswith("comment")]
    assert declared[0][:2] == ["element", "vertex"]
    count = int(declared[0][2])
    properties = [(kind, name) for _, kind, name in declared[1:]]
    codes = {"double": "d", "float": "f", "uchar": "B"}
    layout = "<" + "".join(codes[kind] for kind, _ in properties)
    size = struct.calcsize(layout)
    assert len(data) - end == count * size
    rows = [struct.unpack_from(layout, data, end + k * size) for k in range(count)]
    return properties, rows


def as_float32(value):
    return struct.unpack("<f", struct.pack("<f", value))[0]


def test_ply_holds_every_point_in_id_order(model_folder, tmp_path):
    folder, binary = model_folder
    out = tmp_path / "points.ply"
    result = run("export_ply.py", folder, out)
    assert result.returncode == 0, result.stderr
    properties, rows = parse_ply(out.read_bytes())
    assert properties == [("double", "x"), ("double", "y"), ("double", "z"), ("uchar", "red"),
                          ("uchar", "green"), ("uchar", "blue"), ("float", "error")]
    points3D = tolv.read_points3D_bin(binary + "/points3D.bin")
    expected = [points3D[k] for k in sorted(points3D)]
    assert len(rows) == len(expected)
    for row, point in zip(rows, expected):
        assert struct.pack("<3d", *row[:3]) == struct.pack("<3d", *point.xyz)
        assert row[3:6] == (point.color.r, point.color.g, point.color.b)
        assert row[6] == as_float32(point.error)



def test_ply_sorts_the_tracks_with_their_points(folder):
    import export_ply
    sorted_points = export_ply.by_point_id(tx.read_model(folder).points)
    expected = tx.points_arrays(quiet_read(folder)[2])
    for name, value in expected._asdict().items():
        assert np.array_equal(getattr(sorted_points, name), value), name


# covisibility_pairs.py

def plain_pair_lines(folder, k):
    """The pairs file from a plain count of the points each two images share."""
    _, images, points3D = quiet_read(folder)
    shared = Counter()
    for point in points3D.values():
        seen = sorted({image_id for image_id, _ in point.track})
        for a, b in combinations(seen, 2):
            shared[a, b] += 1
            shared[b, a] += 1
    lines = []
    for a in sorted(images):
        ranked = sorted((-n, b) for (x, b), n in shared.items() if x == a and b in images)
        for _, b in ranked[:k]:
            lines.append(images[a].name.encode("latin-1") + b" " + images[b].name.encode("latin-1"))
    return b"".join(line + b"\n" for line in lines)


@pytest.mark.parametrize("k", [1, 2, 5, 1000])
def test_pairs_match_a_plain_count(model_folder, tmp_path, k):
    folder, binary = model_folder
    out = tmp_path / "pairs.txt"
    result = run("covisibility_pairs.py", folder, out, "--k", k)
    assert result.returncode == 0, result.stderr
    expected = plain_pair_lines(binary, k)
    if folder != binary:  # the text twin of the edge model holds the name as UTF-8
        expected = expected.replace(b"bad\xff.jpg", "bad\xff.jpg".encode())
    assert out.read_bytes() == expected


def test_pairs_break_ties_by_image_id_and_skip_unknown_images(tmp_path):
    folder = edge_folder(tmp_path)
    out = tmp_path / "pairs.txt"
    result = run("covisibility_pairs.py", folder, out, "--k", "2")
    assert result.returncode == 0
    # "all alone.jpg" shares nothing, so its space never reaches the file.
    assert result.stderr == ""
    # Image 1 shares 2 points with 3 and with 5, 1 with 9; image 3 shares 2 with 1
    # and 1 with 5 and with 9; image 42 has no name and never appears.
    assert out.read_bytes().splitlines()[:4] == [
        "ünï.jpg three.jpg".encode(), "ünï.jpg ".encode() + b"bad\xff.jpg",
        "three.jpg ünï.jpg".encode(), b"three.jpg bad\xff.jpg"]


@pytest.mark.parametrize("name", ["a b.jpg", "a\tb.jpg", "a\nb.jpg"])
def test_pairs_refuse_a_paired_name_with_white_space(tmp_path, name):
    images = [(1, UNIT_Q, (0.0, 0.0, 0.0), 1, "one.jpg", []),
              (2, UNIT_Q, (1.0, 0.0, 0.0), 1, name, [])]
    points = [(1, (0.0, 0.0, 1.0), (1, 2, 3), 0.5, [(1, 0), (2, 0)])]
    folder = write_reconstruction(tmp_path / "spaced", [(1, 0, 100, 80, (90.0, 50.0, 40.0))],
                                  images, points)
    out = tmp_path / "pairs.txt"
    result = run("covisibility_pairs.py", folder, out)
    assert result.returncode == 1 and not out.exists()
    assert f"image 2 is named {name!r}" in result.stderr and "Traceback" not in result.stderr


def test_pairs_default_to_twenty_neighbours():
    import covisibility_pairs
    _, images, points3D = quiet_read(SAMPLE)
    overlaps = tolv.compute_overlaps(points3D)
    pairs = tx.covisibility_pairs(images, overlaps, covisibility_pairs.DEFAULT_K)
    per_image = Counter(a for a, _ in pairs)
    assert max(per_image.values()) == 20 and all(a != b for a, b in pairs)


# tolv_extras' arrays, against the records one by one

def compressed(offsets, *columns):
    """The rows of a compressed index: row k holds entries offsets[k] to offsets[k+1] - 1."""
    assert offsets[0] == 0 and (np.diff(offsets) >= 0).all() and offsets[-1] == len(columns[0])
    return [list(zip(*(c[a:b].tolist() for c in columns))) for a, b in zip(offsets[:-1], offsets[1:])]


def test_arrays_match_the_records(folder):
    cameras, images, points3D = quiet_read(folder)
    points = tx.points_arrays(points3D)
    assert points.ids.tolist() == sorted(points3D)
    tracks = compressed(points.track_offsets, points.track_image_ids, points.track_point2D_idxs)
    for row, point_id in enumerate(points.ids.tolist()):
        point = points3D[point_id]
        assert points.xyz[row].tobytes() == np.array(point.xyz).tobytes()
        assert points.rgb[row].tolist() == [point.color.r, point.color.g, point.color.b]
        assert points.error[row].tobytes() == np.float64(point.error).tobytes()
        assert tracks[row] == point.track
    views = tx.images_arrays(images)
    assert views.ids.tolist() == sorted(images)
    point3D_ids = compressed(views.points2D_offsets, views.point3D_ids)
    for row, image_id in enumerate(views.ids.tolist()):
        image = images[image_id]
        R, t = np.array(image.rot), np.array(image.trans)
        assert views.cam_from_world[row].tolist() == np.column_stack([R, t]).tolist()
        assert np.allclose(views.centers[row], -R.T @ t, rtol=1e-12, atol=1e-12)
        assert views.camera_ids[row] == image.camera_id
        assert views.quaternions[row].tolist() == list(tx.quaternion(image))
        assert os.fsencode(views.names[row]) == tx.name_bytes(image)
        assert [i for (i,) in point3D_ids[row]] == image.point3D_ids
    lenses = tx.cameras_arrays(cameras)
    assert lenses.ids.tolist() == sorted(cameras)
    for row, camera_id in enumerate(lenses.ids.tolist()):
        camera = cameras[camera_id]
        count = len(camera.params)
        assert lenses.params[row, :count].tolist() == camera.params
        assert np.isnan(lenses.params[row, count:]).all()
        assert lenses.K[row].tolist() == tx.calibration_matrix(camera)
        assert (lenses.model_ids[row], lenses.widths[row], lenses.heights[row]) == \
            (tx.colmap_model_id(camera), camera.width, camera.height)


def test_to_numpy_prints_the_shapes(tmp_path):
    result = run("to_numpy.py", SAMPLE)
    assert result.returncode == 0, result.stderr
    for line in ["xyz                 (2054, 3)       float64",
                 "cam_from_world      (40, 3, 4)", "xys                 (15084, 2)",
                 "K                   (4, 3, 3)", "rigs                  none in this folder"]:
        assert line in result.stdout


def test_to_numpy_prints_the_same_for_text(model_folder):
    folder, binary = model_folder
    text, binary = (run("to_numpy.py", f, "--format", fmt) for f, fmt in
                    ((folder, "txt" if folder != binary else "bin"), (binary, "bin")))
    assert text.returncode == 0, text.stderr
    assert text.stdout.splitlines()[:-1] == binary.stdout.splitlines()[:-1]


# scene.py

def rotation(seed):
    q = np.random.default_rng(seed).normal(size=4)
    w, x, y, z = q / np.linalg.norm(q)
    return np.array([[1 - 2 * (y * y + z * z), 2 * (x * y - w * z), 2 * (x * z + w * y)],
                     [2 * (x * y + w * z), 1 - 2 * (x * x + z * z), 2 * (y * z - w * x)],
                     [2 * (x * z - w * y), 2 * (y * z + w * x), 1 - 2 * (x * x + y * y)]])


@pytest.mark.parametrize("seed", range(4))
def test_frustum_sits_at_the_centre_and_looks_along_the_third_row(seed):
    import scene
    R, t = rotation(seed), np.array([0.3, -1.0, 2.0])
    center = -R.T @ t
    segments = scene.frustum_segments(scene.Pose(R, center, (0.5, 0.25)), depth=2.0)
    apex_edges = segments[:4]
    assert np.allclose(apex_edges[:, 0], center)
    corners = apex_edges[:, 1]
    assert np.allclose(corners.mean(axis=0), center + 2.0 * R[2])
    # x right is wider than y down by the field of view's ratio
    assert np.isclose(np.linalg.norm(corners[1] - corners[0]), 2.0)
    assert np.isclose(np.linalg.norm(corners[2] - corners[1]), 1.0)
    assert np.allclose(corners[1] - corners[0], 2.0 * R[0])


def test_scene_view_puts_up_against_the_cameras_down_axis():
    import scene
    cams = [scene.Pose(rotation(seed), np.zeros(3), (0.5, 0.4)) for seed in range(3)]
    for cam in cams:  # one shared down axis (the rows need not stay orthogonal for this)
        cam.rotation[1] = cams[0].rotation[1]
    view = scene.world_to_view(cams)
    assert np.allclose(view @ view.T, np.eye(3))
    assert np.allclose(view[2], -cams[0].rotation[1])


def test_scene_draws_a_picture(tmp_path):
    from PIL import Image as PILImage
    out = tmp_path / "scene.png"
    result = run("scene.py", SAMPLE, out)
    assert result.returncode == 0, result.stderr
    with PILImage.open(out) as picture:
        assert picture.mode == "RGB" and min(picture.size) > 300
        pixels = np.asarray(picture)
    assert (pixels < 200).any(axis=2).mean() > 0.01  # not an empty canvas


# Command lines and bad input

@pytest.mark.parametrize("script, args", [
    ("to_numpy.py", []), ("to_numpy.py", ["a", "b"]),
    ("export_ply.py", [SAMPLE]), ("export_ply.py", [SAMPLE, "o.ply", "x"]),
    ("covisibility_pairs.py", [SAMPLE]), ("covisibility_pairs.py", [SAMPLE, "o.txt", "--k", "0"]),
    ("covisibility_pairs.py", [SAMPLE, "o.txt", "--k", "many"]),
    ("covisibility_pairs.py", [SAMPLE, "o.txt", "--top", "3"]),
    ("scene.py", []), ("scene.py", [SAMPLE]),
])
def test_wrong_command_line_gets_usage(script, args, tmp_path):
    result = subprocess.run([sys.executable, str(ROOT / "examples" / script), *args],
                            capture_output=True, text=True, cwd=tmp_path)
    assert result.returncode == 2
    assert result.stderr.startswith("usage: " + script) and "Traceback" not in result.stderr
    assert list(tmp_path.iterdir()) == []


def damaged_folder(tmp_path, damage):
    """A folder without its model, without points3D, or with every file truncated."""
    folder = tmp_path / "broken"
    if damage == "no_folder":
        return folder
    folder = Path(write_reconstruction(folder) if damage != "text_without_points3D"
                  else write_text_model(folder))
    if damage == "truncated":
        for name in ("cameras.bin", "images.bin", "points3D.bin"):
            (folder / name).write_bytes(b"\x01\x00\x00\x00\x00\x00\x00\x00\x01")
    else:
        (folder / ("points3D.txt" if damage.startswith("text") else "points3D.bin")).unlink()
    return folder


# What each damage ends with: (exception, what the message says) for the recipes over
# records and for those over read_model; {folder} is the damaged folder.
DAMAGES = {
    "no_folder": (("FileNotFoundError", "No such file or directory: '{folder}/cameras.bin'"),
                  ("FileNotFoundError", "No such folder: '{folder}'")),
    "no_points3D": (("FileNotFoundError", "No such file or directory: '{folder}/points3D.bin'"),
                    ("FileNotFoundError", "No such file or directory: '{folder}/points3D.bin'")),
    "text_without_points3D": (None, ("FileNotFoundError",
                                     "No such file or directory: '{folder}/points3D.txt'")),
    "truncated": (("PanicException", "out of range for slice"),
                  ("ModelFormatError", "cameras.bin: byte 0: ")),
}


@pytest.mark.parametrize("script, damage", [
    (script, damage) for damage, outcomes in DAMAGES.items() for script in RECIPES
    if outcomes[script in READ_MODEL]])
def test_bad_input_gets_the_module_exception(script, damage, tmp_path):
    expected = DAMAGES[damage][script in READ_MODEL]
    folder = damaged_folder(tmp_path, damage)
    outputs = [tmp_path / name for name in OUTPUT_NAMES[script]]
    result = run(script, folder, *outputs)
    assert result.returncode == 1 and not any(path.exists() for path in outputs)
    assert not [path for path in tmp_path.iterdir() if path.name != "broken"]  # nothing partial
    last = result.stderr.strip().splitlines()[-1]
    exception, message = expected
    assert last.split(":")[0].endswith(exception) and message.format(folder=folder) in last


DEGENERATE = {
    "empty": ([], [], []),
    "no_points": ([(1, 0, 100, 80, (90.0, 50.0, 40.0))],
                  [(4, UNIT_Q, (0.0, 0.0, 0.0), 1, "a.jpg", [])], []),
    "zero_sizes_and_quaternion": ([(1, 1, 0, 0, (0.0, 0.0, 0.0, 0.0))],
                                  [(4, (0.0, 0.0, 0.0, 0.0), (0.0, 0.0, 0.0), 9, "a.jpg", [])],
                                  [(1, (1.0, 2.0, 3.0), (1, 2, 3), 0.5, [(4, 0)])]),
}


@pytest.mark.parametrize("script, write", [(script, write_reconstruction) for script in RECIPES]
                         + [(script, write_text_model) for script in READ_MODEL],
                         ids=RECIPES + [f"{script}-text" for script in READ_MODEL])
@pytest.mark.parametrize("content", DEGENERATE.values(), ids=DEGENERATE.keys())
def test_degenerate_folders_still_give_output(script, write, content, tmp_path):
    folder = write(tmp_path / "folder", *content)
    extra = [tmp_path / name for name in OUTPUT_NAMES[script]]
    result = run(script, folder, *extra)
    assert result.returncode == 0, result.stderr
    assert not extra or extra[0].exists()



# tolv's own progress lines, which only summary.py keeps: its output is the reference
# every wheel's is compared with.
@pytest.mark.parametrize("script, outputs", [
    ("to_numpy.py", []), ("export_ply.py", ["out.ply"]), ("scene.py", ["out.png"]),
    ("overlap_matrix.py", ["out.png"])])
def test_recipes_print_no_progress_lines(script, outputs, tmp_path):
    result = run(script, SAMPLE, *(tmp_path / name for name in outputs))
    assert result.returncode == 0, result.stderr
    assert result.stdout and not [line for line in result.stdout.splitlines()
                                  if PROGRESS.match(line)]


# The recipes page's outputs, against what the recipes print and write on the sample

PROGRESS = re.compile(r"^(Found \d+ (cameras|registered images\.|3D points\.)|Making sets\.\.\.|Done!)$")


def recipes_block_after(marker):
    """The lines of the first fenced block after the line of docs/recipes.md holding marker."""
    lines = (ROOT / "docs" / "recipes.md").read_text(encoding="utf-8").splitlines()
    start = next(k for k, line in enumerate(lines) if marker in line)
    opening = next(k for k in range(start, len(lines)) if lines[k].startswith("```"))
    closing = next(k for k in range(opening + 1, len(lines)) if lines[k].startswith("```"))
    return lines[opening + 1:closing]


def to_numpy_output(tmp_path):
    return run("to_numpy.py", SAMPLE).stdout.splitlines()


def ply_header(tmp_path):
    run("export_ply.py", SAMPLE, tmp_path / "out.ply")
    data = (tmp_path / "out.ply").read_bytes()
    return data[:data.index(b"end_header\n") + len(b"end_header")].decode("ascii").splitlines()


def pairs_head(tmp_path):
    run("covisibility_pairs.py", SAMPLE, tmp_path / "out.txt", "--k", "5")
    return (tmp_path / "out.txt").read_text(encoding="utf-8").splitlines()


@pytest.mark.parametrize("marker, produce", [
    ("**Arrays: `python examples/to_numpy.py", to_numpy_output),
    ("**Point cloud: `python examples/export_ply.py", ply_header),
    ("**Image pairs for matching: `python examples/covisibility_pairs.py", pairs_head),
], ids=["to_numpy", "export_ply", "covisibility_pairs"])
def test_recipes_page_shows_what_the_recipes_produce(marker, produce, tmp_path):
    shown = recipes_block_after(marker)
    produced = [line for line in produce(tmp_path) if not PROGRESS.match(line)]
    timing = re.compile(r"^read_model \d+ ms \(CPU \d+ ms\)$")
    if shown and timing.match(shown[-1]):
        assert timing.match(produced[-1]), produced[-1]
        shown, produced = shown[:-1], produced[:-1]
    assert shown and produced[:len(shown)] == shown
