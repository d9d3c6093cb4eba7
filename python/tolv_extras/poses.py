"""The stored rotation quaternion of an image, exactly."""

from __future__ import annotations

from typing import Tuple

import tolv

from ._arguments import require_record

Quaternion = Tuple[float, float, float, float]

# The text form ends "..., rot: Quaternion { v: Vector3 [x, y, z], s: w }, trans: Vector3
# [tx, ty, tz]>". The name before it may hold anything, so the marker is searched from
# the end, where only numbers follow it.
_ROTATION_MARK = ", rot: Quaternion { v: Vector3 ["
_SCALAR_MARK = "], s: "
_TRANSLATION_MARK = " }, trans: Vector3 ["


def quaternion(image: tolv.Image) -> Quaternion:
    """The image's stored rotation quaternion (w, x, y, z), world to camera, bit for bit.

    Read from the string form, which writes every value in the shortest digits that
    parse back to the same binary64 number, so the values are exactly the stored ones,
    sign of zero included (a NaN comes back as NaN, without its sign or payload). Not
    derived from Image.rot, which loses the quaternion's sign and norm.
    """
    text = str(require_record(image, tolv.Image, "image"))
    start = text.rindex(_ROTATION_MARK) + len(_ROTATION_MARK)
    vector, rest = text[start:].split(_SCALAR_MARK, 1)
    scalar = rest.split(_TRANSLATION_MARK, 1)[0]
    x, y, z = (float(value) for value in vector.split(", "))
    return float(scalar), x, y, z
