"""The `tolv` command: its report of a model in either format, the PLY layouts read back
by field name, the commands over the model functions, and its exit statuses and
messages for bad input and wrong command lines."""

import os
import struct
import subprocess
import sys
from pathlib import Path

import pytest

np = pytest.importorskip("numpy")

import tolv  # noqa: E402
import tolv_extras as tx  # noqa: E402
from tolv_extras.__main__ import main  # noqa: E402
from colmap_files import NO_POINT3D as NO, write_reconstruction, write_text_model  # noqa: E402

Q = (1.0, 0.0, 0.0, 0.0)
CAMERAS = [(1, 1, 640, 480, (500.0, 510.0, 320.0, 240.0)),
           (2, 1, 640, 480, (400.0, 410.0, 320.0, 240.0)),
           (5, 2, 800, 600, (600.0, 400.0, 300.0, 0.01))]
IMAGES = [(1, Q, (0.0, 0.0, 0.0), 1, "a.jpg", [(1.0, 2.0, 10), (3.0, 4.0, NO), (5.0, 6.0, 11)]),
          (2, Q, (1.0, 0.0, 0.0), 5, "b.jpg", [(1.0, 1.0, 10), (2.0, 2.0, 11)]),
          (3, Q, (0.0, 1.0, 0.0), 5, "c.jpg", [(1.0, 1.0, 10), (2.0, 2.0, 12)]),
          (4, Q, (0.0, 0.0, 1.0), 9, "d.jpg", [])]  # camera 9 is not in the model
# Out of id order, and a coordinate beyond float32's range.
POINTS = [(11, (1.0, 2.0, 3.0), (255, 0, 7), 0.5, [(1, 2), (2, 1)]),
          (10, (-1.5, 0.1, 1e300), (1, 2, 3), 1.0, [(1, 0), (2, 0), (3, 0)]),
          (12, (0.1, 0.2, -0.3), (9, 9, 9), 2.25, [(3, 1)])]
REPORT = ["Cameras:                 3", "  PINHOLE:               2, taking 1 images",
          "  SIMPLE_RADIAL:         1, taking 2 images", "Images:                  4",
          "3D points:               3", "Observations:            6",
          "Mean track length:       2.00", "Mean reprojection error: 1.250 px",
          "2D points:               7, 6 matched (85.7%)"]
EMPTY_REPORT = ["Cameras:                 0", "Images:                  0",
                "3D points:               0", "Observations:            0",
                "2D points:               0, 0 matched"]


@pytest.fixture
def folder(tmp_path):
    """The model above in both formats, in one folder."""
    write_text_model(tmp_path / "model", CAMERAS, IMAGES, POINTS)
    return write_reconstruction(tmp_path / "model", CAMERAS, IMAGES, POINTS)


def run(capfd, *argv):
    status = main([str(a) for a in argv])
    return (status, *capfd.readouterr())


BINARY = "cameras.bin, images.bin, points3D.bin"


TEXT = "cameras.txt, images.txt, points3D.txt"
RIGS = {"rigs.txt": "1 2 CAMERA 1 CAMERA 2 0\n7 0\n", "frames.txt": "1 1 1 0 0 0 0 0 0 1 CAMERA 1 1\n"}


@pytest.mark.parametrize("options, kind, files, rigs", [
    ([], "binary", BINARY, []), (["--format", "bin"], "binary", BINARY, []),
    (["--format", "txt"], "text", TEXT, []),
    (["--format", "txt"], "text", TEXT + ", rigs.txt, frames.txt",
     ["Rigs:                    2, 2 sensors", "Frames:                  1"])])
def test_info_reports_the_same_for_either_format(folder, capfd, options, kind, files, rigs):
    for name, text in RIGS.items() if rigs else ():
        Path(folder, name).write_text(text)
    assert run(capfd, "info", folder, *options) == (0, "\n".join([
        f"Model:                   {folder} ({kind})", f"Files:                   {files}",
        *REPORT, *rigs]) + "\n", "")


def test_info_of_an_empty_model_has_no_means(tmp_path, capfd):
    status, out, _ = run(capfd, "info", write_reconstruction(tmp_path / "empty"))
    assert status == 0 and out.splitlines()[2:] == EMPTY_REPORT


def read_ply(data):
    """A PLY reader of its own: the declared (type, name) fields, then one dict per vertex."""
    end = data.index(b"end_header\n") + len(b"end_header\n")
    lines = [line.split() for line in data[:end].decode("ascii").splitlines()[2:-1]
             if not line.startswith("comment")]
    fields = [(kind, name) for _, kind, name in lines[1:]]
    layout = "<" + "".join({"double": "d", "float": "f", "uchar": "B"}[kind] for kind, _ in fields)
    rows = [dict(zip([name for _, name in fields], row))
            for row in struct.iter_unpack(layout, data[end:])]
    assert lines[0] == ["element", "vertex", str(len(rows))]
    return fields, rows


def float32(value):
    with np.errstate(over="ignore"):
        return float(np.float32(value))


RGB = [("uchar", "red"), ("uchar", "green"), ("uchar", "blue")]


@pytest.mark.parametrize("splatting", [False, True])
@pytest.mark.parametrize("source", ["command", "arrays", "records"])
def test_ply_layouts_read_back_by_field_name(folder, tmp_path, capfd, source, splatting):
    out = tmp_path / "points.ply"
    if source == "command":
        assert run(capfd, "ply", folder, out, *["--splatting"][:splatting])[0] == 0
    elif source == "arrays":
        assert tx.write_ply(out, tx.read_model(folder).points, splatting=splatting) == 3
    else:
        with tx.quiet():
            records = tolv.read_points3D_bin(os.path.join(folder, "points3D.bin"))
        assert tx.write_ply(str(out), records, splatting) == 3
    fields, rows = read_ply(out.read_bytes())
    # Arrays are written in their row order (file order), records in id order.
    points = POINTS if source != "records" else sorted(POINTS)
    if splatting:
        assert fields == [("float", n) for n in ("x", "y", "z", "nx", "ny", "nz")] + RGB
        assert rows == [dict(zip("xyz", map(float32, xyz)), nx=0.0, ny=0.0, nz=0.0, red=r,
                             green=g, blue=b) for _, xyz, (r, g, b), _, _ in points]
    else:
        assert fields == [("double", n) for n in "xyz"] + RGB + [("float", "error")]
        assert rows == [dict(zip("xyz", xyz), red=r, green=g, blue=b, error=float32(e))
                        for _, xyz, (r, g, b), e, _ in points]


@pytest.mark.parametrize("terminal", [False, True])
def test_progress_only_on_a_terminal(folder, tmp_path, capsys, monkeypatch, terminal):
    monkeypatch.setattr(sys.stderr, "isatty", lambda: terminal)
    out = tmp_path / "out.ply"
    assert main(["ply", folder, str(out)]) == 0
    assert capsys.readouterr() == (f"wrote 3 points to {out}\n", f"tolv: reading {folder} ...\n"
                                   f"tolv: writing {out} ...\n" if terminal else "")


def damaged(folder, damage):
    if damage == "truncated":
        Path(folder, "cameras.bin").write_bytes(b"\x01\x00\x00\x00\x00\x00\x00\x00\x01")
    for name in ("points3D.bin", "points3D.txt") if damage == "no_points3D" else ():
        os.unlink(os.path.join(folder, name))
    return os.path.join(folder, "missing") if damage == "no_folder" else folder


@pytest.mark.parametrize("argv, damage, message", [
    (["info", "{folder}"], "no_folder", "cannot read {folder}: [Errno 2] No such folder"),
    (["info", "{folder}"], "truncated", "cannot read {folder}: cameras.bin: byte 0: "),
    (["info", "{folder}"], "no_points3D", "No such file or directory: '{folder}/points3D.bin'"),
    (["ply", "{folder}", "{out}/x.ply"], None, "cannot write {out}/x.ply: [Errno 2]"),
    (["convert", "{folder}", "{out}", "--format", "txt"], "no_folder", "No such folder"),
    (["pairs", "{folder}", "{out}"], "no_points3D", "'{folder}/points3D.bin'"),
    (["filter", "{folder}", "{out}", "--max-error", "1"], "truncated", "cameras.bin: byte 0"),
])
def test_bad_input_ends_with_one_line_naming_the_file(folder, tmp_path, capfd, argv, damage,
                                                      message):
    names = {"folder": damaged(folder, damage), "out": str(tmp_path / "out")}
    status, out, err = run(capfd, *(arg.format(**names) for arg in argv))
    assert (status, out) == (1, "")
    assert err.startswith(f"tolv {argv[0]}: ") and err.count("\n") == 1
    assert message.format(**names) in err
    assert os.listdir(tmp_path) == ["model"]  # nothing written, nothing partial


@pytest.mark.parametrize("argv", [
    [], ["convert", "{folder}", "{out}"], ["pairs", "{folder}", "{out}", "--k", "0"],
    ["filter", "{folder}", "{out}", "--max-error", "nan"],
    ["filter", "{folder}", "{out}", "--min-track-length", "-1"],
    ["ply", "{folder}", "{out}", "--splat"]])
def test_wrong_command_line_gets_usage(folder, tmp_path, capfd, argv):
    status, out, err = run(capfd, *(a.format(folder=folder, out=tmp_path / "out") for a in argv))
    assert (status, out) == (2, "") and err.startswith("usage: tolv")
    assert os.listdir(tmp_path) == ["model"]


@pytest.mark.parametrize("argv, status", [(["info", "{folder}"], 0),
                                          (["info", "{folder}/missing"], 1)])
def test_module_runs_as_a_program(folder, capfd, argv, status):
    argv = [a.format(folder=folder) for a in argv]
    done = subprocess.run([sys.executable, "-m", "tolv_extras", *argv], capture_output=True,
                          text=True, env={**os.environ, "PYTHONPATH": os.pathsep.join(sys.path)})
    assert done.returncode == status
    # The same on both streams as in-process: no traceback, nothing printed by tolv itself.
    assert (done.returncode, done.stdout, done.stderr) == run(capfd, *argv)


@pytest.mark.parametrize("format", ["bin", "txt"])
def test_convert_writes_the_model_in_the_format_given(folder, tmp_path, capfd, format):
    assert run(capfd, "convert", folder, tmp_path / "out", "--format", format)[0] == 0
    written, read = tx.read_model(tmp_path / "out", format), tx.read_model(folder)
    for part in ("cameras", "images", "points"):
        for name, value in getattr(read, part)._asdict().items():
            other = getattr(getattr(written, part), name)
            assert value == other if isinstance(value, list) else np.array_equal(value, other)


@pytest.mark.parametrize("options, kept, format", [
    ([], [11, 10, 12], "bin"), (["--min-track-length", "2"], [11, 10], "bin"),
    (["--max-error", "1", "--format", "txt"], [11, 10], "txt"),
    (["--min-track-length", "3", "--max-error", "0.9"], [], "bin")])
def test_filter_keeps_long_and_precise_tracks(folder, tmp_path, capfd, options, kept, format):
    out = tmp_path / "out"
    assert run(capfd, "filter", folder, out, *options)[0] == 0
    assert os.path.exists(out / f"points3D.{format}")
    assert tx.read_model(out, format).points.ids.tolist() == kept


@pytest.mark.parametrize("options, k", [([], 20), (["--k", "1"], 1)])
def test_pairs_are_those_of_model_pairs(folder, tmp_path, capfd, options, k):
    assert run(capfd, "pairs", folder, tmp_path / "pairs.txt", *options)[0] == 0
    model = tx.read_model(folder)
    tx.write_pairs(tmp_path / "expected.txt", model.images, tx.model_pairs(model, k))
    assert (tmp_path / "pairs.txt").read_bytes() == (tmp_path / "expected.txt").read_bytes()
