// The one way the binding layer includes Python.h, with the version guards it needs.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#if PY_VERSION_HEX < 0x03080000
#error "tolv needs CPython 3.8 or newer"
#endif
