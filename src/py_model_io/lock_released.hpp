// LockReleased: the interpreter lock let go of for a scope, on every way out of it.
#pragma once

#include "py/python.hpp"

namespace tolv::py_model_io {

class LockReleased {
 public:
  LockReleased() : state_(PyEval_SaveThread()) {}
  ~LockReleased() { PyEval_RestoreThread(state_); }
  LockReleased(const LockReleased&) = delete;
  LockReleased& operator=(const LockReleased&) = delete;

 private:
  PyThreadState* state_;
};

}  // namespace tolv::py_model_io
