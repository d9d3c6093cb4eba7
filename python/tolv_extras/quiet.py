"""Silencing tolv's progress lines."""

from __future__ import annotations

import contextlib
import os
import sys
from typing import Iterator


def _flush_stdout() -> None:
    if sys.stdout is not None:
        sys.stdout.flush()


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
    saved = os.dup(1)
    try:
        null = os.open(os.devnull, os.O_WRONLY)
        try:
            os.dup2(null, 1)
        finally:
            os.close(null)
        try:
            yield
        finally:
            _flush_stdout()
    finally:
        os.dup2(saved, 1)
        os.close(saved)
