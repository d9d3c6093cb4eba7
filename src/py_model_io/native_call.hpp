// native_call: the one way out of every binding function for a C++ exception.
#pragma once

#include <new>

#include "py/python.hpp"

namespace tolv::py_model_io {

// Runs body, turning an exception that escapes it into a Python exception: MemoryError
// for bad_alloc, RuntimeError for anything else (caught as any, so no typeinfo is needed).
template <class F>
PyObject* native_call(F&& body) noexcept {
  try {
    return body();
  } catch (const std::bad_alloc&) {
    return PyErr_NoMemory();
  } catch (...) {
    PyErr_SetString(PyExc_RuntimeError, "tolv_extras: unexpected native failure");
    return nullptr;
  }
}

}  // namespace tolv::py_model_io
