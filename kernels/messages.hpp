// The texts of the errors a caller can meet in a computation, the one home
// both modules word them from (character for character what _kestrelfin
// has always raised): the flag's and the implied-volatility solver's.
// Python-free: which exception class carries a text is each module's
// business.
#pragma once

#include "core/implied_volatility.hpp"

#include <string_view>

namespace kestrelfin::kernels::messages {

// An empty flag; a flag starting with another character is this text, then
// ", got " and the flag quoted (cpython/flag_error.hpp).
inline constexpr std::string_view kFlagExpected = "flag must be 'c' or 'p'";
inline constexpr std::string_view kFlagGot = ", got ";

// The solver's failures; the empty text for none. Their order is the
// ImpliedVolError's, the reason code kestrelfin._ufuncs reports.
constexpr std::string_view solver_failure(core::ImpliedVolError error) noexcept {
    switch (error) {
        case core::ImpliedVolError::BelowIntrinsic:
            return "price is below intrinsic value";
        case core::ImpliedVolError::AboveMaximum:
            return "price exceeds theoretical maximum";
        case core::ImpliedVolError::NotConverged:
            return "IV solver failed to converge";
        case core::ImpliedVolError::None:
            break;
    }
    return "";
}

inline constexpr core::ImpliedVolError kSolverOutcomes[] = {
    core::ImpliedVolError::None, core::ImpliedVolError::BelowIntrinsic, core::ImpliedVolError::AboveMaximum,
    core::ImpliedVolError::NotConverged};

}  // namespace kestrelfin::kernels::messages
