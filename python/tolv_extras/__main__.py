"""The `tolv` command (also `python -m tolv_extras`): subcommands info, convert, filter,
pairs and ply, each a thin command line over tolv_extras' functions.

Exit status 0 on success, 1 with a one-line message on standard error naming the file
that could not be read or written, 2 for a wrong command line. Results go to standard
output; what is being read and written goes to standard error only when it is a
terminal.
"""

from __future__ import annotations

import argparse
import contextlib
import math
import os
import sys
from typing import Callable, Iterator, Optional, Sequence, Tuple

from .files import write_ply
from .model_io import FORMAT_NAMES, Model, read_model
from .report import ModelFiles, model_files, report_lines

FORMATS = ("bin", "txt")
DEFAULT_K = 20


class _Failure(Exception):
    """A file that could not be read or written; the message is the one line printed."""


@contextlib.contextmanager
def _step(doing: str, failing: str, path: str) -> Iterator[None]:
    """Announces the step on a terminal, and turns the errors of bad files into one
    line naming path."""
    if sys.stderr.isatty():
        print(f"tolv: {doing} {path} ...", file=sys.stderr, flush=True)
    try:
        yield
    except (OSError, ValueError) as error:  # ModelFormatError is a ValueError
        text = " ".join(str(error).split()) or type(error).__name__
        raise _Failure(f"{failing} {path}: {text}") from error


def _read(folder: str, format: Optional[str] = None) -> Tuple[ModelFiles, Model]:
    with _step("reading", "cannot read", folder):
        files = model_files(folder, format)
        return files, read_model(files.folder, files.format)


def _write_model(folder: str, model: Model, format: str) -> None:
    from . import write_model

    with _step("writing", "cannot write", folder):
        os.makedirs(folder, exist_ok=True)
        write_model(folder, model, format)


def _counts(model: Model) -> str:
    return (f"{len(model.cameras.ids)} cameras, {len(model.images.ids)} images, "
            f"{len(model.points.ids)} points")


def _info(args: argparse.Namespace) -> None:
    files, model = _read(args.folder, args.format)
    print("\n".join(report_lines(files, model)))


def _convert(args: argparse.Namespace) -> None:
    _, model = _read(args.input)
    _write_model(args.output, model, args.format)
    print(f"wrote {args.output} ({FORMAT_NAMES[args.format]}): {_counts(model)}")


def _filter(args: argparse.Namespace) -> None:
    import numpy as np

    from . import filter_points

    files, model = _read(args.input)
    points = model.points
    keep = np.ones(len(points.ids), bool)
    if args.min_track_length is not None:
        keep &= np.diff(points.track_offsets) >= args.min_track_length
    if args.max_error is not None:
        keep &= points.error <= args.max_error
    kept = filter_points(model, keep)
    format = args.format or files.format
    _write_model(args.output, kept, format)
    print(f"kept {len(kept.points.ids)} of {len(points.ids)} points; wrote {args.output} "
          f"({FORMAT_NAMES[format]}): {_counts(kept)}")


def _pairs(args: argparse.Namespace) -> None:
    from . import model_pairs, write_pairs

    _, model = _read(args.folder)
    pairs = model_pairs(model, args.k)
    with _step("writing", "cannot write", args.output):
        write_pairs(args.output, model.images, pairs)
    print(f"wrote {len(pairs)} pairs to {args.output}")


def _ply(args: argparse.Namespace) -> None:
    _, model = _read(args.folder)
    with _step("writing", "cannot write", args.output):
        count = write_ply(args.output, model.points, splatting=args.splatting)
    print(f"wrote {count} points to {args.output}")


def _at_least(low: int) -> Callable[[str], int]:
    def parse(text: str) -> int:
        try:
            value = int(text)
        except ValueError:
            value = low - 1
        if value < low:
            raise argparse.ArgumentTypeError(f"{text!r} is not an integer of at least {low}")
        return value
    return parse


def _pixels(text: str) -> float:
    try:
        value = float(text)
    except ValueError:
        value = math.nan
    if not value >= 0:  # NaN too
        raise argparse.ArgumentTypeError(f"{text!r} is not a number of pixels, 0 or more")
    return value


def _version() -> str:
    try:
        from importlib.metadata import PackageNotFoundError, version
    except ImportError:  # pragma: no cover - importlib.metadata exists from CPython 3.8 on
        return "unknown"
    try:
        return version("tolv")
    except PackageNotFoundError:  # run from a source tree that was not installed
        return "unknown"


def parser() -> argparse.ArgumentParser:
    """The command line of `tolv`: one subparser per subcommand, each with --help."""
    # No abbreviated options: a script's --splat must not mean --splatting.
    top = argparse.ArgumentParser(
        prog="tolv", allow_abbrev=False, description="Reads, converts and exports COLMAP sparse models, binary "
        "or text (cameras, images and points3D, rigs and frames when present).")
    top.add_argument("--version", action="version", version=f"tolv {_version()}")
    commands = top.add_subparsers(dest="command", metavar="COMMAND", required=True)
    folder_help = "folder with cameras, images and points3D as .bin or .txt files"

    info = commands.add_parser(
        "info", allow_abbrev=False, help="what a model holds", description="Prints the model's format and files, "
        "cameras by model, images, points, observations, mean track length and mean "
        "reprojection error.")
    info.add_argument("folder", metavar="FOLDER", help=folder_help)
    info.add_argument("--format", choices=FORMATS, default=None,
                      help="which model to read when the folder has both (default: bin)")
    info.set_defaults(run=_info)

    convert = commands.add_parser(
        "convert", allow_abbrev=False, help="write a model in the binary or the text format",
        description="Reads the model in IN and writes it whole to OUT in the format given.")
    convert.add_argument("input", metavar="IN", help=folder_help)
    convert.add_argument("output", metavar="OUT", help="folder to write the model to")
    convert.add_argument("--format", choices=FORMATS, required=True, help="format to write")
    convert.set_defaults(run=_convert)

    keep = commands.add_parser(
        "filter", allow_abbrev=False, help="drop poorly observed or imprecise 3D points",
        description="Writes the model in IN to OUT without the 3D points whose track is "
        "shorter than --min-track-length or whose reprojection error exceeds --max-error; "
        "the images' 2D points no longer refer to them.")
    keep.add_argument("input", metavar="IN", help=folder_help)
    keep.add_argument("output", metavar="OUT", help="folder to write the model to")
    keep.add_argument("--min-track-length", metavar="N", type=_at_least(0), default=None,
                      help="keep points observed by at least N 2D points")
    keep.add_argument("--max-error", metavar="PIXELS", type=_pixels, default=None,
                      help="keep points whose mean reprojection error is at most PIXELS")
    keep.add_argument("--format", choices=FORMATS, default=None,
                      help="format to write (default: the input's)")
    keep.set_defaults(run=_filter)

    pairs = commands.add_parser(
        "pairs", allow_abbrev=False, help="image pairs for matching, from shared 3D points",
        description="Writes each image's K most co-visible images as a pairs file, one "
        "\"name_a name_b\" line per pair.")
    pairs.add_argument("folder", metavar="FOLDER", help=folder_help)
    pairs.add_argument("output", metavar="OUT.txt", help="pairs file to write")
    pairs.add_argument("--k", type=_at_least(1), default=DEFAULT_K,
                       help=f"pairs per image (default: {DEFAULT_K})")
    pairs.set_defaults(run=_pairs)

    ply = commands.add_parser(
        "ply", allow_abbrev=False, help="the 3D points as a PLY file",
        description="Writes the model's 3D points, in file order, as a binary PLY file: "
        "double x y z, uchar red green blue and float error, or with --splatting the "
        "layout Gaussian-splatting trainers read (float x y z, zero normals nx ny nz, "
        "uchar red green blue).")
    ply.add_argument("folder", metavar="FOLDER", help=folder_help)
    ply.add_argument("output", metavar="OUT.ply", help="PLY file to write")
    ply.add_argument("--splatting", action="store_true",
                     help="the layout of Gaussian-splatting trainers")
    ply.set_defaults(run=_ply)
    return top


def _exit_status(code: object) -> int:
    if code is None:
        return 0
    return code if isinstance(code, int) else 2


def main(argv: Optional[Sequence[str]] = None) -> int:
    """Runs `tolv` with argv (default: sys.argv[1:]); returns the exit status: 0, 1 for
    a file that could not be read or written (one line on standard error), 2 for a
    wrong command line (argparse's usage message)."""
    try:
        args = parser().parse_args(argv)
    except SystemExit as stop:  # --help, --version and usage errors
        return _exit_status(stop.code)
    run: Callable[[argparse.Namespace], None] = args.run
    try:
        run(args)
    except _Failure as failure:
        print(f"tolv {args.command}: {failure}", file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
