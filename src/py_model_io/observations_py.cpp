// kept_observations(point3D_ids, points2D_offsets, image_keep, point_ids, track_offsets,
// point_keep, element_image_rows, track_point2D_idxs, min_track_length,
// kept_point3D_ids): three ColumnBuffers, the element mask, the kept track lengths and
// the point mask (masks of uint8), as model_io::kept_observations computes them; the
// kept images' new point3D_ids are written into the last argument, a uint64 array.
#include "py_model_io/observations_py.hpp"

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "model_io/observations.hpp"
#include "py_model_io/array_arguments.hpp"
#include "py_model_io/column_buffer.hpp"
#include "py_model_io/lock_released.hpp"
#include "py_model_io/native_call.hpp"

namespace tolv::py_model_io {
namespace {

// One array argument, held for the call, as a column view.
template <class T>
struct ArrayArgument {
  BufferView buffer;
  std::vector<T> aligned_copy;
  model_io::ColumnView<T> column;

  bool get(PyObject* object, const char* name, const char* type_name, bool is_signed) {
    return elements_of(object, name, type_name, is_signed, buffer, aligned_copy, &column.data,
                       &column.size);
  }
};

// The caller's array that the kept images' ids are written into: writable, C-contiguous
// and aligned uint64. False with an exception set.
bool ids_out_of(PyObject* object, BufferView& buffer, model_io::IdsOut* out) {
  if (!buffer.get(object, PyBUF_C_CONTIGUOUS | PyBUF_FORMAT | PyBUF_WRITABLE)) return false;
  const Py_buffer& view = buffer.view();
  if (view.itemsize != 8 || !is_native_integer(view.format, 8, false) ||
      reinterpret_cast<uintptr_t>(view.buf) % alignof(uint64_t) != 0) {
    PyErr_SetString(PyExc_TypeError, "kept_point3D_ids must be an aligned array of uint64");
    return false;
  }
  out->data = static_cast<uint64_t*>(view.buf);
  out->size = static_cast<size_t>(view.len) / 8;
  return true;
}

}  // namespace

PyObject* kept_observations_py(PyObject*, PyObject* args) noexcept {
  PyObject* objects[9];
  unsigned long long min_track_length = 0;
  if (!PyArg_ParseTuple(args, "OOOOOOOOKO:kept_observations", &objects[0], &objects[1],
                        &objects[2], &objects[3], &objects[4], &objects[5], &objects[6],
                        &objects[7], &min_track_length, &objects[8])) {
    return nullptr;
  }
  return native_call([&]() -> PyObject* {
    ArrayArgument<uint64_t> point3D_ids, point_ids;
    ArrayArgument<int64_t> points2D_offsets, track_offsets, element_image_rows;
    ArrayArgument<uint8_t> image_keep, point_keep;
    ArrayArgument<uint32_t> track_point2D_idxs;
    if (!point3D_ids.get(objects[0], "point3D_ids", "uint64", false) ||
        !points2D_offsets.get(objects[1], "points2D_offsets", "int64", true) ||
        !image_keep.get(objects[2], "image_keep", "uint8", false) ||
        !point_ids.get(objects[3], "point_ids", "uint64", false) ||
        !track_offsets.get(objects[4], "track_offsets", "int64", true) ||
        !point_keep.get(objects[5], "point_keep", "uint8", false) ||
        !element_image_rows.get(objects[6], "element_image_rows", "int64", true) ||
        !track_point2D_idxs.get(objects[7], "track_point2D_idxs", "uint32", false)) {
      return nullptr;
    }
    BufferView ids_buffer;
    model_io::IdsOut kept_point3D_ids;
    if (!ids_out_of(objects[8], ids_buffer, &kept_point3D_ids)) return nullptr;
    const model_io::ObservationInputs inputs{
        point3D_ids.column, points2D_offsets.column,   image_keep.column,
        point_ids.column,   track_offsets.column,      point_keep.column,
        element_image_rows.column, track_point2D_idxs.column, min_track_length};
    std::optional<model_io::KeptObservations> kept;
    std::string refusal;
    {
      LockReleased unlocked;
      try {
        kept.emplace(model_io::kept_observations(inputs, kept_point3D_ids));
      } catch (const model_io::ObservationArraysError& error) {
        refusal = error.what();
      }
    }
    if (!kept) {
      PyErr_SetString(PyExc_ValueError, refusal.c_str());
      return nullptr;
    }
    py::OwnedRef element_keep = column_buffer(std::move(kept->element_keep));
    py::OwnedRef track_lengths = column_buffer(std::move(kept->track_lengths));
    py::OwnedRef kept_points = column_buffer(std::move(kept->point_keep));
    if (!element_keep || !track_lengths || !kept_points) return nullptr;
    return PyTuple_Pack(3, element_keep.get(), track_lengths.get(), kept_points.get());
  });
}

}  // namespace tolv::py_model_io
