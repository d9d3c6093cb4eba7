"""Argument binding and conversion texts, OSError mapping and PanicException at the call boundary."""
import os
import pathlib
import subprocess
import sys

import pytest

import tolv
from colmap_files import cameras_file, images_file

MISSING = "/nonexistent/tolv/cameras.bin"


@pytest.fixture(scope="module")
def image(tmp_path_factory):
    path = tmp_path_factory.mktemp("img") / "images.bin"
    path.write_bytes(images_file([(1, (1, 0, 0, 0), (0, 0, 0), 1, "a.png", [])]))
    return tolv.read_images_bin(str(path))[1]


# (positional args, keyword args, expected text); P stands for the parameter name.
BINDING = [
    (0, [], "{f}() missing 1 required positional argument: '{p}'"),
    (2, [], "{f}() takes 1 positional arguments but 2 were given"),
    (3, ["x"], "{f}() takes 1 positional arguments but 3 were given"),
    (1, ["x"], "{f}() got an unexpected keyword argument 'x'"),
    (0, ["x"], "{f}() got an unexpected keyword argument 'x'"),
    (0, ["P", "y"], "{f}() got an unexpected keyword argument 'y'"),
    (0, ["pαth"], "{f}() got an unexpected keyword argument 'pαth'"),
    (1, ["P"], "{f}() got multiple values for argument '{p}'"),
]


@pytest.mark.parametrize("name", ["read_cameras_bin", "compute_overlaps", "Image.relative_pose_from"])
@pytest.mark.parametrize("nargs, keywords, text", BINDING)
def test_binding_errors(image, capfd, name, nargs, keywords, text):
    function, param, valid = {
        "read_cameras_bin": (tolv.read_cameras_bin, "path", MISSING),
        "compute_overlaps": (tolv.compute_overlaps, "points3D", {}),
        "Image.relative_pose_from": (image.relative_pose_from, "other", image)}[name]
    with pytest.raises(TypeError) as info:
        function(*[valid] * nargs, **{param if k == "P" else k: valid for k in keywords})
    assert type(info.value) is TypeError and str(info.value) == text.format(f=name, p=param)
    assert capfd.readouterr().out == ""


class Outer:
    class Inner:
        pass


@pytest.mark.parametrize("call, text", [
    (lambda img: tolv.read_cameras_bin(None), "'path': 'NoneType' object cannot be converted to 'PyString'"),
    (lambda img: tolv.read_cameras_bin(b"x"), "'path': 'bytes' object cannot be converted to 'PyString'"),
    (lambda img: tolv.read_cameras_bin(path=1), "'path': 'int' object cannot be converted to 'PyString'"),
    (lambda img: tolv.read_cameras_bin(pathlib.Path("x")),
     "'path': 'PosixPath' object cannot be converted to 'PyString'"),
    (lambda img: tolv.read_cameras_bin(Outer.Inner()),
     "'path': 'Outer.Inner' object cannot be converted to 'PyString'"),
    (lambda img: img.relative_pose_from(42), "'other': 'int' object cannot be converted to 'Image'"),
    (lambda img: img.relative_pose_from(other=[]), "'other': 'list' object cannot be converted to 'Image'"),
    (lambda img: tolv.compute_overlaps([]), "'points3D': 'list' object cannot be converted to 'PyDict'"),
    (lambda img: tolv.compute_overlaps({1: img}), "'points3D': 'Image' object cannot be converted to 'Point3D'"),
])
def test_conversion_failures(image, capfd, call, text):
    with pytest.raises(TypeError) as info:
        call(image)
    assert type(info.value) is TypeError and str(info.value) == "argument " + text
    assert capfd.readouterr().out == ""


def test_str_subclass_accepted_and_lone_surrogate_refused(tmp_path, capfd):
    path = tmp_path / "cameras.bin"
    path.write_bytes(cameras_file([(4, 0, 2, 3, [1.0, 2.0, 3.0])]))
    assert list(tolv.read_cameras_bin(type("Text", (str,), {})(path))) == [4]
    assert capfd.readouterr().out == "Found 1 cameras\n"
    with pytest.raises(UnicodeEncodeError):
        tolv.read_cameras_bin(str(tmp_path) + "/\udc80")


@pytest.mark.parametrize("path, exc_type, text", [
    (MISSING, FileNotFoundError, "No such file or directory (os error 2)"),
    ("", OSError, "Is a directory (os error 21)"),
    ("a\0b", OSError, "file name contained an unexpected NUL byte"),
    ("file/x", OSError, "Not a directory (os error 20)"),
    ("x" * 300, OSError, "File name too long (os error 36)"),
    pytest.param("locked", PermissionError, "Permission denied (os error 13)", marks=pytest.mark.skipif(
        os.geteuid() == 0, reason="root can read any file")),
])
def test_os_error_mapping(tmp_path, capfd, path, exc_type, text):
    (tmp_path / "file").write_bytes(b"")
    (tmp_path / "locked").write_bytes(cameras_file([]))
    (tmp_path / "locked").chmod(0)
    with pytest.raises(OSError) as info:
        tolv.read_cameras_bin(os.path.join(str(tmp_path), path))
    e = info.value
    assert type(e) is exc_type
    assert (str(e), e.args, e.errno, e.strerror, e.filename) == (text, (text,), None, None, None)
    assert capfd.readouterr().out == ""


def test_panic_exception(capfd):
    panic = type(pytest.raises(BaseException, tolv.read_cameras_bin, "/dev/null").value)
    assert (panic.__name__, panic.__bases__) == ("PanicException", (BaseException,))
    assert panic.__module__ != "tolv" and not hasattr(tolv, "PanicException") and panic.__doc__
    with pytest.raises(panic) as info:
        try:
            tolv.read_cameras_bin("/dev/null")
        except Exception:
            pytest.fail("PanicException caught by except Exception")
    assert info.value.args == ("range end index 8 out of range for slice of length 0",)
    assert type(pytest.raises(BaseException, tolv.read_cameras_bin, "/dev/null").value) is panic
    assert "range end index 8 out of range for slice of length 0\n" in capfd.readouterr().err


@pytest.mark.parametrize("setup, reason", [
    ("", "No space left on device (os error 28)"),  # stdout is /dev/full
    ("os.close(1)", "Bad file descriptor (os error 9)"),
    ("r, w = os.pipe(); os.close(r); os.dup2(w, 1)", "Broken pipe (os error 32)"),
])
def test_failed_progress_write_aborts(tmp_path, setup, reason):
    path = tmp_path / "cameras.bin"
    path.write_bytes(cameras_file([]))
    script = (f"import os, sys, tolv\n{setup}\ntry:\n    tolv.read_cameras_bin({str(path)!r})\n"
              "except BaseException as e:\n    sys.stderr.write(f'RESULT {type(e).__name__}: {e}\\n')\n")
    with open("/dev/full" if not setup else os.devnull, "w") as out:
        run = subprocess.run([sys.executable, "-c", script], stdout=out, stderr=subprocess.PIPE, text=True)
    assert run.returncode == 0, run.stderr
    assert f"RESULT PanicException: failed printing to stdout: {reason}\n" in run.stderr


def named_type(qualname, base=object, **attrs):
    cls = type("T", (base,), attrs)
    cls.__qualname__ = qualname
    return cls


def raise_type_error(text):
    raise TypeError(text)


class RaisingIndex:
    def __init__(self, text):
        self.text = text

    def __index__(self):
        raise TypeError(self.text)


UNPRINTABLE_KEYWORD = named_type("K\0Q", str, __str__=lambda self: raise_type_error("no"))
NUL_TEXT_KEYWORD = named_type("S", str, __str__=lambda self: "s\0t")
UNEXPECTED = "read_cameras_bin() got an unexpected keyword argument "


# Texts built from user-controlled names reach Python whole: NULs kept, and each
# character without a UTF-8 form replaced by exactly one U+FFFD.
@pytest.mark.filterwarnings("ignore::pytest.PytestUnraisableExceptionWarning")
@pytest.mark.parametrize("call, text", [
    (lambda img: tolv.read_cameras_bin(**{"a\0b": 1}), UNEXPECTED + "'a\0b'"),
    (lambda img: tolv.read_cameras_bin(**{"path\0": 1}), UNEXPECTED + "'path\0'"),
    (lambda img: tolv.read_cameras_bin(**{"\0": 1}), UNEXPECTED + "'\0'"),
    (lambda img: tolv.read_cameras_bin(**{"pa\udc80th": 1}), UNEXPECTED + "'pa\ufffdth'"),
    (lambda img: tolv.read_cameras_bin(**{"\ud800\udfff\U0001F600": 1}), UNEXPECTED + "'\ufffd\ufffd\U0001F600'"),
    (lambda img: tolv.read_cameras_bin(**{UNPRINTABLE_KEYWORD("x"): 1}), UNEXPECTED + "'<unprintable K\0Q object>'"),
    (lambda img: tolv.read_cameras_bin(**{NUL_TEXT_KEYWORD("x"): 1}), UNEXPECTED + "'s\0t'"),
    (lambda img: tolv.read_cameras_bin(named_type("A\0B")()),
     "argument 'path': 'A\0B' object cannot be converted to 'PyString'"),
    (lambda img: tolv.compute_overlaps(named_type("A\0B")()),
     "argument 'points3D': 'A\0B' object cannot be converted to 'PyDict'"),
    (lambda img: img.relative_pose_from(named_type("\0")()),
     "argument 'other': '\0' object cannot be converted to 'Image'"),
    (lambda img: tolv.compute_overlaps({1: named_type("P\0")()}),
     "argument 'points3D': 'P\0' object cannot be converted to 'Point3D'"),
    (lambda img: tolv.compute_overlaps({RaisingIndex("a\udc80b"): None}), "argument 'points3D': a\ufffdb"),
    (lambda img: tolv.compute_overlaps({RaisingIndex("a\0b\udfff"): None}), "argument 'points3D': a\0b\ufffd"),
])
def test_texts_with_nul_and_lone_surrogates(image, capfd, call, text):
    with pytest.raises(TypeError) as info:
        call(image)
    assert type(info.value) is TypeError and str(info.value) == text
    assert capfd.readouterr().out == ""
