// The text of the error for a flag that is no flag, as both modules raise it
// (with ValueError): "flag must be 'c' or 'p'" for an empty flag, and
// otherwise that text, ", got " and the flag quoted (quoted_text.hpp).
#pragma once

#include <string>
#include <string_view>

namespace kestrelfin::cpython {

// `utf8` is the flag's text (valid UTF-8, as the interpreter gives it).
std::string flag_error_message(std::string_view utf8);

}  // namespace kestrelfin::cpython
