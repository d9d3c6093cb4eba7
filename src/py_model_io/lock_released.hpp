// LockReleased: the interpreter lock released for a scope of native work.
#pragma once

#include "py/python.hpp"

namespace tolv::py_model_io {

// Releases the interpreter lock for the lifetime of the object, on every way out.
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
