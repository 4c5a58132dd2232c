// The flag error's text (flag_error.hpp), from the texts of
// kernels/messages.hpp.
#include "cpython/flag_error.hpp"

#include "cpython/quoted_text.hpp"
#include "kernels/messages.hpp"

namespace kestrelfin::cpython {

std::string flag_error_message(std::string_view utf8) {
    std::string message(kernels::messages::kFlagExpected);
    if (!utf8.empty()) {
        message += kernels::messages::kFlagGot;
        append_quoted_text(message, utf8);
    }
    return message;
}

}  // namespace kestrelfin::cpython
