"""Module registration and the common properties of the four record classes."""
import inspect
import shutil
import subprocess
import sys
import weakref

import pytest

import tolv
from colmap_files import write_reconstruction

FUNCTIONS = {"read_images_bin": "path", "read_cameras_bin": "path", "read_points3D_bin": "path",
             "compute_overlaps": "points3D", "read_reconstruction_bin": "path"}


@pytest.fixture(scope="module")
def records(tmp_path_factory):
    """One instance of each record class, taken from a tiny reconstruction."""
    folder = write_reconstruction(
        tmp_path_factory.mktemp("rec"), cameras=[(1, 1, 640, 480, [500.0, 500.0, 320.0, 240.0])],
        images=[(2, (1, 0, 0, 0), (0, 0, 0), 1, "a.png", [(1.0, 2.0, 3)])],
        points=[(3, (0.0, 0.0, 1.0), (10, 20, 30), 0.5, [(2, 0)])])
    cameras, images, points = tolv.read_reconstruction_bin(folder)
    return {"Camera": cameras[1], "Image": images[2], "Point3D": points[3], "Color": points[3].color}


def test_all_lists_the_eight_names_in_registration_order():
    assert tolv.__all__ == ["Camera", "Image", "Point3D", *FUNCTIONS]
    assert set(tolv.__all__) <= set(dir(tolv)) and not hasattr(tolv, "Color")
    assert tolv.Camera.K.__text_signature__ == "($self)"


@pytest.mark.parametrize("name, param", FUNCTIONS.items())
def test_function_signature_and_binding(name, param):
    function = getattr(tolv, name)
    assert (function.__name__, function.__text_signature__) == (name, f"({param})")
    assert list(inspect.signature(function).parameters) == [param]
    assert (function.__doc__, function.__module__, function.__self__) == (None, "tolv", tolv)


@pytest.mark.parametrize("name", ["Camera", "Image", "Point3D", "Color"])
def test_record_class_properties(records, name):
    instance = records[name]
    cls = type(instance)
    assert name == "Color" or getattr(tolv, name) is cls
    assert (cls.__name__, cls.__qualname__, cls.__module__) == (name, name, "builtins")
    assert (repr(cls), cls.__bases__, cls.__doc__) == (f"<class 'builtins.{name}'>", (object,), None)
    for args, kwargs in [((), {}), ((1, 2), {}), ((), {"x": 1})]:
        with pytest.raises(TypeError, match="^No constructor defined$"):
            cls(*args, **kwargs)
    with pytest.raises(TypeError):
        type("Sub", (cls,), {})
    for attribute in ["new_attribute"] + [a for a in dir(cls) if not a.startswith("_")]:
        with pytest.raises(AttributeError):
            setattr(instance, attribute, 0)
        with pytest.raises(AttributeError):
            delattr(instance, attribute)
    assert not hasattr(instance, "__dict__")
    with pytest.raises(TypeError):
        weakref.ref(instance)


def test_second_initialisation_raises_import_error():
    script = ("import sys, tolv\nfirst = tolv\ndel sys.modules['tolv']\n"
              "try:\n    import tolv\nexcept ImportError as e:\n"
              "    print('ImportError', e, 'tolv' in sys.modules, len(first.__all__))\n")
    run = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True)
    assert run.returncode == 0, run.stderr
    assert run.stdout.startswith("ImportError ") and run.stdout.endswith(" False 8\n")
    assert "once" in run.stdout


@pytest.mark.skipif(shutil.which("nm") is None, reason="needs nm (binutils)")
def test_the_entry_point_is_the_only_exported_symbol():
    # Exported internals could clash with other extensions loaded into the process.
    listing = subprocess.run(["nm", "-D", "--defined-only", tolv.__file__], check=True,
                             stdout=subprocess.PIPE, text=True).stdout
    assert [line.split()[-1] for line in listing.splitlines()] == ["PyInit_tolv"]


# Runs `import tolv` in a new subinterpreter and reports the outcome on fd 1.
SUBINTERPRETER_IMPORT = r'''
import os
try:
    import tolv
except ImportError as e:
    os.write(1, b"sub: ImportError\n")
else:
    os.write(1, b"sub: imported\n")
'''


def run_in_subinterpreter(kind):
    """Defines run_sub(): `import tolv` in a new subinterpreter of the given kind. An
    isolated one is refused by the interpreter itself from 3.12 on; a legacy one (the
    only kind before 3.12) calls the module's init function."""
    return f'''
try:
    import _interpreters as interpreters
    def run_sub():
        interpreters.exec(interpreters.create({kind!r}), {SUBINTERPRETER_IMPORT!r})
except ImportError:
    import _xxsubinterpreters as interpreters
    def new_interpreter():
        try:
            return interpreters.create(isolated={kind == "isolated"})
        except TypeError:  # some releases before 3.12 take no arguments
            return interpreters.create()
    def run_sub():
        try:
            interpreters.run_string(new_interpreter(), {SUBINTERPRETER_IMPORT!r})
        except Exception:
            pass
'''

RUN_IN_THREAD = "import threading\nt = threading.Thread(target=run_sub)\nt.start()\nt.join()\n"
MAIN_IMPORT = "import tolv\nprint('main:', len(tolv.__all__), flush=True)\n"


def has_subinterpreters():
    try:
        import _interpreters  # noqa: F401
    except ImportError:
        try:
            import _xxsubinterpreters  # noqa: F401
        except ImportError:
            return False
    return True


@pytest.mark.skipif(not has_subinterpreters(), reason="no subinterpreter module in this interpreter")
@pytest.mark.parametrize("kind", ["isolated", "legacy"])
@pytest.mark.parametrize("order, expected", [
    ("sub main", "sub: ImportError\nmain: 8\n"),
    ("sub sub main", "sub: ImportError\nsub: ImportError\nmain: 8\n"),
    ("main sub", "main: 8\nsub: ImportError\n"),
    ("thread-sub main", "sub: ImportError\nmain: 8\n"),  # as in a pool of interpreters
])
def test_subinterpreter_imports_leave_the_main_interpreter_its_import(kind, order, expected):
    steps = {"sub": "run_sub()\n", "thread-sub": RUN_IN_THREAD, "main": MAIN_IMPORT}
    script = run_in_subinterpreter(kind) + "".join(steps[step] for step in order.split())
    run = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True)
    assert run.returncode == 0, run.stderr
    assert run.stdout == expected
