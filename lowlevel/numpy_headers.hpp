// NumPy's published C headers, for the two translation units that talk to
// NumPy. The API table they index is filled from NumPy's "_ARRAY_API" capsule
// at the first array call (numpy_api.cpp); no NumPy library is linked.
#pragma once

#include "cpython/python.hpp"

#define PY_ARRAY_UNIQUE_SYMBOL kestrelfin_numpy_api
#ifndef KESTRELFIN_DEFINES_NUMPY_API
#define NO_IMPORT_ARRAY
#endif
#ifndef NPY_NO_DEPRECATED_API
#define NPY_NO_DEPRECATED_API NPY_1_7_API_VERSION
#endif
// Built against NumPy 2 headers, run against NumPy 1.26 or 2.x.
#define NPY_TARGET_VERSION NPY_1_25_API_VERSION

#include <numpy/arrayobject.h>

namespace kestrelfin::lowlevel {

// The NumPy API table, found on first need; faults with "Failed to access
// NumPy array API capsule: ..." when NumPy cannot provide it.
void ensure_numpy_api();

// "numpy.core.multiarray" (NumPy 1.x) or "numpy._core.multiarray" (NumPy 2.x),
// known once ensure_numpy_api() has succeeded.
const char* numpy_multiarray_name() noexcept;

}  // namespace kestrelfin::lowlevel
