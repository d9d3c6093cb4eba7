// tolv_extras._model_io: the entry point and the functions the Python side calls.
// Files are read and parsed with the interpreter lock released.
#include <cerrno>
#include <new>
#include <optional>
#include <string>
#include <utility>

#include "model_io/camera_model_table.hpp"
#include "model_io/model_reader.hpp"
#include "py/owned_ref.hpp"
#include "py_model_io/column_buffer.hpp"
#include "py_model_io/columns_to_python.hpp"
#include "py_model_io/covisibility_py.hpp"
#include "py_model_io/lock_released.hpp"
#include "py_model_io/model_writing.hpp"
#include "py_model_io/native_call.hpp"
#include "py_model_io/observations_py.hpp"

namespace tolv::py_model_io {
namespace {

using model_io::ModelFormat;
using model_io::ModelPaths;

// The callable that makes a ModelFormatError from (path, offset, line, detail); set
// once by tolv_extras when it imports this module, never freed.
PyObject* format_error_factory = nullptr;

// A file path argument: bytes as the file system takes them, or None when optional.
bool path_argument(PyObject* value, std::string* path) {
  char* data = nullptr;
  Py_ssize_t size = 0;
  if (PyBytes_AsStringAndSize(value, &data, &size) != 0) return false;
  path->assign(data, static_cast<size_t>(size));
  return true;
}

bool optional_path_argument(PyObject* value, std::optional<std::string>* path) {
  if (value == Py_None) return true;
  path->emplace();
  return path_argument(value, &**path);
}

py::OwnedRef path_object(const std::string& path) {
  return py::OwnedRef::steal(
      PyUnicode_DecodeFSDefaultAndSize(path.data(), static_cast<Py_ssize_t>(path.size())));
}

void raise_format_failure(const model_io::FileFormatFailure& failure) {
  if (format_error_factory == nullptr) {
    PyErr_SetString(PyExc_RuntimeError, "tolv_extras has not set the format error type");
    return;
  }
  const model_io::FormatError& error = failure.error;
  const bool at_byte = error.place == model_io::FormatError::Place::Byte;
  py::OwnedRef path = path_object(failure.path);
  py::OwnedRef where = py::OwnedRef::steal(PyLong_FromUnsignedLongLong(error.where));
  py::OwnedRef detail = py::OwnedRef::steal(PyUnicode_DecodeUTF8(
      error.message.data(), static_cast<Py_ssize_t>(error.message.size()), "replace"));
  if (!path || !where || !detail) return;
  PyObject* offset = at_byte ? where.get() : Py_None;
  PyObject* line = at_byte ? Py_None : where.get();
  py::OwnedRef exception = py::OwnedRef::steal(PyObject_CallFunctionObjArgs(
      format_error_factory, path.get(), offset, line, detail.get(), nullptr));
  if (!exception) return;
  PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(exception.get())), exception.get());
}

// read_model_files(cameras, images, points3D, rigs, frames, text, threads): the tables
// of columns (columns_to_python.hpp); paths are bytes, rigs and frames may be None.
PyObject* read_model_files_py(PyObject*, PyObject* args) noexcept {
  PyObject *cameras, *images, *points3D, *rigs, *frames;
  int text = 0, threads = 1;
  if (!PyArg_ParseTuple(args, "OOOOOpp:read_model_files", &cameras, &images, &points3D,
                        &rigs, &frames, &text, &threads)) {
    return nullptr;
  }
  ModelPaths paths;
  if (!path_argument(cameras, &paths.cameras) || !path_argument(images, &paths.images) ||
      !path_argument(points3D, &paths.points3D) || !optional_path_argument(rigs, &paths.rigs) ||
      !optional_path_argument(frames, &paths.frames)) {
    return nullptr;
  }
  return native_call([&]() -> PyObject* {
    std::optional<model_io::ModelReadResult> result;
    {
      LockReleased unlocked;
      result.emplace(model_io::read_model_files(
          paths, text ? ModelFormat::Text : ModelFormat::Binary, threads != 0));
    }
    if (auto* failure = std::get_if<model_io::FileFailure>(&*result)) {
      raise_file_failure(*failure);
      return nullptr;
    }
    if (auto* failure = std::get_if<model_io::FileFormatFailure>(&*result)) {
      raise_format_failure(*failure);
      return nullptr;
    }
    return model_to_python(std::get<model_io::ModelColumns>(std::move(*result))).release();
  });
}

// camera_models(): ((id, name, param names), ...) in id order.
PyObject* camera_models_py(PyObject*, PyObject*) noexcept {
  py::OwnedRef models =
      py::OwnedRef::steal(PyTuple_New(static_cast<Py_ssize_t>(model_io::kNumCameraModels)));
  if (!models) return nullptr;
  for (size_t k = 0; k < model_io::kNumCameraModels; ++k) {
    const model_io::CameraModelInfo& model = model_io::camera_model_table()[k];
    PyObject* entry = Py_BuildValue("(iss)", model.id, model.name, model.param_names);
    if (entry == nullptr) return nullptr;
    PyTuple_SET_ITEM(models.get(), static_cast<Py_ssize_t>(k), entry);
  }
  return models.release();
}

// set_format_error_factory(callable): how format errors become exceptions.
PyObject* set_format_error_factory_py(PyObject*, PyObject* factory) noexcept {
  if (!PyCallable_Check(factory)) {
    PyErr_SetString(PyExc_TypeError, "the format error factory must be callable");
    return nullptr;
  }
  Py_INCREF(factory);
  Py_XDECREF(format_error_factory);
  format_error_factory = factory;
  Py_RETURN_NONE;
}

PyMethodDef module_functions[] = {
    {"read_model_files", read_model_files_py, METH_VARARGS,
     "read_model_files(cameras, images, points3D, rigs, frames, text, threads)"},
    {"write_model_files", write_model_files_py, METH_VARARGS,
     "write_model_files(paths, text, tables)"},
    {"camera_models", camera_models_py, METH_NOARGS, "camera_models()"},
    {"covisibility_counts", covisibility_counts_py, METH_VARARGS,
     "covisibility_counts(track_offsets, track_image_ids)"},
    {"kept_observations", kept_observations_py, METH_VARARGS,
     "kept_observations(point3D_ids, points2D_offsets, image_keep, point_ids, track_offsets, "
     "point_keep, element_image_rows, track_point2D_idxs, min_track_length, "
     "kept_point3D_ids)"},
    {"set_format_error_factory", set_format_error_factory_py, METH_O,
     "set_format_error_factory(factory)"},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef module_definition = {
    PyModuleDef_HEAD_INIT, "tolv_extras._model_io",
    "Native readers and writers of whole COLMAP models, for tolv_extras.", -1, module_functions,
    nullptr, nullptr, nullptr, nullptr,
};

}  // namespace

void raise_file_failure(const model_io::FileFailure& failure) {
  py::OwnedRef filename = path_object(failure.path);
  if (!filename) return;
  if (failure.error.os_code() == 0) {
    PyErr_Format(PyExc_ValueError, "%U: %s", filename.get(), failure.error.display().c_str());
    return;
  }
  errno = failure.error.os_code();
  PyErr_SetFromErrnoWithFilenameObject(PyExc_OSError, filename.get());
}

}  // namespace tolv::py_model_io

PyMODINIT_FUNC PyInit__model_io(void) {
  if (!tolv::py_model_io::ready_column_buffer_type()) return nullptr;
  return PyModule_Create(&tolv::py_model_io::module_definition);
}
