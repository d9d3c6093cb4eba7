// The Python class Camera over the native Camera record.
#include "py/records_py.hpp"

namespace tolv::py {
namespace {

struct CameraObject {
  PyObject_HEAD
  Camera record;
};

template <class F>
PyObject* camera_entry(PyObject* self, F&& f) {
  return record_entry<CameraObject>(self, camera_type(), "Camera",
                                    [&](CameraObject& object) { return f(object.record); });
}

PyObject* camera_get_camera_id(PyObject* self, void*) {
  return camera_entry(self, [](const Camera& c) { return to_py_uint(c.camera_id); });
}
PyObject* camera_get_width(PyObject* self, void*) {
  return camera_entry(self, [](const Camera& c) { return to_py_uint(c.width); });
}
PyObject* camera_get_height(PyObject* self, void*) {
  return camera_entry(self, [](const Camera& c) { return to_py_uint(c.height); });
}
PyObject* camera_get_model_id(PyObject* self, void*) {
  return camera_entry(self, [](const Camera& c) { return to_py_utf8(display_name(c.model_id)); });
}
PyObject* camera_get_params(PyObject* self, void*) {
  return camera_entry(self, [](const Camera& c) {
    OwnedRef list = new_py_list(static_cast<Py_ssize_t>(c.params.size()));
    for (size_t i = 0; i < c.params.size(); ++i) {
      PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), to_py_float(c.params[i]).release());
    }
    return list;
  });
}
PyObject* camera_K(PyObject* self, PyObject*) {
  return camera_entry(self, [](const Camera& c) { return to_py_matrix3(intrinsic_matrix(c)); });
}
PyObject* camera_repr(PyObject* self) {
  return camera_entry(self, [](const Camera& c) { return to_py_utf8(camera_text(c)); });
}
void camera_dealloc(PyObject* self) { dealloc_record<CameraObject>(self); }

PyGetSetDef camera_getset[] = {
    {"camera_id", camera_get_camera_id, nullptr, nullptr, nullptr},
    {"model_id", camera_get_model_id, nullptr, nullptr, nullptr},
    {"width", camera_get_width, nullptr, nullptr, nullptr},
    {"height", camera_get_height, nullptr, nullptr, nullptr},
    {"params", camera_get_params, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMethodDef camera_methods[] = {
    {"K", camera_K, METH_NOARGS, "K($self)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot camera_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(camera_dealloc)},
    {Py_tp_getset, camera_getset},
    {Py_tp_methods, camera_methods},
    {Py_tp_repr, reinterpret_cast<void*>(camera_repr)},
    {Py_tp_str, reinterpret_cast<void*>(camera_repr)},
    {0, nullptr},
};

}  // namespace

PyTypeObject* camera_type() {
  static PyTypeObject* type = nullptr;
  if (type == nullptr) {
    type = create_record_type("builtins.Camera", sizeof(CameraObject), camera_slots);
  }
  return type;
}

OwnedRef new_camera_object(Camera&& camera) {
  return make_record_object<CameraObject>(camera_type(), "Camera", std::move(camera));
}

}  // namespace tolv::py
