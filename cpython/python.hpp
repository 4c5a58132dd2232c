// The one way this module includes the interpreter's headers: always the
// stable ABI of CPython 3.12, whatever the build system passes.
#pragma once

#ifndef Py_LIMITED_API
#define Py_LIMITED_API 0x030C0000
#endif
#define PY_SSIZE_T_CLEAN
#include <Python.h>
