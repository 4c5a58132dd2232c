// How failures travel inside a call and how they leave it.
//
// A failed step throws a PendingError: an exception class with its message,
// or an exception object taken from the interpreter. An internal fault (a
// condition with no ordinary error path) throws an InternalFault. Both are
// caught by contain(), which wraps every entry point, so no C++ exception
// ever reaches the interpreter.
#pragma once

#include "cpython/py_ref.hpp"

#include <new>
#include <string>
#include <string_view>
#include <utility>

namespace kestrelfin::lowlevel {

using cpython::PyRef;

// The classes the module raises by itself.
enum class ErrorClass : unsigned char {
    TypeError,
    ValueError,
    RuntimeError,
    ImportError,
    SystemError,
    MemoryError,
    Panic,
};

class PendingError {
public:
    // The lazy form: no interpreter object exists until the error is raised.
    PendingError(ErrorClass error_class, std::string message)
            : error_class_(error_class), message_(std::move(message)) {}
    // The object form: an exception instance, already complete.
    explicit PendingError(PyRef exception) noexcept : exception_(std::move(exception)) {}

    // Sets the interpreter's error indicator, and always leaves an exception
    // set: when the interpreter cannot make this one for want of memory (a
    // message too large for what is left, say), MemoryError is raised in its
    // place. The one way it cannot succeed is the PanicException class being
    // impossible to create, which is fatal (see panic_exception_type).
    void raise() && noexcept;

private:
    ErrorClass error_class_ = ErrorClass::SystemError;
    std::string message_;
    PyRef exception_;
};

// Carries an internal fault's message to the entry's containment.
struct InternalFault {
    std::string message;
};

[[noreturn]] inline void fail(ErrorClass error_class, std::string message) {
    throw PendingError(error_class, std::move(message));
}

// Writes the fault report to standard error and starts an internal fault.
[[noreturn]] void fault(std::string message);

// After an interpreter call reported failure with no usable result: prints the
// interpreter's pending exception, then faults with "Python API call failed".
[[noreturn]] void fault_python_api_call_failed();

// Takes the interpreter's pending exception. Returns an empty PyRef when none
// is pending. A PanicException travelling back through Python code resumes
// as an internal fault (and does not return). Creates the PanicException
// class if it does not exist yet; should that fail, the taken exception
// cannot be one of its instances and is returned as it is.
PyRef take_raised_exception();

// Takes the pending exception as a PendingError; reports SystemError when the
// interpreter signalled failure without setting one.
[[noreturn]] void fail_with_raised_exception();

// The qualified name of an object's type, for messages.
std::string type_name_of(PyObject* object);

// A debug description of an exception object: type, value and traceback.
std::string describe_exception(PyObject* exception);

// The PanicException class (a borrowed reference, kept for the life of the
// process), created on first need. If the interpreter cannot create it, no
// fault can be reported at all: the process ends (abort_uncaught_fault).
PyObject* panic_exception_type() noexcept;

namespace detail {

// The containment's ways out; out of line and cold. None of them throws or
// fails to leave an exception set (raise_panic may only abort, when the
// PanicException class cannot be created).
void report_fault(std::string_view message) noexcept;
[[noreturn]] void abort_uncaught_fault() noexcept;
void raise_panic(std::string_view message) noexcept;
void raise_no_memory() noexcept;

}  // namespace detail

inline constexpr const char* kGenericFaultMessage = "an internal fault occurred in kestrelfin's native code";

// Runs the body of one entry point (the module's init function or one of its
// functions). The body returns a new reference; any PendingError becomes the
// raised exception, an InternalFault (or any other C++ exception) becomes
// PanicException. Returns null with the exception set on failure.
template <class Body>
PyObject* contain(Body&& body) noexcept {
    // The guard: the handlers below throw nothing (raising ends in
    // MemoryError when memory is short), but should anything ever escape
    // them, it is fatal, never a C++ exception crossing into the interpreter.
    try {
        try {
            return std::forward<Body>(body)();
        } catch (PendingError& error) {
            std::move(error).raise();
        } catch (InternalFault& fault) {
            detail::raise_panic(fault.message);
        } catch (const std::bad_alloc&) {
            detail::raise_no_memory();
        } catch (...) {
            detail::report_fault(kGenericFaultMessage);
            detail::raise_panic(kGenericFaultMessage);
        }
    } catch (...) {
        detail::abort_uncaught_fault();
    }
    return nullptr;
}

}  // namespace kestrelfin::lowlevel
