"""Writes, for every image, its most co-visible images as a pairs file.

    python examples/covisibility_pairs.py FOLDER OUT.txt [--k K]

For each image of images.bin, in increasing image id order, the K images that
share the most 3D points with it (ties go to the lower image id; the image itself
and images sharing nothing are left out), one "name_a name_b" line per pair: the
pairs-file format that feature matching and localization pipelines read. Names
are written as the bytes stored in images.bin. The output depends only on the
reconstruction, never on dictionary order (tolv_extras.covisibility_pairs and
write_pairs).
"""

from __future__ import annotations

import argparse
import sys
from typing import Mapping, Sequence

import tolv
import tolv_extras as tx

DEFAULT_K = 20


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


def warn_about_spaces(images: Mapping[int, tolv.Image]) -> None:
    """Pairs-file readers split lines on white space, so such names cannot be read back."""
    spaced = sorted(name for name in (tx.utf8_name(image, "replace") for image in images.values())
                    if any(c.isspace() for c in name))
    if spaced:
        print(f"warning: {len(spaced)} image name(s) contain white space, which pairs-file "
              f"readers split on, e.g. {spaced[0]!r}", file=sys.stderr)


def main(argv: Sequence[str]) -> int:
    args = parse_args(argv)
    _, images, points3D = tx.read_reconstruction(args.folder)
    pairs = tx.covisibility_pairs(images, tolv.compute_overlaps(points3D), args.k)
    tx.write_pairs(args.output, images, pairs)
    warn_about_spaces(images)
    print(f"wrote {len(pairs)} pairs of {len(images)} images to {args.output}")
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
