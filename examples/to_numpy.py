"""Reads a whole COLMAP sparse model, binary or text, into numpy arrays with
tolv_extras.read_model and prints what it returns.

    python examples/to_numpy.py FOLDER [--format {bin,txt}]

Cameras (ids, COLMAP model ids, sizes, NaN-padded parameters, K), images (ids, camera
ids, names, quaternions, translations, world-to-camera [R | t], centres, the 2D
keypoints and their 3D point ids as a compressed index), points (ids, positions,
colours, errors, tracks as a compressed index), and the rigs and frames when the folder
has them; rows in file order. Prints each array's shape and type and how long reading
took. FOLDER holds cameras.bin, images.bin and points3D.bin or the three .txt files;
without --format the binary model is read when both are there.
"""

from __future__ import annotations

import argparse
import sys
import time
from typing import List, NamedTuple, Optional, Sequence, Tuple

import numpy  # noqa: F401  (imported up front, so the timing below leaves its import out)
import tolv_extras as tx


def describe(name: str, arrays: Optional[NamedTuple]) -> List[str]:
    if arrays is None:
        return [f"{name:<21} none in this folder"]
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
        prog="to_numpy.py", description="A COLMAP sparse model, binary or text, as numpy arrays.")
    parser.add_argument("folder", metavar="FOLDER",
                        help="folder with cameras, images and points3D as .bin or .txt files")
    parser.add_argument("--format", choices=("bin", "txt"), default=None,
                        help="which model to read when the folder has both (default: bin)")
    return parser.parse_args(argv)


def main(argv: Sequence[str]) -> int:
    args = parse_args(argv)
    start = clocks()
    model = tx.read_model(args.folder, args.format)
    done = clocks()
    for name, value in model._asdict().items():
        print("\n".join(describe(name, value)))
    print(f"read_model {elapsed(start, done)}")
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
