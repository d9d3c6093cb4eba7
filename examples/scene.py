"""Draws a COLMAP sparse reconstruction in 3D: the points in their own colours and
every camera as a small frustum at its pose.

    python examples/scene.py FOLDER OUT.png

FOLDER holds a binary or text model, read whole with tolv_extras.read_model.
A camera's centre is -R^T t and it looks along the third row of R (COLMAP's camera
axes: x right, y down, z forward). The picture is turned so that "up" is against
the cameras' mean y axis, and seen from behind and above the mean viewing direction,
which shows a reconstruction from roughly where it was photographed. Far outliers
are left out of the bounds. Needs numpy and matplotlib (pip install "tolv[plot]").
"""

from __future__ import annotations

import argparse
import io
import sys
from typing import Any, List, NamedTuple, Sequence, Tuple

import numpy as np
import numpy.typing as npt
import PIL.Image
import PIL.ImageChops
import tolv_extras as tx
from matplotlib.figure import Figure

Array = npt.NDArray[np.float64]
MAX_POINTS_DRAWN = 200_000
CROP_MARGIN = 24  # pixels of white kept round the drawing
FRUSTUM_COLOR = "#1f3f99"
# Frustum depth as a share of the scene's extent.
FRUSTUM_SCALE = 0.03

class Pose(NamedTuple):
    rotation: Array  # world-to-camera R
    center: Array  # -R^T t
    half_fov: Tuple[float, float]  # tan of the half field of view, across and down


def half_fov(width: int, height: int, K: Array) -> Tuple[float, float]:
    """tan of the half angles of view from the focal lengths; a 4:3 guess without them
    (no size, or a model without a K, such as EQUIRECTANGULAR, whose K is NaN)."""
    fx, fy = float(K[0, 0]), float(K[1, 1])
    if width == 0 or height == 0 or not (fx > 0 and fy > 0):
        return 0.5, 0.375
    return width / (2 * fx), height / (2 * fy)


def poses(cameras: tx.CamerasArrays, images: tx.ImagesArrays) -> List[Pose]:
    """Each image's pose, in image id order; an image whose camera is missing gets the
    4:3 guess."""
    lenses = {camera_id: half_fov(int(w), int(h), K) for camera_id, w, h, K in
              zip(cameras.ids.tolist(), cameras.widths, cameras.heights, cameras.K)}
    out = []
    for row in np.argsort(images.ids, kind="stable").tolist():
        rotation: Array = images.cam_from_world[row, :, :3]
        lens = lenses.get(int(images.camera_ids[row]), (0.5, 0.375))
        out.append(Pose(rotation, images.centers[row], lens))
    return out


def point_cloud(points: tx.PointsArrays) -> Tuple[Array, Array]:
    """Positions and 0-1 RGB colours in point id order, thinned evenly if there are very
    many."""
    order = np.argsort(points.ids, kind="stable")
    if len(order) > MAX_POINTS_DRAWN:
        order = order[::-(-len(order) // MAX_POINTS_DRAWN)]
    xyz: Array = points.xyz[order]
    rgb: Array = points.rgb[order].astype(np.float64)
    return xyz, rgb / 255.0


def world_to_view(cams: Sequence[Pose]) -> Array:
    """A rotation whose rows are the picture's x, y and up (z) axes in world coordinates.

    Up is against the cameras' mean down (y) axis; x is across their mean viewing
    direction, so the default azimuth looks the way the cameras look.
    """
    if not cams:
        return np.eye(3)
    up = -np.mean([c.rotation[1] for c in cams], axis=0)
    forward = np.mean([c.rotation[2] for c in cams], axis=0)
    if np.linalg.norm(up) < 1e-9:
        up = np.array([0.0, 0.0, 1.0])
    up /= np.linalg.norm(up)
    forward = forward - up * (forward @ up)
    if np.linalg.norm(forward) < 1e-9:
        forward = np.cross(up, [1.0, 0.0, 0.0] if abs(up[0]) < 0.9 else [0.0, 1.0, 0.0])
    forward /= np.linalg.norm(forward)
    across = np.cross(forward, up)
    return np.stack([across, forward, up])


def frustum_segments(pose: Pose, depth: float) -> Array:
    """Eight segments: centre to the four image corners, and the image rectangle."""
    tx, ty = pose.half_fov
    corners_cam = np.array([[-tx, -ty, 1.0], [tx, -ty, 1.0], [tx, ty, 1.0], [-tx, ty, 1.0]])
    corners = pose.center + depth * corners_cam @ pose.rotation  # R^T applied row-wise
    segments = [(pose.center, corner) for corner in corners]
    segments += [(corners[k], corners[(k + 1) % 4]) for k in range(4)]
    return np.array(segments)


def bounds(xyz: Array, centers: Array) -> Tuple[Array, Array]:
    """A box round the bulk of the points (2nd to 98th percentile) and every camera."""
    parts = [centers] if len(centers) else []
    if len(xyz):
        parts.append(np.percentile(xyz, [2.0, 98.0], axis=0))
    if not parts:
        return np.full(3, -1.0), np.full(3, 1.0)
    stacked = np.vstack(parts)
    low, high = stacked.min(axis=0), stacked.max(axis=0)
    margin = 0.05 * max(float(np.max(high - low)), 1e-9)
    return low - margin, high + margin


def marker_size(count: int) -> float:
    """Dots that stay apart for a few thousand points and do not merge into a blot for many."""
    return float(np.clip(7.0 * np.sqrt(2000.0 / max(count, 1)), 0.3, 7.0))


def render(xyz: Array, rgb: Array, cams: Sequence[Pose]) -> Figure:
    view = world_to_view(cams)
    xyz_v = xyz @ view.T
    centers_v = np.array([view @ c.center for c in cams]).reshape(-1, 3)
    low, high = bounds(xyz_v, centers_v)
    depth = FRUSTUM_SCALE * float(np.max(high - low))
    segments = [frustum_segments(Pose(c.rotation @ view.T, view @ c.center, c.half_fov), depth)
                for c in cams]

    fig = Figure(figsize=(10, 10), dpi=110)
    fig.subplots_adjust(left=0.0, right=1.0, bottom=0.0, top=1.0)
    ax: Any = fig.add_subplot(projection="3d")  # matplotlib's 3D axes carry no type hints
    inside = np.all((xyz_v >= low) & (xyz_v <= high), axis=1)
    ax.scatter(xyz_v[inside, 0], xyz_v[inside, 1], xyz_v[inside, 2], c=rgb[inside],
               s=marker_size(int(inside.sum())), marker="o", linewidths=0, depthshade=False)
    if segments:
        # One polyline for all frustums, broken by NaN rows between segments: one artist
        # instead of thousands.
        ends = np.concatenate(segments)
        path = np.concatenate([ends, np.full((len(ends), 1, 3), np.nan)], axis=1).reshape(-1, 3)
        ax.plot(path[:, 0], path[:, 1], path[:, 2], color=FRUSTUM_COLOR, linewidth=0.9)
    ax.set_xlim(low[0], high[0])
    ax.set_ylim(low[1], high[1])
    ax.set_zlim(low[2], high[2])
    ax.set_box_aspect(tuple(float(v) for v in (high - low)), zoom=1.3)
    # From behind the cameras' mean viewing direction (the view's y axis) and above.
    ax.view_init(elev=32.0, azim=-110.0)
    ax.set_axis_off()
    return fig


def save(fig: Figure, output: str) -> None:
    """Writes the figure; a PNG is cropped to what is drawn plus a margin, without alpha."""
    if not output.lower().endswith(".png"):
        fig.savefig(output)
        return
    buffer = io.BytesIO()
    fig.savefig(buffer, format="png")
    buffer.seek(0)
    with PIL.Image.open(buffer) as picture:
        rgb = picture.convert("RGB")
    drawn = PIL.ImageChops.difference(rgb, PIL.Image.new("RGB", rgb.size, "white")).getbbox()
    if drawn is not None:
        left, top, right, bottom = drawn
        rgb = rgb.crop((max(left - CROP_MARGIN, 0), max(top - CROP_MARGIN, 0),
                        min(right + CROP_MARGIN, rgb.width), min(bottom + CROP_MARGIN, rgb.height)))
    rgb.save(output, optimize=True)


def parse_args(argv: Sequence[str]) -> argparse.Namespace:
    parser = argparse.ArgumentParser(
        prog="scene.py",
        description="A 3D picture of a COLMAP sparse reconstruction: points and camera frustums.")
    parser.add_argument("folder", metavar="FOLDER",
                        help="folder with cameras, images and points3D as .bin or .txt files")
    parser.add_argument("output", metavar="OUT.png", help="picture to write")
    return parser.parse_args(argv)


def main(argv: Sequence[str]) -> int:
    args = parse_args(argv)
    model = tx.read_model(args.folder)
    xyz, rgb = point_cloud(model.points)
    cams = poses(model.cameras, model.images)
    save(render(xyz, rgb, cams), args.output)
    print(f"wrote {args.output}: {len(model.points.ids)} 3D points and "
          f"{len(model.images.ids)} cameras")
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
