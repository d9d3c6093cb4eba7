// The model's columns as a dict of tables, each a dict from column name to ColumnBuffer.
#pragma once

#include "model_io/model_columns.hpp"
#include "py/owned_ref.hpp"

namespace tolv::py_model_io {

// {"cameras": {...}, "images": {...}, "points": {...}, "rigs": {...} or None,
//  "frames": {...} or None}. Each table also holds "repeated_ids": whether an id occurs
// twice. The columns move into the buffers; empty with an exception set.
py::OwnedRef model_to_python(model_io::ModelColumns&& model);

}  // namespace tolv::py_model_io
