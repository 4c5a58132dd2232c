// NumPy's core package and API tables, for both modules (numpy_import.hpp).
#include "cpython/numpy_import.hpp"

namespace kestrelfin::cpython {
namespace {

constexpr NumpyCore kNumpy1 = {"numpy.core.multiarray", "numpy.core._multiarray_umath"};
constexpr NumpyCore kNumpy2 = {"numpy._core.multiarray", "numpy._core._multiarray_umath"};

}  // namespace

const NumpyCore* numpy_core() {
    PyRef numpy = PyRef::steal(PyImport_ImportModule("numpy"));
    if (!numpy) {
        return nullptr;
    }
    PyRef version = PyRef::steal(PyObject_GetAttrString(numpy.get(), "__version__"));
    if (!version) {
        return nullptr;
    }
    PyRef lib = PyRef::steal(PyImport_ImportModule("numpy.lib"));
    if (!lib) {
        return nullptr;
    }
    PyRef parsed = PyRef::steal(PyObject_CallMethod(lib.get(), "NumpyVersion", "O", version.get()));
    if (!parsed) {
        return nullptr;
    }
    PyRef major = PyRef::steal(PyObject_GetAttrString(parsed.get(), "major"));
    if (!major) {
        return nullptr;
    }
    const long value = PyLong_AsLong(major.get());
    if (value == -1 && PyErr_Occurred() != nullptr) {
        return nullptr;
    }
    return value < 2 ? &kNumpy1 : &kNumpy2;
}

ApiTable numpy_api_table(const char* module_name, const char* attribute) {
    PyRef module = PyRef::steal(PyImport_ImportModule(module_name));
    if (!module) {
        return {};
    }
    PyRef capsule = PyRef::steal(PyObject_GetAttrString(module.get(), attribute));
    if (!capsule) {
        return {};
    }
    if (!PyCapsule_CheckExact(capsule.get())) {
        return {nullptr, std::move(capsule)};
    }
    return {static_cast<void**>(PyCapsule_GetPointer(capsule.get(), nullptr)), PyRef()};
}

}  // namespace kestrelfin::cpython
