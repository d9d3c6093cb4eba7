"""Synthetic COLMAP sparse reconstructions for the benchmarks, deterministic from a seed.

Layout of a generated model:
- images lie along a smooth random walk on the ground plane, each looking roughly
  forward, with one of a few dozen cameras that cycle through every camera model;
- each 3D point sits near one "anchor" image and is observed by a subset of that
  image's nearest neighbours along the walk, so overlaps are local and banded like in
  a real capture, not uniform;
- track lengths are 2 plus a Lomax (Pareto II) draw: mean about 6, a tail up to 300,
  capped by the number of images;
- every track element names a real 2D point of its image, whose point3D_id is the
  point's id; each image also has unmatched 2D points (id 2^64-1), 1.5 per matched one
  on average, shuffled in among the matched ones.

All large arrays are built with numpy and written as packed little-endian records; the
only Python loops run over cameras and images (a few thousand at most).

    python benchmarks/generate.py --sizes small,medium
    TOLV_BENCH_DATA=/big/disk python benchmarks/generate.py --sizes huge
"""
import argparse
import json
import os
import time
from pathlib import Path

import numpy as np

NO_POINT3D = np.uint64(2**64 - 1)
FORMAT_VERSION = 5  # bump when the generator changes, so cached models are rebuilt

# Models are cached here; TOLV_BENCH_DATA moves the cache (the huge model needs ~4 GB).
DATA_DIR = Path(os.environ.get("TOLV_BENCH_DATA") or Path(__file__).resolve().parent / "data")

SIZES = {
    "small": dict(images=100, points=20_000, seed=1),
    "medium": dict(images=1_000, points=500_000, seed=2),
    "large": dict(images=5_000, points=2_000_000, seed=3),
    # Opt-in: about 4 GB of files, and 6 GB of memory to load them.
    "huge": dict(images=20_000, points=10_000_000, seed=4),
}
OPT_IN_SIZES = ("huge",)

# Track length = 2 + floor(Lomax(shape) * scale), capped; mean about 6.
TRACK_SHAPE = 2.5
TRACK_SCALE = 6.6
TRACK_CAP = 300
UNMATCHED_PER_MATCHED = 1.5

# (model code, parameter count) for every camera model the format knows.
CAMERA_MODELS = [(1, 4), (2, 4), (4, 8), (0, 3), (3, 5), (5, 8), (6, 12), (7, 5), (8, 4), (9, 5), (10, 12)]
SENSORS = [(1920, 1080), (4000, 3000), (1600, 1200), (3840, 2160), (6000, 4000)]

POINT_HEAD = np.dtype(
    [("id", "<u8"), ("xyz", "<f8", 3), ("rgb", "u1", 3), ("error", "<f8"), ("track_len", "<u8")]
)
TRACK_ELEM = np.dtype([("image_id", "<u4"), ("point2D_idx", "<u4")])
POINT2D = np.dtype([("xy", "<f8", 2), ("point3D_id", "<u8")])
IMAGE_HEAD = np.dtype([("image_id", "<u4"), ("qvec", "<f8", 4), ("tvec", "<f8", 3), ("camera_id", "<u4")])
CAMERA_HEAD = np.dtype([("camera_id", "<u4"), ("model", "<i4"), ("width", "<u8"), ("height", "<u8")])
assert POINT_HEAD.itemsize == 51 and IMAGE_HEAD.itemsize == 64 and POINT2D.itemsize == 24


def camera_params(rng, model, num, width, height):
    f = width * rng.uniform(0.8, 1.4)
    cx, cy = width / 2 + rng.normal(0, 5), height / 2 + rng.normal(0, 5)
    dist = list(rng.normal(0, 0.02, size=12))
    if model == 0:
        return [f, cx, cy]
    if model == 7:  # FOV: fx, fy, cx, cy, omega
        return [f, f * 1.001, cx, cy, 0.9 + rng.uniform(0, 0.1)]
    if model in (2, 8):  # f, cx, cy, k
        return [f, cx, cy, dist[0]]
    if model in (3, 9):  # f, cx, cy, k1, k2
        return [f, cx, cy, dist[0], dist[1]]
    # fx, fy, cx, cy, then distortion terms
    return [f, f * rng.uniform(0.999, 1.001), cx, cy] + dist[: num - 4]


def cameras_bytes(rng, num_cameras):
    head = np.zeros(num_cameras, CAMERA_HEAD)
    sizes, chunks = [], []
    for k in range(num_cameras):
        model, num = CAMERA_MODELS[k % len(CAMERA_MODELS)]
        width, height = SENSORS[k % len(SENSORS)]
        head[k] = (k + 1, model, width, height)
        params = np.asarray(camera_params(rng, model, num, width, height), "<f8")
        assert params.size == num
        chunks += [head[k].tobytes(), params.tobytes()]
        sizes.append((width, height))
    return b"".join(chunks), sizes


def quat_to_matrix(q):
    w, x, y, z = q.T
    return np.stack(
        [
            1 - 2 * (y * y + z * z), 2 * (x * y - w * z), 2 * (x * z + w * y),
            2 * (x * y + w * z), 1 - 2 * (x * x + z * z), 2 * (y * z - w * x),
            2 * (x * z - w * y), 2 * (y * z + w * x), 1 - 2 * (x * x + y * y),
        ],
        axis=1,
    ).reshape(-1, 3, 3)


def image_layout(rng, num_images):
    """Camera centres along a smooth random walk and world-to-camera quaternions."""
    heading = np.cumsum(rng.normal(0, 0.15, num_images))
    steps = np.stack([np.cos(heading), np.sin(heading)], axis=1) * rng.uniform(0.5, 1.5, (num_images, 1))
    centres = np.zeros((num_images, 3))
    centres[:, :2] = np.cumsum(steps, axis=0)
    centres[:, 2] = 1.6 + rng.normal(0, 0.05, num_images)
    # Look along the walk, with some jitter: a rotation about the vertical axis plus noise.
    yaw = heading + rng.normal(0, 0.2, num_images)
    q = np.stack([np.cos(yaw / 2), np.zeros_like(yaw), np.zeros_like(yaw), np.sin(yaw / 2)], axis=1)
    q += rng.normal(0, 0.05, q.shape)
    q /= np.linalg.norm(q, axis=1, keepdims=True)
    q[q[:, 0] < 0] *= -1
    t = -np.einsum("nij,nj->ni", quat_to_matrix(q), centres)
    return centres, q, t


def nearest_images(centres, k):
    """For each image, the k nearest images (itself first), by camera-centre distance."""
    n = len(centres)
    out = np.empty((n, k), np.int32)
    for start in range(0, n, 512):
        d = ((centres[start : start + 512, None, :2] - centres[None, :, :2]) ** 2).sum(-1)
        part = np.argpartition(d, k - 1, axis=1)[:, :k] if k < n else np.tile(np.arange(n), (len(d), 1))
        order = np.argsort(np.take_along_axis(d, part, axis=1), axis=1, kind="stable")
        out[start : start + 512] = np.take_along_axis(part, order, axis=1)
    return out


def make_tracks(rng, num_points, num_images, neighbours):
    """Track lengths, anchor images and the 0-based image index of every track element,
    grouped by point."""
    cap = min(TRACK_CAP, num_images, neighbours.shape[1])
    lengths = 2 + np.floor(rng.pareto(TRACK_SHAPE, num_points) * TRACK_SCALE).astype(np.int64)
    np.minimum(lengths, cap, out=lengths)
    anchors = rng.integers(0, num_images, num_points)
    # Candidates: the first ~1.5 L neighbours of the anchor; keep the L with the smallest
    # noisy rank, so nearer images are likelier but tracks of one anchor still differ.
    cand = np.minimum(cap, lengths + lengths // 2 + 2)
    owner = np.repeat(np.arange(num_points), cand)
    starts = np.repeat(np.cumsum(cand) - cand, cand)
    rank = np.arange(owner.size) - starts
    noisy = rank + rng.uniform(0, 1, owner.size) * (0.5 * lengths[owner] + 1.0)
    # One sort by owner, then noisy rank: the rank part is scaled into [0, 1).
    order = np.argsort(owner + noisy / (noisy.max() + 1.0))
    keep = order[rank < np.repeat(lengths, cand)]
    elem_image = neighbours[anchors[owner[keep]], rank[keep]]
    return lengths, anchors, elem_image


def generate(size, out_dir):
    dims = SIZES[size]
    rng = np.random.default_rng(dims["seed"])
    num_images, num_points = dims["images"], dims["points"]
    t0 = time.perf_counter()

    num_cameras = max(len(CAMERA_MODELS), num_images // 20)
    cam_bytes, cam_sizes = cameras_bytes(rng, num_cameras)
    image_camera = rng.integers(0, num_cameras, num_images)

    centres, qvecs, tvecs = image_layout(rng, num_images)
    neighbours = nearest_images(centres, min(num_images, TRACK_CAP))

    lengths, anchors, elem_image = make_tracks(rng, num_points, num_images, neighbours)
    num_elems = elem_image.size

    # Point ids increase with gaps, as after filtering in a real pipeline.
    point_ids = np.cumsum(rng.geometric(0.8, num_points)).astype(np.uint64)

    # 2D points per image: its matched observations plus unmatched ones, shuffled.
    matched = np.bincount(elem_image, minlength=num_images)
    unmatched = rng.poisson(UNMATCHED_PER_MATCHED * np.maximum(matched, 1))
    per_image = matched + unmatched
    total_2d = int(per_image.sum())
    image_of_2d = np.concatenate([elem_image, np.repeat(np.arange(num_images), unmatched)]).astype(np.uint64)
    # Sort by image, in random order within an image: image in the high word, noise in the low.
    order = np.argsort((image_of_2d << np.uint64(32)) | rng.integers(0, 2**32, total_2d, dtype=np.uint64))
    image_of_2d = image_of_2d[order].astype(np.int32)
    is_matched = order < num_elems  # a 2D point that came from track element order[k]
    elem_of_2d = order[is_matched]
    del order
    image_start = np.cumsum(per_image) - per_image
    idx_in_image = np.arange(total_2d, dtype=np.int64) - image_start[image_of_2d]

    pts2d = np.empty(total_2d, POINT2D)
    size_of_2d = np.asarray(cam_sizes, np.float64)[image_camera][image_of_2d]
    del image_of_2d
    for axis in (0, 1):
        pts2d["xy"][:, axis] = rng.random(total_2d) * size_of_2d[:, axis]
    del size_of_2d
    pts2d["point3D_id"] = NO_POINT3D
    elem_point = np.repeat(np.arange(num_points), lengths)
    pts2d["point3D_id"][is_matched] = point_ids[elem_point[elem_of_2d]]
    del elem_point

    track = np.empty(num_elems, TRACK_ELEM)
    track["image_id"] = elem_image + 1
    track["point2D_idx"][elem_of_2d] = idx_in_image[is_matched]
    del idx_in_image, is_matched, elem_of_2d

    heads = np.empty(num_points, POINT_HEAD)
    heads["id"] = point_ids
    heads["xyz"] = centres[anchors] + rng.normal(0, 1, (num_points, 3)) * [4.0, 4.0, 1.5]
    heads["rgb"] = rng.integers(0, 256, (num_points, 3), dtype=np.uint8)
    heads["error"] = rng.gamma(2.0, 0.35, num_points)
    heads["track_len"] = lengths

    images_head = np.empty(num_images, IMAGE_HEAD)
    images_head["image_id"] = np.arange(1, num_images + 1)
    images_head["qvec"] = qvecs
    images_head["tvec"] = tvecs
    images_head["camera_id"] = image_camera + 1

    out_dir.mkdir(parents=True, exist_ok=True)
    write_file(out_dir / "cameras.bin", [np.uint64(num_cameras).tobytes(), cam_bytes])
    # Images: few records, so each is written as its head and a slice of the 2D points.
    chunks = [np.uint64(num_images).tobytes()]
    image_end = np.cumsum(per_image)
    for i in range(num_images):
        name = f"cam{image_camera[i] + 1:03d}/frame_{i + 1:06d}.jpg".encode()
        chunks += [images_head[i].tobytes(), name, b"\0", np.uint64(per_image[i]).tobytes(),
                   memoryview(pts2d[image_end[i] - per_image[i] : image_end[i]]).cast("B")]
    write_file(out_dir / "images.bin", chunks)
    del chunks, pts2d
    write_file(out_dir / "points3D.bin", [np.uint64(num_points).tobytes(), interleave(
        heads.view(np.uint8), POINT_HEAD.itemsize, track.view(np.uint8), lengths * TRACK_ELEM.itemsize)])
    meta = dict(
        format_version=FORMAT_VERSION, size=size, seed=dims["seed"], cameras=num_cameras,
        images=num_images, points3D=num_points, track_elements=int(num_elems), points2D=total_2d,
        mean_track_length=float(lengths.mean()), max_track_length=int(lengths.max()),
        pair_visits=int((lengths * (lengths + 1) // 2).sum()), seconds=round(time.perf_counter() - t0, 2),
    )
    (out_dir / "meta.json").write_text(json.dumps(meta, indent=1) + "\n")
    return meta


def interleave(heads, head_size, bodies, body_sizes):
    """head0 body0 head1 body1 ... from fixed-size heads and variable-size bodies, each
    given as one byte array; a cumulative-sum mask places every byte without a loop."""
    rec_sizes = head_size + body_sizes
    rec_start = np.cumsum(rec_sizes) - rec_sizes
    total = heads.size + bodies.size
    delta = np.zeros(total + 1, np.int8)
    delta[rec_start] += 1
    delta[rec_start + head_size] -= 1
    is_head = np.cumsum(delta[:-1], dtype=np.int8).view(bool)
    del delta
    out = np.empty(total, np.uint8)
    out[is_head] = heads
    out[~is_head] = bodies
    return out


def write_file(path, chunks):
    tmp = path.with_suffix(".tmp")
    with open(tmp, "wb") as f:
        for chunk in chunks:
            f.write(chunk)
    os.replace(tmp, path)


def ensure(size, quiet=False):
    """Returns the folder of the cached model of this size, generating it if missing or stale."""
    out_dir = DATA_DIR / size
    meta_path = out_dir / "meta.json"
    if meta_path.exists():
        meta = json.loads(meta_path.read_text())
        files_ok = all((out_dir / f).exists() for f in ("cameras.bin", "images.bin", "points3D.bin"))
        if files_ok and meta.get("format_version") == FORMAT_VERSION and meta.get("seed") == SIZES[size]["seed"]:
            return out_dir, meta
    if not quiet:
        print(f"generating the {size} model in {out_dir} ...", flush=True)
    meta = generate(size, out_dir)
    if not quiet:
        print(f"  {describe(meta)} in {meta['seconds']} s", flush=True)
    return out_dir, meta


def describe(meta):
    return (
        f"{meta['cameras']} cameras, {meta['images']} images, {meta['points3D']} 3D points, "
        f"{meta['points2D']} 2D points, {meta['track_elements']} track elements "
        f"(mean track {meta['mean_track_length']:.2f}, max {meta['max_track_length']})"
    )


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--sizes", default="small,medium,large")
    parser.add_argument("--force", action="store_true", help="regenerate even if cached")
    args = parser.parse_args()
    for size in args.sizes.split(","):
        if args.force:
            (DATA_DIR / size / "meta.json").unlink(missing_ok=True)
        out_dir, meta = ensure(size)
        print(f"{size}: {out_dir}: {describe(meta)}")


if __name__ == "__main__":
    main()
