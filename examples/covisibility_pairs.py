"""Writes, for every image, its most co-visible images as a pairs file.

    python examples/covisibility_pairs.py FOLDER OUT.txt [--k K]

For each image of the model (binary or text, any camera model), in increasing
image id order, the K images that share the most 3D points with it (ties go to
the lower image id; the image itself and images sharing nothing are left out), one
"name_a name_b" line per pair: the pairs-file format that feature matching and
localization pipelines read. Names are written as the bytes stored in the model;
a name holding white space, which those readers would split, stops the program
before anything is written. The output depends only on the reconstruction
(tolv_extras.read_model, model_pairs and write_pairs).
"""

from __future__ import annotations

import argparse
import sys
from typing import Sequence

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
                        help="folder with the model: cameras, images and points3D, .bin or .txt")
    parser.add_argument("output", metavar="OUT.txt", help="pairs file to write")
    parser.add_argument("--k", type=positive_int, default=DEFAULT_K,
                        help=f"neighbours per image (default {DEFAULT_K})")
    return parser.parse_args(argv)


def main(argv: Sequence[str]) -> int:
    args = parse_args(argv)
    model = tx.read_model(args.folder)
    pairs = tx.model_pairs(model, args.k)
    try:
        tx.write_pairs(args.output, model.images, pairs)
    except ValueError as refusal:
        print(f"error: {refusal}", file=sys.stderr)
        return 1
    print(f"wrote {len(pairs)} pairs of {len(model.images.ids)} images to {args.output}")
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
