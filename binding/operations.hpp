// The core operation behind each row of the function table, as a type the
// call protocols are instantiated with. Free of any Python type, so the
// element loops can be tested from plain C++.
#pragma once

#include "binding/families.hpp"
#include "binding/functions.hpp"
#include "core/black76.hpp"
#include "core/black_scholes_merton.hpp"
#include "core/implied_volatility.hpp"
#include "core/lanes.hpp"

#include <type_traits>

namespace kestrelfin::binding {

namespace table {

#define KESTRELFIN_DEFINE_FUNCTION(group_, name_, family_, twin_) \
    struct name_ {                                              \
        using Family = family_;                                 \
        static constexpr int group = group_;                    \
        static constexpr const char* name = #name_;             \
        static constexpr const char* array_name = #name_ "_array"; \
        using Twin = twin_;                                     \
        template <class... X>                                   \
        KESTRELFIN_LANE_INLINE static auto operation(core::OptionKind kind, X... x) noexcept \
            -> decltype(core::name_(kind, x...)) {              \
            return core::name_(kind, x...);                     \
        }                                                       \
    };
KESTRELFIN_FUNCTIONS(KESTRELFIN_DEFINE_FUNCTION)
#undef KESTRELFIN_DEFINE_FUNCTION

}  // namespace table

// How each implied-volatility function forms the one solver's inputs from
// its own (the spot models form the forward); the element loop solves many
// options at once from these.
template <class Function>
struct ImpliedVolatilityInputs;
template <>
struct ImpliedVolatilityInputs<table::bs_implied_volatility> {
    static constexpr auto of = &core::bs_implied_volatility_inputs;
};
template <>
struct ImpliedVolatilityInputs<table::bsm_implied_volatility> {
    static constexpr auto of = &core::bsm_implied_volatility_inputs;
};
template <>
struct ImpliedVolatilityInputs<table::black76_implied_volatility> {
    static constexpr auto of = &core::black76_implied_volatility_inputs;
};

template <class Function>
concept SolvesImpliedVolatility = requires { ImpliedVolatilityInputs<Function>::of; };

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

}  // namespace kestrelfin::binding
