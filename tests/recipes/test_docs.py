"""The documents' code: every python block of README.md and of each docs/*.md page runs,
in order and in one namespace per document, from a folder where examples/sample/sparse
is a copy of the sample; the porting guide's worked examples are then called on the
sample and their results checked against the records. A block preceded by the comment
<!-- needs: NAME, ... --> is skipped while tolv_extras lacks one of the names (NAME(arg)
names a keyword argument of NAME), so a page can show what is being built beside it.
Every relative link and image of the documents must lead to a file, and every #anchor
to a heading there."""

from __future__ import annotations

import contextlib
import inspect
import io
import json
import math
import os
import re
import shutil
import textwrap
import traceback
from pathlib import Path

import pytest

np = pytest.importorskip("numpy", reason="the documents' blocks need numpy: pip install '.[plot]'")

import tolv  # noqa: E402
import tolv_extras as tx  # noqa: E402
from colmap_files import NO_POINT3D, cameras_file, write_reconstruction  # noqa: E402

ROOT = Path(__file__).resolve().parents[2]
SAMPLE_FROM_ROOT = Path("examples", "sample", "sparse")
SAMPLE = str(ROOT / SAMPLE_FROM_ROOT)
DOCUMENTS = ["README.md"] + sorted(p.relative_to(ROOT).as_posix() for p in (ROOT / "docs").glob("*.md"))
FENCE = re.compile(r"^(\s*)```\s*([\w+-]*)")
PYTHON = {"python", "py", "python3"}
NEEDS = re.compile(r"^\s*<!--\s*needs:\s*(.*?)\s*-->\s*$")
NEEDED = re.compile(r"^([A-Za-z_]\w*)(?:\((\w+)\))?$")


def needed_names(text, where):
    """The names of a needs comment: (name, keyword or None) each."""
    names = [NEEDED.match(part.strip()) for part in text.split(",")]
    assert names and all(names), f"{where}: a needs comment lists NAME or NAME(keyword), comma-separated"
    return [(m.group(1), m.group(2)) for m in names]


def missing(needs):
    """The needed names that tolv_extras lacks, as written in the comment."""
    absent = []
    for name, keyword in needs:
        found = getattr(tx, name, None)
        if found is None:
            absent.append(name)
        elif keyword is not None:
            try:
                parameters = inspect.signature(found).parameters
            except (TypeError, ValueError):  # a native function without a signature
                continue
            if keyword not in parameters:
                absent.append(f"{name}({keyword})")
    return absent


def python_blocks(document):
    """(number of the block's first code line, dedented source, needed names) of each
    python block."""
    lines = (ROOT / document).read_text(encoding="utf-8").splitlines()
    blocks, opened, needs = [], None, None
    for number, line in enumerate(lines, 1):
        fence = FENCE.match(line)
        if opened is None and not fence:
            marker = NEEDS.match(line)
            if marker:
                assert needs is None, f"{document}:{number}: two needs comments before one block"
                needs = (number, needed_names(marker.group(1), f"{document}:{number}"))
            elif needs is not None and line.strip():
                raise AssertionError(f"{document}:{needs[0]}: a needs comment must stand "
                                     "right before a python block")
            continue
        if not fence:
            continue
        if opened is None:
            opened = (number, fence.group(2).lower())
            if needs is not None and opened[1] not in PYTHON:
                raise AssertionError(f"{document}:{needs[0]}: a needs comment must stand "
                                     "right before a python block")
            continue
        start, language = opened
        if language in PYTHON:
            blocks.append((start + 1, textwrap.dedent("\n".join(lines[start:number - 1])),
                           needs[1] if needs else []))
        opened, needs = None, None
    assert opened is None, f"{document}:{opened[0]}: code block never closed"
    assert needs is None, f"{document}:{needs[0]}: a needs comment without its block"
    return blocks


def run_document(document, folder):
    """Runs the document's python blocks in order in one namespace, with folder as the
    working directory; a failing block fails the test naming the document and line.
    Returns the namespace and the skipped blocks: (line, the names tolv_extras lacks)."""
    blocks = python_blocks(document)
    namespace = {"__name__": "__docs__"}
    skipped = []
    cwd = os.getcwd()
    os.chdir(folder)
    try:
        for line, source, needs in blocks:
            # Padded so that tracebacks give the document's own line numbers; compiled
            # first, so that a block waiting for a name is at least valid Python.
            code = compile("\n" * (line - 1) + source, str(ROOT / document), "exec")
            absent = missing(needs)
            if absent:
                skipped.append((line, absent))
                continue
            failure = None
            try:
                exec(code, namespace)
            except KeyboardInterrupt:
                raise
            except BaseException as error:  # PanicException too
                failure = (f"{document}:{line}: the block starting here fails with "
                           f"{type(error).__name__}: {error}\n{traceback.format_exc()}")
            if failure:
                pytest.fail(failure, pytrace=False)
    finally:
        os.chdir(cwd)
    return namespace, skipped


@pytest.fixture(scope="module")
def ran(tmp_path_factory):
    """document -> its namespace after all of its blocks ran (each document once)."""
    done = {}

    def run(document):
        if document not in done:
            folder = tmp_path_factory.mktemp("docs")
            shutil.copytree(SAMPLE, folder / SAMPLE_FROM_ROOT)
            done[document] = run_document(document, folder)
        return done[document][0]
    run.skipped = lambda document: done[document][1]
    return run


@pytest.mark.parametrize("document", DOCUMENTS)
def test_every_python_block_runs_on_the_sample(document, ran):
    ran(document)
    skipped = ran.skipped(document)
    if skipped:
        pytest.skip(f"{document}: the blocks at lines "
                    + ", ".join(f"{line} (needs {', '.join(names)})" for line, names in skipped)
                    + " wait for tolv_extras to have what they use")


def test_the_documents_hold_python_blocks():
    """A document whose fences lost their language would run nothing and pass."""
    for document in ("README.md", "docs/extras.md", "docs/api.md", "docs/porting.md"):
        assert python_blocks(document), f"{document}: no python blocks found"


PRINTED = re.compile(r"^\s*print\(.*\)\s+# (.*)$")


def section_lines(document, heading):
    """(first, last) line numbers of the section under heading, up to the next heading
    of any level outside a code block."""
    lines = (ROOT / document).read_text(encoding="utf-8").splitlines()
    first = lines.index(heading) + 1
    fenced = False
    for number in range(first + 1, len(lines) + 1):
        line = lines[number - 1]
        if FENCE.match(line):
            fenced = not fenced
        elif line.startswith("#") and not fenced:
            return first, number
    return first, len(lines) + 1


@pytest.mark.parametrize("document, heading, least", [
    ("docs/extras.md", "## Whole models as arrays: `read_model`", 6),
    ("README.md", "## Arrays: `tolv_extras`", 2),
    ("README.md", "## Records: `tolv`", 2),
], ids=["read_model", "readme-arrays", "readme-records"])
def test_print_comments_show_what_is_printed(document, heading, least, tmp_path):
    """In these sections, each print(...) line's comment is the line it prints, or that
    line followed by ":" and a remark. Blocks waiting for names tolv_extras lacks are
    left out, their comments with them."""
    first, last = section_lines(document, heading)
    blocks = [(line, source) for line, source, needs in python_blocks(document)
              if first < line < last and not missing(needs)]
    shown = [m.group(1) for _, source in blocks for m in map(PRINTED.match, source.splitlines()) if m]
    shutil.copytree(SAMPLE, tmp_path / SAMPLE_FROM_ROOT)
    out = io.StringIO()
    cwd = os.getcwd()
    os.chdir(tmp_path)
    try:
        namespace = {"__name__": "__docs__"}
        with contextlib.redirect_stdout(out):
            for line, source in blocks:
                exec(compile("\n" * (line - 1) + source, str(ROOT / document), "exec"), namespace)
    finally:
        os.chdir(cwd)
    printed = out.getvalue().splitlines()
    assert len(printed) == len(shown) >= least
    for text, comment in zip(printed, shown):
        assert comment == text or comment.startswith(text + ":"), (text, comment)


LINK = re.compile(r"!?\[[^\]]*\]\(([^)\s]+)\)")
HEADING = re.compile(r"^#{1,6}\s+(.*?)\s*#*\s*$")


def prose(document):
    """(line number, line) of the document outside its code blocks."""
    fenced = False
    for number, line in enumerate((ROOT / document).read_text(encoding="utf-8").splitlines(), 1):
        if FENCE.match(line):
            fenced = not fenced
        elif not fenced:
            yield number, line


def anchors(document):
    """The #anchors of a document's headings, as a Markdown renderer of the forge derives
    them: lower case, punctuation dropped, spaces as hyphens, repeats numbered."""
    seen, found = {}, set()
    for _, line in prose(document):
        heading = HEADING.match(line)
        if heading:
            slug = re.sub(r"[^\w\- ]", "", heading.group(1).lower()).replace(" ", "-")
            count = seen.get(slug, 0)
            seen[slug] = count + 1
            found.add(slug if count == 0 else f"{slug}-{count}")
    return found


@pytest.mark.parametrize("document", DOCUMENTS)
def test_links_and_images_lead_somewhere(document):
    """Every relative link and image path leads to a file of the repository, and every
    #anchor to a heading of its target, read from where the document lies."""
    here = (ROOT / document).parent
    broken = []
    for number, line in prose(document):
        for target in LINK.findall(re.sub(r"`[^`]*`", "``", line)):
            if re.match(r"^[a-z][a-z0-9+.-]*:", target):    # https:, mailto: ...
                continue
            path, _, anchor = target.partition("#")
            file = (here / path).resolve() if path else ROOT / document
            if ROOT not in file.parents or not file.exists():
                broken.append(f"{document}:{number}: {target}: no such file")
            elif anchor and file.suffix == ".md" and \
                    anchor not in anchors(file.relative_to(ROOT).as_posix()):
                broken.append(f"{document}:{number}: {target}: no such heading")
    assert not broken, "\n".join(broken)


@pytest.fixture(scope="module")
def guide(ran):
    return ran("docs/porting.md")


@pytest.fixture(scope="module")
def records():
    return tolv.read_reconstruction_bin(SAMPLE)


def utf8(image):
    return image.name.encode("latin-1").decode("utf-8")


# (fx, fy) positions in params, for the sample's models
FOCAL = {"Simple Pinhole": (0, 0), "Pinhole": (0, 1), "Simple Radial": (0, 0), "OpenCV": (0, 1)}


@pytest.fixture
def undistorted(tmp_path, records):
    """The sample with its distorted cameras made pinhole ones of the same K."""
    cameras = records[0]
    folder = tmp_path / "undistorted"
    shutil.copytree(SAMPLE, folder)
    pinholes = [(i, 1, c.width, c.height, [K[0][0], K[1][1], K[0][2], K[1][2]])
                for i, c, K in ((i, c, tx.calibration_matrix(c)) for i, c in cameras.items())]
    (folder / "cameras.bin").write_bytes(cameras_file(pinholes))
    return folder


def test_splat_scene_loader(guide, records, undistorted):
    cameras, images, points3D = records
    with pytest.raises(ValueError, match="camera 12 is SIMPLE_RADIAL: only undistorted"):
        guide["load_splat_scene"](Path(SAMPLE))
    views, xyz, rgb = guide["load_splat_scene"](undistorted)
    assert [v.name for v in views] == sorted(map(utf8, images.values()))
    for view in views:
        image = images[view.image_id]
        camera = cameras[image.camera_id]
        K = tx.calibration_matrix(camera)
        fx, fy = K[0][0], K[1][1]
        assert (view.R.tolist(), view.t.tolist()) == (image.rot, image.trans)
        assert (view.width, view.height) == (camera.width, camera.height)
        assert view.fov_x == pytest.approx(2 * math.atan(camera.width / 2 / fx), rel=1e-14)
        assert view.fov_y == pytest.approx(2 * math.atan(camera.height / 2 / fy), rel=1e-14)
    ids = tx.read_model(SAMPLE).points.ids.tolist()     # file order
    assert xyz.tolist() == [points3D[i].xyz for i in ids]
    assert rgb.dtype == np.uint8
    assert rgb.tolist() == [[c.r, c.g, c.b] for c in (points3D[i].color for i in ids)]


def test_covisibility_pairs_file(guide, records, tmp_path):
    _, images, points3D = records
    k = 5
    pairs = guide["write_covisibility_pairs"](Path(SAMPLE), tmp_path / "pairs.txt", k=k)
    names = {i: image.name.encode("latin-1") for i, image in images.items()}
    assert (tmp_path / "pairs.txt").read_bytes().splitlines() == \
        [names[a] + b" " + names[b] for a, b in pairs]
    assert len(pairs) == k * len(images)  # every sample image shares points with 5 or more
    overlaps = tolv.compute_overlaps(points3D)
    for a in images:
        chosen = [b for x, b in pairs if x == a]
        left_out = [n for b, n in overlaps[a].items() if b not in chosen and b != a]
        assert a not in chosen and min(overlaps[a][b] for b in chosen) >= max(left_out, default=0)


def test_nerf_transforms_and_ascii_ply(guide, records, tmp_path):
    cameras, images, points3D = records
    returned = guide["write_nerf_transforms"](Path(SAMPLE), tmp_path / "nerf")
    written = json.loads((tmp_path / "nerf" / "transforms.json").read_text(encoding="utf-8"))
    assert written == returned
    frames = {frame["file_path"]: frame for frame in written["frames"]}
    assert sorted(frames) == sorted("images/" + utf8(image) for image in images.values())
    for image in images.values():
        frame = frames["images/" + utf8(image)]
        camera = cameras[image.camera_id]
        R, t = np.array(image.rot), np.array(image.trans)
        c2w = np.array(frame["transform_matrix"])
        assert (c2w[:3, :3] * [1.0, -1.0, -1.0] == R.T).all()
        np.testing.assert_allclose(c2w[:3, 3], -R.T @ t, rtol=0, atol=1e-12)
        assert c2w[3].tolist() == [0.0, 0.0, 0.0, 1.0]
        fx, fy = (camera.params[i] for i in FOCAL[camera.model_id])
        assert (frame["fl_x"], frame["fl_y"], frame["w"], frame["h"], frame["camera_model"]) == \
            (fx, fy, camera.width, camera.height, "OPENCV")
    opencv = frames["images/" + utf8(next(i for i in images.values() if i.camera_id == 20))]
    assert [opencv[key] for key in ("k1", "k2", "p1", "p2")] == cameras[20].params[4:]
    lines = (tmp_path / "nerf" / written["ply_file_path"]).read_text(encoding="ascii").splitlines()
    body = lines[lines.index("end_header") + 1:]
    assert lines[:3] == ["ply", "format ascii 1.0", f"element vertex {len(points3D)}"]
    assert len(body) == len(points3D)
    ids = tx.read_model(SAMPLE).points.ids.tolist()     # file order
    for row, point_id in ((0, ids[0]), (-1, ids[-1])):
        point, values = points3D[point_id], body[row].split()
        assert [float(v) for v in values[:3]] == point.xyz
        assert [int(v) for v in values[3:]] == [point.color.r, point.color.g, point.color.b]


def test_splatting_parser(guide, records):
    cameras, images, points3D = records
    parser = guide["parse_for_splatting"](Path(SAMPLE))
    model = tx.read_model(SAMPLE)
    assert parser.image_ids.tolist() == model.images.ids.tolist() and \
        sorted(parser.image_ids.tolist()) == sorted(images)
    point_ids = model.points.ids
    for row, image_id in enumerate(parser.image_ids.tolist()):
        image = images[image_id]
        assert parser.world_to_camera[row, :3, :3].tolist() == image.rot
        assert parser.world_to_camera[row, :, 3].tolist() == image.trans + [1.0]
        observed = sorted(i for i in image.point3D_ids if i != NO_POINT3D)
        rows = parser.point_indices[utf8(image)]
        assert sorted(point_ids[rows].tolist()) == observed
    assert parser.Ks[7].tolist() == cameras[7].K()
    assert parser.Ks[12].tolist() == tx.calibration_matrix(cameras[12])
    assert parser.distortion[3][0] == "perspective" and parser.distortion[3][1].size == 0
    assert parser.distortion[12][1].tolist() == [cameras[12].params[3], 0.0, 0.0, 0.0]
    assert parser.distortion[20][1].tolist() == cameras[20].params[4:]
    assert parser.points.dtype == np.float32
    assert parser.points.tolist() == \
        np.array([points3D[i].xyz for i in point_ids.tolist()], dtype=np.float32).tolist()


@pytest.fixture
def every_model(tmp_path):
    """model.cameras with one camera of every model 0 to 17, camera id = model id + 1,
    distinct parameters."""
    cameras = [(m.id + 1, m.id, 640 + m.id, 480, [100.0 + 10 * m.id + j for j in range(len(m.param_names))])
               for m in tx.CAMERA_MODELS]
    return tx.read_model(write_reconstruction(tmp_path / "models", cameras)).cameras


def test_guide_intrinsics_by_model(guide, every_model):
    """The guide's intrinsics and distortion for models the sample lacks: refused where the
    format has no room, else K's entries and the parameters after them, in order."""
    nerf_refused, splat_refused = [], []
    cameras = every_model
    for row, model_id in enumerate(cameras.model_ids.tolist()):
        model, K = tx.CAMERA_MODELS[model_id], cameras.K[row].tolist()
        params = cameras.params[row, :len(model.param_names)].tolist()
        pinhole = 4 if "fy" in model.param_names else 3
        distortion = params[pinhole:]
        # a single radial coefficient is k1 in transforms.json
        keys = [{"k": "k1"}.get(name, name) for name in model.param_names[pinhole:]]
        try:
            nerf = guide["nerf_intrinsics"](cameras, row)
        except ValueError:
            nerf_refused.append(model.name)
        else:
            assert [nerf.pop(key) for key in ("fl_x", "fl_y", "cx", "cy", "w", "h")] == \
                [K[0][0], K[1][1], K[0][2], K[1][2], cameras.widths[row], cameras.heights[row]]
            assert nerf.pop("camera_model") == \
                ("OPENCV_FISHEYE" if "FISHEYE" in model.name else "OPENCV")
            assert nerf == dict(zip(keys, distortion))
        try:
            kind, coefficients = guide["splat_distortion"](cameras, row)
        except ValueError:
            splat_refused.append(model.name)
        else:
            assert coefficients.tolist() == (distortion + [0.0] * (4 - len(distortion))
                                             if distortion else [])
            assert kind == ("fisheye" if "FISHEYE" in model.name else "perspective")
    newer = [m.name for m in tx.CAMERA_MODELS[11:]]
    assert nerf_refused == ["FULL_OPENCV", "FOV", "THIN_PRISM_FISHEYE"] + newer
    assert splat_refused == ["FULL_OPENCV", "FOV", "SIMPLE_RADIAL_FISHEYE", "RADIAL_FISHEYE",
                             "THIN_PRISM_FISHEYE"] + newer
