"""Turns a COLMAP sparse reconstruction into numpy arrays with tolv_extras.

    python examples/to_numpy.py FOLDER

Points (ids, positions, colours, errors, tracks as a compressed index), images (ids,
camera ids, names, quaternions, world-to-camera [R | t], centres, 3D point ids) and
cameras (ids, COLMAP model ids, sizes, NaN-padded parameters, K), each sorted by id.
Prints the arrays' shapes and how long loading and converting took.
"""

from __future__ import annotations

import argparse
import sys
import time
from typing import List, NamedTuple, Sequence, Tuple

import numpy  # noqa: F401  (imported up front, so the timing below leaves its import out)
import tolv_extras as tx


def describe(name: str, arrays: NamedTuple) -> List[str]:
    lines = [name]
    for field, value in arrays._asdict().items():
        if isinstance(value, list):
            shape, kind = f"({len(value)},)", "list of str"
        else:
            shape, kind = str(value.shape), str(value.dtype)
        lines.append(f"  {field:<19} {shape:<15} {kind}")
    return lines


def clocks() -> Tuple[float, float]:
    """Wall time and this process's CPU time: on a busy machine the CPU time is the steadier."""
    return time.perf_counter(), time.process_time()


def elapsed(since: Tuple[float, float], until: Tuple[float, float]) -> str:
    wall, cpu = (1e3 * (b - a) for a, b in zip(since, until))
    return f"{wall:.0f} ms (CPU {cpu:.0f} ms)"


def parse_args(argv: Sequence[str]) -> argparse.Namespace:
    parser = argparse.ArgumentParser(
        prog="to_numpy.py", description="A COLMAP sparse reconstruction as numpy arrays.")
    parser.add_argument("folder", metavar="FOLDER",
                        help="folder with cameras.bin, images.bin and points3D.bin")
    return parser.parse_args(argv)


def main(argv: Sequence[str]) -> int:
    args = parse_args(argv)
    start = clocks()
    cameras, images, points3D = tx.read_reconstruction(args.folder)
    loaded = clocks()
    arrays: List[Tuple[str, NamedTuple]] = [
        ("points", tx.points_arrays(points3D)), ("images", tx.images_arrays(images)),
        ("cameras", tx.cameras_arrays(cameras))]
    converted = clocks()
    for name, value in arrays:
        print("\n".join(describe(name, value)))
    print(f"load {elapsed(start, loaded)}, to numpy {elapsed(loaded, converted)}")
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
