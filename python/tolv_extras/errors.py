"""ModelFormatError: a model file whose data are malformed, with the file and the place."""

from __future__ import annotations

import os
from typing import Any, Optional, Tuple


class ModelFormatError(ValueError):
    """A malformed model file.

    path: the file; offset: the byte where the fault is (binary files, else None);
    line: the 1-based line (text files, else None). The message names the file, the
    place and what was expected, e.g. "images.bin: byte 1,204,313: image 51 declares
    5,000 2D points, but 3,112 bytes remain".
    """

    def __init__(self, message: str, path: str, offset: Optional[int] = None,
                 line: Optional[int] = None) -> None:
        super().__init__(message)
        self.path = path
        self.offset = offset
        self.line = line

    def __reduce__(self) -> Tuple[Any, ...]:
        # Pickled whole, so that it crosses process pools with its place intact.
        return (type(self), (str(self), self.path, self.offset, self.line))


def format_error(path: str, offset: Optional[int], line: Optional[int],
                 detail: str) -> ModelFormatError:
    """The error for a fault the native reader found at a byte or on a line."""
    place = f"byte {offset:,}" if offset is not None else f"line {line:,}"
    return ModelFormatError(f"{os.path.basename(path)}: {place}: {detail}", path, offset, line)
