// Option kinds read from an object array of flags, one per option.
#pragma once

#include "cpython/python.hpp"

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

}  // namespace kestrelfin::ufuncs
