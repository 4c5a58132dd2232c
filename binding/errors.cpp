#include "binding/errors.hpp"

#include <cstdio>
#include <cstdlib>

namespace kestrelfin::binding {
namespace {

constexpr const char* kPanicExceptionName = "pyo3_runtime.PanicException";

// 235 characters, opening and closing with a newline.
constexpr const char* kPanicExceptionDoc =
    "\n"
    "The exception raised if native code called from Python faults.\n"
    "\n"
    "Like SystemExit, this exception is derived from BaseException so that\n"
    "it will typically propagate all the way through the stack and cause the\n"
    "Python interpreter to exit.\n";

// Created on first need and kept for the life of the process.
PyObject* g_panic_exception_type = nullptr;

PyObject* class_object(ErrorClass error_class) {
    switch (error_class) {
        case ErrorClass::TypeError: return PyExc_TypeError;
        case ErrorClass::ValueError: return PyExc_ValueError;
        case ErrorClass::RuntimeError: return PyExc_RuntimeError;
        case ErrorClass::ImportError: return PyExc_ImportError;
        case ErrorClass::SystemError: return PyExc_SystemError;
        case ErrorClass::MemoryError: return PyExc_MemoryError;
        case ErrorClass::Panic: return panic_exception_type();
    }
    return PyExc_SystemError;
}

// str() of an object as UTF-8 into `out`; false (and no exception left
// pending) when the object has no usable str().
bool str_of(PyObject* object, std::string& out) {
    PyRef text = PyRef::steal(PyObject_Str(object));
    if (!text) {
        PyErr_Clear();
        return false;
    }
    Py_ssize_t size = 0;
    const char* utf8 = PyUnicode_AsUTF8AndSize(text.get(), &size);
    if (utf8 == nullptr) {
        PyErr_Clear();
        return false;
    }
    out.assign(utf8, static_cast<size_t>(size));
    return true;
}

std::string repr_of(PyObject* object) {
    PyRef text = PyRef::steal(PyObject_Repr(object));
    std::string out;
    if (text && str_of(text.get(), out)) {
        return out;
    }
    PyErr_Clear();
    return "<unrepresentable object>";
}

// Resumes a PanicException that came back through Python code (for example
// raised from an argument's __float__): the fault goes on under its message.
[[noreturn]] void resume_panic(PyRef exception) {
    std::string message;
    if (!str_of(exception.get(), message)) {
        message = "Unwrapped panic from Python code";
    }
    std::fputs("--- PyO3 is resuming a panic after fetching a PanicException from Python. ---\n", stderr);
    std::fputs("Python stack trace below:\n", stderr);
    std::fflush(stderr);
    PyErr_SetRaisedException(exception.release());
    PyErr_PrintEx(0);
    throw InternalFault{std::move(message)};
}

}  // namespace

PyObject* panic_exception_type() {
    if (g_panic_exception_type == nullptr) {
        PyObject* created = PyErr_NewExceptionWithDoc(kPanicExceptionName, kPanicExceptionDoc,
                                                       PyExc_BaseException, nullptr);
        if (created == nullptr) {
            // Without the class no fault can be reported: this is fatal.
            PyRef error = PyRef::steal(PyErr_GetRaisedException());
            std::string message = "Failed to initialize new exception type.";
            if (error) {
                message += " " + describe_exception(error.get());
            }
            detail::report_fault(message);
            detail::abort_uncaught_fault();
        }
        if (g_panic_exception_type == nullptr) {
            g_panic_exception_type = created;
        } else {
            Py_DECREF(created);
        }
    }
    return g_panic_exception_type;
}

void PendingError::raise() && {
    if (exception_) {
        PyErr_SetRaisedException(exception_.release());
        return;
    }
    PyRef error_class = PyRef::borrow(class_object(error_class_));
    PyRef text = PyRef::steal(
        PyUnicode_FromStringAndSize(message_.data(), static_cast<Py_ssize_t>(message_.size())));
    if (!text) {
        throw InternalFault{"failed to create an exception message"};
    }
    PyRef value;
    if (error_class_ == ErrorClass::Panic) {
        value = PyRef::steal(PyTuple_Pack(1, text.get()));
        if (!value) {
            throw InternalFault{"failed to create an exception message"};
        }
    } else {
        value = std::move(text);
    }
    PyErr_SetObject(error_class.get(), value.get());
}

void fault(std::string message) {
    detail::report_fault(message);
    throw InternalFault{std::move(message)};
}

void fault_python_api_call_failed() {
    if (PyErr_Occurred() != nullptr) {
        PyErr_Print();
    }
    fault("Python API call failed");
}

PyRef take_raised_exception() {
    PyRef exception = PyRef::steal(PyErr_GetRaisedException());
    if (exception && Py_TYPE(exception.get()) == reinterpret_cast<PyTypeObject*>(panic_exception_type())) {
        resume_panic(std::move(exception));
    }
    return exception;
}

void fail_with_raised_exception() {
    PyRef exception = take_raised_exception();
    if (!exception) {
        fail(ErrorClass::SystemError, "attempted to fetch exception but none was set");
    }
    throw PendingError(std::move(exception));
}

std::string type_name_of(PyObject* object) {
    PyRef name = PyRef::steal(PyType_GetQualName(Py_TYPE(object)));
    std::string out;
    if (name && str_of(name.get(), out)) {
        return out;
    }
    PyErr_Clear();
    return "<failed to extract type name>";
}

std::string describe_exception(PyObject* exception) {
    PyRef traceback = PyRef::steal(PyException_GetTraceback(exception));
    std::string out = "PyErr { type: ";
    out += repr_of(reinterpret_cast<PyObject*>(Py_TYPE(exception)));
    out += ", value: ";
    out += repr_of(exception);
    out += ", traceback: ";
    out += traceback ? repr_of(traceback.get()) : std::string("None");
    out += " }";
    return out;
}

namespace detail {

void report_fault(std::string_view message) noexcept {
    std::fprintf(stderr, "kestrelfin: internal fault: %.*s\n", static_cast<int>(message.size()),
                 message.data());
    std::fflush(stderr);
}

void abort_uncaught_fault() noexcept {
    report_fault("uncaught panic at ffi boundary");
    std::abort();
}

void raise_panic(std::string message) {
    PendingError(ErrorClass::Panic, std::move(message)).raise();
}

void raise_no_memory() noexcept {
    PyErr_NoMemory();
}

}  // namespace detail
}  // namespace kestrelfin::binding
