"""The error for a function that returns arrays when numpy is missing; numpy itself is
imported only when such a function is called, so the package imports without it."""

from __future__ import annotations


def missing_numpy(function: str) -> ImportError:
    return ImportError(
        f"tolv_extras.{function} needs numpy: install tolv's 'arrays' extra "
        f"(pip install 'tolv[arrays]' from the source folder or sdist) or numpy itself")
