"""read_model: whole models as arrays from binary and text files, ids to rows, and the
errors for missing and malformed files."""

import os
import re
import pickle
import struct
import threading
from pathlib import Path

import pytest

import tolv_extras as tx
from colmap_files import (NO_POINT3D, camera_record, image_record, point_record, with_count,
                          write_reconstruction, write_text_model)

np = pytest.importorskip("numpy")

CAMERAS = [(7, 0, 640, 480, [500.0, 320.0, 240.0]),
           (2, 16, 800, 600, [400.0, 410.0, 399.5, 300.25, 0.5, 1.25]),
           (9, 17, 4000, 2000, [4000.0, 2000.0]),
           (4, 11, 10, 10, [float(k) + 0.1 for k in range(16)])]
IMAGES = [(5, (0.1, 0.2, 0.3, 0.9), (1.0, -2.0, 0.3), 7, "b name with spaces.jpg",
           [(1.5, 2.25, 11), (3.0, 4.0, NO_POINT3D), (0.1, 1e-300, 12)]),
          (3, (1.0, 0.0, 0.0, 0.0), (0.0, 0.0, 0.0), 2, "a.jpg", []),
          (2**32 - 1, (0.5, 0.5, 0.5, 0.5), (1e16, 2.5e-8, -0.0), 9, "写真/c.png", [(5.0, 6.0, 12)])]
POINTS = [(12, (1.0, 2.0, 3.0), (255, 0, 7), 0.5, [(5, 2), (2**32 - 1, 0)]),
          (11, (-1.0, 0.1, 1e300), (1, 2, 3), 1.25, [(5, 0)]),
          (2**64 - 2, (0.0, 0.0, 0.0), (0, 0, 0), -1.0, [])]


def model_folder(tmp_path, format, cameras=CAMERAS, images=IMAGES, points=POINTS):
    write = write_reconstruction if format == "bin" else write_text_model
    return write(tmp_path / format, cameras, images, points)


def as_bytes(model):
    """Every field, arrays as their bytes: NaN equals NaN, -0.0 differs from 0.0."""
    return {table: {field: (value.tobytes() if hasattr(value, "tobytes") else value)
                    for field, value in getattr(model, table)._asdict().items()}
            for table in ("cameras", "images", "points")}


@pytest.mark.parametrize("format", ["bin", "txt"])
def test_every_field_in_file_order(format, tmp_path, capfd):
    model = tx.read_model(Path(model_folder(tmp_path, format)))
    assert capfd.readouterr() == ("", "")
    cameras, images, points = model.cameras, model.images, model.points
    assert cameras.ids.tolist() == [c[0] for c in CAMERAS]
    assert cameras.model_ids.tolist() == [c[1] for c in CAMERAS]
    assert cameras.params.shape == (4, 16)
    assert cameras.params[1, :6].tolist() == CAMERAS[1][4] and np.isnan(cameras.params[1, 6:]).all()
    assert cameras.K[1].tolist() == [[400.0, 0.0, 399.5], [0.0, 410.0, 300.25], [0.0, 0.0, 1.0]]
    assert np.isnan(cameras.K[2]).all()  # EQUIRECTANGULAR has no calibration matrix
    assert images.ids.tolist() == [i[0] for i in IMAGES]
    assert images.names == [i[4] for i in IMAGES]
    assert images.quaternions.tolist() == [list(i[1]) for i in IMAGES]
    assert images.translations.tolist() == [list(i[2]) for i in IMAGES]
    assert images.points2D_offsets.tolist() == [0, 3, 3, 4]
    assert images.xys.tolist() == [[x, y] for i in IMAGES for x, y, _ in i[5]]
    assert images.point3D_ids.tolist() == [p for i in IMAGES for _, _, p in i[5]]
    assert points.ids.tolist() == [p[0] for p in POINTS]
    assert points.rgb.tolist() == [list(p[2]) for p in POINTS]
    assert points.track_offsets.tolist() == [0, 2, 3, 3]
    assert points.track_image_ids.tolist() == [5, 2**32 - 1, 5]
    assert model.rigs is None and model.frames is None


def test_text_and_binary_read_the_same_and_agree_with_the_records(tmp_path):
    binary = tx.read_model(model_folder(tmp_path, "bin"))
    assert as_bytes(tx.read_model(model_folder(tmp_path, "txt"))) == as_bytes(binary)
    # tolv's own reader knows the models 0 to 10 only
    records_folder = model_folder(tmp_path / "records", "bin", cameras=CAMERAS[:1])
    with tx.quiet():
        _, images, _ = tx.read_reconstruction(records_folder)
    records = tx.images_arrays(images)
    order = np.argsort(binary.images.ids)
    for field in ("quaternions", "translations", "cam_from_world", "centers"):
        assert getattr(records, field).tobytes() == getattr(binary.images, field)[order].tobytes()
    assert records.xys is None


def test_a_repeated_id_keeps_the_later_record(tmp_path):
    images = IMAGES + [(5, (1.0, 0.0, 0.0, 0.0), (9.0, 9.0, 9.0), 7, "again.jpg", [(7.0, 8.0, 12)])]
    points = POINTS + [(12, (4.0, 5.0, 6.0), (9, 9, 9), 0.0, [(3, 1), (5, 1), (5, 2)])]
    for format in ("bin", "txt"):
        model = tx.read_model(model_folder(tmp_path, format, images=images, points=points))
        assert model.images.ids.tolist() == [3, 2**32 - 1, 5]
        assert model.images.names[-1] == "again.jpg"
        assert model.images.points2D_offsets.tolist() == [0, 0, 1, 2]
        assert model.images.xys.tolist() == [[5.0, 6.0], [7.0, 8.0]]
        assert model.points.ids.tolist() == [11, 2**64 - 2, 12]
        assert model.points.track_offsets.tolist() == [0, 1, 1, 4]
        assert model.points.track_point2D_idxs.tolist() == [0, 1, 1, 2]


def test_names_keep_their_bytes(tmp_path):
    stored = b"\xb2\xe2\xca\xd4.jpg"
    folder = write_reconstruction(tmp_path, CAMERAS, [(1, (1, 0, 0, 0), (0, 0, 0), 7, stored, [])])
    (name,) = tx.read_model(folder).images.names
    assert name.encode("utf-8", "surrogateescape") == stored == os.fsencode(name)


def test_rows_of_maps_ids_to_rows():
    sparse = np.array([2**64 - 1, 5, 2**40], np.uint64)
    dense = np.array([3, 1, 2], np.uint32)
    assert tx.rows_of(sparse, np.array([2**40, 2**64 - 1], np.uint64)).tolist() == [2, 0]
    assert tx.rows_of(dense, [2, 3, 3, 1]).tolist() == [2, 0, 0, 1]
    for ids in (sparse, dense):
        assert tx.rows_of(ids, [7, -1, 5], missing=-1).tolist()[:2] == [-1, -1]
        with pytest.raises(KeyError, match="id 7 "):
            tx.rows_of(ids, [7])


def test_files_are_read_without_the_interpreter_lock(tmp_path):
    """points3D.bin is a pipe that this thread fills only while read_model waits on it."""
    folder = Path(write_reconstruction(tmp_path, CAMERAS, IMAGES[:1]))
    (folder / "points3D.bin").unlink()
    os.mkfifo(folder / "points3D.bin")
    result = {}
    reader = threading.Thread(target=lambda: result.update(model=tx.read_model(folder)))
    reader.start()
    while True:  # until read_model has opened the pipe (or has failed before that)
        try:
            pipe = os.open(folder / "points3D.bin", os.O_WRONLY | os.O_NONBLOCK)
            break
        except OSError:
            assert reader.is_alive()
    os.write(pipe, with_count([point_record(*POINTS[0])]))
    os.close(pipe)
    reader.join()
    assert result["model"].points.ids.tolist() == [12]


def folders_with(tmp_path, layout):
    for name in layout:
        path = tmp_path / name
        path.parent.mkdir(parents=True, exist_ok=True)
        path.write_bytes(with_count([]) if name.endswith(".bin") else b"")
    return tmp_path


BIN = ["cameras.bin", "images.bin", "points3D.bin"]
TXT = ["cameras.txt", "images.txt", "points3D.txt"]


@pytest.mark.parametrize("layout, format, missing, hint", [
    ([], None, "cameras.bin", "No such file"),
    (BIN[:2], None, "points3D.bin", "No such file"),
    (TXT[1:], "txt", "cameras.txt", "No such file"),
    (TXT, "bin", "cameras.bin", "format='txt'"),
    (["0/" + n for n in BIN] + ["1/" + n for n in TXT], None, "", "sub-folders 0, 1"),
    (None, None, "", "No such folder"),
])
def test_a_missing_model_names_the_path_and_where_the_model_is(tmp_path, layout, format,
                                                               missing, hint):
    folder = tmp_path / "sparse"
    if layout is not None:
        folder.mkdir()
        folders_with(folder, layout)
    with pytest.raises(FileNotFoundError) as info:
        tx.read_model(folder, format)
    assert info.value.filename == str(folder / missing if missing else folder)
    assert hint in str(info.value)


IMAGE = image_record(51, (1, 0, 0, 0), (0, 0, 0), 7, "a")


@pytest.mark.parametrize("name, data, place, message", [
    ("images.bin", with_count([IMAGE[:-8] + struct.pack("<Q", 5000) + bytes(3112)]), 74,
     "image 51 declares 5,000 2D points, but 3,112 bytes remain"),
    ("images.bin", with_count([], 2**62), 0, "4,611,686,018,427,387,904 images"),
    ("points3D.bin", with_count([point_record(8, (0, 0, 0), (0, 0, 0), 0.0)[:-8]
                                 + struct.pack("<Q", 2**40)]), 51, "1,099,511,627,776"),
    ("cameras.bin", with_count([camera_record(3, 99, 1, 1, [0.0] * 3)]), 12, "camera 3"),
    ("cameras.txt", b"# c\n\n3 FOO 1 1 2\n", 3, "camera 3 has camera model 'FOO'"),
    ("images.txt", b"1 1 0 0 x 0 0 0 7 a.jpg\n\n", 1, "'x'"),
    ("points3D.txt", b"1 0 0 0 1 2 3 0.5 4\n", 1, "track"),
])
def test_malformed_files_name_the_file_the_place_and_what_was_expected(tmp_path, name, data,
                                                                       place, message):
    format = name.rsplit(".", 1)[1]
    folder = Path(model_folder(tmp_path, format, cameras=CAMERAS[:1], images=[], points=[]))
    (folder / name).write_bytes(data)
    with pytest.raises(tx.ModelFormatError) as info:
        tx.read_model(folder)
    error = info.value
    assert isinstance(error, ValueError) and error.path == str(folder / name)
    assert (error.offset, error.line) == ((place, None) if format == "bin" else (None, place))
    where = f"byte {place:,}" if format == "bin" else f"line {place}"
    assert str(error).startswith(f"{name}: {where}: ") and message in str(error)
    copy = pickle.loads(pickle.dumps(error))
    assert (str(copy), copy.path, copy.offset, copy.line) == \
        (str(error), error.path, error.offset, error.line)


# Co-visibility from the arrays: model_pairs against covisibility_pairs on the records,
# covisibility_counts' checks, and write_pairs from ImagesArrays.

UNIT_Q = (1.0, 0.0, 0.0, 0.0)

def random_model(rng, images, points, max_len, absent, repeat):
    """A model whose tracks name some images that images.bin lacks (absent), repeat an
    image within a track (repeat), or are empty; ids out of order, counts often tied."""
    ids = rng.sample(range(1, 10 * images + 10), images)
    names = [(i, f"img_{i}.jpg") for i in ids]
    pool = ids + [100_000 + k for k in range(absent)]
    image_records = [(i, (1.0, 0.0, 0.0, 0.0), (0.0, 0.0, 0.0), 1, name, []) for i, name in names]
    point_records = []
    for pid in range(points):
        track = []
        for n in range(rng.randrange(max_len + 1)):
            track.append(track[-1] if track and rng.random() < repeat else rng.choice(pool))
        point_records.append((pid * 3 + 1, (0.0, 0.0, 0.0), (0, 0, 0), 0.0,
                              [(i, n) for n, i in enumerate(track)]))
    return [(1, 0, 10, 10, [1.0, 5.0, 5.0])], image_records, point_records


@pytest.mark.parametrize("images, points, max_len, absent, repeat, k", [
    (1, 5, 3, 0, 0.0, 1),
    (6, 40, 4, 0, 0.0, 2),
    (6, 40, 4, 2, 0.3, 3),
    (30, 200, 6, 3, 0.1, 5),
    (30, 200, 6, 3, 0.1, 1000),
    (200, 900, 8, 10, 0.05, 20),
])
@pytest.mark.parametrize("format", ["bin", "txt"])
def test_model_pairs_are_covisibility_pairs_of_the_records(images, points, max_len, absent,
                                                          repeat, k, format, tmp_path):
    import random
    import tolv
    rng = random.Random(images * 1000 + points + k)
    cameras, image_records, point_records = random_model(rng, images, points, max_len, absent,
                                                         repeat)
    binary = write_reconstruction(tmp_path / "bin", cameras, image_records, point_records)
    folder = model_folder(tmp_path, format, cameras, image_records, point_records)
    with tx.quiet():
        _, records, points3D = tolv.read_reconstruction_bin(binary)
        expected = tx.covisibility_pairs(records, tolv.compute_overlaps(points3D), k)
    pairs = tx.model_pairs(tx.read_model(folder), k)
    assert pairs.dtype == np.uint32 and pairs.shape == (len(expected), 2)
    assert [tuple(p) for p in pairs.tolist()] == expected


def points_of(tracks):
    """PointsArrays holding the tracks (lists of image ids), every other field zero."""
    lengths = [len(t) for t in tracks]
    n = len(tracks)
    return tx.PointsArrays(
        ids=np.arange(n, dtype=np.uint64), xyz=np.zeros((n, 3)), rgb=np.zeros((n, 3), np.uint8),
        error=np.zeros(n), track_offsets=np.concatenate([[0], np.cumsum(lengths)]).astype(np.int64),
        track_image_ids=np.array([i for t in tracks for i in t], np.uint32),
        track_point2D_idxs=np.zeros(sum(lengths), np.uint32))


@pytest.mark.parametrize("copies", [3, 70_000])
def test_model_pairs_rank_counts_past_32_bits(copies, tmp_path):
    # 70000 copies each of images 1 and 2 in one track: they share 4.9e9 > 2^32 visits;
    # image 3 shares 2 with 1 and with 2, image 4 shares 1 with 1: ties go to the lower id.
    # The pairs of images 10 to 4300, which the model lacks, only make the count go by
    # rows, where a long track costs its length, not its pairs.
    images = [(i, UNIT_Q, (0.0, 0.0, 0.0), 1, f"{i}.jpg", []) for i in (4, 3, 2, 1)]
    model = tx.read_model(write_reconstruction(tmp_path / "m", [], images, []))
    tracks = [[1, 2] * copies, [3, 1, 2], [3, 1, 2], [1, 4]] + [[n, n + 1] for n in range(10, 4300)]
    model = model._replace(points=points_of(tracks))
    assert tx.model_pairs(model, 2).tolist() == [[1, 2], [1, 3], [2, 1], [2, 3], [3, 1], [3, 2],
                                                 [4, 1]]
    rows = tx.covisibility_counts(model.points)
    assert rows.counts[rows.offsets[0] + 1] == copies * copies + 2  # image 1 with image 2


def test_model_pairs_check_k_and_the_model(tmp_path):
    model = tx.read_model(model_folder(tmp_path, "bin"))
    assert tx.model_pairs(model, 1).tolist() == [[5, 2**32 - 1], [2**32 - 1, 5]]
    for k, error in [(0, ValueError), (True, TypeError), (2.0, TypeError)]:
        with pytest.raises(error, match="^k must be"):
            tx.model_pairs(model, k)
    with pytest.raises(TypeError, match="^model must be"):
        tx.model_pairs(model.points, 1)


@pytest.mark.parametrize("change, error, field", [
    (dict(track_offsets=np.array([0, 2, 1, 3, 3], np.int64)), ValueError, "track_offsets"),
    (dict(track_offsets=np.array([1, 2, 3, 3, 3], np.int64)), ValueError, "track_offsets"),
    (dict(track_offsets=np.array([0, 2, 3, 3, 4], np.int64)), ValueError, "track_offsets"),
    (dict(track_offsets=np.array([0, 2, 3, 3], np.int64)), ValueError, "track_offsets"),
    (dict(track_offsets=np.array([[0, 2, 3, 3, 3]], np.int64)), ValueError, "track_offsets"),
    (dict(track_offsets=np.array([0, 2, 3, 3, 3], np.float64)), TypeError, "track_offsets"),
    (dict(track_offsets=np.array([0, 2, 3, 3, 2**63], np.uint64)), ValueError, "track_offsets"),
    (dict(track_image_ids=np.array([1, -2, 3], np.int64)), ValueError, "track_image_ids"),
    (dict(track_image_ids=np.array([1, 2**32, 3], np.int64)), ValueError, "track_image_ids"),
    (dict(track_image_ids=np.array([1, 2], np.uint32)), ValueError, "track_offsets"),
])
def test_covisibility_counts_name_the_inconsistent_field(change, error, field):
    points = points_of([[1, 2], [3], [], []])
    assert tx.covisibility_counts(points).image_ids.tolist() == [1, 2, 3]
    with pytest.raises(error, match="^points." + field):
        tx.covisibility_counts(points._replace(**change))
    with pytest.raises(TypeError, match="^points must be"):
        tx.covisibility_counts(points._asdict())


@pytest.mark.parametrize("as_array", [False, True])
@pytest.mark.parametrize("source", ["records", "images_arrays", "read_model"])
def test_write_pairs_from_any_images_and_pairs(source, as_array, tmp_path):
    import tolv
    images = [(4, UNIT_Q, (0.0, 0.0, 0.0), 1, "a.jpg", []),
              (2, UNIT_Q, (0.0, 0.0, 0.0), 1, "写真/c.png".encode(), []),
              (9, UNIT_Q, (0.0, 0.0, 0.0), 1, b"bad\xff.jpg", [])]
    folder = write_reconstruction(tmp_path / "m", [], images, [])
    with tx.quiet():
        records = tolv.read_images_bin(folder + "/images.bin")
    given = {"records": records, "images_arrays": tx.images_arrays(records),
             "read_model": tx.read_model(folder).images}[source]
    pairs = [(4, 2), (9, 4), (2, 9)]
    out = tmp_path / "pairs.txt"
    tx.write_pairs(out, given, np.array(pairs, np.uint32) if as_array else pairs)
    assert out.read_bytes() == "a.jpg 写真/c.png\n".encode() + b"bad\xff.jpg a.jpg\n" + \
        "写真/c.png".encode() + b" bad\xff.jpg\n"


@pytest.mark.parametrize("space", [" ", "\t", "\n", "\r", "\x0b", "\x0c", "\x1c", "\x1f",
                                   "\x85", "\xa0", "\u3000", "\u2028"])
@pytest.mark.parametrize("source", ["records", "read_model"])
def test_write_pairs_refuses_names_a_pairs_file_cannot_hold(space, source, tmp_path):
    import tolv
    spaced = f"left{space}right.jpg"
    images = [(1, UNIT_Q, (0.0, 0.0, 0.0), 1, "one.jpg", []),
              (2, UNIT_Q, (0.0, 0.0, 0.0), 1, spaced.encode(), []),
              (3, UNIT_Q, (0.0, 0.0, 0.0), 1, "three.jpg", [])]
    folder = write_reconstruction(tmp_path / "m", [], images, [])
    with tx.quiet():
        given = (tolv.read_images_bin(folder + "/images.bin") if source == "records"
                 else tx.read_model(folder).images)
    out = tmp_path / "pairs.txt"
    out.write_bytes(b"before\n")
    tx.write_pairs(out, given, [(1, 3)])  # only the names written must be whole
    assert out.read_bytes() == b"one.jpg three.jpg\n"
    with pytest.raises(ValueError, match=f"^image 2 is named {re.escape(repr(spaced))}, "):
        tx.write_pairs(out, given, np.array([[1, 3], [3, 2]]))
    assert out.read_bytes() == b"one.jpg three.jpg\n"  # written whole or not at all


@pytest.mark.parametrize("pairs, error, says", [
    (np.array([1, 2]), ValueError, "shape"),
    (np.array([[1, 2, 3]]), ValueError, "shape"),
    (np.array([[1.0, 2.0]]), TypeError, "integer"),
    (np.array([[1, 7]]), ValueError, "image 7"),
    (np.array([[1, -1]]), ValueError, "image -1"),
])
def test_write_pairs_check_a_pairs_array(pairs, error, says, tmp_path):
    images = [(1, UNIT_Q, (0.0, 0.0, 0.0), 1, "one.jpg", [])]
    model = tx.read_model(write_reconstruction(tmp_path / "m", [], images, []))
    with pytest.raises(error, match=says):
        tx.write_pairs(tmp_path / "pairs.txt", model.images, pairs)
    assert not (tmp_path / "pairs.txt").exists()
