// The Python class Color; its type is created the first time a colour is handed out.
#include "py/records_py.hpp"

namespace tolv::py {
namespace {

struct ColorObject {
  PyObject_HEAD
  Color record;
};

template <class F>
PyObject* color_entry(PyObject* self, F&& f) {
  return record_entry<ColorObject>(self, color_type(), "Color",
                                   [&](ColorObject& object) { return f(object.record); });
}

PyObject* color_get_r(PyObject* self, void*) {
  return color_entry(self, [](const Color& c) { return to_py_uint(c.r); });
}
PyObject* color_get_g(PyObject* self, void*) {
  return color_entry(self, [](const Color& c) { return to_py_uint(c.g); });
}
PyObject* color_get_b(PyObject* self, void*) {
  return color_entry(self, [](const Color& c) { return to_py_uint(c.b); });
}
PyObject* color_repr(PyObject* self) {
  return color_entry(self, [](const Color& c) { return to_py_utf8(color_text(c)); });
}
void color_dealloc(PyObject* self) { dealloc_record<ColorObject>(self); }

PyGetSetDef color_getset[] = {
    {"r", color_get_r, nullptr, nullptr, nullptr},
    {"g", color_get_g, nullptr, nullptr, nullptr},
    {"b", color_get_b, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot color_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(color_dealloc)},
    {Py_tp_getset, color_getset},
    {Py_tp_repr, reinterpret_cast<void*>(color_repr)},
    {Py_tp_str, reinterpret_cast<void*>(color_repr)},
    {0, nullptr},
};

}  // namespace

PyTypeObject* color_type() {
  static PyTypeObject* type = nullptr;
  if (type == nullptr) {
    type = create_record_type("builtins.Color", sizeof(ColorObject), color_slots);
  }
  return type;
}

OwnedRef new_color_object(const Color& color) {
  return make_record_object<ColorObject>(color_type(), "Color", color);
}

}  // namespace tolv::py
