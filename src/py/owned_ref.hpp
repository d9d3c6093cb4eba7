// OwnedRef: a move-only owner of one Python reference.
#pragma once

#include "py/python.hpp"

namespace tolv::py {

class OwnedRef {
 public:
  OwnedRef() = default;
  // Takes over a new reference (possibly NULL).
  static OwnedRef steal(PyObject* object) {
    OwnedRef ref;
    ref.object_ = object;
    return ref;
  }
  // Adds a reference to a borrowed object and owns that.
  static OwnedRef borrow(PyObject* object) {
    Py_XINCREF(object);
    return steal(object);
  }

  OwnedRef(OwnedRef&& other) noexcept : object_(other.release()) {}
  OwnedRef& operator=(OwnedRef&& other) noexcept {
    if (this != &other) {
      PyObject* old = object_;
      object_ = other.release();
      Py_XDECREF(old);
    }
    return *this;
  }
  OwnedRef(const OwnedRef&) = delete;
  OwnedRef& operator=(const OwnedRef&) = delete;
  ~OwnedRef() { Py_XDECREF(object_); }

  PyObject* get() const { return object_; }
  explicit operator bool() const { return object_ != nullptr; }
  // Hands the reference over; the caller now owns it.
  PyObject* release() {
    PyObject* object = object_;
    object_ = nullptr;
    return object;
  }

 private:
  PyObject* object_ = nullptr;
};

}  // namespace tolv::py
