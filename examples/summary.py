"""Prints a short summary of a COLMAP sparse reconstruction folder.

    python examples/summary.py [FOLDER]

FOLDER holds cameras.bin, images.bin and points3D.bin; without it the sample
reconstruction next to this script is used. The "Found ..." and "Making sets..."
lines come from tolv itself, which writes them straight to standard output.
"""

from __future__ import annotations

import collections
import os
import sys
from typing import Dict, List, Mapping, Sequence, Tuple

import tolv
import tolv_extras as tx

TOP_PAIRS = 10


Overlaps = Mapping[int, Mapping[int, int]]


def default_folder() -> str:
    return os.path.join(os.path.dirname(os.path.abspath(__file__)), "sample", "sparse")


def top_pairs(overlaps: Overlaps, count: int) -> List[Tuple[int, int, int]]:
    """The `count` image pairs a < b sharing the most 3D points, as (a, b, shared)."""
    pairs = [(a, b, shared) for a, row in overlaps.items() for b, shared in row.items() if a < b]
    pairs.sort(key=lambda p: (-p[2], p[0], p[1]))
    return pairs[:count]


def summary_lines(cameras: Mapping[int, tolv.Camera], images: Mapping[int, tolv.Image],
                  points3D: Mapping[int, tolv.Point3D], overlaps: Overlaps) -> List[str]:
    lines: List[str] = []
    models = collections.Counter(camera.model_id for camera in cameras.values())
    shots: Dict[str, int] = collections.Counter(
        cameras[image.camera_id].model_id
        for image in images.values() if image.camera_id in cameras)
    lines.append(f"Cameras:                 {len(cameras)}")
    for model, n in sorted(models.items(), key=lambda m: (-m[1], m[0])):
        lines.append(f"  {model + ':':<22} {n}, taking {shots.get(model, 0)} images")
    lines.append(f"Images:                  {len(images)}")
    lines.append(f"3D points:               {len(points3D)}")

    observations = sum(len(p.track) for p in points3D.values())
    if points3D:
        mean_track = observations / len(points3D)
        mean_error = sum(p.error for p in points3D.values()) / len(points3D)
        lines.append(f"Mean track length:       {mean_track:.2f}")
        lines.append(f"Mean reprojection error: {mean_error:.3f} px")

    points2D = sum(len(image.point3D_ids) for image in images.values())
    matched = sum(1 for image in images.values() for pid in image.point3D_ids
                  if pid != tx.INVALID_POINT3D_ID)
    share = f" ({100.0 * matched / points2D:.1f}%)" if points2D else ""
    lines.append(f"2D points:               {points2D}, {matched} matched{share}")

    pairs = top_pairs(overlaps, TOP_PAIRS)
    linked = sum(1 for a, row in overlaps.items() for b in row if a < b)
    lines.append(f"Image pairs sharing 3D points: {linked}")
    if not pairs:
        return lines
    lines.append("")
    lines.append(f"The {len(pairs)} largest overlaps:")
    names: Dict[int, str] = {i: tx.utf8_name(image, "replace") for i, image in images.items()}
    width = max([len(names.get(i, "?")) for a, b, _ in pairs for i in (a, b)] + [len("name")])
    lines.append(f"  {'shared':>6}  {'image':>5} {'name':<{width}}  {'image':>5} name")
    for a, b, shared in pairs:
        name_a = names.get(a, "?").ljust(width)
        name_b = names.get(b, "?").ljust(width)
        lines.append(f"  {shared:6d}  {a:>5} {name_a}  {b:>5} {name_b}".rstrip())
    return lines


def main(argv: Sequence[str]) -> int:
    if len(argv) > 2:
        print(f"usage: {argv[0]} [FOLDER]", file=sys.stderr)
        return 2
    folder = argv[1] if len(argv) > 1 else default_folder()
    try:
        cameras, images, points3D = tx.read_reconstruction(folder)
    except OSError as error:
        print(f"cannot read the reconstruction in {folder}: {error}", file=sys.stderr)
        return 1
    overlaps = tolv.compute_overlaps(points3D)
    print()
    print(f"Reconstruction: {folder}")
    for line in summary_lines(cameras, images, points3D, overlaps):
        print(line)
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
