"""Each image's most co-visible images, for feature matching and localization."""

from __future__ import annotations

import operator
from typing import List, Mapping, Tuple

import tolv

from ._arguments import require_mapping

Overlaps = Mapping[int, Mapping[int, int]]
Pair = Tuple[int, int]


def top_covisible(overlaps: Overlaps, image_id: int, k: int,
                  known: Mapping[int, object]) -> List[int]:
    """The k images in known sharing most points with image_id, most first, then by id."""
    row = require_mapping(overlaps.get(image_id, {}), f"overlaps[{image_id!r}]")
    candidates = sorted((-shared, other) for other, shared in row.items()
                        if other != image_id and shared > 0 and other in known)
    return [other for _, other in candidates[:k]]


def covisibility_pairs(images: Mapping[int, tolv.Image], overlaps: Overlaps,
                       k: int) -> List[Pair]:
    """For every image, in increasing id order, its k most co-visible images.

    overlaps is tolv.compute_overlaps(points3D). Each image's partners come most shared
    3D points first, ties to the lower image id; the image itself, images sharing
    nothing and images that images lacks (a track may name one) are left out. The
    result depends only on the counts, never on dictionary order. Raises TypeError for
    arguments of the wrong type and ValueError for k below 1.
    """
    images = require_mapping(images, "images")
    overlaps = require_mapping(overlaps, "overlaps")
    if isinstance(k, bool):
        raise TypeError("k must be an int, not bool")
    try:
        k = operator.index(k)
    except TypeError:
        raise TypeError(f"k must be an int, not {type(k).__name__}") from None
    if k < 1:
        raise ValueError(f"k must be at least 1, not {k}")
    return [(image_id, other) for image_id in sorted(images)
            for other in top_covisible(overlaps, image_id, k, images)]
