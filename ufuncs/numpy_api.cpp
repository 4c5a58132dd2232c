// NumPy's array and ufunc API tables of kestrelfin._ufuncs, filled at import
// (numpy_headers.hpp).
#define KESTRELFIN_UFUNCS_DEFINES_NUMPY_API
#include "ufuncs/numpy_headers.hpp"

#include "cpython/numpy_import.hpp"

namespace kestrelfin::ufuncs {
namespace {

// The table of one capsule of NumPy's _multiarray_umath, or null with an
// ImportError (or NumPy's own error) set.
void** api_table(const cpython::NumpyCore& core, const char* attribute) {
    cpython::ApiTable found = cpython::numpy_api_table(core.multiarray_umath, attribute);
    if (found.not_a_capsule) {
        PyErr_Format(PyExc_ImportError, "numpy's %s is not a capsule", attribute);
    }
    return found.table;
}

}  // namespace

bool import_numpy() {
    const cpython::NumpyCore* core = cpython::numpy_core();
    if (core == nullptr) {
        return false;
    }
    void** array_api = api_table(*core, "_ARRAY_API");
    if (array_api == nullptr) {
        return false;
    }
    void** ufunc_api = api_table(*core, "_UFUNC_API");
    if (ufunc_api == nullptr) {
        return false;
    }
    PyArray_API = array_api;
    PyUFunc_API = ufunc_api;
    if (PyArray_GetNDArrayCFeatureVersion() < NPY_1_25_API_VERSION) {
        PyArray_API = nullptr;
        PyUFunc_API = nullptr;
        PyErr_SetString(PyExc_ImportError, "kestrelfin needs NumPy 1.25 or later");
        return false;
    }
    // Inline accessors of NumPy's headers pick the 1.x or 2.x layout of the
    // dtype struct by this runtime version.
    PyArray_RUNTIME_VERSION = static_cast<int>(PyArray_GetNDArrayCFeatureVersion());
    return true;
}

}  // namespace kestrelfin::ufuncs
