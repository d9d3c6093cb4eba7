// ColumnBuffer: a Python object that owns one native column and lends its bytes through
// the buffer protocol, so numpy wraps them (np.frombuffer) without a copy.
#pragma once

#include <memory>
#include <utility>

#include "model_io/model_columns.hpp"
#include "py/owned_ref.hpp"

namespace tolv::py_model_io {

// Keeps a column's storage alive, whatever its element type.
class ColumnStorage {
 public:
  virtual ~ColumnStorage() = default;
  virtual void* data() = 0;
  virtual size_t bytes() const = 0;
};

template <class T>
class TypedColumnStorage final : public ColumnStorage {
 public:
  explicit TypedColumnStorage(model_io::Column<T>&& values) : values_(std::move(values)) {}
  void* data() override { return values_.data(); }
  size_t bytes() const override { return values_.size() * sizeof(T); }

 private:
  model_io::Column<T> values_;
};

// Readies the type once; false with an exception set.
bool ready_column_buffer_type();

// A new ColumnBuffer that takes the storage over; empty with an exception set.
py::OwnedRef column_buffer(std::unique_ptr<ColumnStorage> storage);

template <class T>
py::OwnedRef column_buffer(model_io::Column<T>&& values) {
  return column_buffer(std::make_unique<TypedColumnStorage<T>>(std::move(values)));
}

}  // namespace tolv::py_model_io
