// The scalar call protocol: match, convert in the family's order, parse the
// flag, call the core operation once and box the result.
#pragma once

#include "kernels/messages.hpp"
#include "lowlevel/arguments.hpp"
#include "kernels/operations.hpp"
#include "core/implied_volatility.hpp"

#include <array>
#include <cstddef>
#include <type_traits>
#include <utility>

namespace kestrelfin::lowlevel {

using kernels::scalar_operation;

// The core operations take the kind first, then the numbers in the order of
// the Python signature, so one expansion serves every family.
template <class Function, std::size_t N, std::size_t... I>
inline auto invoke_operation(core::OptionKind kind, const std::array<double, N>& numbers, std::index_sequence<I...>) {
    return scalar_operation<Function>(kind, numbers[I]...);
}

inline PyObject* box(double value) {
    PyObject* result = PyFloat_FromDouble(value);
    if (result == nullptr) {
        fault_python_api_call_failed();
    }
    return result;
}

inline PyObject* box(const core::ImpliedVol& result) {
    switch (result.error) {
        case core::ImpliedVolError::None:
            return box(result.volatility);
        case core::ImpliedVolError::NotConverged:
            fail(ErrorClass::RuntimeError, std::string(kernels::messages::solver_failure(result.error)));
        case core::ImpliedVolError::BelowIntrinsic:
        case core::ImpliedVolError::AboveMaximum:
            break;
    }
    fail(ErrorClass::ValueError, std::string(kernels::messages::solver_failure(result.error)));
}

template <class Function>
PyObject* call_scalar(PyObject* args, PyObject* kwargs) {
    using Family = typename Function::Family;
    constexpr std::size_t arity = Family::arity;

    const MatchedArguments<arity> slots(Function::name, Family::parameters, args, kwargs);

    std::string_view flag;
    if constexpr (!Family::flag_last) {
        flag = convert_text(slots[Family::flag_index], "flag");
    }
    std::array<double, arity - 1> numbers;
    for (std::size_t i = 0; i < arity - 1; ++i) {
        const std::size_t slot = Family::first_number + i;
        numbers[i] = convert_number(slots[slot], Family::parameters[slot].data());
    }
    if constexpr (Family::flag_last) {
        flag = convert_text(slots[Family::flag_index], "flag");
    }
    const core::OptionKind kind = parse_flag(flag);
    return box(invoke_operation<Function>(kind, numbers, std::make_index_sequence<arity - 1>{}));
}

template <class Function>
PyObject* scalar_entry(PyObject* /*module*/, PyObject* args, PyObject* kwargs) noexcept {
    return contain([&] { return call_scalar<Function>(args, kwargs); });
}

}  // namespace kestrelfin::lowlevel
