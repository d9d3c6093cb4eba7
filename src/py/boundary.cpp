// Call boundary: binding texts, conversion failures, exception mapping and result
// conversion helpers shared by every entry from Python.
#include "py/boundary.hpp"

#include <cstdlib>
#include <cstring>
#include <optional>
#include <vector>

namespace tolv::py {
namespace {

constexpr const char* kPanicDoc =
    "The exception raised when native code called from Python aborts.\n\n"
    "Like SystemExit, it derives from BaseException rather than Exception, so it\n"
    "is not caught by `except Exception:` and typically propagates all the way up,\n"
    "ending the interpreter.";

// The PanicException type, created on first need and kept for the process.
PyObject* panic_type() {
  static PyObject* type = nullptr;
  if (type == nullptr) {
    PyObject* created = PyErr_NewExceptionWithDoc("tolv_native.PanicException", kPanicDoc,
                                                  PyExc_BaseException, nullptr);
    if (created == nullptr) return nullptr;
    if (type == nullptr) {
      type = created;
    } else {
      Py_DECREF(created);
    }
  }
  return type;
}

// The pending exception as a normalised instance with its traceback attached.
OwnedRef fetch_exception() {
#if PY_VERSION_HEX >= 0x030C0000
  return OwnedRef::steal(PyErr_GetRaisedException());
#else
  PyObject *type, *value, *traceback;
  PyErr_Fetch(&type, &value, &traceback);
  if (type == nullptr) return {};
  PyErr_NormalizeException(&type, &value, &traceback);
  if (traceback != nullptr && value != nullptr) PyException_SetTraceback(value, traceback);
  Py_XDECREF(type);
  Py_XDECREF(traceback);
  return OwnedRef::steal(value);
#endif
}

void restore_exception(OwnedRef exception) {
#if PY_VERSION_HEX >= 0x030C0000
  PyErr_SetRaisedException(exception.release());
#else
  PyObject* value = exception.release();
  PyObject* type = reinterpret_cast<PyObject*>(Py_TYPE(value));
  Py_INCREF(type);
  PyErr_Restore(type, value, PyException_GetTraceback(value));
#endif
}

// Appends code point c as UTF-8; a surrogate (or anything beyond U+10FFFF) has no
// UTF-8 form and becomes one U+FFFD.
void append_utf8(std::string& out, Py_UCS4 c) {
  if (c < 0x80) {
    out += static_cast<char>(c);
  } else if (c < 0x800) {
    out += static_cast<char>(0xC0 | (c >> 6));
    out += static_cast<char>(0x80 | (c & 0x3F));
  } else if (c < 0x10000 && (c < 0xD800 || c > 0xDFFF)) {
    out += static_cast<char>(0xE0 | (c >> 12));
    out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (c & 0x3F));
  } else if (c >= 0x10000 && c <= 0x10FFFF) {
    out += static_cast<char>(0xF0 | (c >> 18));
    out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (c & 0x3F));
  } else {
    out += "\xEF\xBF\xBD";
  }
}

// UTF-8 of a str; each character without a UTF-8 form (a lone surrogate) becomes one
// U+FFFD.
std::string lossy_utf8(PyObject* text) {
  Py_ssize_t size = 0;
  const char* utf8 = PyUnicode_AsUTF8AndSize(text, &size);
  if (utf8 != nullptr) return std::string(utf8, size);
  PyErr_Clear();  // only such strings fail here; they are rare, so go character by character
  std::string out;
  const Py_ssize_t length = PyUnicode_GetLength(text);
  for (Py_ssize_t i = 0; i < length; ++i) append_utf8(out, PyUnicode_ReadChar(text, i));
  PyErr_Clear();
  return out;
}

// __qualname__ of a type as text, or nothing when it cannot be read.
std::optional<std::string> type_qualname(PyTypeObject* type) {
  OwnedRef name = OwnedRef::steal(
      PyObject_GetAttr(reinterpret_cast<PyObject*>(type), interned("__qualname__")));
  if (!name || !PyUnicode_Check(name.get())) {
    PyErr_Clear();
    return std::nullopt;
  }
  Py_ssize_t size = 0;
  const char* utf8 = PyUnicode_AsUTF8AndSize(name.get(), &size);
  if (utf8 == nullptr) {
    PyErr_Clear();
    return std::nullopt;
  }
  return std::string(utf8, size);
}

// str(object) for an error text; a failing str() is reported as unraisable.
std::string printable_text(PyObject* object) {
  OwnedRef text = OwnedRef::steal(PyObject_Str(object));
  if (text) return lossy_utf8(text.get());
  PyErr_WriteUnraisable(object);
  std::optional<std::string> name = type_qualname(Py_TYPE(object));
  return name ? "<unprintable " + *name + " object>" : "<unprintable object>";
}

// An exception message as a str, built from the counted text: user-supplied names can
// hold NULs, where a C string would end. Empty with the exception set on failure.
OwnedRef message_text(const std::string& text) {
  return OwnedRef::steal(
      PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "replace"));
}

void set_type_error(const std::string& text) {
  OwnedRef message = message_text(text);
  if (message) PyErr_SetObject(PyExc_TypeError, message.get());
}

std::string full_name(const ParamSpec& params) {
  std::string name;
  if (params.class_name != nullptr) {
    name += params.class_name;
    name += '.';
  }
  name += params.function_name;
  name += "()";
  return name;
}

// 'a' / 'a' and 'b' / 'a', 'b', and 'c'
std::string name_list(const std::vector<const char*>& names) {
  std::string out;
  for (size_t i = 0; i < names.size(); ++i) {
    if (i > 0) out += names.size() == 2 ? " and " : (i + 1 == names.size() ? ", and " : ", ");
    out += '\'';
    out += names[i];
    out += '\'';
  }
  return out;
}

Py_ssize_t parameter_index(const ParamSpec& params, PyObject* keyword) {
  Py_ssize_t size = 0;
  const char* utf8 = PyUnicode_AsUTF8AndSize(keyword, &size);
  if (utf8 == nullptr) {
    PyErr_Clear();  // a name without UTF-8 cannot match any parameter
    return -1;
  }
  const std::string name(utf8, size);
  for (Py_ssize_t i = 0; i < params.count; ++i) {
    if (name == params.names[i]) return i;
  }
  return -1;
}

PyObject* io_exception_type(IoErrorKind kind) {
  switch (kind) {
    case IoErrorKind::NotFound: return PyExc_FileNotFoundError;
    case IoErrorKind::PermissionDenied: return PyExc_PermissionError;
    case IoErrorKind::ConnectionRefused: return PyExc_ConnectionRefusedError;
    case IoErrorKind::ConnectionReset: return PyExc_ConnectionResetError;
    case IoErrorKind::ConnectionAborted: return PyExc_ConnectionAbortedError;
    case IoErrorKind::BrokenPipe: return PyExc_BrokenPipeError;
    case IoErrorKind::AlreadyExists: return PyExc_FileExistsError;
    case IoErrorKind::WouldBlock: return PyExc_BlockingIOError;
    case IoErrorKind::TimedOut: return PyExc_TimeoutError;
    case IoErrorKind::Interrupted: return PyExc_InterruptedError;
    default: return PyExc_OSError;
  }
}

PyObject* record_no_constructor(PyTypeObject*, PyObject*, PyObject*) {
  PyErr_SetString(PyExc_TypeError, "No constructor defined");
  return nullptr;
}

}  // namespace

void raise_panic(const std::string& message) {
  PyObject* type = panic_type();
  OwnedRef text = message_text(message);
  if (type == nullptr || !text) {
    write_stderr("uncaught panic at ffi boundary\n");
    std::abort();
  }
  PyErr_SetObject(type, text.get());
}

bool bind_arguments(const ParamSpec& params, PyObject* const* args, Py_ssize_t nargs,
                    PyObject* kwnames, PyObject** out) {
  if (nargs > params.count) {
    set_type_error(full_name(params) + " takes " + std::to_string(params.count) +
                   " positional arguments but " + std::to_string(nargs) + " " +
                   (nargs == 1 ? "was" : "were") + " given");
    return false;
  }
  for (Py_ssize_t i = 0; i < params.count; ++i) out[i] = i < nargs ? args[i] : nullptr;
  const Py_ssize_t num_keywords = kwnames != nullptr ? PyTuple_GET_SIZE(kwnames) : 0;
  for (Py_ssize_t k = 0; k < num_keywords; ++k) {
    PyObject* keyword = PyTuple_GET_ITEM(kwnames, k);
    if (!PyUnicode_Check(keyword)) {
      set_conversion_error(keyword, "PyString");
      return false;
    }
    const Py_ssize_t index = parameter_index(params, keyword);
    if (index < 0) {
      set_type_error(full_name(params) + " got an unexpected keyword argument '" +
                     printable_text(keyword) + "'");
      return false;
    }
    if (out[index] != nullptr) {
      set_type_error(full_name(params) + " got multiple values for argument '" +
                     params.names[index] + "'");
      return false;
    }
    out[index] = args[nargs + k];
  }
  std::vector<const char*> missing;
  for (Py_ssize_t i = 0; i < params.count; ++i) {
    if (out[i] == nullptr) missing.push_back(params.names[i]);
  }
  if (!missing.empty()) {
    set_type_error(full_name(params) + " missing " + std::to_string(missing.size()) +
                   " required positional " + (missing.size() == 1 ? "argument" : "arguments") +
                   ": " + name_list(missing));
    return false;
  }
  return true;
}

void set_conversion_error(PyObject* value, const char* target) {
  std::optional<std::string> name = type_qualname(Py_TYPE(value));
  set_type_error("'" + name.value_or("<failed to extract type name>") +
                 "' object cannot be converted to '" + target + "'");
}

bool fail_argument(const char* param) {
  if (!PyErr_Occurred() || !PyErr_ExceptionMatches(PyExc_TypeError)) return false;
  OwnedRef original = fetch_exception();
  if (Py_TYPE(original.get()) != reinterpret_cast<PyTypeObject*>(PyExc_TypeError)) {
    restore_exception(std::move(original));
    return false;
  }
  const std::string text = std::string("argument '") + param + "': " +
                           printable_text(original.get());
  OwnedRef message = message_text(text);
  OwnedRef replacement = OwnedRef::steal(
      message ? PyObject_CallFunctionObjArgs(PyExc_TypeError, message.get(), nullptr) : nullptr);
  if (!replacement) return false;  // that failure is now the pending exception
  // SetCause steals the reference that GetCause returns.
  if (PyObject* cause = PyException_GetCause(original.get())) {
    PyException_SetCause(replacement.get(), cause);
  }
  restore_exception(std::move(replacement));
  return false;
}

bool convert_text_argument(PyObject* value, const char* param, std::string* out) {
  if (!PyUnicode_Check(value)) {
    set_conversion_error(value, "PyString");
    return fail_argument(param);
  }
  Py_ssize_t size = 0;
  const char* utf8 = PyUnicode_AsUTF8AndSize(value, &size);
  if (utf8 == nullptr) return fail_argument(param);  // UnicodeEncodeError passes unchanged
  out->assign(utf8, static_cast<size_t>(size));
  return true;
}

bool bind_text_argument(const ParamSpec& params, PyObject* const* args, Py_ssize_t nargs,
                        PyObject* kwnames, std::string* out) {
  PyObject* value = nullptr;
  if (nargs == 1 && kwnames == nullptr) {
    value = args[0];  // the common call needs no binding work
  } else if (!bind_arguments(params, args, nargs, kwnames, &value)) {
    return false;
  }
  return convert_text_argument(value, params.names[0], out);
}

OwnedRef raise_io_error(const IoError& error) {
  const std::string text = error.display();
  OwnedRef message = message_text(text);
  if (message) PyErr_SetObject(io_exception_type(error.kind()), message.get());
  return {};
}

void resume_panic_from_python() {
  PyObject* type = panic_type();
  if (type == nullptr || !PyErr_Occurred()) return;
  OwnedRef exception = fetch_exception();
  if (reinterpret_cast<PyObject*>(Py_TYPE(exception.get())) != type) {
    restore_exception(std::move(exception));
    return;
  }
  const std::string message = printable_text(exception.get());
  write_stderr(
      "--- A PanicException raised in Python code reached native code; resuming the abort. ---\n"
      "Python stack trace below:\n");
  restore_exception(OwnedRef::borrow(exception.get()));
  PyErr_PrintEx(0);
  abort_call(message);
}

OwnedRef checked(PyObject* new_reference) {
  if (new_reference == nullptr) {
    if (PyErr_Occurred()) PyErr_Print();
    abort_call("Python API call failed");
  }
  return OwnedRef::steal(new_reference);
}

OwnedRef to_py_uint(uint64_t value) {
  return checked(PyLong_FromUnsignedLongLong(static_cast<unsigned long long>(value)));
}

OwnedRef to_py_float(double value) { return checked(PyFloat_FromDouble(value)); }

OwnedRef new_py_list(Py_ssize_t size) { return checked(PyList_New(size)); }

OwnedRef new_py_dict() { return checked(PyDict_New()); }

OwnedRef new_py_dict_for(uint64_t expected) {
#if PY_VERSION_HEX < 0x030E0000
  // Presizing spares the repeated rebuilds of a growing dict's index table.
  if (expected > 8 && expected < static_cast<uint64_t>(PY_SSIZE_T_MAX / 4)) {
    return checked(_PyDict_NewPresized(static_cast<Py_ssize_t>(expected)));
  }
#else
  (void)expected;
#endif
  return new_py_dict();
}

OwnedRef to_py_list3(const double (&values)[3]) {
  OwnedRef list = new_py_list(3);
  for (Py_ssize_t i = 0; i < 3; ++i) {
    PyList_SET_ITEM(list.get(), i, to_py_float(values[i]).release());
  }
  return list;
}

OwnedRef to_py_matrix3(const Matrix3& m) {
  OwnedRef rows = new_py_list(3);
  for (Py_ssize_t r = 0; r < 3; ++r) {
    const double row[3] = {m[r][0], m[r][1], m[r][2]};
    PyList_SET_ITEM(rows.get(), r, to_py_list3(row).release());
  }
  return rows;
}

OwnedRef to_py_utf8(const std::string& text) {
  return checked(PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size())));
}

OwnedRef to_py_pair(OwnedRef first, OwnedRef second) {
  OwnedRef pair = checked(PyTuple_New(2));
  PyTuple_SET_ITEM(pair.get(), 0, first.release());
  PyTuple_SET_ITEM(pair.get(), 1, second.release());
  return pair;
}

// Ints hold no references, so such a tuple can never be part of a reference cycle.
// CPython creates every tuple tracked and untracks one like it only when a collection
// first visits it; created untracked, it costs the young collections nothing.
OwnedRef to_py_uint_pair(uint64_t first, uint64_t second) {
  OwnedRef pair = to_py_pair(to_py_uint(first), to_py_uint(second));
  PyObject_GC_UnTrack(pair.get());
  return pair;
}

void dict_set(PyObject* dict, PyObject* key, PyObject* value) {
  if (PyDict_SetItem(dict, key, value) != 0) {
    PyErr_Print();
    abort_call("Failed to set_item on dict");
  }
}

PyObject* allocate_record(PyTypeObject* type, size_t total_size) {
  void* memory = PyObject_Malloc(total_size);
  if (memory == nullptr) {
    PyErr_NoMemory();
    PyErr_Print();
    abort_call("failed to allocate a record object");
  }
  // Init also takes the reference to the (heap) type that dealloc gives back.
  return PyObject_Init(static_cast<PyObject*>(memory), type);
}

PyTypeObject* create_record_type(const char* qualified_name, size_t basic_size,
                                 PyType_Slot* class_slots) {
  std::vector<PyType_Slot> slots;
  slots.push_back({Py_tp_new, reinterpret_cast<void*>(&record_no_constructor)});
  for (PyType_Slot* slot = class_slots; slot->slot != 0; ++slot) slots.push_back(*slot);
  slots.push_back({0, nullptr});
  PyType_Spec type_spec{qualified_name, static_cast<int>(basic_size), 0, Py_TPFLAGS_DEFAULT,
                   slots.data()};
  PyObject* type = PyType_FromSpec(&type_spec);
  if (type == nullptr && !PyErr_Occurred()) {
    PyErr_SetString(PyExc_SystemError, "attempted to fetch exception but none was set");
  }
  return reinterpret_cast<PyTypeObject*>(type);
}

PyTypeObject* type_or_abort(PyTypeObject* type, const char* class_name) {
  if (type == nullptr) {
    PyErr_Print();
    abort_call(std::string("failed to create type object for ") + class_name);
  }
  return type;
}

PyObject* interned(const char* text) {
  // A handful of names, each interned once and kept for the process.
  struct Entry {
    const char* text;
    PyObject* object;
  };
  static Entry entries[8] = {};
  for (Entry& entry : entries) {
    if (entry.text != nullptr && std::strcmp(entry.text, text) == 0) return entry.object;
    if (entry.text == nullptr) {
      PyObject* object = PyUnicode_FromString(text);
      if (object == nullptr) return nullptr;
      PyUnicode_InternInPlace(&object);
      entry = {text, object};
      return object;
    }
  }
  return nullptr;
}

}  // namespace tolv::py
