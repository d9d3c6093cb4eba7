"""Silencing tolv's progress lines."""

from __future__ import annotations

import contextlib
import errno
import os
import sys
from typing import Iterator, Optional


def _flush_stdout() -> None:
    # sys.__stdout__ too: under contextlib.redirect_stdout, text it still buffers
    # would otherwise reach descriptor 1 inside the block and be dropped.
    for stream in (sys.stdout, sys.__stdout__):
        if stream is not None:
            stream.flush()


def _saved_stdout() -> Optional[int]:
    """A duplicate of descriptor 1 to restore it from, None if it is closed."""
    try:
        return os.dup(1)
    except OSError as error:
        if error.errno != errno.EBADF:
            raise
        return None


def _point_stdout_at_null() -> None:
    null = os.open(os.devnull, os.O_WRONLY)
    try:
        if null != 1:  # with descriptor 1 closed, open may have taken it
            os.dup2(null, 1)
    finally:
        if null != 1:
            os.close(null)


def _restore_stdout(saved: Optional[int]) -> None:
    if saved is None:
        os.close(1)  # closed before the block, closed after it
        return
    os.dup2(saved, 1)
    os.close(saved)


@contextlib.contextmanager
def quiet() -> Iterator[None]:
    """Within the block, tolv's progress lines ("Found 4 cameras", "Making sets...")
    are dropped.

    The module writes them straight to file descriptor 1, where
    contextlib.redirect_stdout cannot catch them. This flushes sys.stdout, points
    descriptor 1 at the null device and restores it on every way out of the block,
    exceptions included. Everything else written to descriptor 1 inside the block is
    dropped too: Python's own print() output (flushed before descriptor 1 is
    restored) and that of child processes and other threads. Standard error, where
    tolv writes its diagnostics, is left alone.
    """
    _flush_stdout()
    saved = _saved_stdout()
    try:
        _point_stdout_at_null()
        try:
            yield
        finally:
            _flush_stdout()
    finally:
        _restore_stdout(saved)
