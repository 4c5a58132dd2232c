#define KESTRELFIN_UFUNCS_DEFINES_NUMPY_API
#include "ufuncs/numpy_headers.hpp"

#include "cpython/py_ref.hpp"

namespace kestrelfin::ufuncs {
namespace {

using cpython::PyRef;

// The major version of the NumPy the interpreter imports: NumPy 2 moved its
// core from numpy.core to numpy._core (the old name still imports, with a
// deprecation warning, so it is chosen by version, not by trial).
long numpy_major_version() {
    PyRef numpy = PyRef::steal(PyImport_ImportModule("numpy"));
    if (!numpy) {
        return -1;
    }
    PyRef version = PyRef::steal(PyObject_GetAttrString(numpy.get(), "__version__"));
    if (!version) {
        return -1;
    }
    PyRef parts = PyRef::steal(PyObject_CallMethod(version.get(), "split", "s", "."));
    if (!parts) {
        return -1;
    }
    PyRef major_text = PyRef::steal(PySequence_GetItem(parts.get(), 0));
    if (!major_text) {
        return -1;
    }
    PyRef major = PyRef::steal(PyNumber_Long(major_text.get()));
    if (!major) {
        return -1;
    }
    return PyLong_AsLong(major.get());
}

// The table behind the capsule `attribute` of NumPy's _multiarray_umath.
void** api_table(PyObject* umath, const char* attribute) {
    PyRef capsule = PyRef::steal(PyObject_GetAttrString(umath, attribute));
    if (!capsule) {
        return nullptr;
    }
    if (!PyCapsule_CheckExact(capsule.get())) {
        PyErr_Format(PyExc_ImportError, "numpy's %s is not a capsule", attribute);
        return nullptr;
    }
    const char* name = PyCapsule_GetName(capsule.get());
    if (name == nullptr && PyErr_Occurred() != nullptr) {
        return nullptr;
    }
    // NumPy keeps the capsule, and the table, for the life of the process.
    return static_cast<void**>(PyCapsule_GetPointer(capsule.get(), name));
}

}  // namespace

bool import_numpy() {
    const long major = numpy_major_version();
    if (major == -1) {
        if (PyErr_Occurred() == nullptr) {
            PyErr_SetString(PyExc_ImportError, "cannot read numpy's major version");
        }
        return false;
    }
    PyRef umath = PyRef::steal(
        PyImport_ImportModule(major < 2 ? "numpy.core._multiarray_umath" : "numpy._core._multiarray_umath"));
    if (!umath) {
        return false;
    }
    void** array_api = api_table(umath.get(), "_ARRAY_API");
    if (array_api == nullptr) {
        return false;
    }
    void** ufunc_api = api_table(umath.get(), "_UFUNC_API");
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
