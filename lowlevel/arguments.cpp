// The first steps of every call of _kestrelfin (arguments.hpp): matching
// arguments to parameters with the interpreter's wording of every mismatch,
// converting them, and renaming a conversion's TypeError after its
// parameter.
#include "lowlevel/arguments.hpp"

#include "lowlevel/compatibility_texts.hpp"
#include "cpython/flag_error.hpp"

#include <array>
#include <string>

namespace kestrelfin::lowlevel {

namespace {

[[noreturn]] void fail_type_error(PyRef message) {
    if (!message) {
        fail_with_raised_exception();
    }
    PyRef exception = PyRef::steal(PyObject_CallFunctionObjArgs(PyExc_TypeError, message.get(), nullptr));
    if (!exception) {
        fail_with_raised_exception();
    }
    throw PendingError(std::move(exception));
}

// Messages are built by appending to one string, never by prepending.
void append_quoted_parameter(std::string& out, std::string_view name) {
    out += '\'';
    out += name;
    out += '\'';
}

// 'a'; 'a' and 'b'; 'a', 'b', and 'c'
void append_list_of_names(std::string& out, std::span<const std::string_view> names) {
    for (size_t i = 0; i < names.size(); ++i) {
        if (i > 0) {
            out += names.size() == 2 ? " and " : (i + 1 == names.size() ? ", and " : ", ");
        }
        append_quoted_parameter(out, names[i]);
    }
}

[[noreturn]] void fail_missing(const char* function_name, std::span<const std::string_view> parameters,
                               std::span<PyObject*> slots) {
    std::array<std::string_view, 8> missing{};
    size_t count = 0;
    for (size_t i = 0; i < slots.size(); ++i) {
        if (slots[i] == nullptr) {
            missing[count++] = parameters[i];
        }
    }
    std::string message = function_name;
    message += "() missing ";
    message += std::to_string(count);
    message += " required positional ";
    message += count == 1 ? "argument" : "arguments";
    message += ": ";
    append_list_of_names(message, std::span(missing.data(), count));
    fail(ErrorClass::TypeError, std::move(message));
}

}  // namespace

void match_arguments(const char* function_name, std::span<const std::string_view> parameters, PyObject* args,
                     PyObject* kwargs, std::span<PyObject*> slots) {
    const Py_ssize_t given = PyTuple_Size(args);
    const auto count = static_cast<Py_ssize_t>(parameters.size());
    if (given > count) {
        std::string message = function_name;
        message += "() takes ";
        message += std::to_string(count);
        message += " positional arguments but ";
        message += std::to_string(given);
        message += " were given";
        fail(ErrorClass::TypeError, std::move(message));
    }
    for (Py_ssize_t i = 0; i < given; ++i) {
        slots[static_cast<size_t>(i)] = PyTuple_GetItem(args, i);
    }
    if (kwargs != nullptr) {
        Py_ssize_t position = 0;
        PyObject* key = nullptr;
        PyObject* value = nullptr;
        while (PyDict_Next(kwargs, &position, &key, &value)) {
            Py_ssize_t size = 0;
            const char* text = PyUnicode_Check(key) ? PyUnicode_AsUTF8AndSize(key, &size) : nullptr;
            size_t index = parameters.size();
            if (text != nullptr) {
                const std::string_view name(text, static_cast<size_t>(size));
                for (size_t i = 0; i < parameters.size(); ++i) {
                    if (parameters[i] == name) {
                        index = i;
                        break;
                    }
                }
            } else {
                PyErr_Clear();
            }
            if (index == parameters.size()) {
                fail_type_error(PyRef::steal(
                    PyUnicode_FromFormat("%s() got an unexpected keyword argument '%S'", function_name, key)));
            }
            if (slots[index] != nullptr) {
                std::string message = function_name;
                message += "() got multiple values for argument ";
                append_quoted_parameter(message, parameters[index]);
                fail(ErrorClass::TypeError, std::move(message));
            }
            slots[index] = value;
        }
    }
    for (PyObject* slot : slots) {
        if (slot == nullptr) {
            fail_missing(function_name, parameters, slots);
        }
    }
}

void fail_conversion(PyRef exception, const char* parameter) {
    if (Py_TYPE(exception.get()) != reinterpret_cast<PyTypeObject*>(PyExc_TypeError)) {
        throw PendingError(std::move(exception));
    }
    PyRef message = PyRef::steal(PyUnicode_FromFormat("argument '%s': %S", parameter, exception.get()));
    if (!message) {
        fail_with_raised_exception();
    }
    PyRef renamed = PyRef::steal(PyObject_CallFunctionObjArgs(PyExc_TypeError, message.get(), nullptr));
    if (!renamed) {
        fail_with_raised_exception();
    }
    if (PyObject* cause = PyException_GetCause(exception.get())) {
        PyException_SetCause(renamed.get(), cause);  // steals the new reference
    }
    throw PendingError(std::move(renamed));
}

std::string_view convert_text(PyObject* object, const char* parameter) {
    if (!PyUnicode_Check(object)) {
        std::string message = "argument '";
        message += parameter;
        message += "': ";
        message += texts::cannot_convert(type_name_of(object), texts::kPyString);
        fail(ErrorClass::TypeError, std::move(message));
    }
    Py_ssize_t size = 0;
    const char* text = PyUnicode_AsUTF8AndSize(object, &size);
    if (text == nullptr) {
        PyRef exception = take_raised_exception();
        if (!exception) {
            fail(ErrorClass::SystemError, texts::kNoExceptionSet);
        }
        fail_conversion(std::move(exception), parameter);
    }
    return {text, static_cast<size_t>(size)};
}

void fail_flag(std::string_view text) {
    fail(ErrorClass::ValueError, cpython::flag_error_message(text));
}

}  // namespace kestrelfin::lowlevel
