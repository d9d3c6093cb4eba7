// write_model_files: the model's columns, as buffer objects, written to its files.
#pragma once

#include "model_io/model_reader.hpp"
#include "py/python.hpp"

namespace tolv::py_model_io {

// write_model_files(paths, text, tables): paths is a tuple of five bytes paths (cameras,
// images, points3D, rigs, frames); tables maps "cameras", "images", "points", "rigs" and
// "frames" (the last two may be None) to dicts of column name to buffer.
PyObject* write_model_files_py(PyObject*, PyObject* args) noexcept;

// Sets OSError (its errno and filename) or ValueError for a failure naming its path.
void raise_file_failure(const model_io::FileFailure& failure);

}  // namespace tolv::py_model_io
