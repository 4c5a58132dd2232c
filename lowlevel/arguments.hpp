// The scalar call protocol's first steps: matching positional and keyword
// arguments to parameters, converting them, and parsing the option flag.
#pragma once

#include "lowlevel/errors.hpp"
#include "core/option_kind.hpp"
#include "kernels/flag_kind.hpp"

#include <array>
#include <cstddef>
#include <span>
#include <string_view>

namespace kestrelfin::lowlevel {

// Fills one slot per parameter with a borrowed reference to its argument.
// Fails with the interpreter's wording for surplus, unknown, repeated or
// missing arguments.
void match_arguments(const char* function_name, std::span<const std::string_view> parameters, PyObject* args,
                     PyObject* kwargs, std::span<PyObject*> slots);

// The matched arguments of one call. Positional arguments are borrowed from
// the argument tuple, which cannot change and which the caller holds for the
// whole call. Keyword arguments are held by a strong reference until the
// call returns: the interpreter's own call paths hand over a dictionary of
// their own, but a C caller (PyObject_Call) may pass one it keeps, and an
// argument's __float__ can empty that dictionary while the call still needs
// the other arguments and the flag's text.
template <std::size_t N>
class MatchedArguments {
public:
    MatchedArguments(const char* function_name, std::span<const std::string_view> parameters, PyObject* args,
                     PyObject* kwargs) {
        match_arguments(function_name, parameters, args, kwargs, slots_);
        if (kwargs != nullptr) {
            first_owned_ = static_cast<std::size_t>(PyTuple_Size(args));
            for (std::size_t i = first_owned_; i < N; ++i) {
                Py_INCREF(slots_[i]);
            }
        }
    }
    MatchedArguments(const MatchedArguments&) = delete;
    MatchedArguments& operator=(const MatchedArguments&) = delete;
    ~MatchedArguments() {
        for (std::size_t i = first_owned_; i < N; ++i) {
            Py_DECREF(slots_[i]);
        }
    }

    PyObject* operator[](std::size_t i) const noexcept { return slots_[i]; }

private:
    std::array<PyObject*, N> slots_{};
    std::size_t first_owned_ = N;  // slots from here on came from keywords
};

// Ends the call with a failed conversion of `parameter`: an exception of
// exactly TypeError is renamed "argument '<parameter>': <text>" (keeping its
// cause); every other exception passes unchanged.
[[noreturn]] void fail_conversion(PyRef exception, const char* parameter);

// The text of a str argument, valid while the argument lives.
std::string_view convert_text(PyObject* object, const char* parameter);

// A number argument as a double, through __float__ or __index__.
inline double convert_number(PyObject* object, const char* parameter) {
    const double value = PyFloat_AsDouble(object);
    if (value == -1.0) {
        // -1.0 is an ordinary value unless the conversion left an exception.
        if (PyRef exception = take_raised_exception()) {
            fail_conversion(std::move(exception), parameter);
        }
    }
    return value;
}

[[noreturn]] void fail_flag(std::string_view text);

// Only the first character decides, so "call", "Put" and "p" all parse.
inline core::OptionKind parse_flag(std::string_view text) {
    if (!text.empty()) {
        if (const auto kind = kernels::kind_of_first_character(static_cast<unsigned char>(text.front()))) {
            return *kind;
        }
    }
    fail_flag(text);
}

}  // namespace kestrelfin::lowlevel
