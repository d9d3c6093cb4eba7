"""Argument checks shared by the companion functions: clear TypeErrors that name the
argument, and paths given as str or os.PathLike."""

from __future__ import annotations

import os
from typing import Any, Mapping, Type, TypeVar, Union

Record = TypeVar("Record")
StrPath = Union[str, "os.PathLike[str]"]


def type_name(value: object) -> str:
    return type(value).__name__


def require_record(value: object, kind: Type[Record], argument: str) -> Record:
    """value itself if it is a record of kind, else a TypeError naming the argument."""
    if not isinstance(value, kind):
        raise TypeError(f"{argument} must be a tolv.{kind.__name__}, not {type_name(value)}")
    return value


def require_mapping(value: object, argument: str) -> Mapping[Any, Any]:
    if not isinstance(value, Mapping):
        raise TypeError(f"{argument} must be a mapping (such as the dict tolv's readers "
                        f"return), not {type_name(value)}")
    return value


def require_records(value: object, kind: Type[Record], argument: str) -> Mapping[int, Record]:
    """A mapping whose values are all records of kind; checked in one pass up front, so
    that nothing is half done when a wrong value turns up."""
    mapping = require_mapping(value, argument)
    # tolv's record classes cannot be subclassed, so comparing types is enough, and
    # collecting them runs at C speed.
    if set(map(type, mapping.values())) - {kind}:
        for key, record in mapping.items():
            if type(record) is not kind:
                raise TypeError(f"{argument}[{key!r}] must be a tolv.{kind.__name__}, "
                                f"not {type_name(record)}")
    return mapping


def text_path(value: object, argument: str) -> str:
    """A path given as str or os.PathLike, as the str that tolv's readers take."""
    if isinstance(value, (str, os.PathLike)):
        path = os.fspath(value)
        if isinstance(path, str):
            return path
    raise TypeError(f"{argument} must be a str or an os.PathLike giving a str, "
                    f"not {type_name(value)}")
