"""Image names as their stored bytes or as UTF-8 text."""

from __future__ import annotations

import tolv

from ._arguments import require_record


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
