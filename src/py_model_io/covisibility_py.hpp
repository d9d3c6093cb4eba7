// The co-visibility counts of tracks given as arrays, for tolv_extras.covisibility.
#pragma once

#include "py/python.hpp"

namespace tolv::py_model_io {

// covisibility_counts(track_offsets, track_image_ids) -> (image_ids, offsets,
// partner_ids, counts): int64 and uint32 buffers in, ColumnBuffers of uint32, int64,
// uint32 and uint64 out. ValueError for offsets out of step with the image ids.
PyObject* covisibility_counts_py(PyObject* self, PyObject* args) noexcept;

}  // namespace tolv::py_model_io
