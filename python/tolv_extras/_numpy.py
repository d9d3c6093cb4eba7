"""The error for a function that returns arrays when numpy is missing; numpy itself is
imported only when such a function is called, so the package imports without it."""

from __future__ import annotations


def missing_numpy(function: str) -> ImportError:
    return ImportError(
        f"tolv_extras.{function} needs numpy: pip install numpy, or install tolv with its "
        f"'arrays' extra (pip install '.[arrays]' in a source folder)")
