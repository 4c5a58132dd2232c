// Flags in kestrelfin._ufuncs: option kinds read from an object array of
// flags, one per option, and the error of a flag that is no flag.
#pragma once

#include "cpython/python.hpp"

#include <string_view>

namespace kestrelfin::ufuncs {

// first_characters(flags, is_call) -> int: reads each element of `flags`, a
// one-dimensional C-contiguous object array, by its first character, 'c' or
// 'C' a call (writes True into `is_call`), 'p' or 'P' a put (False); a bytes
// element is read by its first byte. `is_call` is a bool array of the same
// length and layout. Returns -1 when every element is a flag, otherwise the
// index of the first that is not (a str or bytes that starts with another
// character or is empty, or an object of another type), leaving the rest of
// `is_call` unwritten.
PyObject* first_characters(PyObject* module, PyObject* args);

// flag_error(flag) -> ValueError: the error _kestrelfin raises for a str
// flag that is no flag, with its text ("flag must be 'c' or 'p'", or with
// ", got " and the flag quoted), for the package to raise or to word a
// shorter message from. (A str that has no UTF-8 form, with a lone
// surrogate, gives the UnicodeEncodeError that _kestrelfin raises then.)
PyObject* flag_error(PyObject* module, PyObject* flag);

// A new ValueError with the flag error's text for `text` (UTF-8), or null
// with an exception set.
PyObject* new_flag_error(std::string_view text) noexcept;

}  // namespace kestrelfin::ufuncs
