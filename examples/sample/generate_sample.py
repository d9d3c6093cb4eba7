"""Writes the small synthetic sparse reconstruction in sparse/ next to this script.

The scene is a little square with three objects: a statue, a round fountain and
a house front. 40 photos are taken by four cameras while walking once round the
statue, over to the fountain and round it, and along the front. Every photo sees
the surface points that face it and project inside its frame, each detected with
a probability that falls with distance; points seen by fewer than two photos are
dropped, as a triangulating pipeline would. Observations get pixel noise and
every photo gets about as many keypoints without a 3D point.

Standard library only and seeded, so a run rewrites the three files byte for
byte:  python3 examples/sample/generate_sample.py [OUTPUT_FOLDER]
"""

from __future__ import annotations

import math
import os
import random
import struct
import sys
from typing import Dict, List, NamedTuple, Sequence, Tuple

SEED = 20240611
NO_POINT3D = 2**64 - 1  # point3D id of a keypoint that has no 3D point

Vec = Tuple[float, float, float]
Mat = Tuple[Vec, Vec, Vec]


class CameraSpec(NamedTuple):
    camera_id: int
    model_code: int  # 0 simple pinhole, 1 pinhole, 2 simple radial, 4 OpenCV
    width: int
    height: int
    params: Tuple[float, ...]


class Shot(NamedTuple):
    image_id: int
    camera: CameraSpec
    name: str  # stored as UTF-8
    center: Vec  # camera centre in world coordinates, metres
    target: Vec  # world point the optical axis goes through


class SurfacePoint(NamedTuple):
    xyz: Vec
    normal: Vec  # outward unit normal: only photos in front of it see the point
    rgb: Tuple[int, int, int]


# Ids are not contiguous, as after deleting cameras and images in a real project.
PHONE = CameraSpec(3, 0, 1600, 1200, (1350.0, 800.0, 600.0))
COMPACT = CameraSpec(7, 1, 1920, 1080, (1580.0, 1575.5, 962.3, 538.9))
ACTION = CameraSpec(12, 2, 1280, 960, (820.0, 640.0, 480.0, -0.045))
DSLR = CameraSpec(20, 4, 2048, 1536,
                  (1720.0, 1718.2, 1021.7, 770.4, -0.082, 0.031, 0.0004, -0.0007))

STATUE: Vec = (0.0, 0.0, 1.2)
FOUNTAIN: Vec = (9.0, 2.5, 0.0)
HOUSE_Y = 11.0  # the house front is the plane y = HOUSE_Y, facing -y


def add(a: Vec, b: Vec) -> Vec:
    return (a[0] + b[0], a[1] + b[1], a[2] + b[2])


def sub(a: Vec, b: Vec) -> Vec:
    return (a[0] - b[0], a[1] - b[1], a[2] - b[2])


def dot(a: Vec, b: Vec) -> float:
    return a[0] * b[0] + a[1] * b[1] + a[2] * b[2]


def cross(a: Vec, b: Vec) -> Vec:
    return (a[1] * b[2] - a[2] * b[1], a[2] * b[0] - a[0] * b[2], a[0] * b[1] - a[1] * b[0])


def unit(a: Vec) -> Vec:
    n = math.sqrt(dot(a, a))
    return (a[0] / n, a[1] / n, a[2] / n)


def jitter(rng: random.Random, a: Vec, sigma: float) -> Vec:
    return (a[0] + rng.gauss(0.0, sigma),
            a[1] + rng.gauss(0.0, sigma),
            a[2] + rng.gauss(0.0, sigma))


def shade(rng: random.Random, base: Tuple[int, int, int], spread: int) -> Tuple[int, int, int]:
    def one(c: int) -> int:
        return max(0, min(255, c + rng.randint(-spread, spread)))
    return (one(base[0]), one(base[1]), one(base[2]))


def make_scene(rng: random.Random) -> List[SurfacePoint]:
    points: List[SurfacePoint] = []
    # Statue: an upright ellipsoid of weathered bronze.
    for _ in range(800):
        z = rng.uniform(-1.0, 1.0)
        a = rng.uniform(0.0, 2.0 * math.pi)
        r = math.sqrt(1.0 - z * z)
        n = (r * math.cos(a), r * math.sin(a), z)
        xyz = add(STATUE, (0.7 * n[0], 0.7 * n[1], 1.2 * n[2]))
        points.append(SurfacePoint(xyz, unit((n[0] / 0.7, n[1] / 0.7, n[2] / 1.2)),
                                   shade(rng, (92, 120, 98), 25)))
    # Fountain: the outer wall of a low round basin and the water inside.
    for _ in range(700):
        a = rng.uniform(0.0, 2.0 * math.pi)
        n = (math.cos(a), math.sin(a), 0.0)
        if rng.random() < 0.75:
            xyz = add(FOUNTAIN, (1.8 * n[0], 1.8 * n[1], rng.uniform(0.0, 0.9)))
            points.append(SurfacePoint(xyz, n, shade(rng, (180, 170, 150), 20)))
        else:
            r = 1.7 * math.sqrt(rng.random())
            xyz = add(FOUNTAIN, (r * n[0], r * n[1], 0.8))
            points.append(SurfacePoint(xyz, (0.0, 0.0, 1.0), shade(rng, (70, 110, 140), 20)))
    # House front: brick wall with windows.
    for _ in range(800):
        x = rng.uniform(1.0, 13.0)
        z = rng.uniform(0.0, 6.0)
        window = (x - 1.0) % 3.0 > 1.8 and 1.0 < z % 3.0 < 2.4
        colour = (60, 70, 85) if window else (150, 72, 58)
        points.append(SurfacePoint((x, HOUSE_Y, z), (0.0, -1.0, 0.0), shade(rng, colour, 18)))
    # Paving stones, which tie neighbouring groups of photos together.
    for _ in range(500):
        xyz = (rng.uniform(-6.0, 15.0), rng.uniform(-6.0, 10.5), 0.0)
        points.append(SurfacePoint(xyz, (0.0, 0.0, 1.0), shade(rng, (128, 124, 118), 30)))
    return points


def make_shots(rng: random.Random) -> List[Shot]:
    centers: List[Tuple[CameraSpec, Vec, Vec]] = []
    for k in range(14):  # once round the statue with the phone, some DSLR shots
        a = math.radians(-90.0 + k * 360.0 / 14)
        c = (STATUE[0] + 4.5 * math.cos(a), STATUE[1] + 4.5 * math.sin(a), 1.6)
        centers.append((DSLR if k % 5 == 2 else PHONE, c, STATUE))
    for k in range(3):  # walking over to the fountain
        s = (k + 1) / 4.0
        c = (4.5 + s * 3.0, -4.0 + s * 2.0, 1.6)
        d = sub(FOUNTAIN, STATUE)
        look = add(STATUE, (s * d[0], s * d[1], s * d[2]))
        centers.append((DSLR, c, look))
    for k in range(13):  # round the fountain with the compact
        a = math.radians(-120.0 + k * 300.0 / 12)
        c = (FOUNTAIN[0] + 5.0 * math.cos(a), FOUNTAIN[1] + 5.0 * math.sin(a), 1.7)
        centers.append((DSLR if k == 6 else COMPACT, c, add(FOUNTAIN, (0.0, 0.0, 0.5))))
    for k in range(10):  # along the house front with the action camera
        c = (12.0 - k * 1.2, HOUSE_Y - 5.5, 1.5)
        centers.append((ACTION, c, (c[0] - 0.8, HOUSE_Y, 2.6)))

    shots: List[Shot] = []
    image_id = 1
    counters = {PHONE.camera_id: 20230, COMPACT.camera_id: 1042,
                ACTION.camera_id: 311, DSLR.camera_id: 7540}
    for camera, center, target in centers:
        n = counters[camera.camera_id]
        counters[camera.camera_id] = n + 1 + (1 if rng.random() < 0.3 else 0)
        if camera is PHONE:
            name = f"IMG_{n:05d}.jpg"
        elif camera is COMPACT:
            name = f"P{n:07d}.JPG"
        elif camera is ACTION:
            name = f"GOPR{n:04d}.JPG"
        else:
            name = f"DSC_{n:04d}.JPG"
        shots.append(Shot(image_id, camera, name,
                          jitter(rng, center, 0.15), jitter(rng, target, 0.2)))
        # Gaps in the ids, as left by photos that failed to register.
        image_id += 1 + (rng.randint(1, 3) if rng.random() < 0.2 else 0)
    # One photo renamed by hand, with an accent.
    i = 24
    shots[i] = shots[i]._replace(name="café_07.jpg")
    return shots


def look_at(center: Vec, target: Vec) -> Mat:
    """World-to-camera rotation rows: x right, y down, z along the view."""
    z = unit(sub(target, center))
    x = unit(cross(z, (0.0, 0.0, 1.0)))
    y = cross(z, x)
    return (x, y, z)


def quaternion(r: Mat) -> Tuple[float, float, float, float]:
    """Unit quaternion (w, x, y, z) with w >= 0 of a rotation matrix."""
    trace = r[0][0] + r[1][1] + r[2][2]
    if trace > 0.0:
        s = 2.0 * math.sqrt(trace + 1.0)
        q = (0.25 * s, (r[2][1] - r[1][2]) / s, (r[0][2] - r[2][0]) / s, (r[1][0] - r[0][1]) / s)
    elif r[0][0] > r[1][1] and r[0][0] > r[2][2]:
        s = 2.0 * math.sqrt(1.0 + r[0][0] - r[1][1] - r[2][2])
        q = ((r[2][1] - r[1][2]) / s, 0.25 * s, (r[0][1] + r[1][0]) / s, (r[0][2] + r[2][0]) / s)
    elif r[1][1] > r[2][2]:
        s = 2.0 * math.sqrt(1.0 + r[1][1] - r[0][0] - r[2][2])
        q = ((r[0][2] - r[2][0]) / s, (r[0][1] + r[1][0]) / s, 0.25 * s, (r[1][2] + r[2][1]) / s)
    else:
        s = 2.0 * math.sqrt(1.0 + r[2][2] - r[0][0] - r[1][1])
        q = ((r[1][0] - r[0][1]) / s, (r[0][2] + r[2][0]) / s, (r[1][2] + r[2][1]) / s, 0.25 * s)
    n = math.sqrt(sum(c * c for c in q))
    sign = 1.0 if q[0] >= 0.0 else -1.0
    w, x, y, z = (sign * c / n for c in q)
    return (w, x, y, z)


def distort(model_code: int, params: Sequence[float], u: float, v: float) -> Tuple[float, float]:
    """Pixel position of the normalised image point (u, v) under the camera model."""
    if model_code == 0:
        f, cx, cy = params
        return (f * u + cx, f * v + cy)
    if model_code == 1:
        fx, fy, cx, cy = params
        return (fx * u + cx, fy * v + cy)
    if model_code == 2:
        f, cx, cy, k = params
        radial = k * (u * u + v * v)
        return (f * (u + u * radial) + cx, f * (v + v * radial) + cy)
    fx, fy, cx, cy, k1, k2, p1, p2 = params
    uu, uv, vv = u * u, u * v, v * v
    r2 = uu + vv
    radial = k1 * r2 + k2 * r2 * r2
    du = u * radial + 2.0 * p1 * uv + p2 * (r2 + 2.0 * uu)
    dv = v * radial + 2.0 * p2 * uv + p1 * (r2 + 2.0 * vv)
    return (fx * (u + du) + cx, fy * (v + dv) + cy)


class Observation(NamedTuple):
    point_index: int  # into the scene list
    xy: Tuple[float, float]  # measured pixel position, with noise
    residual: float  # distance to the exact projection, pixels


def observe(rng: random.Random, shot: Shot, scene: Sequence[SurfacePoint]) -> List[Observation]:
    rot = look_at(shot.center, shot.target)
    cam = shot.camera
    seen: List[Observation] = []
    for index, p in enumerate(scene):
        ray = sub(shot.center, p.xyz)
        distance = math.sqrt(dot(ray, ray))
        if dot(ray, p.normal) < 0.25 * distance:  # back-facing or too oblique
            continue
        local = sub(p.xyz, shot.center)
        x, y, z = dot(rot[0], local), dot(rot[1], local), dot(rot[2], local)
        if z < 0.5:
            continue
        u, v = x / z, y / z
        if abs(u) > 1.0 or abs(v) > 1.0:  # keep the distortion polynomials in range
            continue
        px, py = distort(cam.model_code, cam.params, u, v)
        if not (4.0 <= px < cam.width - 4.0 and 4.0 <= py < cam.height - 4.0):
            continue
        chance = 0.7 if distance < 6.0 else 0.7 * (6.0 / distance) ** 4
        if rng.random() >= chance:
            continue
        ex, ey = rng.gauss(0.0, 0.45), rng.gauss(0.0, 0.45)
        seen.append(Observation(index, (px + ex, py + ey), math.hypot(ex, ey)))
    return seen


def build() -> Tuple[bytes, bytes, bytes]:
    rng = random.Random(SEED)
    scene = make_scene(rng)
    shots = make_shots(rng)
    seen = [observe(rng, shot, scene) for shot in shots]

    observers: Dict[int, int] = {}
    for obs in seen:
        for o in obs:
            observers[o.point_index] = observers.get(o.point_index, 0) + 1
    # Ids of the surviving points keep the gaps of the dropped ones.
    point_ids = {i: 1 + 3 * i for i in sorted(observers) if observers[i] >= 2}

    # Per image: x, y, scene index (-1: no 3D point), residual.
    keypoints_of: List[List[Tuple[float, float, int, float]]] = []
    tracks: Dict[int, List[Tuple[int, int]]] = {i: [] for i in point_ids}
    residuals: Dict[int, List[float]] = {i: [] for i in point_ids}
    for shot, obs in zip(shots, seen):
        cam = shot.camera
        keypoints = [(o.xy[0], o.xy[1], o.point_index if o.point_index in point_ids else -1,
                      o.residual) for o in obs]
        for _ in range(int(len(obs) * rng.uniform(0.8, 1.2))):
            keypoints.append((rng.uniform(0.0, cam.width), rng.uniform(0.0, cam.height), -1, 0.0))
        rng.shuffle(keypoints)  # detector order is unrelated to matching
        keypoints_of.append(keypoints)
        for k, (_, _, index, residual) in enumerate(keypoints):
            if index >= 0:
                tracks[index].append((shot.image_id, k))
                residuals[index].append(residual)

    cameras = bytearray(struct.pack("<Q", 4))
    for cam in (PHONE, COMPACT, ACTION, DSLR):
        cameras += struct.pack("<IiQQ", cam.camera_id, cam.model_code, cam.width, cam.height)
        cameras += struct.pack(f"<{len(cam.params)}d", *cam.params)

    images = bytearray(struct.pack("<Q", len(shots)))
    for shot, keypoints in zip(shots, keypoints_of):
        rot = look_at(shot.center, shot.target)
        t = tuple(-dot(row, shot.center) for row in rot)
        images += struct.pack("<I4d3dI", shot.image_id, *quaternion(rot), *t, shot.camera.camera_id)
        images += shot.name.encode("utf-8") + b"\0"
        images += struct.pack("<Q", len(keypoints))
        for x, y, index, _ in keypoints:
            images += struct.pack("<ddQ", x, y, point_ids[index] if index >= 0 else NO_POINT3D)

    points = bytearray(struct.pack("<Q", len(point_ids)))
    for i, pid in point_ids.items():
        p = scene[i]
        error = sum(residuals[i]) / len(residuals[i])
        points += struct.pack("<Q3d3BdQ", pid, *p.xyz, *p.rgb, error, len(tracks[i]))
        for image_id, idx in tracks[i]:
            points += struct.pack("<II", image_id, idx)
    return bytes(cameras), bytes(images), bytes(points)


def main(argv: Sequence[str]) -> None:
    here = os.path.dirname(os.path.abspath(__file__))
    folder = argv[1] if len(argv) > 1 else os.path.join(here, "sparse")
    os.makedirs(folder, exist_ok=True)
    for name, data in zip(("cameras.bin", "images.bin", "points3D.bin"), build()):
        with open(os.path.join(folder, name), "wb") as f:
            f.write(data)
        print(f"{os.path.join(folder, name)}: {len(data)} bytes")


if __name__ == "__main__":
    main(sys.argv)
