// kept_observations(...): which track elements, points and 2D points stay when points or
// images are removed, computed by the core with the interpreter lock released.
#pragma once

#include "py/python.hpp"

namespace tolv::py_model_io {

PyObject* kept_observations_py(PyObject* self, PyObject* args) noexcept;

}  // namespace tolv::py_model_io
