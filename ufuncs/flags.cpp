#include "ufuncs/flags.hpp"

#include "ufuncs/numpy_headers.hpp"

#include <cstddef>

namespace kestrelfin::ufuncs {
namespace {

enum class Parsed { Call, Put, Invalid };

Parsed parse_character(Py_UCS4 c) noexcept {
    if (c == 'c' || c == 'C') {
        return Parsed::Call;
    }
    if (c == 'p' || c == 'P') {
        return Parsed::Put;
    }
    return Parsed::Invalid;
}

Parsed parse_flag(PyObject* item) noexcept {
    if (PyUnicode_Check(item)) {
        if (PyUnicode_GetLength(item) < 1) {
            return Parsed::Invalid;
        }
        return parse_character(PyUnicode_ReadChar(item, 0));
    }
    if (PyBytes_Check(item)) {
        if (PyBytes_Size(item) < 1) {
            return Parsed::Invalid;
        }
        return parse_character(static_cast<unsigned char>(PyBytes_AsString(item)[0]));
    }
    return Parsed::Invalid;
}

bool is_vector(PyObject* object, int type) {
    if (!PyArray_Check(object)) {
        return false;
    }
    auto* array = reinterpret_cast<PyArrayObject*>(object);
    return PyArray_NDIM(array) == 1 && PyArray_TYPE(array) == type && PyArray_CHKFLAGS(array, NPY_ARRAY_C_CONTIGUOUS) &&
           PyArray_CHKFLAGS(array, NPY_ARRAY_ALIGNED);
}

}  // namespace

PyObject* first_characters(PyObject* /*module*/, PyObject* args) {
    PyObject* flags = nullptr;
    PyObject* is_call = nullptr;
    if (!PyArg_ParseTuple(args, "OO:first_characters", &flags, &is_call)) {
        return nullptr;
    }
    if (!is_vector(flags, NPY_OBJECT) || !is_vector(is_call, NPY_BOOL) ||
        !PyArray_CHKFLAGS(reinterpret_cast<PyArrayObject*>(is_call), NPY_ARRAY_WRITEABLE)) {
        PyErr_SetString(PyExc_TypeError,
                        "first_characters expects a contiguous object vector and a writeable bool vector");
        return nullptr;
    }
    auto* source = reinterpret_cast<PyArrayObject*>(flags);
    auto* target = reinterpret_cast<PyArrayObject*>(is_call);
    const npy_intp n = PyArray_DIM(source, 0);
    if (PyArray_DIM(target, 0) != n) {
        PyErr_SetString(PyExc_ValueError, "first_characters expects two vectors of the same length");
        return nullptr;
    }
    auto* const* items = static_cast<PyObject* const*>(PyArray_DATA(source));
    auto* out = static_cast<npy_bool*>(PyArray_DATA(target));
    // A column of flags mostly holds the same few str objects over and over
    // (one-character strs are interpreter singletons, and readers share equal
    // strs): the last object read as a call and as a put are recognised by
    // identity, without reading their text again. The array holds a reference
    // to each, so neither can be freed and replaced at the same address
    // during the loop.
    PyObject* last_call = nullptr;
    PyObject* last_put = nullptr;
    for (npy_intp i = 0; i < n; ++i) {
        PyObject* item = items[i];
        if (item != nullptr && item == last_call) {
            out[i] = 1;
            continue;
        }
        if (item != nullptr && item == last_put) {
            out[i] = 0;
            continue;
        }
        // An object array may hold null entries (np.empty(n, object) before
        // it is filled is None, but arrays made from C need not be).
        const Parsed parsed = item == nullptr ? Parsed::Invalid : parse_flag(item);
        if (parsed == Parsed::Invalid) {
            return PyLong_FromSsize_t(static_cast<Py_ssize_t>(i));
        }
        if (parsed == Parsed::Call) {
            out[i] = 1;
            last_call = item;
        } else {
            out[i] = 0;
            last_put = item;
        }
    }
    return PyLong_FromLong(-1);
}

}  // namespace kestrelfin::ufuncs
