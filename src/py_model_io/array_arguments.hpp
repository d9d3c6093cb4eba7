// Arrays as binding arguments and results: C-contiguous buffers of native integers read
// in place (copied only when misaligned), and vectors handed to Python as ColumnBuffers.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <utility>
#include <vector>

#include "py/owned_ref.hpp"
#include "py/python.hpp"
#include "py_model_io/column_buffer.hpp"

namespace tolv::py_model_io {

// Holds a buffer view for the lifetime of the object, on every way out.
class BufferView {
 public:
  BufferView() = default;
  BufferView(const BufferView&) = delete;
  BufferView& operator=(const BufferView&) = delete;
  ~BufferView() {
    if (held_) PyBuffer_Release(&view_);
  }
  // False with an exception set.
  bool get(PyObject* object, int flags = PyBUF_C_CONTIGUOUS | PyBUF_FORMAT) {
    if (PyObject_GetBuffer(object, &view_, flags) != 0) return false;
    held_ = true;
    return true;
  }
  const Py_buffer& view() const { return view_; }

 private:
  Py_buffer view_{};
  bool held_ = false;
};

// Whether a struct format names a native integer of this size and signedness: '@',
// '=' or, on a little-endian machine, '<' before one code letter.
inline bool is_native_integer(const char* format, size_t size, bool is_signed) {
  if (format == nullptr) return false;
  const uint16_t probe = 1;
  unsigned char first_byte;
  std::memcpy(&first_byte, &probe, 1);
  if (*format == '@' || *format == '=' || (*format == '<' && first_byte == 1)) ++format;
  if (format[0] == '\0' || format[1] != '\0') return false;
  const char code = format[0];
  const struct {
    char code;
    size_t size;
    bool is_signed;
  } codes[] = {
      {'B', 1, false},           {'i', sizeof(int), true},   {'l', sizeof(long), true},
      {'q', sizeof(long long), true}, {'I', sizeof(unsigned), false},
      {'L', sizeof(unsigned long), false}, {'Q', sizeof(unsigned long long), false},
  };
  for (const auto& known : codes) {
    if (known.code == code) return known.size == size && known.is_signed == is_signed;
  }
  return false;
}

// The buffer's elements as T, copied into aligned memory only when they are not aligned.
// False with an exception set.
template <class T>
bool elements_of(PyObject* object, const char* name, const char* type_name, bool is_signed,
                 BufferView& buffer, std::vector<T>& aligned_copy, const T** data, size_t* count) {
  if (!buffer.get(object)) return false;
  const Py_buffer& view = buffer.view();
  if (view.itemsize != static_cast<Py_ssize_t>(sizeof(T)) ||
      !is_native_integer(view.format, sizeof(T), is_signed)) {
    PyErr_Format(PyExc_TypeError, "%s must be a buffer of %s, not of format '%s'", name, type_name,
                 view.format == nullptr ? "B" : view.format);
    return false;
  }
  *count = static_cast<size_t>(view.len) / sizeof(T);
  if (reinterpret_cast<uintptr_t>(view.buf) % alignof(T) == 0) {
    *data = static_cast<const T*>(view.buf);
    return true;
  }
  aligned_copy.resize(*count);
  if (*count != 0) std::memcpy(aligned_copy.data(), view.buf, *count * sizeof(T));
  *data = aligned_copy.data();
  return true;
}

// A result column: a vector that a ColumnBuffer keeps alive.
template <class T>
class VectorStorage final : public ColumnStorage {
 public:
  explicit VectorStorage(std::vector<T>&& values) : values_(std::move(values)) {}
  void* data() override { return values_.data(); }
  size_t bytes() const override { return values_.size() * sizeof(T); }

 private:
  std::vector<T> values_;
};

template <class T>
py::OwnedRef vector_buffer(std::vector<T>& values) {
  return column_buffer(std::make_unique<VectorStorage<T>>(std::move(values)));
}

}  // namespace tolv::py_model_io
