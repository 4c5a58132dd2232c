// An owned (strong) reference to a Python object.
//
// Every reference the module creates lives in a PyRef until it is handed to
// the interpreter with release(), so no error path has to remember a decref.
#pragma once

#include "cpython/python.hpp"

#include <utility>

namespace kestrelfin::cpython {

class PyRef {
public:
    PyRef() noexcept = default;
    PyRef(const PyRef&) = delete;
    PyRef& operator=(const PyRef&) = delete;
    PyRef(PyRef&& other) noexcept : object_(std::exchange(other.object_, nullptr)) {}
    PyRef& operator=(PyRef&& other) noexcept {
        PyRef moved(std::move(other));
        std::swap(object_, moved.object_);
        return *this;
    }
    ~PyRef() { Py_XDECREF(object_); }

    // Takes over a new reference (a null one stays empty).
    static PyRef steal(PyObject* object) noexcept { return PyRef(object); }
    // Takes a new reference to a borrowed object.
    static PyRef borrow(PyObject* object) noexcept {
        Py_XINCREF(object);
        return PyRef(object);
    }

    PyObject* get() const noexcept { return object_; }
    explicit operator bool() const noexcept { return object_ != nullptr; }
    // Hands the reference to the caller, who becomes responsible for it.
    [[nodiscard]] PyObject* release() noexcept { return std::exchange(object_, nullptr); }

private:
    explicit PyRef(PyObject* object) noexcept : object_(object) {}
    PyObject* object_ = nullptr;
};

}  // namespace kestrelfin::cpython
