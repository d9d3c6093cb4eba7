"""compute_overlaps: counts against the written formulas, key and value conversion, output."""
import os
import random
import tempfile
from collections import Counter
from pathlib import Path

import pytest
from hypothesis import given, settings, strategies as st

import tolv
from colmap_files import points_file, write_reconstruction

U32 = 2**32 - 1
DONE = "Making sets...\nDone!\n"


def load(tracks, ids=None):
    """Points with the given tracks (lists of image ids), read back through read_points3D_bin."""
    ids = range(len(tracks)) if ids is None else ids
    points = [(pid, (0, 0, 0), (0, 0, 0), 0.0, [(i, n) for n, i in enumerate(t)])
              for pid, t in zip(ids, tracks)]
    with tempfile.TemporaryDirectory() as folder:
        path = os.path.join(folder, "points3D.bin")
        with open(path, "wb") as f:
            f.write(points_file(points))
        return tolv.read_points3D_bin(path)


def counts_from_arrays(tracks, source):
    """tolv_extras.covisibility_counts of the tracks as the dict of dicts compute_overlaps
    gives, checking its row layout on the way: the points from tolv's records
    (points_arrays) or from the file (read_model)."""
    pytest.importorskip("numpy")
    import tolv_extras as tx
    if source == "records":
        points = tx.points_arrays(load(tracks))
    else:
        elements = [(i, n) for t in tracks for n, i in enumerate(t)]
        with tempfile.TemporaryDirectory() as folder:
            write_reconstruction(Path(folder), [], [], [
                (pid, (0, 0, 0), (0, 0, 0), 0.0, [(i, n) for n, i in enumerate(t)])
                for pid, t in enumerate(tracks)])
            points = tx.read_model(folder).points
        assert len(points.track_image_ids) == len(elements)
    c = tx.covisibility_counts(points)
    assert (c.image_ids.dtype, c.offsets.dtype, c.partner_ids.dtype, c.counts.dtype) == (
        "uint32", "int64", "uint32", "uint64")
    assert len(c.offsets) == len(c.image_ids) + 1 and c.offsets[0] == 0
    assert c.offsets[-1] == len(c.partner_ids) == len(c.counts)
    assert (c.image_ids[1:] > c.image_ids[:-1]).all() and (c.counts > 0).all()
    ids, starts, partners, counts = (a.tolist() for a in c)
    out = {}
    for row, (a, b) in enumerate(zip(starts, starts[1:])):
        assert partners[a:b] == sorted(set(partners[a:b])) and b > a
        out[ids[row]] = dict(zip(partners[a:b], counts[a:b]))
    return out


SOURCES = ["records", "file"]


def expected(tracks):
    out = {}
    for track in tracks:
        counts = Counter(track)
        for a, ca in counts.items():
            for b, cb in counts.items():
                row = out.setdefault(a, {})
                row[b] = row.get(b, 0) + (ca * (ca + 1) if a == b else ca * cb)
    return out


@pytest.mark.parametrize("tracks, result", [
    ([], {}),
    ([[], []], {}),
    ([[5]], {5: {5: 2}}),
    ([[1, 2]], {1: {1: 2, 2: 1}, 2: {1: 1, 2: 2}}),
    ([[1, 2], [2, 1]], {1: {1: 4, 2: 2}, 2: {1: 2, 2: 4}}),
    ([[1, 2, 3], [2, 3]], {1: {1: 2, 2: 1, 3: 1}, 2: {1: 1, 2: 4, 3: 2}, 3: {1: 1, 2: 2, 3: 4}}),
    ([[3, 3]], {3: {3: 6}}),
    ([[1, 1, 2]], {1: {1: 6, 2: 2}, 2: {1: 2, 2: 2}}),
    ([[1], [2], [U32, 0]], {1: {1: 2}, 2: {2: 2}, U32: {U32: 2, 0: 1}, 0: {0: 2, U32: 1}}),
])
def test_examples(capfd, tracks, result):
    points = load(tracks)
    capfd.readouterr()
    assert tolv.compute_overlaps(points) == result == expected(tracks)
    assert capfd.readouterr().out == DONE
    for source in SOURCES:
        assert counts_from_arrays(tracks, source) == result, source
    import tolv_extras as tx
    arrays = tx.points_arrays(points)
    capfd.readouterr()
    tx.covisibility_counts(arrays)
    assert capfd.readouterr() == ("", "")  # no progress lines, unlike compute_overlaps


@settings(max_examples=150, deadline=None)
@given(st.sampled_from([st.integers(0, 5), st.integers(0, U32)]).flatmap(
    lambda ids: st.lists(st.lists(ids, max_size=8), max_size=12)))
def test_random_tracks(tracks):
    assert tolv.compute_overlaps(load(tracks)) == expected(tracks)
    assert counts_from_arrays(tracks, "records") == expected(tracks)


@pytest.mark.parametrize("images, wide, points, max_len", [
    (4, False, 2000, 12), (300, False, 1500, 40), (40, True, 400, 10), (5000, True, 300, 6),
    (5000, False, 300, 6)])
def test_dense_and_sparse(images, wide, points, max_len):
    rng = random.Random(images)
    pool = [rng.randrange(U32 + 1) if wide else n for n in range(images)]
    tracks = [[rng.choice(pool) for _ in range(rng.randrange(max_len))] for _ in range(points)]
    assert tolv.compute_overlaps(load(tracks)) == expected(tracks)


# Image counts on both sides of where counting switches from one triangle of counters
# to image-by-image rows (about 4,000 images, or fewer when pairs are scarce).
@pytest.mark.parametrize("images, points, max_len, wide, repeat", [
    (3, 300, 30, False, 0.3),
    (3000, 6000, 12, False, 0.0),
    (3000, 1200, 6, True, 0.2),
    (4200, 6000, 12, False, 0.0),
    (4200, 3000, 12, True, 0.25),
    (12000, 4000, 20, True, 0.1),
])
def test_counts_either_side_of_the_switch(images, points, max_len, wide, repeat):
    rng = random.Random(images * 7 + points)
    ids = set()
    while wide and len(ids) < images:  # not sample(range(2**32)): too long a range on 32-bit
        ids.add(rng.randrange(U32 + 1))
    ids = sorted(ids) if wide else list(range(1, images + 1))
    tracks = []
    for _ in range(points):
        anchor = rng.randrange(images)
        track = []
        for _ in range(rng.randrange(max_len + 1)):
            near = (anchor + rng.randrange(50)) % images
            track.append(track[-1] if track and rng.random() < repeat else ids[near])
        tracks.append(track)
    assert tolv.compute_overlaps(load(tracks)) == expected(tracks)
    for source in SOURCES:
        assert counts_from_arrays(tracks, source) == expected(tracks), source


def test_count_past_32_bits_among_many_images():
    # 70000 copies of image 1 in one track give 70000 * 70001 on its diagonal.
    tracks = [[1] * 70000 + [2]] + [[n, n + 1] for n in range(2, 5000)]
    result = tolv.compute_overlaps(load(tracks))
    assert result[1] == {1: 70000 * 70001, 2: 70000}
    assert result == expected(tracks)


def test_keys_and_point2D_indices_play_no_part():
    tracks = [[1, 2], [2, 3, 3]]
    base = tolv.compute_overlaps(load(tracks))
    assert tolv.compute_overlaps(load(tracks, ids=[2**64 - 1, 0])) == base
    p = load([[4, 9]])[0]
    twice = tolv.compute_overlaps({10: p, True: p, 3: load([[]])[0]})  # True is key 1
    assert twice == expected([[4, 9], [4, 9]])


class Key:
    def __init__(self, index):
        self.index = index

    def __index__(self):
        return self.index() if callable(self.index) else self.index


def test_later_key_with_same_id_wins(capfd):
    first, later = load([[1, 2]])[0], load([[7]])[0]
    assert tolv.compute_overlaps({1: first, Key(1): later}) == {7: {7: 2}}
    assert tolv.compute_overlaps({Key(1): first, 1: later}) == {7: {7: 2}}


def conversion_failure(arg, capfd):
    capfd.readouterr()
    with pytest.raises(BaseException) as info:
        tolv.compute_overlaps(arg)
    assert capfd.readouterr().out == ""
    return info.value


@pytest.mark.parametrize("make, kind, text", [
    (lambda p: [p], TypeError, "argument 'points3D': 'list' object cannot be converted to 'PyDict'"),
    (lambda p: {1: p, 2: p.color}, TypeError,
     "argument 'points3D': 'Color' object cannot be converted to 'Point3D'"),
    (lambda p: {1: None}, TypeError, "argument 'points3D': 'NoneType' object cannot be converted to 'Point3D'"),
    (lambda p: {0: p, "1": p}, TypeError, "argument 'points3D': 'str' object cannot be interpreted as an integer"),
    (lambda p: {1.0: p}, TypeError, "argument 'points3D': 'float' object cannot be interpreted as an integer"),
    (lambda p: {"k": p.color}, TypeError, "argument 'points3D': 'str' object cannot be interpreted as an integer"),
    (lambda p: {0: p, -1: p}, OverflowError, None),
    (lambda p: {2**64: p}, OverflowError, None),
    (lambda p: {Key(-5): p}, OverflowError, None),
])
def test_conversion_failures(capfd, make, kind, text):
    e = conversion_failure(make(load([[1]])[0]), capfd)
    assert type(e) is kind
    assert str(e) == text if text else not str(e).startswith("argument")


def test_index_hook_that_changes_the_dict_or_panics(capfd):
    point = load([[1]])[0]
    d = {}
    d[Key(lambda: d.__setitem__(99, point) or 1)] = point
    e = conversion_failure(d, capfd)
    assert type(e).__name__ == "PanicException" and str(e) == "dictionary changed size during iteration"
    panic = type(e)

    def hook():
        raise panic("raised in a hook")
    e = conversion_failure({Key(hook): point}, capfd)
    assert type(e) is panic and str(e) == "raised in a hook"


def test_dict_subclass_and_argument_unchanged(capfd):
    class Points(dict):
        def items(self):
            raise AssertionError("items() must not be called")
        __iter__ = keys = values = items

    points = load([[1, 2], [2], []])
    before = [(k, v, v.id, v.xyz, v.track) for k, v in dict.items(points)]
    capfd.readouterr()
    sub = Points(points)
    assert tolv.compute_overlaps(points3D=sub) == expected([[1, 2], [2], []])
    assert capfd.readouterr().out == DONE
    assert [(k, v, v.id, v.xyz, v.track) for k, v in dict.items(points)] == before
    assert dict.__len__(sub) == 3
