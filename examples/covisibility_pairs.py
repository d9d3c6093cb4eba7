"""Writes, for every image, its most co-visible images as a pairs file.

    python examples/covisibility_pairs.py FOLDER OUT.txt [--k K]

For each image of images.bin, in increasing image id order, the K images that
share the most 3D points with it (ties go to the lower image id; the image itself
and images sharing nothing are left out), one "name_a name_b" line per pair: the
pairs-file format that feature matching and localization pipelines read. Names
are written as the bytes stored in images.bin. The output depends only on the
reconstruction, never on dictionary order.
"""

from __future__ import annotations

import argparse
import sys
from typing import Dict, List, Mapping, Sequence, Tuple

import tolv

DEFAULT_K = 20
Overlaps = Mapping[int, Mapping[int, int]]


def top_neighbours(overlaps: Overlaps, image_id: int, k: int,
                   known: Mapping[int, object]) -> List[int]:
    """The k images sharing most points with image_id, most first, then by id.

    Images that occur in tracks but not in images.bin have no name to write.
    """
    row = overlaps.get(image_id, {})
    candidates = [(-shared, other) for other, shared in row.items()
                  if other != image_id and other in known]
    return [other for _, other in sorted(candidates)[:k]]


def covisibility_pairs(images: Mapping[int, tolv.Image], overlaps: Overlaps,
                       k: int) -> List[Tuple[int, int]]:
    return [(image_id, other) for image_id in sorted(images)
            for other in top_neighbours(overlaps, image_id, k, images)]


def pair_lines(images: Mapping[int, tolv.Image], pairs: Sequence[Tuple[int, int]]) -> bytes:
    # tolv gives each stored name byte as one character: latin-1 turns them back into bytes.
    names: Dict[int, bytes] = {i: image.name.encode("latin-1") for i, image in images.items()}
    return b"".join(names[a] + b" " + names[b] + b"\n" for a, b in pairs)


def positive_int(text: str) -> int:
    try:
        value = int(text)
    except ValueError:
        value = 0
    if value < 1:
        raise argparse.ArgumentTypeError(f"K must be a whole number of at least 1, not {text!r}")
    return value


def parse_args(argv: Sequence[str]) -> argparse.Namespace:
    parser = argparse.ArgumentParser(
        prog="covisibility_pairs.py",
        description="For every image, its K most co-visible images, as 'name_a name_b' lines.")
    parser.add_argument("folder", metavar="FOLDER",
                        help="folder with cameras.bin, images.bin and points3D.bin")
    parser.add_argument("output", metavar="OUT.txt", help="pairs file to write")
    parser.add_argument("--k", type=positive_int, default=DEFAULT_K,
                        help=f"neighbours per image (default {DEFAULT_K})")
    return parser.parse_args(argv)


def main(argv: Sequence[str]) -> int:
    args = parse_args(argv)
    _, images, points3D = tolv.read_reconstruction_bin(args.folder)
    pairs = covisibility_pairs(images, tolv.compute_overlaps(points3D), args.k)
    with open(args.output, "wb") as out:
        out.write(pair_lines(images, pairs))
    spaced = sorted(image.name.encode("latin-1").decode("utf-8", "replace")
                    for image in images.values() if any(c.isspace() for c in image.name))
    if spaced:
        print(f"warning: {len(spaced)} image name(s) contain white space, which pairs-file "
              f"readers split on, e.g. {spaced[0]!r}", file=sys.stderr)
    print(f"wrote {len(pairs)} pairs of {len(images)} images to {args.output}")
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
