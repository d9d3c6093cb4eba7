"""Every file is read to its end before anything is reported: a pipe's writer that sends
more bytes after the last record never meets a broken pipe, the call returns and prints
the same as for a regular file holding the same bytes, and a read error anywhere in the
file is the call's OSError, with no progress line and no diagnostic."""
import ctypes
import os
import shutil
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


# Interposes read(2): reads of the file with inode $FAIL_INODE deliver its bytes up to
# offset $FAIL_AT, then fail with EIO.
FAILING_READ_C = r"""
#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

ssize_t read(int fd, void* buffer, size_t count) {
  static ssize_t (*real_read)(int, void*, size_t);
  if (!real_read) real_read = (ssize_t (*)(int, void*, size_t))dlsym(RTLD_NEXT, "read");
  const char* inode = getenv("FAIL_INODE");
  struct stat info;
  if (inode && fstat(fd, &info) == 0 && info.st_ino == strtoull(inode, NULL, 10)) {
    off_t at = lseek(fd, 0, SEEK_CUR), fail_at = atoll(getenv("FAIL_AT"));
    if (at >= fail_at) {
      errno = EIO;
      return -1;
    }
    if ((off_t)count > fail_at - at) count = (size_t)(fail_at - at);
  }
  return real_read(fd, buffer, count);
}
"""


@pytest.fixture(scope="module")
def failing_read(tmp_path_factory):
    compiler = shutil.which("cc") or shutil.which("gcc")
    if compiler is None:
        pytest.skip("needs a C compiler")
    folder = tmp_path_factory.mktemp("shim")
    (folder / "failing_read.c").write_text(FAILING_READ_C)
    library = folder / "failing_read.so"
    subprocess.run([compiler, "-shared", "-fPIC", "-o", str(library), str(folder / "failing_read.c"),
                    "-ldl"], check=True)
    try:
        ctypes.CDLL(str(library))
    except OSError:
        pytest.skip("the compiler does not build for this interpreter's machine")
    return library


ONE_CAMERA = cameras_file(CAMERAS[:1])
GOOD_IMAGES = images_file(IMAGES[:3])


# (reader, files in the folder, failing file, failing offset, lines printed before the error)
@pytest.mark.parametrize("read, files, failing, fail_at, lines", [
    # Malformed data before the failure: no abort, no line.
    ("read_cameras_bin", {"cameras.bin": BAD_CAMERAS + bytes(5000)}, "cameras.bin", len(BAD_CAMERAS), ""),
    ("read_cameras_bin", {"cameras.bin": BAD_CAMERAS + bytes(5000)}, "cameras.bin", len(BAD_CAMERAS) + 4000, ""),
    # A complete file: the failure comes while reading to its end.
    ("read_cameras_bin", {"cameras.bin": ONE_CAMERA}, "cameras.bin", len(ONE_CAMERA), ""),
    ("read_points3D_bin", {"points3D.bin": points_file(POINTS) + b"x"}, "points3D.bin", len(points_file(POINTS)), ""),
    ("read_images_bin", {"images.bin": GOOD_IMAGES}, "images.bin", 20, ""),
    # A header cut short: the read error, not the range abort.
    ("read_cameras_bin", {"cameras.bin": b"\1\0\0"}, "cameras.bin", 3, ""),
    # In a folder: the lines of the files read before the failing one stay.
    ("read_reconstruction_bin", {"cameras.bin": ONE_CAMERA, "images.bin": GOOD_IMAGES,
                                 "points3D.bin": points_file(POINTS)},
     "images.bin", len(GOOD_IMAGES), "Found 1 cameras\n"),
])
def test_read_error_after_data_is_the_oserror(tmp_path, failing_read, read, files, failing, fail_at, lines):
    for name, data in files.items():
        (tmp_path / name).write_bytes(data)
    target = tmp_path if read == "read_reconstruction_bin" else tmp_path / failing
    script = (f"import tolv\ntry:\n    tolv.{read}({str(target)!r})\n"
              "except BaseException as e:\n    print('RESULT', type(e).__name__, e, e.errno)\n")
    env = dict(os.environ, FAIL_INODE=str((tmp_path / failing).stat().st_ino), FAIL_AT=str(fail_at),
               LD_PRELOAD=" ".join(filter(None, [os.environ.get("LD_PRELOAD"), str(failing_read)])))
    run = subprocess.run([sys.executable, "-c", script], env=env, capture_output=True, text=True)
    assert (run.stdout, run.stderr) == (lines + "RESULT OSError Input/output error (os error 5) None\n", "")


# Collects garbage in the next allocation of a tracked object (the dict a reader creates
# first; CPython 3.11 and older collect right there): a finalizer calls K() on a camera
# without one, an abort of that call alone, in the middle of the read of path.
ABORT_IN_FINALIZER = r"""
import gc, os, sys
import tolv
radial = tolv.read_cameras_bin(sys.argv[2])[1]
class Finalized:
    def __del__(self):
        try:
            radial.K()
        except BaseException as e:
            os.write(2, b"finalizer: " + type(e).__name__.encode() + b"\n")
def garbage_cycle():
    o = Finalized()
    o.cycle = o
gc.collect()
gc.set_threshold(100000)
garbage_cycle()
path, read = sys.argv[1], tolv.read_cameras_bin
try:
    gc.set_threshold(1)
    result = read(path)
    gc.set_threshold(700)
    print("RESULT", len(result), flush=True)
except BaseException as e:
    print("RESULT", type(e).__name__, e, flush=True)
"""


@pytest.mark.parametrize("count", [40, 40000], ids=["in one read", "in many reads"])
def test_abort_of_a_call_from_a_finalizer_leaves_the_read_it_interrupts_whole(tmp_path, count):
    cameras = tmp_path / "cameras.bin"
    cameras.write_bytes(cameras_file([(i, 1, 640, 480, [500.0, 500.0, 320.0, 240.0])
                                      for i in range(count)]))
    radial = tmp_path / "radial.bin"
    radial.write_bytes(cameras_file([(1, 3, 10, 10, [1.0, 2.0, 3.0, 4.0, 5.0])]))
    run = subprocess.run([sys.executable, "-c", ABORT_IN_FINALIZER, str(cameras), str(radial)],
                         capture_output=True, text=True)
    assert run.stdout == f"Found 1 cameras\nFound {count} cameras\nRESULT {count}\n"
    assert "finalizer: PanicException\n" in run.stderr
