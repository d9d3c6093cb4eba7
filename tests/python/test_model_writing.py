"""write_model: models written in both formats read back exactly, arrays of other dtypes
taken when they convert without loss, bad models refused before anything is written,
and failures that leave the model that was there as it was."""

import errno
import os
import resource
import signal
from pathlib import Path

import pytest

import tolv_extras as tx
from test_model_io import as_bytes, model_folder

np = pytest.importorskip("numpy")

NAN4, NAN3 = [np.nan] * 4, [np.nan] * 3
RIGS = tx.RigsArrays(
    ids=np.array([4, 8, 2**32 - 2], np.uint32), sensor_offsets=np.array([0, 2, 2, 3], np.int64),
    sensor_types=np.array([0, 1, 0], np.int32), sensor_ids=np.array([7, 3, 2], np.uint32),
    has_pose=np.array([0, 1, 0], np.uint8),
    sensor_quaternions=np.array([NAN4, [0.5, 0.5, 0.5, 0.5], NAN4]),
    sensor_translations=np.array([NAN3, [1.0, 2.0, -0.0], NAN3]))
FRAMES = tx.FramesArrays(
    ids=np.array([1, 6], np.uint32), rig_ids=np.array([4, 2**32 - 2], np.uint32),
    quaternions=np.array([[1.0, 0.0, 0.0, 0.0], [0.1, 0.2, 0.3, 0.4]]),
    translations=np.array([[0.0, 1e-310, 5.0], [1.0, 2.0, 3.0]]),
    data_offsets=np.array([0, 2, 2], np.int64), data_sensor_types=np.array([0, 1], np.int32),
    data_sensor_ids=np.array([7, 3], np.uint32), data_ids=np.array([5, 2**63 + 1], np.uint64))


def sample_model(tmp_path, source="bin", rigs=True):
    model = tx.read_model(model_folder(tmp_path / "source", source), source)
    return model._replace(rigs=RIGS, frames=FRAMES) if rigs else model


def every_byte(model):
    out = as_bytes(model)
    for table in ("rigs", "frames"):
        value = getattr(model, table)
        out[table] = None if value is None else {f: v.tobytes() for f, v in value._asdict().items()}
    return out


def listing(folder):
    return sorted(os.listdir(folder))


@pytest.mark.parametrize("source", ["bin", "txt"])
@pytest.mark.parametrize("target", ["bin", "txt"])
@pytest.mark.parametrize("rigs", [True, False])
def test_a_written_model_reads_back_exactly(tmp_path, source, target, rigs):
    model = sample_model(tmp_path, source, rigs)
    out = tmp_path / "out"
    tx.write_model(out, model, target)
    assert every_byte(tx.read_model(out, target)) == every_byte(model)
    expected = ["cameras", "images", "points3D"] + (["frames", "rigs"] if rigs else [])
    assert listing(out) == sorted(f"{kind}.{target}" for kind in expected)
    if source == target == "bin":
        for name in ("cameras.bin", "images.bin", "points3D.bin"):
            assert (out / name).read_bytes() == (tmp_path / "source" / "bin" / name).read_bytes()


def lossless_variants(model):
    """The same model with arrays of other dtypes, lists and orders in memory."""
    cameras, images, points = model.cameras, model.images, model.points
    return {
        "ids as Python lists": model._replace(images=images._replace(ids=images.ids.tolist())),
        "wider integer columns": model._replace(points=points._replace(
            rgb=points.rgb.astype(np.int64), track_offsets=points.track_offsets.astype(np.int32),
            track_image_ids=points.track_image_ids.astype(np.uint64))),
        "Fortran-ordered arrays": model._replace(images=images._replace(
            quaternions=np.asfortranarray(images.quaternions))),
        "strided views": model._replace(cameras=cameras._replace(
            widths=np.repeat(cameras.widths, 2)[::2])),
        "integral doubles as ids": model._replace(cameras=cameras._replace(
            ids=cameras.ids.astype(np.float64))),
        "wider parameter padding": model._replace(cameras=cameras._replace(
            params=np.hstack([cameras.params, np.full((len(cameras.ids), 3), 7.0)]))),
    }


@pytest.mark.parametrize("variant", [
    "ids as Python lists", "wider integer columns", "Fortran-ordered arrays", "strided views",
    "integral doubles as ids", "wider parameter padding"])
def test_arrays_that_convert_without_loss_write_the_same_bytes(tmp_path, variant):
    model = sample_model(tmp_path)
    tx.write_model(tmp_path / "plain", model)
    tx.write_model(tmp_path / "variant", lossless_variants(model)[variant])
    for name in listing(tmp_path / "plain"):
        plain = (tmp_path / "plain" / name).read_bytes()
        assert (tmp_path / "variant" / name).read_bytes() == plain


def replace(table, **fields):
    return lambda model: model._replace(**{table: getattr(model, table)._replace(**fields)})


def names(*values):
    return lambda model: model._replace(images=model.images._replace(
        names=list(values) + model.images.names[len(values):]))


def with_values(table, field, row, value):
    def change(model):
        column = np.array(getattr(getattr(model, table), field), np.int64)
        column[row] = value
        return replace(table, **{field: column})(model)
    return change


def retyped(table, field, values):
    return lambda model: replace(table, **{field: values})(model)


REFUSALS = [
    # (change, format, message)
    (retyped("cameras", "ids", np.array([-1, 2, 9, 4])), "bin",
     r"cameras\.ids row 0: the value is outside 0 to 4294967295"),
    (with_values("cameras", "model_ids", 2, 18), "bin",
     r"cameras\.model_ids row 2: 18 is not a COLMAP camera model id \(0 to 17\)"),
    (retyped("cameras", "params", np.zeros((4, 3))), "bin",
     r"cameras\.params row 1: camera model 16 takes 6 parameters, the array has 3 columns"),
    (retyped("cameras", "widths", np.array([640.0, 800.5, 4000.0, 10.0])), "bin",
     r"cameras\.widths row 1: the value is not an integer"),
    (retyped("cameras", "heights", np.array([480, 600, 2000])), "bin",
     r"cameras\.heights: 3 rows, but the table has 4"),
    (retyped("images", "quaternions", np.zeros((3, 3))), "bin",
     r"images\.quaternions: expected an array of shape \(N, 4\), found shape \(3, 3\)"),
    (retyped("images", "translations", np.array([[1, 2, 3], [4, 5, 6], [2**53 + 1, 0, 0]])),
     "bin", r"images\.translations row 2: the value is not exactly a double"),
    (retyped("images", "camera_ids", np.array(["7", "2", "9"])), "bin",
     r"images\.camera_ids row 0: <U1 values are not numbers"),
    (names("b name", "a\0.jpg"), "bin", r"images\.names row 1: 'a\\x00\.jpg' holds a NUL byte"),
    (names("a\ud800.jpg"), "bin", r"images\.names row 0: 'a\\ud800\.jpg' cannot be stored"),
    (names(b"a.jpg"), "bin", r"images\.names row 0: expected a str, found bytes"),
    (names("x", "a\nb.jpg"), "txt", r"images\.names row 1: 'a\\nb\.jpg' holds a newline"),
    (names(" a.jpg"), "txt", r"images\.names row 0: ' a\.jpg' starts or ends with a blank"),
    (names("x", "y", "a.jpg\r"), "txt", r"images\.names row 2: 'a\.jpg\\r' starts or ends"),
    (names("x", ""), "txt", r"images\.names row 1: images\.txt cannot hold an empty name"),
    (retyped("images", "points2D_offsets", np.array([1, 3, 3, 4])), "bin",
     r"images\.points2D_offsets row 0: the first offset is 1, not 0"),
    (retyped("images", "points2D_offsets", np.array([0, 3, 2, 4])), "bin",
     r"images\.points2D_offsets row 2: an offset is smaller than the one before it"),
    (retyped("images", "points2D_offsets", np.array([0, 3, 3, 5])), "bin",
     r"images\.points2D_offsets row 3: the last offset is 5, but the list has 4 entries"),
    (retyped("images", "point3D_ids", np.array([11, -1, 12, 12])), "bin",
     r"images\.point3D_ids row 1: the value is outside 0 to 18446744073709551615"),
    (retyped("images", "xys", np.zeros((4, 2), complex)), "bin",
     r"images\.xys row 0: complex128 values are not numbers"),
    (with_values("points", "rgb", 2, 256), "bin",
     r"points\.rgb row 2: the value is outside 0 to 255"),
    (retyped("points", "ids", np.array([12.0, 11.0, 2.0**64])), "bin",
     r"points\.ids row 2: the value is not an integer from 0 to 18446744073709551615"),
    (retyped("points", "track_point2D_idxs", np.array([2, 0])), "bin",
     r"points\.track_point2D_idxs: 2 rows, but the table has 3"),
    (retyped("rigs", "has_pose", np.array([1, 1, 0])), "bin",
     r"rigs\.has_pose row 0: a rig's reference sensor \(its first\) has no pose"),
    (retyped("rigs", "has_pose", np.array([0, 2, 0])), "txt",
     r"rigs\.has_pose row 1: 2: rigs\.txt"),
    (retyped("rigs", "sensor_types", np.array([0, 5, 0])), "txt",
     r"rigs\.sensor_types row 1: 5 is not a sensor type"),
    (retyped("frames", "data_sensor_types", np.array([0, -2])), "txt",
     r"frames\.data_sensor_types row 1: -2 is not a sensor type"),
    (retyped("frames", "data_offsets", np.array([0, 2])), "bin",
     r"frames\.data_offsets: 2 rows, but the table has 3"),
]


@pytest.mark.parametrize("change, format, message", REFUSALS,
                         ids=[message.split(":")[0].replace("\\", "") + f"-{fmt}-{k}"
                              for k, (_, fmt, message) in enumerate(REFUSALS)])
def test_a_model_the_format_cannot_hold_is_refused_before_anything_is_written(
        tmp_path, change, format, message):
    model = change(sample_model(tmp_path))
    with pytest.raises(ValueError, match=message):
        tx.write_model(tmp_path / "out", model, format)
    assert not (tmp_path / "out").exists()


@pytest.mark.parametrize("format", ["bin", "txt"])
def test_what_binary_holds_but_text_does_not_is_written_in_binary(tmp_path, format):
    model = names(" spaced ", "")(sample_model(tmp_path))
    model = replace("rigs", sensor_types=np.array([0, 7, -5], np.int32),
                    has_pose=np.array([0, 3, 0], np.uint8))(model)
    if format == "txt":
        with pytest.raises(ValueError):
            tx.write_model(tmp_path / "out", model, format)
        return
    tx.write_model(tmp_path / "out", model, format)
    assert every_byte(tx.read_model(tmp_path / "out")) == every_byte(model)


def test_names_images_txt_keeps_are_written_in_text(tmp_path):
    # Inner blanks, and a CR first: the reader trims only the line's ends.
    kept = ["\rCR first.jpg", "in\tner sp ace.jpg", "x"]
    tx.write_model(tmp_path / "out", names(*kept)(sample_model(tmp_path)), "txt")
    assert tx.read_model(tmp_path / "out").images.names[:3] == kept


def old_model(tmp_path, format):
    """A folder holding a model of the format, and its files' bytes."""
    folder = tmp_path / "model"
    tx.write_model(folder, sample_model(tmp_path), format)
    return folder, {name: (folder / name).read_bytes() for name in listing(folder)}


def in_place_of_points3D(folder, format):
    target = folder / f"points3D.{format}"
    target.unlink()
    target.mkdir()
    return target, errno.EISDIR, {f"points3D.{format}"}


def file_size_limit(folder, format):
    """The images file cannot be written whole: the file size limit is below its size."""
    limit = (folder / f"cameras.{format}").stat().st_size + 1
    return folder / f"images.{format}", errno.EFBIG, set(), limit


@pytest.mark.parametrize("format", ["bin", "txt"])
@pytest.mark.parametrize("failure", [in_place_of_points3D, file_size_limit])
def test_a_failed_write_leaves_the_old_model_and_no_temporary_file(tmp_path, format, failure):
    folder, before = old_model(tmp_path, format)
    target, code, changed, *limit = failure(folder, format)
    bigger = names("a much longer name than any the old model had.jpg")(sample_model(tmp_path))
    saved = resource.getrlimit(resource.RLIMIT_FSIZE)
    handler = signal.signal(signal.SIGXFSZ, signal.SIG_IGN)
    try:
        if limit:
            resource.setrlimit(resource.RLIMIT_FSIZE, (limit[0], saved[1]))
        with pytest.raises(OSError) as raised:
            tx.write_model(folder, bigger, format)
    finally:
        resource.setrlimit(resource.RLIMIT_FSIZE, saved)
        signal.signal(signal.SIGXFSZ, handler)
    assert (raised.value.errno, raised.value.filename) == (code, str(target))
    assert listing(folder) == sorted(before)
    for name, data in before.items():
        if name not in changed:
            assert (folder / name).read_bytes() == data, name


@pytest.mark.parametrize("blocker, error", [("file", (FileExistsError, NotADirectoryError)),
                                            ("parent file", NotADirectoryError)])
def test_a_folder_that_cannot_be_made_names_the_path(tmp_path, blocker, error):
    (tmp_path / "taken").write_bytes(b"")
    folder = tmp_path / "taken" if blocker == "file" else tmp_path / "taken" / "model"
    with pytest.raises(error) as raised:
        tx.write_model(folder, sample_model(tmp_path))
    assert raised.value.filename == str(folder)
    assert listing(tmp_path) == ["source", "taken"]


def test_missing_folders_are_made_and_replaced_files_keep_their_mode(tmp_path):
    folder = tmp_path / "a" / "b"
    tx.write_model(folder, sample_model(tmp_path))
    (folder / "images.bin").chmod(0o640)
    tx.write_model(folder, sample_model(tmp_path))
    assert (folder / "images.bin").stat().st_mode & 0o777 == 0o640


@pytest.mark.parametrize("format", ["bin", "txt"])
def test_a_model_without_rigs_leaves_no_rigs_of_the_model_it_replaces(tmp_path, format):
    folder = tmp_path / "model"
    tx.write_model(folder, sample_model(tmp_path), format)
    tx.write_model(folder, sample_model(tmp_path, rigs=False), format)
    again = tx.read_model(folder, format)
    assert (again.rigs, again.frames) == (None, None)


@pytest.mark.parametrize("arguments, error, message", [
    (("out", "model"), TypeError, "model must be a Model"),
    ((b"out", None), TypeError, "folder must be a str"),
    (("out", None, "ply"), ValueError, "format must be 'bin' or 'txt', not 'ply'"),
])
def test_wrong_arguments(tmp_path, arguments, error, message):
    folder, model, *rest = arguments
    folder = str(tmp_path / folder) if isinstance(folder, str) else folder
    with pytest.raises(error, match=message):
        tx.write_model(folder, sample_model(tmp_path) if model is None else model, *rest)
