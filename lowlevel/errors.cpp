// How failures leave _kestrelfin (errors.hpp): raising a pending error, the
// PanicException class, taking the interpreter's exception, and the fault
// reports written to standard error.
#include "lowlevel/errors.hpp"

#include "lowlevel/compatibility_texts.hpp"

#include <cstdio>
#include <cstdlib>

namespace kestrelfin::lowlevel {
namespace {

// Created on first need and kept for the life of the process.
PyObject* g_panic_exception_type = nullptr;

// The PanicException class, or null with the interpreter's error pending
// when it cannot be created.
PyObject* find_or_create_panic_exception_type() noexcept {
    if (g_panic_exception_type == nullptr) {
        PyRef created = PyRef::steal(PyErr_NewExceptionWithDoc(texts::kPanicExceptionName, texts::kPanicExceptionDoc,
                                                               PyExc_BaseException, nullptr));
        if (!created) {
            return nullptr;
        }
        // Should it have been stored meanwhile, the new class is dropped.
        if (g_panic_exception_type == nullptr) {
            g_panic_exception_type = created.release();
        }
    }
    return g_panic_exception_type;
}

// Without the class no fault can be reported: the process ends, after a
// report naming the interpreter's error.
[[noreturn]] void abort_without_panic_exception_type() noexcept {
    PyRef error = PyRef::steal(PyErr_GetRaisedException());
    try {
        std::string message = texts::kPanicTypeFailed;
        if (error) {
            message += ' ';
            message += describe_exception(error.get());
        }
        detail::report_fault(message);
    } catch (...) {
        // Not even the report's text could be built.
        detail::report_fault(texts::kPanicTypeFailed);
    }
    detail::abort_uncaught_fault();
}

PyObject* class_object(ErrorClass error_class) noexcept {
    switch (error_class) {
        case ErrorClass::TypeError:
            return PyExc_TypeError;
        case ErrorClass::ValueError:
            return PyExc_ValueError;
        case ErrorClass::RuntimeError:
            return PyExc_RuntimeError;
        case ErrorClass::ImportError:
            return PyExc_ImportError;
        case ErrorClass::SystemError:
            return PyExc_SystemError;
        case ErrorClass::MemoryError:
            return PyExc_MemoryError;
        case ErrorClass::Panic:
            return panic_exception_type();
    }
    return PyExc_SystemError;
}

// Sets `error_class(message)` as the pending exception. Returns false, with
// the interpreter's own error pending instead, when the message str (or, for
// PanicException, the tuple of its arguments) cannot be made.
bool set_lazy_error(ErrorClass error_class, std::string_view message) noexcept {
    PyObject* type = class_object(error_class);
    PyRef text = PyRef::steal(PyUnicode_FromStringAndSize(message.data(), static_cast<Py_ssize_t>(message.size())));
    if (!text) {
        return false;
    }
    PyRef value;
    if (error_class == ErrorClass::Panic) {
        value = PyRef::steal(PyTuple_Pack(1, text.get()));
        if (!value) {
            return false;
        }
    } else {
        value = std::move(text);
    }
    // Should the instance itself not fit, the interpreter leaves its own
    // MemoryError pending instead.
    PyErr_SetObject(type, value.get());
    return true;
}

// Raises `error_class(message)`, or what stands in for it when the
// interpreter cannot make it. Memory running out is the one way that can
// happen with the module's texts (all valid UTF-8), and the caller then gets
// MemoryError: the interpreter raises it from instances it keeps in
// reserve, so it cannot fail in turn. Any other failure means the module
// built a text the interpreter refuses, a fault of the module's own, which
// is reported like any interpreter call that returned no object.
void raise_lazy_error(ErrorClass error_class, std::string_view message) noexcept {
    if (set_lazy_error(error_class, message)) {
        return;
    }
    if (PyErr_Occurred() != nullptr && !PyErr_ExceptionMatches(PyExc_MemoryError)) {
        PyErr_Print();
        detail::report_fault(texts::kPythonApiCallFailed);
        // A short ASCII text: only memory can stop it now.
        if (set_lazy_error(ErrorClass::Panic, texts::kPythonApiCallFailed)) {
            return;
        }
    }
    detail::raise_no_memory();
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
        message = texts::kUnwrappedPanic;
    }
    std::fputs(texts::kResumingPanicNotice, stderr);
    std::fputs(texts::kResumingPanicTraceHeader, stderr);
    std::fflush(stderr);
    PyErr_SetRaisedException(exception.release());
    PyErr_PrintEx(0);
    throw InternalFault{std::move(message)};
}

}  // namespace

PyObject* panic_exception_type() noexcept {
    PyObject* type = find_or_create_panic_exception_type();
    if (type == nullptr) {
        abort_without_panic_exception_type();
    }
    return type;
}

void PendingError::raise() && noexcept {
    if (exception_) {
        PyErr_SetRaisedException(exception_.release());
        return;
    }
    raise_lazy_error(error_class_, message_);
}

void fault(std::string message) {
    detail::report_fault(message);
    throw InternalFault{std::move(message)};
}

void fault_python_api_call_failed() {
    if (PyErr_Occurred() != nullptr) {
        PyErr_Print();
    }
    fault(texts::kPythonApiCallFailed);
}

PyRef take_raised_exception() {
    PyRef exception = PyRef::steal(PyErr_GetRaisedException());
    if (!exception) {
        return exception;
    }
    // The class is created here at the latest, so that an instance raised
    // later from Python code can be recognised. If memory is too short to
    // create it, no instance of it can exist yet, and the exception taken
    // (most likely the MemoryError itself) goes on as an ordinary one.
    PyObject* panic_type = find_or_create_panic_exception_type();
    if (panic_type == nullptr) {
        PyErr_Clear();
    } else if (Py_TYPE(exception.get()) == reinterpret_cast<PyTypeObject*>(panic_type)) {
        resume_panic(std::move(exception));
    }
    return exception;
}

void fail_with_raised_exception() {
    PyRef exception = take_raised_exception();
    if (!exception) {
        fail(ErrorClass::SystemError, texts::kNoExceptionSet);
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
    return texts::kUnknownTypeName;
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
    std::fprintf(stderr, "kestrelfin: internal fault: %.*s\n", static_cast<int>(message.size()), message.data());
    std::fflush(stderr);
}

void abort_uncaught_fault() noexcept {
    report_fault(texts::kUncaughtPanic);
    std::abort();
}

void raise_panic(std::string_view message) noexcept {
    raise_lazy_error(ErrorClass::Panic, message);
}

void raise_no_memory() noexcept {
    // Whatever was pending is replaced; PyErr_NoMemory cannot fail.
    PyErr_Clear();
    PyErr_NoMemory();
}

}  // namespace detail
}  // namespace kestrelfin::lowlevel
