"""filter_points and filter_images: what stays, what goes, both sides of every observation
in step (one brute-force checker for every case), frames, the input left alone, and
inconsistent input made consistent."""

import tempfile
from pathlib import Path

import pytest

import tolv_extras as tx
from colmap_files import NO_POINT3D, write_reconstruction

np = pytest.importorskip("numpy")
hypothesis = pytest.importorskip("hypothesis")
from hypothesis import given, settings, strategies as st  # noqa: E402

CAMERAS = [(7, 0, 640, 480, [500.0, 320.0, 240.0])]
POSE = ((1.0, 0.0, 0.0, 0.0), (0.0, 0.0, 0.0))


def model_of(folder, images, points):
    """images: {image_id: [point3D_id per 2D point]}; points: {point_id: [(image_id, idx)]};
    written as binary files and read back, so every dtype is read_model's."""
    image_records = [(image_id, *POSE, 7, f"im{image_id}.jpg",
                      [(float(k), 0.5 * k, pid) for k, pid in enumerate(pids)])
                     for image_id, pids in images.items()]
    point_records = [(pid, (float(pid), 0.0, 1.0), (1, 2, 3), 0.25, track)
                     for pid, track in points.items()]
    return tx.read_model(write_reconstruction(Path(folder), CAMERAS, image_records,
                                              point_records))


def random_layout(seed, num_images=6, num_points=25):
    """A consistent model: tracks of 0 to 5 elements, an image may see a point twice, ids
    with gaps, 2D points without a 3D point mixed in."""
    rng = np.random.default_rng(seed)
    image_ids = sorted(int(i) for i in rng.choice(np.arange(1, 40), num_images, replace=False))
    images = {i: [] for i in image_ids}
    points = {}
    for number in range(num_points):
        pid = 2**40 + number if number % 7 == 3 else 1 + 2 * number
        track = []
        for _ in range(int(rng.integers(0, 6))):
            image_id = image_ids[int(rng.integers(0, num_images))]
            if rng.random() < 0.3:
                images[image_id].append(NO_POINT3D)
            track.append((image_id, len(images[image_id])))
            images[image_id].append(pid)
        points[pid] = track
    return images, points


# A hand-made model: point 20 is seen twice by image 3, point 40 has no track, image 9
# sees nothing, point 50 is seen by one image only.
HAND = ({3: [10, NO_POINT3D, 20, 20, 30], 5: [20, 10, 50], 9: [NO_POINT3D], 12: [30, 10]},
        {10: [(3, 0), (5, 1), (12, 1)], 20: [(3, 2), (5, 0), (3, 3)], 30: [(12, 0), (3, 4)],
         40: [], 50: [(5, 2)]})
LAYOUTS = {"hand": HAND, "random": random_layout(1), "larger": random_layout(2, 9, 60)}


def observation_problems(model):
    """Every observation whose two sides disagree: an image's 2D point must name a 3D
    point exactly when that point's track lists the image and that 2D point index.
    An empty list for a sound model (its layout is checked by as_lists)."""
    images, points = model.images, model.points
    row_of = {image_id: row for row, image_id in enumerate(images.ids.tolist())}
    starts, point3D_ids = images.points2D_offsets.tolist(), images.point3D_ids.tolist()
    problems, listed = [], set()
    for pid, _, track in as_lists(model)[1]:
        for image_id, idx in track:
            listed.add((image_id, idx, pid))
            row = row_of.get(image_id)
            if row is None or idx >= starts[row + 1] - starts[row]:
                problems.append(f"point {pid}: image {image_id} has no 2D point {idx}")
            elif point3D_ids[starts[row] + idx] != pid:
                problems.append(f"point {pid}: image {image_id}'s 2D point {idx} names "
                                f"{point3D_ids[starts[row] + idx]}")
    for image_id, _, _, pids in as_lists(model)[0]:
        problems += [f"image {image_id}'s 2D point {idx} names {pid}, whose track does not "
                     f"list it" for idx, pid in enumerate(pids)
                     if pid != NO_POINT3D and (image_id, idx, pid) not in listed]
    return problems


def as_lists(model):
    """Each image as (id, name, xys, point3D ids) and each point as (id, xyz, track),
    after checking that the offsets cut the columns into one row per id."""
    images, points = model.images, model.points
    s, b = images.points2D_offsets.tolist(), points.track_offsets.tolist()
    for ends, rows, columns in ((s, len(images.ids), (images.xys, images.point3D_ids)),
                                (b, len(points.ids), (points.track_image_ids,
                                                      points.track_point2D_idxs))):
        assert ends[0] == 0 and ends == sorted(ends) and len(ends) == rows + 1
        assert all(len(column) == ends[-1] for column in columns)
    assert len(images.names) == len(images.cam_from_world) == len(images.ids)
    return ([(i, images.names[r], images.xys[s[r]:s[r + 1]].tolist(),
              images.point3D_ids[s[r]:s[r + 1]].tolist())
             for r, i in enumerate(images.ids.tolist())],
            [(p, points.xyz[r].tolist(),
              list(zip(points.track_image_ids[b[r]:b[r + 1]].tolist(),
                       points.track_point2D_idxs[b[r]:b[r + 1]].tolist())))
             for r, p in enumerate(points.ids.tolist())])


def snapshot(model):
    """Every column's bytes (names as their list), to see that nothing was written into."""
    return {(table, name): (list(column) if isinstance(column, list) else
                            (column.dtype, column.shape, column.tobytes()))
            for table, arrays in model._asdict().items() if arrays is not None
            for name, column in arrays._asdict().items()}


def dtypes(model):
    return {key: value[0] for key, value in snapshot(model).items()
            if isinstance(value, tuple)}


def keep_pattern(pattern, count, seed=3):
    return {"none": np.zeros(count, bool), "all": np.ones(count, bool),
            "alternate": np.arange(count) % 2 == 0,
            "random": np.random.default_rng(seed).random(count) < 0.6}[pattern]


@pytest.fixture(params=list(LAYOUTS))
def layout(request, tmp_path):
    images, points = LAYOUTS[request.param]
    return images, points, model_of(tmp_path, images, points)


PATTERNS = ["none", "all", "alternate", "random"]


@pytest.mark.parametrize("pattern", PATTERNS)
def test_filter_points_drops_the_points_and_their_observations(layout, pattern):
    images, points, model = layout
    before = snapshot(model)
    keep = keep_pattern(pattern, len(model.points.ids))
    result = tx.filter_points(model, keep)
    assert observation_problems(result) == []
    kept = {pid for pid, k in zip(points, keep.tolist()) if k}
    assert as_lists(result) == (
        [(i, f"im{i}.jpg", [[float(k), 0.5 * k] for k in range(len(pids))],
          [pid if pid in kept else NO_POINT3D for pid in pids]) for i, pids in images.items()],
        [(pid, [float(pid), 0.0, 1.0], track) for pid, track in points.items() if pid in kept])
    assert dtypes(result) == dtypes(model)
    assert snapshot(model) == before


@pytest.mark.parametrize("min_track_length", [0, 1, 2, 3])
@pytest.mark.parametrize("pattern", PATTERNS)
def test_filter_images_drops_the_images_their_observations_and_short_tracks(
        layout, pattern, min_track_length):
    images, points, model = layout
    before = snapshot(model)
    keep = keep_pattern(pattern, len(model.images.ids))
    result = tx.filter_images(model, keep, min_track_length=min_track_length)
    assert observation_problems(result) == []
    gone = {i for i, k in zip(images, keep.tolist()) if not k}
    tracks = {pid: [(i, j) for i, j in track if i not in gone] for pid, track in points.items()}
    tracks = {pid: track for pid, track in tracks.items() if len(track) >= min_track_length}
    assert as_lists(result) == (
        [(i, f"im{i}.jpg", [[float(k), 0.5 * k] for k in range(len(pids))],
          [pid if pid in tracks else NO_POINT3D for pid in pids])
         for i, pids in images.items() if i not in gone],
        [(pid, [float(pid), 0.0, 1.0], track) for pid, track in tracks.items()])
    assert result.cameras is model.cameras
    assert dtypes(result) == dtypes(model)
    assert snapshot(model) == before


def frames_of(*frames):
    """frames: (frame_id, [(sensor_type, sensor_id, data_id)]) in order."""
    data = [datum for _, datum_list in frames for datum in datum_list]
    return tx.FramesArrays(
        ids=np.array([f for f, _ in frames], np.uint32),
        rig_ids=np.ones(len(frames), np.uint32),
        quaternions=np.tile([1.0, 0.0, 0.0, 0.0], (len(frames), 1)),
        translations=np.array([[f, -f, 0.5] for f, _ in frames], float).reshape(-1, 3),
        data_offsets=np.cumsum([0] + [len(d) for _, d in frames]).astype(np.int64),
        data_sensor_types=np.array([d[0] for d in data], np.int32).reshape(-1),
        data_sensor_ids=np.array([d[1] for d in data], np.uint32).reshape(-1),
        data_ids=np.array([d[2] for d in data], np.uint64).reshape(-1))


IMU = (1, 99, 3)  # an IMU datum whose id happens to equal an image id


@pytest.mark.parametrize("removed, frames, expected", [
    # one of the frame's two images gone: the frame stays with the other
    ([5], [(1, [(0, 7, 3), (0, 8, 5), IMU])], [(1, [(0, 7, 3), IMU])]),
    # every image of a frame gone: the frame goes, its IMU datum too
    ([3, 5], [(1, [(0, 7, 3), IMU, (0, 8, 5)]), (2, [(0, 7, 9)])], [(2, [(0, 7, 9)])]),
    # a frame with IMU data only, and one that names no removed image, stay as they are
    ([12], [(4, [IMU]), (6, [(0, 7, 9), (0, 8, 3)]), (8, [(0, 7, 12)]), (9, [])],
     [(4, [IMU]), (6, [(0, 7, 9), (0, 8, 3)]), (9, [])]),
    # a datum naming an image the model never had goes as a removed image's does
    ([], [(1, [(0, 7, 77), (0, 7, 3)]), (2, [(0, 7, 78), IMU])], [(1, [(0, 7, 3)])]),
    ([], [], []),
])
def test_frames_name_only_the_images_that_remain(tmp_path, removed, frames, expected):
    model = model_of(tmp_path, *HAND)
    model = model._replace(frames=frames_of(*frames))
    keep = ~np.isin(model.images.ids, removed)
    result = tx.filter_images(model, keep)
    assert observation_problems(result) == []
    want = frames_of(*expected)
    for name, column in result.frames._asdict().items():
        assert column.tolist() == getattr(want, name).tolist(), name
        assert column.dtype == getattr(want, name).dtype, name
    assert tx.filter_points(model, np.ones(5, bool)).frames is model.frames


# Inconsistent input, one fault each, in HAND's terms: the changed images and points,
# the track elements that leave HAND's tracks, and the 2D points that lose their point.
FAULTS = {
    "track names a missing image": ({}, {10: [(3, 0), (5, 1), (12, 1), (4, 0)]}, {}, {}),
    "track names a 2D point past the image's": ({}, {50: [(5, 2), (9, 1)]}, {}, {}),
    "2D point names another point": ({5: [20, 10, 30]}, {}, {50: [(5, 2)]},
                                     {(5, 2): NO_POINT3D}),
    "2D point names a missing point": ({9: [77]}, {}, {}, {(9, 0): NO_POINT3D}),
    "2D point not in its point's track": ({9: [30]}, {}, {}, {(9, 0): NO_POINT3D}),
    "track lists one 2D point twice": ({}, {30: [(12, 0), (3, 4), (12, 0)]}, {}, {}),
}


@pytest.mark.parametrize("fault", list(FAULTS))
@pytest.mark.parametrize("edit", ["filter_points", "filter_images"])
def test_inconsistent_input_comes_out_consistent(tmp_path, fault, edit):
    image_changes, point_changes, lost, expected_ids = FAULTS[fault]
    images, points = {**HAND[0], **image_changes}, {**HAND[1], **point_changes}
    model = model_of(tmp_path, images, points)
    if edit == "filter_points":
        result = tx.filter_points(model, np.ones(len(points), bool))
    else:
        result = tx.filter_images(model, np.ones(len(images), bool), min_track_length=0)
    assert observation_problems(result) == []
    # Only the one-sided observations are gone; every row stays.
    result_images, result_points = as_lists(result)
    assert [(pid, track) for pid, _, track in result_points] == \
        [(pid, [e for e in track if e in HAND[1][pid] and e not in lost.get(pid, [])])
         for pid, track in points.items()]
    assert [(image_id, pids) for image_id, _, _, pids in result_images] == \
        [(image_id, [expected_ids.get((image_id, k), pid) for k, pid in enumerate(pids)])
         for image_id, pids in images.items()]


@pytest.mark.parametrize("call, error, words", [
    (lambda m: tx.filter_points(m, np.ones(5, int)), TypeError, "keep must be an array of bool"),
    (lambda m: tx.filter_points(m, np.ones(4, bool)), ValueError, "keep must hold one bool "
     "per point row, 5, not an array of shape (4,)"),
    (lambda m: tx.filter_points(m, np.ones((5, 1), bool)), ValueError, "shape (5, 1)"),
    (lambda m: tx.filter_images(m, [True] * 5), ValueError, "per image row, 4,"),
    (lambda m: tx.filter_images(m, [1, 1, 1, 1]), TypeError, "keep must be an array of bool"),
    (lambda m: tx.filter_images(m._asdict(), [True] * 4), TypeError, "model must be"),
    (lambda m: tx.filter_points(tuple(m), [True] * 5), TypeError, "model must be"),
    (lambda m: tx.filter_images(m, [True] * 4, -1), ValueError, "min_track_length"),
    (lambda m: tx.filter_images(m, [True] * 4, 2.0), TypeError, "min_track_length"),
    (lambda m: tx.filter_images(m, [True] * 4, True), TypeError, "min_track_length"),
    (lambda m: tx.filter_points(m._replace(points=m.points._replace(
        track_offsets=m.points.track_offsets + 1)), [True] * 5), ValueError,
     "track_offsets must start at 0"),
    (lambda m: tx.filter_images(m._replace(images=m.images._replace(
        points2D_offsets=m.images.points2D_offsets[::-1].copy())), [True] * 4), ValueError,
     "points2D_offsets must start at 0"),
])
def test_bad_arguments_are_named(tmp_path, call, error, words):
    with pytest.raises(error) as info:
        call(model_of(tmp_path, *HAND))
    assert words in str(info.value)


def test_wide_indices_and_lengths_do_not_wrap(tmp_path):
    model = model_of(tmp_path, *HAND)
    # Point 10's element (3, 0) as an index 2**32 further on: no 2D point of image 3.
    wide = model.points.track_point2D_idxs.astype(np.int64)
    wide[0] += 2**32
    result = tx.filter_points(model._replace(points=model.points._replace(
        track_point2D_idxs=wide)), np.ones(5, bool))
    assert as_lists(result)[1][0][2] == [(5, 1), (12, 1)]
    assert result.images.point3D_ids[0] == NO_POINT3D
    # No track is that long.
    assert len(tx.filter_images(model, np.ones(4, bool), 2**64 + 1).points.ids) == 0


@settings(max_examples=40, deadline=None)
@given(seed=st.integers(0, 2**32 - 1), images=st.integers(1, 6), points=st.integers(0, 30),
       min_track_length=st.integers(0, 3))
def test_edits_compose_and_stay_consistent(seed, images, points, min_track_length):
    """Dropping images a then b is dropping both at once; the points a filter_images
    leaves are exactly those with tracks long enough."""
    layout = random_layout(seed, images, points)
    with tempfile.TemporaryDirectory() as folder:
        model = model_of(folder, *layout)
    rng = np.random.default_rng(seed)
    first = rng.random(images) < 0.7
    second = rng.random(int(first.sum())) < 0.7
    both = first.copy()
    both[first] = second
    once = tx.filter_images(model, both, min_track_length)
    twice = tx.filter_images(tx.filter_images(model, first, min_track_length), second,
                             min_track_length)
    assert observation_problems(twice) == [] and observation_problems(once) == []
    assert as_lists(once) == as_lists(twice)
    assert (np.diff(once.points.track_offsets) >= min_track_length).all()
    keep_points = rng.random(len(once.points.ids)) < 0.5
    assert observation_problems(tx.filter_points(once, keep_points)) == []
