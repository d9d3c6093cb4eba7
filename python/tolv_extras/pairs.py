"""Co-visible image pairs for feature matching and localization, and the pairs file."""

from __future__ import annotations

from typing import List, Mapping, Sequence, Tuple

import tolv

from ._arguments import StrPath, require_mapping, require_records, text_path
from ._files import write_whole
from .images import name_bytes

Overlaps = Mapping[int, Mapping[int, int]]
Pair = Tuple[int, int]


def top_covisible(overlaps: Overlaps, image_id: int, k: int,
                  known: Mapping[int, object]) -> List[int]:
    """The k images in known sharing most points with image_id, most first, then by id."""
    row = overlaps.get(image_id, {})
    candidates = sorted((-shared, other) for other, shared in row.items()
                        if other != image_id and shared > 0 and other in known)
    return [other for _, other in candidates[:k]]


def covisibility_pairs(images: Mapping[int, tolv.Image], overlaps: Overlaps,
                       k: int) -> List[Pair]:
    """For every image, in increasing id order, its k most co-visible images.

    overlaps is tolv.compute_overlaps(points3D). Each image's partners come most shared
    3D points first, ties to the lower image id; the image itself, images sharing
    nothing and images that images lacks (a track may name one) are left out. The
    result depends only on the counts, never on dictionary order.
    """
    images = require_mapping(images, "images")
    overlaps = require_mapping(overlaps, "overlaps")
    if not isinstance(k, int) or isinstance(k, bool):
        raise TypeError(f"k must be an int, not {type(k).__name__}")
    if k < 1:
        raise ValueError(f"k must be at least 1, not {k}")
    return [(image_id, other) for image_id in sorted(images)
            for other in top_covisible(overlaps, image_id, k, images)]


def pair_lines(images: Mapping[int, tolv.Image], pairs: Sequence[Pair]) -> bytes:
    """One "name_a name_b" line per pair, the names as their stored bytes."""
    names = {image_id: name_bytes(image) for image_id, image in images.items()}
    lines = []
    for pair in pairs:
        first, second = pair
        for image_id in pair:
            if image_id not in names:
                raise ValueError(f"pair {pair!r} names image {image_id!r}, which images lacks")
        lines.append(names[first] + b" " + names[second] + b"\n")
    return b"".join(lines)


def write_pairs(path: StrPath, images: Mapping[int, tolv.Image],
                pairs: Sequence[Pair]) -> None:
    """Writes the pairs as a pairs file: one "name_a name_b" line each, names as stored.

    The format that feature matching and localization pipelines read. The file is
    written whole or not at all. Names holding white space cannot be told apart in
    this format; the caller may want to warn about them.
    """
    target = text_path(path, "path")
    data = pair_lines(require_records(images, tolv.Image, "images"), pairs)
    write_whole(target, [data])
