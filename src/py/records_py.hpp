// Python classes of the records: type accessors, constructors from native records,
// and the bound-instance check shared by their getters and methods.
#pragma once

#include <memory>
#include <new>
#include <type_traits>
#include <utility>

#include "camera_models.hpp"
#include "colmap_io.hpp"
#include "image.hpp"
#include "point3d.hpp"
#include "py/boundary.hpp"
#include "types.hpp"

namespace tolv::py {

// Each creates its type on first need and caches it; NULL with an exception set
// when creation fails (the next call tries again).
PyTypeObject* camera_type();
PyTypeObject* image_type();
PyTypeObject* point3D_type();
PyTypeObject* color_type();

// New Python objects that take over (or copy) a native record; failures abort.
OwnedRef new_camera_object(Camera&& camera);
OwnedRef new_image_object(Image&& image);
OwnedRef new_point3D_object(const Point3DView& point);
OwnedRef new_color_object(const Color& color);

// The record of an Image object; the caller has checked its type.
const Image& image_record(PyObject* image);

// The track of a Point3D object; the caller has checked its type.
struct TrackSpan {
  const TrackElement* elements;
  size_t length;
};
TrackSpan point3D_track(PyObject* point);

// self as Object when it is an instance of type (or a subclass); otherwise sets the
// conversion TypeError naming class_name and returns nullptr.
template <class Object>
Object* checked_self(PyObject* self, PyTypeObject* type, const char* class_name) {
  if (type == nullptr) return nullptr;
  if (!PyObject_TypeCheck(self, type)) {
    set_conversion_error(self, class_name);
    return nullptr;
  }
  return reinterpret_cast<Object*>(self);
}

// Runs f(record) for a getter, method or string form of a record class.
template <class Object, class F>
PyObject* record_entry(PyObject* self, PyTypeObject* type, const char* class_name, F&& f) {
  return call_boundary([&]() -> OwnedRef {
    Object* object = checked_self<Object>(self, type, class_name);
    if (object == nullptr) return {};
    return f(*object);
  });
}

// A new object of a class whose Object holds its record in a member `record`, which
// takes over (or copies) the given record; failures abort.
template <class Object, class Record>
OwnedRef make_record_object(PyTypeObject* type, const char* class_name, Record&& record) {
  PyObject* object = allocate_record(type_or_abort(type, class_name), sizeof(Object));
  using Stored = std::decay_t<Record>;
  new (&reinterpret_cast<Object*>(object)->record) Stored(std::forward<Record>(record));
  return OwnedRef::steal(object);
}

// Releases a record object: its record first, then the memory, then the type reference.
template <class Object>
void dealloc_record(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  std::destroy_at(&reinterpret_cast<Object*>(self)->record);
  type->tp_free(self);
  Py_DECREF(type);
}

}  // namespace tolv::py
