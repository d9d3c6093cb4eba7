"""Files read from pipes: every file is read to its end, so a writer that sends more bytes
after the last record never meets a broken pipe, and what the call returns and prints is
the same as for a regular file holding the same bytes."""
import os
import subprocess
import sys

import pytest

import tolv
from colmap_files import camera_record, cameras_file, images_file, points_file

POINTS = [(i, (i, -i, 0.5), (i % 256, 1, 2), 0.25, [(j, i) for j in range(i % 7)])
          for i in range(3000)]  # about 220 kB: more than a pipe holds
IMAGES = [(i, (1, 0, 0, 0), (0, 0, i), 1, f"im{i}.jpg", [(1.0, 2.0, i)] * (i % 5))
          for i in range(1, 400)]
CAMERAS = [(i, 1, 640, 480, [500.0, 500.0, 320.0, i]) for i in range(1, 50)]
# A camera with an unknown model code after a valid one: the call aborts.
BAD_CAMERAS = cameras_file(CAMERAS[:1], count=3) + camera_record(9, 11, 1, 1, [])

CASES = {
    "cameras": (tolv.read_cameras_bin, cameras_file(CAMERAS),
                lambda d: {k: (c.model_id, c.width, c.height, c.params) for k, c in d.items()}),
    "images": (tolv.read_images_bin, images_file(IMAGES),
               lambda d: {k: (i.name, i.point3D_ids) for k, i in d.items()}),
    "points": (tolv.read_points3D_bin, points_file(POINTS),
               lambda d: {k: (p.xyz, p.track) for k, p in d.items()}),
    "malformed": (tolv.read_cameras_bin, BAD_CAMERAS, None),
}

# Writes argv[2]'s bytes into the pipe argv[1]: the first argv[3] bytes, then after a
# pause (the reader has all records by then) the rest. Exits with "EPIPE" if the reader
# closed the pipe early.
WRITER = r"""
import sys, time
data = open(sys.argv[2], "rb").read()
cut = int(sys.argv[3])
try:
    with open(sys.argv[1], "wb") as pipe:
        pipe.write(data[:cut])
        pipe.flush()
        time.sleep(0.3)
        pipe.write(data[cut:])
except BrokenPipeError:
    sys.exit("EPIPE")
"""


def outcome(read, path, summarize):
    try:
        return summarize(read(path))
    except BaseException as e:
        return type(e).__name__, str(e)


@pytest.mark.parametrize("trailing", [b"x", bytes(range(256)) * 800], ids=["1 byte", "200 kB"])
@pytest.mark.parametrize("kind", list(CASES))
def test_pipe_with_delayed_trailing_bytes_reads_like_the_file(tmp_path, capfd, kind, trailing):
    read, records, summarize = CASES[kind]
    regular = tmp_path / "regular.bin"
    regular.write_bytes(records + trailing)
    expected = outcome(read, str(regular), summarize)
    expected_streams = capfd.readouterr()
    pipe = tmp_path / "pipe"
    os.mkfifo(pipe)
    writer = subprocess.Popen([sys.executable, "-c", WRITER, str(pipe), str(regular), str(len(records))],
                              stderr=subprocess.PIPE, text=True)
    got = outcome(read, str(pipe), summarize)
    _, writer_errors = writer.communicate()
    assert writer.returncode == 0, writer_errors
    assert got == expected
    assert capfd.readouterr() == expected_streams
    if kind == "malformed":
        assert got == ("PanicException", "Invalid enum value")
        assert expected_streams.out == "Found 3 cameras\n"
