"""Atheris harness over the Python-level functions.

Each input is split into a cameras.bin, an images.bin and a points3D.bin; the folder
is read with every reader, and compute_overlaps gets dicts built from the points
with hostile keys (negative, too large, non-int, __index__ hooks that raise or change
the dict) and hostile values. Every call must return or raise OSError, TypeError,
OverflowError or PanicException; anything else, or a crash, is a finding.

Usage: python tests/fuzz/fuzz_python.py [-runs=N] [-max_total_time=S] [corpus dir]
(needs `pip install atheris` and an installed tolv).
"""
import os
import sys
import tempfile

import atheris

with atheris.instrument_imports():
    import tolv

FOLDER = tempfile.mkdtemp(prefix="tolv-fuzz-")
EXPECTED = (OSError, TypeError, OverflowError)


class Key:
    """A key whose __index__ returns a value, raises, or changes the dict."""

    def __init__(self, value, action, target):
        self.value, self.action, self.target = value, action, target

    def __index__(self):
        if self.action == 1:
            raise ValueError("hostile key")
        if self.action == 2:
            self.target[object()] = None
        if self.action == 3:
            self.target.clear()
        return self.value

    def __hash__(self):
        return id(self)


def call(function, *args):
    try:
        return function(*args)
    except EXPECTED:
        return None
    except BaseException as error:  # PanicException is the module's own abort
        if type(error).__name__ != "PanicException" and not isinstance(error, ValueError):
            raise
        return None


def split(data):
    provider = atheris.FuzzedDataProvider(data)
    parts = [provider.ConsumeBytes(provider.ConsumeIntInRange(0, len(data))) for _ in range(2)]
    return parts + [provider.ConsumeBytes(len(data))], provider


def test_one_input(data):
    (cameras, images, points), provider = split(data)
    for name, content in (("cameras.bin", cameras), ("images.bin", images), ("points3D.bin", points)):
        with open(os.path.join(FOLDER, name), "wb") as handle:
            handle.write(content)
    call(tolv.read_cameras_bin, os.path.join(FOLDER, "cameras.bin"))
    call(tolv.read_images_bin, os.path.join(FOLDER, "images.bin"))
    loaded = call(tolv.read_points3D_bin, os.path.join(FOLDER, "points3D.bin"))
    call(tolv.read_reconstruction_bin, FOLDER)
    values = list(loaded.values()) if loaded else []
    hostile = {}
    for _ in range(provider.ConsumeIntInRange(0, 8)):
        choice = provider.ConsumeIntInRange(0, 5)
        value = values[provider.ConsumeIntInRange(0, len(values) - 1)] if values else None
        if choice == 0:
            hostile[provider.ConsumeIntInRange(-(2**65), 2**65)] = value
        elif choice == 1:
            hostile[Key(provider.ConsumeIntInRange(0, 2**64 - 1), provider.ConsumeIntInRange(0, 3), hostile)] = value
        elif choice == 2:
            hostile[provider.ConsumeUnicode(4)] = value
        else:
            hostile[provider.ConsumeIntInRange(0, 2**64 - 1)] = value
    if loaded:
        call(tolv.compute_overlaps, loaded)
    call(tolv.compute_overlaps, hostile)


if __name__ == "__main__":
    # Progress lines go straight to fd 1; keep libFuzzer's own output readable.
    devnull = os.open(os.devnull, os.O_WRONLY)
    os.dup2(devnull, 1)
    atheris.Setup(sys.argv, test_one_input)
    atheris.Fuzz()
