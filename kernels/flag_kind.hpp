// How a flag names the option kind: by its first character alone, 'c' or
// 'C' a call, 'p' or 'P' a put, whatever follows ("call", "Put", "p"). The
// one statement of the rule, for every reader of flags: _kestrelfin's
// functions, kestrelfin._ufuncs' object arrays of flags and its one-option
// implied volatility.
#pragma once

#include "core/option_kind.hpp"

#include <optional>

namespace kestrelfin::kernels {

constexpr std::optional<core::OptionKind> kind_of_first_character(char32_t first) noexcept {
    switch (first) {
        case U'c':
        case U'C':
            return core::OptionKind::Call;
        case U'p':
        case U'P':
            return core::OptionKind::Put;
        default:
            return std::nullopt;
    }
}

}  // namespace kestrelfin::kernels
