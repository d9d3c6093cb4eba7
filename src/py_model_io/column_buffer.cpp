// ColumnBuffer: a type with the buffer protocol and nothing else.
#include "py_model_io/column_buffer.hpp"

#include <new>

namespace tolv::py_model_io {
namespace {

struct ColumnBufferObject {
  PyObject_HEAD
  ColumnStorage* storage;
};

// A zero-length buffer still needs a valid address.
char empty_column_byte;

int column_buffer_getbuffer(PyObject* self, Py_buffer* view, int flags) {
  ColumnStorage* storage = reinterpret_cast<ColumnBufferObject*>(self)->storage;
  void* data = storage->bytes() == 0 ? &empty_column_byte : storage->data();
  return PyBuffer_FillInfo(view, self, data, static_cast<Py_ssize_t>(storage->bytes()), 0,
                           flags);
}

void column_buffer_dealloc(PyObject* self) {
  delete reinterpret_cast<ColumnBufferObject*>(self)->storage;
  PyTypeObject* type = Py_TYPE(self);
  type->tp_free(self);
  Py_DECREF(type);  // instances of heap types hold a reference to their type
}

PyType_Slot column_buffer_slots[] = {
#if PY_VERSION_HEX >= 0x03090000
    {Py_bf_getbuffer, reinterpret_cast<void*>(column_buffer_getbuffer)},
#endif
    {Py_tp_dealloc, reinterpret_cast<void*>(column_buffer_dealloc)},
    {0, nullptr},
};

PyType_Spec column_buffer_spec = {
    "tolv_extras._model_io.ColumnBuffer", sizeof(ColumnBufferObject), 0, Py_TPFLAGS_DEFAULT,
    column_buffer_slots,
};

// Created once, never freed.
PyTypeObject* column_buffer_type = nullptr;

}  // namespace

bool ready_column_buffer_type() {
  if (column_buffer_type != nullptr) return true;
  column_buffer_type = reinterpret_cast<PyTypeObject*>(PyType_FromSpec(&column_buffer_spec));
  if (column_buffer_type == nullptr) return false;
#if PY_VERSION_HEX < 0x03090000
  // CPython 3.8 has no type slot for the buffer protocol: a heap type's buffer
  // functions live in its PyHeapTypeObject, where tp_as_buffer points.
  reinterpret_cast<PyHeapTypeObject*>(column_buffer_type)->as_buffer.bf_getbuffer =
      column_buffer_getbuffer;
  PyType_Modified(column_buffer_type);
#endif
  return true;
}

py::OwnedRef column_buffer(std::unique_ptr<ColumnStorage> storage) {
  py::OwnedRef object = py::OwnedRef::steal(PyType_GenericAlloc(column_buffer_type, 0));
  if (!object) return {};
  reinterpret_cast<ColumnBufferObject*>(object.get())->storage = storage.release();
  return object;
}

}  // namespace tolv::py_model_io
