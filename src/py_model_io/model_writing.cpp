// write_model_files: borrows each column's memory through the buffer protocol, checks
// the columns agree, and writes with the interpreter lock released.
#include "py_model_io/model_writing.hpp"

#include <cstring>
#include <memory>
#include <new>
#include <optional>
#include <string>
#include <type_traits>
#include <vector>

#include "model_io/model_writer.hpp"
#include "py/owned_ref.hpp"
#include "py_model_io/lock_released.hpp"
#include "py_model_io/native_call.hpp"

namespace tolv::py_model_io {
namespace {

using model_io::ColumnView;

// The buffers lent for one call, released on every way out.
class LentBuffers {
 public:
  LentBuffers() = default;
  LentBuffers(const LentBuffers&) = delete;
  LentBuffers& operator=(const LentBuffers&) = delete;
  ~LentBuffers() {
    for (auto& view : views_) PyBuffer_Release(view.get());
  }

  // A new view of object's memory, kept until the end of the call; nullptr with an
  // exception set.
  Py_buffer* lend(PyObject* object) {
    auto view = std::make_unique<Py_buffer>();
    if (PyObject_GetBuffer(object, view.get(), PyBUF_C_CONTIGUOUS | PyBUF_FORMAT) != 0) {
      return nullptr;
    }
    views_.push_back(std::move(view));
    return views_.back().get();
  }

 private:
  std::vector<std::unique_ptr<Py_buffer>> views_;
};

// The struct format characters a column of T may come as, native order.
template <class T>
const char* formats_of() {
  if constexpr (std::is_same_v<T, double>) {
    return "d";
  } else if constexpr (std::is_same_v<T, char>) {
    return "Bbc";
  } else if constexpr (std::is_signed_v<T>) {
    return "bhilq";
  } else {
    return "BHILQ";
  }
}

bool native_format(const char* format, const char* allowed) {
  if (format == nullptr) format = "B";
  if (*format == '@' || *format == '=') ++format;
#if defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__
  if (*format == '<') ++format;
#endif
  return format[0] != '\0' && format[1] == '\0' && std::strchr(allowed, format[0]) != nullptr;
}

class Tables {
 public:
  explicit Tables(LentBuffers& buffers) : buffers_(buffers) {}

  // The table's column as a view; false with an exception set.
  template <class T>
  bool column(PyObject* table, const char* table_name, const char* name, ColumnView<T>* out) {
    PyObject* object = PyDict_GetItemString(table, name);  // borrowed
    if (object == nullptr) {
      PyErr_Format(PyExc_KeyError, "%s table lacks the column %s", table_name, name);
      return false;
    }
    Py_buffer* view = buffers_.lend(object);
    if (view == nullptr) return false;
    if (view->itemsize != static_cast<Py_ssize_t>(sizeof(T)) ||
        !native_format(view->format, formats_of<T>())) {
      PyErr_Format(PyExc_TypeError, "%s.%s: a buffer of %zu-byte items of format '%s' needed",
                   table_name, name, sizeof(T), formats_of<T>());
      return false;
    }
    out->data = static_cast<const T*>(view->buf);
    out->size = static_cast<size_t>(view->len) / sizeof(T);
    return true;
  }

 private:
  LentBuffers& buffers_;
};

PyObject* table_of(PyObject* tables, const char* name, bool optional) {
  PyObject* table = PyDict_GetItemString(tables, name);  // borrowed
  if (table == nullptr || (table == Py_None && optional)) {
    if (!optional) PyErr_Format(PyExc_KeyError, "no %s table", name);
    return nullptr;
  }
  if (!PyDict_Check(table)) {
    PyErr_Format(PyExc_TypeError, "the %s table must be a dict", name);
    return nullptr;
  }
  return table;
}

bool cameras_of(Tables& t, PyObject* d, model_io::CameraViews* c) {
  const char* n = "cameras";
  return t.column(d, n, "ids", &c->ids) && t.column(d, n, "model_ids", &c->model_ids) &&
         t.column(d, n, "widths", &c->widths) && t.column(d, n, "heights", &c->heights) &&
         t.column(d, n, "param_offsets", &c->param_offsets) &&
         t.column(d, n, "params", &c->params);
}

bool images_of(Tables& t, PyObject* d, model_io::ImageViews* c) {
  const char* n = "images";
  return t.column(d, n, "ids", &c->ids) && t.column(d, n, "quaternions", &c->quaternions) &&
         t.column(d, n, "translations", &c->translations) &&
         t.column(d, n, "camera_ids", &c->camera_ids) &&
         t.column(d, n, "name_offsets", &c->name_offsets) &&
         t.column(d, n, "name_bytes", &c->name_bytes) &&
         t.column(d, n, "points2D_offsets", &c->points2D_offsets) &&
         t.column(d, n, "xys", &c->xys) && t.column(d, n, "point3D_ids", &c->point3D_ids);
}

bool points_of(Tables& t, PyObject* d, model_io::PointViews* c) {
  const char* n = "points";
  return t.column(d, n, "ids", &c->ids) && t.column(d, n, "xyz", &c->xyz) &&
         t.column(d, n, "rgb", &c->rgb) && t.column(d, n, "errors", &c->errors) &&
         t.column(d, n, "track_offsets", &c->track_offsets) &&
         t.column(d, n, "track_image_ids", &c->track_image_ids) &&
         t.column(d, n, "track_point2D_idxs", &c->track_point2D_idxs);
}

bool rigs_of(Tables& t, PyObject* d, model_io::RigViews* c) {
  const char* n = "rigs";
  return t.column(d, n, "ids", &c->ids) && t.column(d, n, "sensor_offsets", &c->sensor_offsets) &&
         t.column(d, n, "sensor_types", &c->sensor_types) &&
         t.column(d, n, "sensor_ids", &c->sensor_ids) && t.column(d, n, "has_pose", &c->has_pose) &&
         t.column(d, n, "sensor_quaternions", &c->sensor_quaternions) &&
         t.column(d, n, "sensor_translations", &c->sensor_translations);
}

bool frames_of(Tables& t, PyObject* d, model_io::FrameViews* c) {
  const char* n = "frames";
  return t.column(d, n, "ids", &c->ids) && t.column(d, n, "rig_ids", &c->rig_ids) &&
         t.column(d, n, "quaternions", &c->quaternions) &&
         t.column(d, n, "translations", &c->translations) &&
         t.column(d, n, "data_offsets", &c->data_offsets) &&
         t.column(d, n, "data_sensor_types", &c->data_sensor_types) &&
         t.column(d, n, "data_sensor_ids", &c->data_sensor_ids) &&
         t.column(d, n, "data_ids", &c->data_ids);
}

template <class Views>
bool optional_table(Tables& t, PyObject* tables, const char* name,
                    bool (*read)(Tables&, PyObject*, Views*), std::optional<Views>* out) {
  PyObject* table = table_of(tables, name, true);
  if (table == nullptr) return !PyErr_Occurred();
  out->emplace();
  return read(t, table, &**out);
}

bool path_of(PyObject* paths, Py_ssize_t k, std::string* out) {
  PyObject* item = PyTuple_GET_ITEM(paths, k);  // borrowed
  char* data = nullptr;
  Py_ssize_t size = 0;
  if (PyBytes_AsStringAndSize(item, &data, &size) != 0) return false;
  out->assign(data, static_cast<size_t>(size));
  return true;
}

bool optional_path_of(PyObject* paths, Py_ssize_t k, std::optional<std::string>* out) {
  if (PyTuple_GET_ITEM(paths, k) == Py_None) return true;
  out->emplace();
  return path_of(paths, k, &**out);
}

}  // namespace

PyObject* write_model_files_py(PyObject*, PyObject* args) noexcept {
  PyObject *paths, *tables;
  int text = 0;
  if (!PyArg_ParseTuple(args, "O!pO!:write_model_files", &PyTuple_Type, &paths, &text,
                        &PyDict_Type, &tables)) {
    return nullptr;
  }
  if (PyTuple_GET_SIZE(paths) != 5) {
    PyErr_SetString(PyExc_ValueError, "write_model_files takes five paths");
    return nullptr;
  }
  return native_call([&]() -> PyObject* {
    model_io::ModelPaths files;
    if (!path_of(paths, 0, &files.cameras) || !path_of(paths, 1, &files.images) ||
        !path_of(paths, 2, &files.points3D) || !optional_path_of(paths, 3, &files.rigs) ||
        !optional_path_of(paths, 4, &files.frames)) {
      return nullptr;
    }
    LentBuffers buffers;
    Tables t(buffers);
    model_io::ModelViews model;
    PyObject* cameras = table_of(tables, "cameras", false);
    PyObject* images = cameras ? table_of(tables, "images", false) : nullptr;
    PyObject* points = images ? table_of(tables, "points", false) : nullptr;
    if (points == nullptr || !cameras_of(t, cameras, &model.cameras) ||
        !images_of(t, images, &model.images) || !points_of(t, points, &model.points) ||
        !optional_table(t, tables, "rigs", &rigs_of, &model.rigs) ||
        !optional_table(t, tables, "frames", &frames_of, &model.frames)) {
      return nullptr;
    }
    const auto format = text ? model_io::WriteFormat::Text : model_io::WriteFormat::Binary;
    std::optional<model_io::FileFailure> failed;
    std::string wrong;
    {
      LockReleased unlocked;
      wrong = model_io::check_views(model, format);
      if (wrong.empty()) failed = model_io::write_model_files(files, model, format);
    }
    if (!wrong.empty()) {
      PyErr_SetString(PyExc_ValueError, wrong.c_str());
      return nullptr;
    }
    if (failed) {
      raise_file_failure(*failed);
      return nullptr;
    }
    Py_RETURN_NONE;
  });
}

}  // namespace tolv::py_model_io
