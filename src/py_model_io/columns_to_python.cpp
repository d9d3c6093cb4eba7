// Moving each column into a ColumnBuffer, and the names into a list of str.
#include "py_model_io/columns_to_python.hpp"

#include <utility>

#include "model_io/model_reader.hpp"
#include "py_model_io/column_buffer.hpp"

namespace tolv::py_model_io {
namespace {

using model_io::Column;

// Adds value under key and lets go of it; false with an exception set.
bool put(PyObject* table, const char* key, py::OwnedRef value) {
  return value && PyDict_SetItemString(table, key, value.get()) == 0;
}

template <class T>
bool put_column(PyObject* table, const char* key, Column<T>& values) {
  return put(table, key, column_buffer(std::move(values)));
}

template <class T>
bool put_repeated(PyObject* table, const Column<T>& ids) {
  return put(table, "repeated_ids",
             py::OwnedRef::borrow(model_io::has_repeated_ids(ids) ? Py_True : Py_False));
}

// The names decoded from UTF-8, bytes that are not UTF-8 as surrogate escapes.
py::OwnedRef names_list(const Column<int64_t>& offsets, const Column<char>& bytes) {
  const size_t count = offsets.empty() ? 0 : offsets.size() - 1;
  py::OwnedRef names = py::OwnedRef::steal(PyList_New(static_cast<Py_ssize_t>(count)));
  if (!names) return {};
  for (size_t k = 0; k < count; ++k) {
    PyObject* name = PyUnicode_DecodeUTF8(bytes.data() + offsets[k],
                                          static_cast<Py_ssize_t>(offsets[k + 1] - offsets[k]),
                                          "surrogateescape");
    if (name == nullptr) return {};
    PyList_SET_ITEM(names.get(), static_cast<Py_ssize_t>(k), name);
  }
  return names;
}

py::OwnedRef cameras_table(model_io::CameraColumns& c) {
  py::OwnedRef t = py::OwnedRef::steal(PyDict_New());
  if (!t || !put_repeated(t.get(), c.ids) || !put_column(t.get(), "ids", c.ids) ||
      !put_column(t.get(), "model_ids", c.model_ids) ||
      !put_column(t.get(), "widths", c.widths) || !put_column(t.get(), "heights", c.heights) ||
      !put_column(t.get(), "param_offsets", c.param_offsets) ||
      !put_column(t.get(), "params", c.params)) {
    return {};
  }
  return t;
}

py::OwnedRef images_table(model_io::ImageColumns& c) {
  py::OwnedRef t = py::OwnedRef::steal(PyDict_New());
  if (!t || !put_repeated(t.get(), c.ids) ||
      !put(t.get(), "names", names_list(c.name_offsets, c.name_bytes)) ||
      !put_column(t.get(), "ids", c.ids) || !put_column(t.get(), "quaternions", c.quaternions) ||
      !put_column(t.get(), "translations", c.translations) ||
      !put_column(t.get(), "camera_ids", c.camera_ids) ||
      !put_column(t.get(), "points2D_offsets", c.points2D_offsets) ||
      !put_column(t.get(), "xys", c.xys) || !put_column(t.get(), "point3D_ids", c.point3D_ids)) {
    return {};
  }
  return t;
}

py::OwnedRef points_table(model_io::PointColumns& c) {
  py::OwnedRef t = py::OwnedRef::steal(PyDict_New());
  if (!t || !put_repeated(t.get(), c.ids) || !put_column(t.get(), "ids", c.ids) ||
      !put_column(t.get(), "xyz", c.xyz) || !put_column(t.get(), "rgb", c.rgb) ||
      !put_column(t.get(), "errors", c.errors) ||
      !put_column(t.get(), "track_offsets", c.track_offsets) ||
      !put_column(t.get(), "track_image_ids", c.track_image_ids) ||
      !put_column(t.get(), "track_point2D_idxs", c.track_point2D_idxs)) {
    return {};
  }
  return t;
}

py::OwnedRef rigs_table(model_io::RigColumns& c) {
  py::OwnedRef t = py::OwnedRef::steal(PyDict_New());
  if (!t || !put_repeated(t.get(), c.ids) || !put_column(t.get(), "ids", c.ids) ||
      !put_column(t.get(), "sensor_offsets", c.sensor_offsets) ||
      !put_column(t.get(), "sensor_types", c.sensor_types) ||
      !put_column(t.get(), "sensor_ids", c.sensor_ids) ||
      !put_column(t.get(), "has_pose", c.has_pose) ||
      !put_column(t.get(), "sensor_quaternions", c.sensor_quaternions) ||
      !put_column(t.get(), "sensor_translations", c.sensor_translations)) {
    return {};
  }
  return t;
}

py::OwnedRef frames_table(model_io::FrameColumns& c) {
  py::OwnedRef t = py::OwnedRef::steal(PyDict_New());
  if (!t || !put_repeated(t.get(), c.ids) || !put_column(t.get(), "ids", c.ids) ||
      !put_column(t.get(), "rig_ids", c.rig_ids) ||
      !put_column(t.get(), "quaternions", c.quaternions) ||
      !put_column(t.get(), "translations", c.translations) ||
      !put_column(t.get(), "data_offsets", c.data_offsets) ||
      !put_column(t.get(), "data_sensor_types", c.data_sensor_types) ||
      !put_column(t.get(), "data_sensor_ids", c.data_sensor_ids) ||
      !put_column(t.get(), "data_ids", c.data_ids)) {
    return {};
  }
  return t;
}

template <class Columns>
py::OwnedRef optional_table(std::optional<Columns>& columns,
                            py::OwnedRef (*table)(Columns&)) {
  if (!columns) return py::OwnedRef::borrow(Py_None);
  return table(*columns);
}

}  // namespace

py::OwnedRef model_to_python(model_io::ModelColumns&& model) {
  py::OwnedRef result = py::OwnedRef::steal(PyDict_New());
  if (!result || !put(result.get(), "cameras", cameras_table(model.cameras)) ||
      !put(result.get(), "images", images_table(model.images)) ||
      !put(result.get(), "points", points_table(model.points)) ||
      !put(result.get(), "rigs", optional_table(model.rigs, &rigs_table)) ||
      !put(result.get(), "frames", optional_table(model.frames, &frames_table))) {
    return {};
  }
  return result;
}

}  // namespace tolv::py_model_io
