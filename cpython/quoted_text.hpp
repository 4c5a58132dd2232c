// A text written as a double-quoted literal, the way a debug representation
// writes it: for the one message that shows a caller's text back to them
// (the flag error). Kept apart from argument handling because it is a small
// UTF-8 decoder and a table of Unicode properties, not call protocol.
#pragma once

#include <string>
#include <string_view>

namespace kestrelfin::cpython {

// Appends to `out` the text between double quotes, with \" \\ \n \r \t \0
// for those characters, \u{hex} (lower case, no leading zeros) for every
// other non-printable or grapheme-extending character, and every other
// character, non-ASCII ones included, as it is. `utf8` must be valid UTF-8
// (text the interpreter produced). Appending, rather than returning a new
// string, keeps a long text's message in one buffer.
void append_quoted_text(std::string& out, std::string_view utf8);

}  // namespace kestrelfin::cpython
