// The Python class Image over the native Image record.
#include "py/records_py.hpp"

namespace tolv::py {
namespace {

struct ImageObject {
  PyObject_HEAD
  Image record;
};

constexpr const char* kOtherParam[] = {"other"};
constexpr ParamSpec kRelativePoseFromParams{"relative_pose_from", "Image", kOtherParam, 1};
constexpr ParamSpec kRelativePoseToParams{"relative_pose_to", "Image", kOtherParam, 1};

template <class F>
PyObject* image_entry(PyObject* self, F&& f) {
  return record_entry<ImageObject>(self, image_type(), "Image",
                                   [&](ImageObject& object) { return f(object.record); });
}

PyObject* image_get_image_id(PyObject* self, void*) {
  return image_entry(self, [](const Image& i) { return to_py_uint(i.image_id); });
}
PyObject* image_get_camera_id(PyObject* self, void*) {
  return image_entry(self, [](const Image& i) { return to_py_uint(i.camera_id); });
}
PyObject* image_get_name(PyObject* self, void*) {
  return image_entry(self, [](const Image& i) {
    return checked(PyUnicode_DecodeLatin1(i.name.data(), static_cast<Py_ssize_t>(i.name.size()),
                                          nullptr));
  });
}
PyObject* image_get_point3D_ids(PyObject* self, void*) {
  return image_entry(self, [](const Image& i) {
    OwnedRef list = new_py_list(static_cast<Py_ssize_t>(i.point3D_ids.size()));
    for (size_t k = 0; k < i.point3D_ids.size(); ++k) {
      PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(k),
                      to_py_uint(i.point3D_ids[k]).release());
    }
    return list;
  });
}
PyObject* image_get_rot(PyObject* self, void*) {
  return image_entry(self, [](const Image& i) { return to_py_matrix3(rotation_matrix(i.rot)); });
}
PyObject* image_get_trans(PyObject* self, void*) {
  return image_entry(self, [](const Image& i) { return to_py_list3(i.trans); });
}
PyObject* image_repr(PyObject* self) {
  return image_entry(self, [](const Image& i) { return to_py_utf8(image_text(i)); });
}

// Binds `other` and returns (R, t): the pose of the source frame in the target frame,
// where self is the target for relative_pose_from and the source for relative_pose_to.
PyObject* relative_pose_entry(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                              PyObject* kwnames, const ParamSpec& params, bool self_is_target) {
  return image_entry(self, [&](const Image& image) -> OwnedRef {
    PyObject* other = nullptr;
    if (!bind_arguments(params, args, nargs, kwnames, &other)) return {};
    if (!PyObject_TypeCheck(other, image_type())) {
      set_conversion_error(other, "Image");
      fail_argument("other");
      return {};
    }
    const Image& other_image = image_record(other);
    const RelativePose pose = self_is_target ? relative_pose_from(image, other_image)
                                             : relative_pose_from(other_image, image);
    return to_py_pair(to_py_matrix3(pose.rotation), to_py_list3(pose.translation));
  });
}

PyObject* image_relative_pose_from(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                   PyObject* kwnames) {
  return relative_pose_entry(self, args, nargs, kwnames, kRelativePoseFromParams, true);
}
PyObject* image_relative_pose_to(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                 PyObject* kwnames) {
  return relative_pose_entry(self, args, nargs, kwnames, kRelativePoseToParams, false);
}
void image_dealloc(PyObject* self) { dealloc_record<ImageObject>(self); }

PyGetSetDef image_getset[] = {
    {"image_id", image_get_image_id, nullptr, nullptr, nullptr},
    {"camera_id", image_get_camera_id, nullptr, nullptr, nullptr},
    {"name", image_get_name, nullptr, nullptr, nullptr},
    {"point3D_ids", image_get_point3D_ids, nullptr, nullptr, nullptr},
    {"rot", image_get_rot, nullptr, nullptr, nullptr},
    {"trans", image_get_trans, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMethodDef image_methods[] = {
    fastcall_method("relative_pose_from", image_relative_pose_from,
                    "relative_pose_from($self, other)\n--\n\n"),
    fastcall_method("relative_pose_to", image_relative_pose_to,
                    "relative_pose_to($self, other)\n--\n\n"),
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot image_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(image_dealloc)},
    {Py_tp_getset, image_getset},
    {Py_tp_methods, image_methods},
    {Py_tp_repr, reinterpret_cast<void*>(image_repr)},
    {Py_tp_str, reinterpret_cast<void*>(image_repr)},
    {0, nullptr},
};

}  // namespace

PyTypeObject* image_type() {
  static PyTypeObject* type = nullptr;
  if (type == nullptr) {
    type = create_record_type("builtins.Image", sizeof(ImageObject), image_slots);
  }
  return type;
}

const Image& image_record(PyObject* image) {
  return reinterpret_cast<ImageObject*>(image)->record;
}

OwnedRef new_image_object(Image&& image) {
  return make_record_object<ImageObject>(image_type(), "Image", std::move(image));
}

}  // namespace tolv::py
