// The flags of kestrelfin._ufuncs (flags.hpp).
#include "ufuncs/flags.hpp"

#include "cpython/flag_error.hpp"
#include "kernels/flag_kind.hpp"
#include "ufuncs/numpy_headers.hpp"

#include <cstddef>
#include <new>
#include <optional>
#include <string>

namespace kestrelfin::ufuncs {
namespace {

using Parsed = std::optional<core::OptionKind>;

Parsed parse_flag(PyObject* item) noexcept {
    if (PyUnicode_Check(item)) {
        if (PyUnicode_GetLength(item) < 1) {
            return std::nullopt;
        }
        return kernels::kind_of_first_character(PyUnicode_ReadChar(item, 0));
    }
    if (PyBytes_Check(item)) {
        if (PyBytes_Size(item) < 1) {
            return std::nullopt;
        }
        return kernels::kind_of_first_character(static_cast<unsigned char>(PyBytes_AsString(item)[0]));
    }
    return std::nullopt;
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
        const Parsed parsed = item == nullptr ? std::nullopt : parse_flag(item);
        if (!parsed) {
            return PyLong_FromSsize_t(static_cast<Py_ssize_t>(i));
        }
        if (*parsed == core::OptionKind::Call) {
            out[i] = 1;
            last_call = item;
        } else {
            out[i] = 0;
            last_put = item;
        }
    }
    return PyLong_FromLong(-1);
}

PyObject* new_flag_error(std::string_view text) noexcept {
    try {
        const std::string message = cpython::flag_error_message(text);
        PyObject* error_text = PyUnicode_FromStringAndSize(message.data(), static_cast<Py_ssize_t>(message.size()));
        if (error_text == nullptr) {
            return nullptr;
        }
        PyObject* error = PyObject_CallFunctionObjArgs(PyExc_ValueError, error_text, nullptr);
        Py_DECREF(error_text);
        return error;
    } catch (const std::bad_alloc&) {
        return PyErr_NoMemory();
    }
}

PyObject* flag_error(PyObject* /*module*/, PyObject* flag) {
    if (!PyUnicode_Check(flag)) {
        PyErr_SetString(PyExc_TypeError, "flag_error expects a str");
        return nullptr;
    }
    Py_ssize_t size = 0;
    const char* text = PyUnicode_AsUTF8AndSize(flag, &size);
    if (text == nullptr) {
        // No UTF-8 text (a lone surrogate): what _kestrelfin raises, its
        // conversion's error, is returned.
        return PyErr_GetRaisedException();
    }
    return new_flag_error({text, static_cast<std::size_t>(size)});
}

}  // namespace kestrelfin::ufuncs
