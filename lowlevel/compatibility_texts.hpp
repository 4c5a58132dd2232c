// Compatibility texts: names and messages that callers see and match on,
// reproduced character for character.
//
// Code written for modules built with the usual Rust binding tools for
// Python and NumPy (PyO3 and its NumPy companion) catches their exception
// class by its qualified name, matches their messages, and shares their
// borrow registry through its attribute name. This module keeps every one of
// those texts exactly, oddities included. In particular:
//   - "Interal" in kBorrowCheckingApiError is misspelt on purpose;
//   - "PyString", "PyList", "PyArray<T, D>" and "PyCapsule" name the target
//     types of those tools, not types of this module;
//   - the panic texts say "PyO3" and "ffi boundary" for the same reason.
// Do not correct, reword or re-wrap anything here.
#pragma once

#include <string>
#include <string_view>

namespace kestrelfin::lowlevel::texts {

// ---- The fault exception class -------------------------------------------------

// The part before the dot becomes the class's __module__, the rest its __name__.
inline constexpr char kPanicExceptionName[] = "pyo3_runtime.PanicException";

// 235 characters, opening and closing with a newline.
inline constexpr char kPanicExceptionDoc[] =
    "\n"
    "The exception raised if native code called from Python faults.\n"
    "\n"
    "Like SystemExit, this exception is derived from BaseException so that\n"
    "it will typically propagate all the way through the stack and cause the\n"
    "Python interpreter to exit.\n";

// Written to standard error, in this order, when a PanicException comes back
// through Python code and the fault resumes.
inline constexpr char kResumingPanicNotice[] =
    "--- PyO3 is resuming a panic after fetching a PanicException from Python. ---\n";
inline constexpr char kResumingPanicTraceHeader[] = "Python stack trace below:\n";

// The resumed fault's message when the exception has no usable str().
inline constexpr char kUnwrappedPanic[] = "Unwrapped panic from Python code";

// The fatal report of a fault that escaped an entry's containment.
inline constexpr char kUncaughtPanic[] = "uncaught panic at ffi boundary";

// The fatal fault when the PanicException class cannot be created; a
// description of the interpreter's error follows after a blank.
inline constexpr char kPanicTypeFailed[] = "Failed to initialize new exception type.";

// ---- Interpreter calls -----------------------------------------------------------

// The fault when the interpreter returns no object where one is indispensable.
inline constexpr char kPythonApiCallFailed[] = "Python API call failed";

// SystemError when an interpreter call reported failure without an exception.
inline constexpr char kNoExceptionSet[] = "attempted to fetch exception but none was set";

// ImportError when a second interpreter imports the module.
inline constexpr char kSubinterpreterMessage[] =
    "PyO3 modules do not yet support subinterpreters, see https://github.com/PyO3/pyo3/issues/576";

// The fault when the module's __all__ cannot take a name; ": " and a debug
// description of the error follow.
inline constexpr char kAppendToAllFailed[] = "could not append __name__ to __all__";

// ---- Conversion failures ------------------------------------------------------------

// Stands for the type's name when the interpreter cannot give it.
inline constexpr char kUnknownTypeName[] = "<failed to extract type name>";

// The targets named by conversion failures.
inline constexpr char kPyString[] = "PyString";
inline constexpr char kPyList[] = "PyList";
inline constexpr char kPyArray[] = "PyArray<T, D>";
inline constexpr char kPyCapsule[] = "PyCapsule";

// "'<type name>' object cannot be converted to '<target>'". Built by
// appending, in one buffer.
inline std::string cannot_convert(std::string_view type_name, std::string_view target) {
    std::string text;
    text.reserve(type_name.size() + target.size() + 40);
    text += '\'';
    text += type_name;
    text += "' object cannot be converted to '";
    text += target;
    text += '\'';
    return text;
}

// ---- NumPy access -----------------------------------------------------------------------

// The faults of NumPy's API table and of the borrow registry; ": " and a
// debug description of the underlying error follow.
inline constexpr char kNumpyApiError[] = "Failed to access NumPy array API capsule";
inline constexpr char kBorrowCheckingApiError[] = "Interal borrow checking API error";

// The attribute of NumPy's multiarray module that holds the shared borrow
// record, and the name of the capsule that holds it: every module sharing
// the registry names both so.
inline constexpr char kBorrowRegistryAttribute[] = "_RUST_NUMPY_BORROW_CHECKING_API";

// The fault when another module holds an input array for writing.
inline constexpr char kAlreadyBorrowed[] = "called `Result::unwrap()` on an `Err` value: AlreadyBorrowed";

// "Unexpected return code <code> from borrow checking API".
inline std::string unexpected_return_code(int code) {
    std::string text = "Unexpected return code ";
    text += std::to_string(code);
    text += " from borrow checking API";
    return text;
}

// The result arrays' owner class (its __name__ is the part after the dot)
// and the faults of creating it and its instances; after the latter, ": "
// and a debug description of the error follow.
inline constexpr char kSliceContainerTypeName[] = "_kestrelfin.PySliceContainer";
inline constexpr char kSliceContainerTypeFailed[] = "failed to create type object for PySliceContainer";
inline constexpr char kSliceContainerFailed[] = "Failed to create slice container";

}  // namespace kestrelfin::lowlevel::texts
