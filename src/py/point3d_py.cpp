// The Python class Point3D. Each object is one allocation: the fixed fields followed
// by the track elements.
#include "py/records_py.hpp"

namespace tolv::py {
namespace {

// Every field but the track, which follows the object in the same allocation.
struct PointFields {
  point3D_t id;
  double xyz[3];
  double error;
  Color color;
  size_t track_length;
};

struct Point3DObject {
  PyObject_HEAD
  PointFields record;
};

static_assert(sizeof(Point3DObject) % alignof(TrackElement) == 0, "track placement");

TrackElement* track_of(Point3DObject* object) {
  return reinterpret_cast<TrackElement*>(reinterpret_cast<char*>(object) + sizeof(Point3DObject));
}

template <class F>
PyObject* point_entry(PyObject* self, F&& f) {
  return record_entry<Point3DObject>(self, point3D_type(), "Point3D", f);
}

PyObject* point_get_id(PyObject* self, void*) {
  return point_entry(self, [](Point3DObject& p) { return to_py_uint(p.record.id); });
}
PyObject* point_get_xyz(PyObject* self, void*) {
  return point_entry(self, [](Point3DObject& p) { return to_py_list3(p.record.xyz); });
}
PyObject* point_get_color(PyObject* self, void*) {
  return point_entry(self, [](Point3DObject& p) { return new_color_object(p.record.color); });
}
PyObject* point_get_error(PyObject* self, void*) {
  return point_entry(self, [](Point3DObject& p) { return to_py_float(p.record.error); });
}
PyObject* point_get_track(PyObject* self, void*) {
  return point_entry(self, [](Point3DObject& p) {
    const TrackElement* track = track_of(&p);
    OwnedRef list = new_py_list(static_cast<Py_ssize_t>(p.record.track_length));
    for (size_t i = 0; i < p.record.track_length; ++i) {
      OwnedRef pair = to_py_uint_pair(track[i].image_id, track[i].point2D_idx);
      PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), pair.release());
    }
    return list;
  });
}
PyObject* point_repr(PyObject* self) {
  return point_entry(self, [](Point3DObject& p) {
    return to_py_utf8(point3D_text(p.record.id, p.record.xyz, p.record.track_length));
  });
}
void point_dealloc(PyObject* self) { dealloc_record<Point3DObject>(self); }

PyGetSetDef point_getset[] = {
    {"id", point_get_id, nullptr, nullptr, nullptr},
    {"xyz", point_get_xyz, nullptr, nullptr, nullptr},
    {"color", point_get_color, nullptr, nullptr, nullptr},
    {"error", point_get_error, nullptr, nullptr, nullptr},
    {"track", point_get_track, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot point_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(point_dealloc)},
    {Py_tp_getset, point_getset},
    {Py_tp_repr, reinterpret_cast<void*>(point_repr)},
    {Py_tp_str, reinterpret_cast<void*>(point_repr)},
    {0, nullptr},
};

}  // namespace

PyTypeObject* point3D_type() {
  static PyTypeObject* type = nullptr;
  if (type == nullptr) {
    type = create_record_type("builtins.Point3D", sizeof(Point3DObject), point_slots);
  }
  return type;
}

TrackSpan point3D_track(PyObject* point) {
  Point3DObject* object = reinterpret_cast<Point3DObject*>(point);
  return TrackSpan{track_of(object), object->record.track_length};
}

OwnedRef new_point3D_object(const Point3DView& point) {
  PyTypeObject* type = type_or_abort(point3D_type(), "Point3D");
  // The view's length is backed by bytes of the file, so this size cannot be forged.
  const size_t size = sizeof(Point3DObject) + point.track_length * sizeof(TrackElement);
  Point3DObject* object = reinterpret_cast<Point3DObject*>(allocate_record(type, size));
  PointFields& fields = object->record;
  fields.id = point.id;
  for (int k = 0; k < 3; ++k) fields.xyz[k] = point.xyz[k];
  fields.error = point.error;
  fields.color = point.color;
  fields.track_length = point.track_length;
  point.copy_track(track_of(object));
  return OwnedRef::steal(reinterpret_cast<PyObject*>(object));
}

}  // namespace tolv::py
