// The scalar call protocol: match, convert in the family's order, parse the
// flag, call the core operation once and box the result.
#pragma once

#include "binding/arguments.hpp"
#include "core/implied_volatility.hpp"

#include <array>
#include <cstddef>
#include <type_traits>
#include <utility>

namespace kestrelfin::binding {

// One option through the function's core operation, in one compiled
// instance per operation. The scalar function, the array function's scalar
// paths and (for Black-Scholes) the Black-Scholes-Merton twin all run it,
// so they agree to the last bit even where a NaN's payload depends on how
// the compiler ordered the operands of an operation. (noipa: no inlining,
// and no clone specialised for a constant argument such as q = 0.)
template <class Function, class... Numbers>
[[gnu::noipa]] auto compiled_operation(core::OptionKind kind, Numbers... numbers) noexcept {
    return Function::operation(kind, numbers...);
}

template <class Function, class... Numbers>
inline auto scalar_operation(core::OptionKind kind, Numbers... numbers) noexcept {
    using Twin = typename Function::Twin;
    if constexpr (std::is_same_v<Twin, Function>) {
        return compiled_operation<Function>(kind, numbers...);
    } else {
        // Black-Scholes: the Black-Scholes-Merton function with q = +0.0.
        return compiled_operation<Twin>(kind, numbers..., 0.0);
    }
}

// The core operations take the kind first, then the numbers in the order of
// the Python signature, so one expansion serves every family.
template <class Function, std::size_t N, std::size_t... I>
inline auto invoke_operation(core::OptionKind kind, const std::array<double, N>& numbers,
                             std::index_sequence<I...>) {
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
            fail(ErrorClass::RuntimeError, core::message(result.error));
        case core::ImpliedVolError::BelowIntrinsic:
        case core::ImpliedVolError::AboveMaximum:
            break;
    }
    fail(ErrorClass::ValueError, core::message(result.error));
}

template <class Function>
PyObject* call_scalar(PyObject* args, PyObject* kwargs) {
    using Family = typename Function::Family;
    constexpr std::size_t arity = Family::arity;

    std::array<PyObject*, arity> slots{};
    match_arguments(Function::name, Family::parameters, args, kwargs, slots);

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

}  // namespace kestrelfin::binding
