// Module entry point, registration of the classes and functions, and the five
// function wrappers.
#include "colmap_io.hpp"
#include "core/line_writer.hpp"
#include "py/boundary.hpp"
#include "py/overlaps_py.hpp"
#include "py/records_py.hpp"

namespace tolv::py {
namespace {

constexpr const char* kPathParam[] = {"path"};
constexpr const char* kPointsParam[] = {"points3D"};
constexpr ParamSpec kReadImagesParams{"read_images_bin", nullptr, kPathParam, 1};
constexpr ParamSpec kReadCamerasParams{"read_cameras_bin", nullptr, kPathParam, 1};
constexpr ParamSpec kReadPointsParams{"read_points3D_bin", nullptr, kPathParam, 1};
constexpr ParamSpec kComputeOverlapsParams{"compute_overlaps", nullptr, kPointsParam, 1};
constexpr ParamSpec kReadReconstructionParams{"read_reconstruction_bin", nullptr, kPathParam, 1};

// Reads a file in chunks and parses it into a new dict, one object per record
// inserted as soon as it is decoded (a later id replaces the earlier value). Empty
// with the exception set on an IoError.
template <class Parse>
OwnedRef load_dict(const std::string& path, size_t min_record_bytes, Parse&& parse) {
  StdoutLineSink stdout_sink;
  IoResult<OwnedRef> dict =
      read_file<OwnedRef>(path, stdout_sink, [&](FileReader& reader, LineSink& progress) {
        OwnedRef result = new_py_dict_for(plausible_record_count(reader, min_record_bytes));
        parse(reader, progress, result.get());
        return result;
      });
  if (!dict) return raise_io_error(dict.error());
  return std::move(dict).value();
}

OwnedRef load_cameras(const std::string& path) {
  return load_dict(path, kMinCameraRecordBytes,
                   [](FileReader& reader, LineSink& progress, PyObject* dict) {
    parse_cameras_from(reader, progress, [&](Camera&& camera) {
      OwnedRef key = to_py_uint(camera.camera_id);
      OwnedRef value = new_camera_object(std::move(camera));
      dict_set(dict, key.get(), value.get());
    });
  });
}

OwnedRef load_images(const std::string& path) {
  return load_dict(path, kMinImageRecordBytes,
                   [](FileReader& reader, LineSink& progress, PyObject* dict) {
    parse_images_from(reader, progress, [&](Image&& image) {
      OwnedRef key = to_py_uint(image.image_id);
      OwnedRef value = new_image_object(std::move(image));
      dict_set(dict, key.get(), value.get());
    });
  });
}

OwnedRef load_points3D(const std::string& path) {
  return load_dict(path, kMinPoint3DRecordBytes,
                   [](FileReader& reader, LineSink& progress, PyObject* dict) {
    parse_points3D_from(reader, progress, [&](const Point3DView& point) {
      OwnedRef key = to_py_uint(point.id);
      OwnedRef value = new_point3D_object(point);
      dict_set(dict, key.get(), value.get());
    });
  });
}

// One wrapper per path-taking function: bind `path`, then load.
template <const ParamSpec& params, OwnedRef (*load)(const std::string&)>
PyObject* path_function(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return call_boundary([&]() -> OwnedRef {
    std::string path;
    if (!bind_text_argument(params, args, nargs, kwnames, &path)) return {};
    return load(path);
  });
}

OwnedRef load_reconstruction(const std::string& folder) {
  const ReconstructionPaths paths = reconstruction_paths(folder);
  OwnedRef cameras = load_cameras(paths.cameras);
  if (!cameras) return {};
  OwnedRef images = load_images(paths.images);
  if (!images) return {};
  OwnedRef points = load_points3D(paths.points3D);
  if (!points) return {};
  OwnedRef triple = checked(PyTuple_New(3));
  PyTuple_SET_ITEM(triple.get(), 0, cameras.release());
  PyTuple_SET_ITEM(triple.get(), 1, images.release());
  PyTuple_SET_ITEM(triple.get(), 2, points.release());
  return triple;
}

PyObject* compute_overlaps_py(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                              PyObject* kwnames) {
  return call_boundary([&]() -> OwnedRef {
    PyObject* points = nullptr;
    if (!bind_arguments(kComputeOverlapsParams, args, nargs, kwnames, &points)) return {};
    StdoutLineSink progress;
    return compute_overlaps_call(points, progress);
  });
}

// Registration order of the functions; the definitions live for the process.
PyMethodDef module_functions[] = {
    fastcall_method("read_images_bin", &path_function<kReadImagesParams, load_images>,
                 "read_images_bin(path)\n--\n\n"),
    fastcall_method("read_cameras_bin", &path_function<kReadCamerasParams, load_cameras>,
                 "read_cameras_bin(path)\n--\n\n"),
    fastcall_method("read_points3D_bin", &path_function<kReadPointsParams, load_points3D>,
                 "read_points3D_bin(path)\n--\n\n"),
    fastcall_method("compute_overlaps", &compute_overlaps_py, "compute_overlaps(points3D)\n--\n\n"),
    fastcall_method("read_reconstruction_bin",
                 &path_function<kReadReconstructionParams, load_reconstruction>,
                 "read_reconstruction_bin(path)\n--\n\n"),
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    "tolv",
    "Fast reader for COLMAP binary sparse reconstructions, with image co-visibility counts.",
    0,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
};

// Appends name to the module's __all__ (creating the list), then sets the attribute.
bool add_named_object(PyObject* module, PyObject* name, PyObject* object) {
  OwnedRef all = OwnedRef::steal(PyObject_GetAttr(module, interned("__all__")));
  if (!all) {
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return false;
    PyErr_Clear();
    all = OwnedRef::steal(PyList_New(0));
    if (!all || PyObject_SetAttr(module, interned("__all__"), all.get()) != 0) return false;
  } else if (!PyList_Check(all.get())) {
    set_conversion_error(all.get(), "PyList");
    return false;
  }
  if (PyList_Append(all.get(), name) != 0) {
    PyErr_Print();
    abort_call("could not append __name__ to __all__");
  }
  return PyObject_SetAttr(module, name, object) == 0;
}

bool add_type(PyObject* module, PyTypeObject* type, const char* name) {
  if (type == nullptr) return false;
  OwnedRef name_object = OwnedRef::steal(PyUnicode_FromString(name));
  return name_object &&
         add_named_object(module, name_object.get(), reinterpret_cast<PyObject*>(type));
}

bool add_function(PyObject* module, PyMethodDef* def) {
  OwnedRef module_name = OwnedRef::steal(PyUnicode_FromString(PyModule_GetName(module)));
  if (!module_name) return false;
  OwnedRef function = OwnedRef::steal(PyCFunction_NewEx(def, module, module_name.get()));
  if (!function) return false;
  OwnedRef name = OwnedRef::steal(PyObject_GetAttr(function.get(), interned("__name__")));
  return name && add_named_object(module, name.get(), function.get());
}

PyObject* cached_module = nullptr;

bool in_main_interpreter() {
#if PY_VERSION_HEX >= 0x03090000
  return PyInterpreterState_Get() == PyInterpreterState_Main();
#else
  return _PyInterpreterState_Get() == PyInterpreterState_Main();
#endif
}

// From 3.13 on, an isolated subinterpreter's import runs the init function in the main
// interpreter, on a thread state made for that one call (marked 5, "made to execute
// code for another interpreter", in CPython's list), and refuses the module afterwards.
// Failing that call crashed 3.13.0 here, so it succeeds without counting as the
// initialisation: all it creates belongs to the main interpreter.
bool initialising_for_another_interpreter() {
#if PY_VERSION_HEX >= 0x030D0000
  constexpr int kMadeToExecuteForAnotherInterpreter = 5;
  return PyThreadState_Get()->_whence == kMadeToExecuteForAnotherInterpreter;
#else
  return false;
#endif
}

OwnedRef initialise_module() {
  // The module's objects belong to the main interpreter. A subinterpreter is refused
  // before anything is created, so that its attempt cannot lock the main one out.
  if (cached_module != nullptr || !in_main_interpreter()) {
    PyErr_SetString(PyExc_ImportError,
                    "tolv modules compiled for CPython 3.8 or older may only be initialized "
                    "once per interpreter process");
    return {};
  }
  OwnedRef module = OwnedRef::steal(PyModule_Create2(&module_def, PYTHON_API_VERSION));
  if (!module) {
    if (!PyErr_Occurred()) {
      PyErr_SetString(PyExc_SystemError, "attempted to fetch exception but none was set");
    }
    return {};
  }
  if (!add_type(module.get(), camera_type(), "Camera") ||
      !add_type(module.get(), image_type(), "Image") ||
      !add_type(module.get(), point3D_type(), "Point3D")) {
    return {};
  }
  for (PyMethodDef& def : module_functions) {
    if (!add_function(module.get(), &def)) return {};
  }
  if (!initialising_for_another_interpreter()) {
    cached_module = module.get();
    Py_INCREF(cached_module);  // kept for the life of the process
  }
  return module;
}

}  // namespace
}  // namespace tolv::py

PyMODINIT_FUNC PyInit_tolv(void) {
  return tolv::py::call_boundary([] { return tolv::py::initialise_module(); });
}
