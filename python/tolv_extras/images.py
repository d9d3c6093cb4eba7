"""Image names as their stored bytes or as UTF-8 text, the stored quaternion, and the
id that marks a 2D point without a 3D point."""

from __future__ import annotations

from typing import Tuple

import tolv

from ._arguments import require_record

INVALID_POINT3D_ID = 2**64 - 1
"""The 3D point id of a 2D point that observes no 3D point, in Image.point3D_ids.

tolv gives it as the non-negative int 18446744073709551615, never as -1.
"""

Quaternion = Tuple[float, float, float, float]

# The text form ends "..., rot: Quaternion { v: Vector3 [x, y, z], s: w }, trans: Vector3
# [tx, ty, tz]>". The name before it may hold anything, so the marker is searched from
# the end, where only numbers follow it.
_ROTATION_MARK = ", rot: Quaternion { v: Vector3 ["
_SCALAR_MARK = "], s: "
_TRANSLATION_MARK = " }, trans: Vector3 ["


def name_bytes(image: tolv.Image) -> bytes:
    """The image's name as the bytes stored in images.bin.

    Image.name gives each stored byte as one character (Latin-1), so a UTF-8 name such as
    "café.jpg" reads there as "cafÃ©.jpg"; this undoes that.
    """
    return require_record(image, tolv.Image, "image").name.encode("latin-1")


def utf8_name(image: tolv.Image, errors: str = "strict") -> str:
    """The image's stored name decoded as UTF-8, errors as for bytes.decode.

    With "strict", a name that is not UTF-8 (GBK and other encodings occur in real
    reconstructions) raises UnicodeDecodeError naming the image id. "surrogateescape"
    gives a str that os.fsencode turns back into the stored bytes on a UTF-8 system,
    so it opens the right file whatever the name's encoding; "replace" suits display.
    """
    stored = name_bytes(image)
    try:
        return stored.decode("utf-8", errors)
    except UnicodeDecodeError as error:
        raise UnicodeDecodeError(
            error.encoding, error.object, error.start, error.end,
            f"{error.reason} (the name of image {image.image_id} is not UTF-8)") from None


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
