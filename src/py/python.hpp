// The one way the binding layer includes Python.h, with the version guards it needs.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#if PY_VERSION_HEX < 0x03080000
#error "tolv needs CPython 3.8 or newer"
#endif

// Before 3.9 PyMODINIT_FUNC carries no visibility attribute, and this module is built
// with hidden visibility: export the entry point explicitly.
#if PY_VERSION_HEX < 0x03090000
#undef PyMODINIT_FUNC
#define PyMODINIT_FUNC extern "C" __attribute__((visibility("default"))) PyObject*
#endif
