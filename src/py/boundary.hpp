// The call boundary: argument binding and conversion, result conversion, and the
// mapping of IoError and Abort to Python exceptions. Every entry from Python runs
// through call_boundary.
#pragma once

#include <cstdint>
#include <new>
#include <string>

#include "core/abort.hpp"
#include "core/io_error.hpp"
#include "py/owned_ref.hpp"
#include "py/python.hpp"
#include "types.hpp"

namespace tolv::py {

// Sets PanicException(message) as the pending exception.
void raise_panic(const std::string& message);

// Runs body() -> OwnedRef and hands its reference to the interpreter. An empty result
// means an exception is already set; an Abort becomes PanicException. A call made from
// Python code that runs in the middle of another call (a finalizer during garbage
// collection) aborts alone: the outer call's abort preamble stays hidden meanwhile.
template <class Body>
PyObject* call_boundary(Body&& body) noexcept {
  AbortPreambleBarrier outer_calls_hidden;
  try {
    return body().release();
  } catch (const Abort& abort) {
    raise_panic(abort.message);
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
  } catch (...) {
    raise_panic("native code failed with an unknown C++ exception");
  }
  return nullptr;
}

// Static description of one function's parameters, from which all binding texts come.
// Every parameter is positional-or-keyword and required.
struct ParamSpec {
  const char* function_name;
  const char* class_name;  // nullptr for a module function
  const char* const* names;
  Py_ssize_t count;
};

// Binds a fast-call argument vector to the described parameters: out[i] is the borrowed value
// of parameter i. Returns false with the binding TypeError set.
bool bind_arguments(const ParamSpec& params, PyObject* const* args, Py_ssize_t nargs,
                    PyObject* kwnames, PyObject** out);

// Sets TypeError "'<qualname of type(value)>' object cannot be converted to '<target>'".
void set_conversion_error(PyObject* value, const char* target);

// Applies the argument prefix to the pending exception: an exact TypeError becomes
// TypeError("argument '<param>': <text>") with the same __cause__; anything else
// stays. Returns false for use as `return fail_argument(...)`.
bool fail_argument(const char* param);

// Converts a str (or str subclass) argument to UTF-8.
bool convert_text_argument(PyObject* value, const char* param, std::string* out);

// Binds one text parameter (path) and converts it.
bool bind_text_argument(const ParamSpec& params, PyObject* const* args, Py_ssize_t nargs,
                        PyObject* kwnames, std::string* out);

// Sets the OSError (or subclass) of err with its display text as the only argument.
OwnedRef raise_io_error(const IoError& error);

// If the pending exception is a PanicException raised by Python code, prints a notice
// and its traceback and aborts the call with its message. Otherwise leaves it pending.
void resume_panic_from_python();

// Result conversion. A NULL from the interpreter prints the pending error and aborts
// with "Python API call failed".
OwnedRef checked(PyObject* new_reference);
OwnedRef to_py_uint(uint64_t value);
OwnedRef to_py_float(double value);
OwnedRef to_py_list3(const double (&values)[3]);
OwnedRef to_py_matrix3(const Matrix3& m);
OwnedRef to_py_utf8(const std::string& text);
OwnedRef new_py_list(Py_ssize_t size);
OwnedRef new_py_dict();
// A new dict with room for about `expected` entries without resizing.
OwnedRef new_py_dict_for(uint64_t expected);
OwnedRef to_py_pair(OwnedRef first, OwnedRef second);
// (first, second) as a tuple of two ints that the garbage collector does not track.
OwnedRef to_py_uint_pair(uint64_t first, uint64_t second);
// PyDict_SetItem, aborting with "Failed to set_item on dict".
void dict_set(PyObject* dict, PyObject* key, PyObject* value);

// A new instance of a record class, allocated with room for extra bytes after the
// fixed part; a failure aborts the call.
PyObject* allocate_record(PyTypeObject* type, size_t total_size);

// Creates a record class: full name "builtins.<name>", no constructor, flags DEFAULT only.
PyTypeObject* create_record_type(const char* qualified_name, size_t basic_size,
                                 PyType_Slot* class_slots);
// Lazily created process-wide type: created once, a failed creation leaves it empty.
// Outside module initialisation a failure prints the error and aborts.
PyTypeObject* type_or_abort(PyTypeObject* type, const char* class_name);

using FastcallFunction = PyObject* (*)(PyObject*, PyObject* const*, Py_ssize_t, PyObject*);

// A METH_FASTCALL | METH_KEYWORDS method definition; doc is its text signature.
inline PyMethodDef fastcall_method(const char* name, FastcallFunction function, const char* doc) {
  // The interpreter calls through the real signature that the flags announce.
  return PyMethodDef{name, reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(function)),
                     METH_FASTCALL | METH_KEYWORDS, doc};
}

// Interned attribute names.
PyObject* interned(const char* text);

}  // namespace tolv::py
