"""Writing a whole file or nothing."""

from __future__ import annotations

import os
import secrets
from typing import Iterable


def _open_beside(path: str) -> "tuple[int, str]":
    """A new, empty file in path's folder, with the permissions a plain open would give."""
    folder, base = os.path.split(path)
    while True:
        temporary = os.path.join(folder, f".{base}.{secrets.token_hex(6)}.tmp")
        try:
            return os.open(temporary, os.O_WRONLY | os.O_CREAT | os.O_EXCL, 0o666), temporary
        except FileExistsError:
            continue


def write_whole(path: str, chunks: Iterable[bytes]) -> None:
    """Writes the chunks to path, replacing it only once all of them are written.

    They go to a new file beside it that then takes path's place, so a failure (a full
    disk, an error while the chunks are made) leaves no partial file: path keeps what
    it held before, or stays absent.
    """
    descriptor, temporary = _open_beside(path)
    try:
        with os.fdopen(descriptor, "wb") as out:
            for chunk in chunks:
                out.write(chunk)
        os.replace(temporary, path)
    except BaseException:
        with_missing_ok_unlink(temporary)
        raise


def with_missing_ok_unlink(path: str) -> None:
    try:
        os.unlink(path)
    except FileNotFoundError:
        pass
