// covisibility_counts(track_offsets, track_image_ids): the co-visibility counts of tracks
// given as arrays, counted by the same core as tolv.compute_overlaps with the interpreter
// lock released, returned as four ColumnBuffers of compressed rows. Prints nothing.
#include "py_model_io/covisibility_py.hpp"

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "overlaps.hpp"
#include "py_model_io/array_arguments.hpp"
#include "py_model_io/column_buffer.hpp"
#include "py_model_io/lock_released.hpp"
#include "py_model_io/native_call.hpp"

namespace tolv::py_model_io {

PyObject* covisibility_counts_py(PyObject*, PyObject* args) noexcept {
  PyObject *offsets_object, *images_object;
  if (!PyArg_ParseTuple(args, "OO:covisibility_counts", &offsets_object, &images_object)) {
    return nullptr;
  }
  return native_call([&]() -> PyObject* {
    BufferView offsets_view, images_view;
    std::vector<int64_t> offsets_copy;
    std::vector<image_t> images_copy;
    const int64_t* offsets = nullptr;
    const image_t* images = nullptr;
    size_t offset_count = 0, element_count = 0;
    if (!elements_of(offsets_object, "track_offsets", "int64", true, offsets_view, offsets_copy,
                     &offsets, &offset_count) ||
        !elements_of(images_object, "track_image_ids", "uint32", false, images_view, images_copy,
                     &images, &element_count)) {
      return nullptr;
    }
    if (offset_count == 0) {
      PyErr_SetString(PyExc_ValueError, "track_offsets must hold at least the leading 0");
      return nullptr;
    }
    std::optional<CovisibilityRows> rows;
    std::string refusal;
    {
      LockReleased unlocked;
      try {
        rows.emplace(covisibility_rows(offsets, offset_count - 1, images, element_count));
      } catch (const TrackArraysError& error) {
        refusal = error.what();
      }
    }
    if (!rows) {
      PyErr_SetString(PyExc_ValueError, refusal.c_str());
      return nullptr;
    }
    py::OwnedRef image_ids = vector_buffer(rows->image_ids);
    py::OwnedRef row_offsets = vector_buffer(rows->offsets);
    py::OwnedRef partner_ids = vector_buffer(rows->partner_ids);
    py::OwnedRef counts = vector_buffer(rows->counts);
    if (!image_ids || !row_offsets || !partner_ids || !counts) return nullptr;
    return PyTuple_Pack(4, image_ids.get(), row_offsets.get(), partner_ids.get(), counts.get());
  });
}

}  // namespace tolv::py_model_io
