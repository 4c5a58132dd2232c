// NumPy's published C headers, for the translation units of kestrelfin._ufuncs
// that talk to NumPy. The array and ufunc API tables they index are filled
// from NumPy's capsules when the module is imported (numpy_api.cpp, through
// cpython/numpy_import.hpp); no NumPy library is linked.
#pragma once

#include "cpython/python.hpp"

#define PY_ARRAY_UNIQUE_SYMBOL kestrelfin_ufuncs_array_api
#define PY_UFUNC_UNIQUE_SYMBOL kestrelfin_ufuncs_ufunc_api
#ifndef KESTRELFIN_UFUNCS_DEFINES_NUMPY_API
#define NO_IMPORT_ARRAY
#define NO_IMPORT_UFUNC
#endif
#ifndef NPY_NO_DEPRECATED_API
#define NPY_NO_DEPRECATED_API NPY_1_7_API_VERSION
#endif
// Built against NumPy 2 headers, run against NumPy 1.26 or 2.x.
#define NPY_TARGET_VERSION NPY_1_25_API_VERSION

#include <numpy/arrayobject.h>
#include <numpy/ufuncobject.h>

namespace kestrelfin::ufuncs {

// Fills NumPy's array and ufunc API tables from the capsules of the NumPy
// that the interpreter imports: numpy.core (NumPy 1.x) or numpy._core
// (NumPy 2.x). False with a Python exception set when NumPy cannot be
// imported or offers no usable table.
bool import_numpy();

}  // namespace kestrelfin::ufuncs
