// covisibility_counts(track_offsets, track_image_ids): the co-visibility counts of tracks
// given as arrays, counted by the same core as tolv.compute_overlaps with the interpreter
// lock released, returned as four ColumnBuffers of compressed rows. Prints nothing.
#include "py_model_io/covisibility_py.hpp"

#include <cstdint>
#include <cstring>
#include <memory>
#include <new>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "overlaps.hpp"
#include "py_model_io/column_buffer.hpp"
#include "py_model_io/lock_released.hpp"
#include "py_model_io/native_call.hpp"

namespace tolv::py_model_io {
namespace {

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
  bool get(PyObject* object) {
    if (PyObject_GetBuffer(object, &view_, PyBUF_C_CONTIGUOUS | PyBUF_FORMAT) != 0) return false;
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
bool is_native_integer(const char* format, size_t size, bool is_signed) {
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
      {'i', sizeof(int), true},   {'l', sizeof(long), true},
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

}  // namespace

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
