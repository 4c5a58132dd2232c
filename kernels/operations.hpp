// The core operation behind each function of the table, as a type the call
// protocols are instantiated with. Free of any Python type, so the element
// loops can be tested from plain C++.
#pragma once

#include "kernels/families.hpp"
#include "kernels/functions.hpp"
#include "core/black76.hpp"
#include "core/black_scholes_merton.hpp"
#include "core/implied_volatility.hpp"
#include "core/lanes.hpp"

#include <type_traits>

namespace kestrelfin::kernels {

namespace table {

// What a function's row says, whatever its model.
template <int Group, int Avx2Lanes>
struct RowTraits {
    static constexpr int group = Group;
    static constexpr int avx2_lanes = Avx2Lanes;
};

// An implied-volatility function of Black-76 or Black-Scholes-Merton also
// says how it forms the one solver's inputs from its own (the spot model
// forms the forward); the element loop solves many options at once from
// these.
#define KESTRELFIN_SOLVER_INPUTS_Greeks(name_)
#define KESTRELFIN_SOLVER_INPUTS_ImpliedVolatility(name_)          \
    template <class... X>                                          \
    static core::ImpliedVolInputs solver_inputs(X... x) noexcept { \
        return core::name_##_inputs(x...);                         \
    }

// A Black-76 or Black-Scholes-Merton function: the core operation of its name.
#define KESTRELFIN_CORE_FUNCTION(model_, kind_, group_, lanes_, name_)           \
    struct name_ : RowTraits<group_, lanes_> {                                   \
        using Family = model_##kind_;                                            \
        static constexpr const char* name = #name_;                              \
        static constexpr const char* array_name = #name_ "_array";               \
        template <class Kind, class... X>                                        \
        KESTRELFIN_LANE_INLINE static auto operation(Kind kind, X... x) noexcept \
            -> decltype(core::name_(kind, x...)) {                               \
            return core::name_(kind, x...);                                      \
        }                                                                        \
        KESTRELFIN_SOLVER_INPUTS_##kind_(name_)                                  \
    };

// A Black-Scholes function: its Black-Scholes-Merton counterpart with
// q = +0.0 appended to its numbers (q is the last number of every
// Black-Scholes-Merton function).
template <class Merton>
struct BlackScholesOf : RowTraits<Merton::group, Merton::avx2_lanes> {
    using MertonCounterpart = Merton;
    template <class Kind, class... X, class Number = std::common_type_t<X...>>
    KESTRELFIN_LANE_INLINE static auto operation(Kind kind, X... x) noexcept
        -> decltype(Merton::operation(kind, x..., Number{})) {
        return Merton::operation(kind, x..., Number{});
    }
    template <class... X>
    static core::ImpliedVolInputs solver_inputs(X... x) noexcept {
        return Merton::solver_inputs(x..., 0.0);
    }
};

#define KESTRELFIN_DEFINE_ROW(group_, lanes_, kind_, black76_, bsm_, bs_)     \
    KESTRELFIN_CORE_FUNCTION(Black76, kind_, group_, lanes_, black76_)        \
    KESTRELFIN_CORE_FUNCTION(BlackScholesMerton, kind_, group_, lanes_, bsm_) \
    struct bs_ : BlackScholesOf<bsm_> {                                       \
        using Family = BlackScholes##kind_;                                   \
        static constexpr const char* name = #bs_;                             \
        static constexpr const char* array_name = #bs_ "_array";              \
    };
KESTRELFIN_FUNCTIONS(KESTRELFIN_DEFINE_ROW)
#undef KESTRELFIN_DEFINE_ROW
#undef KESTRELFIN_CORE_FUNCTION
#undef KESTRELFIN_SOLVER_INPUTS_Greeks
#undef KESTRELFIN_SOLVER_INPUTS_ImpliedVolatility

}  // namespace table

template <class Function>
concept SolvesImpliedVolatility = Function::Family::flag_last;

template <class Function>
concept HasMertonCounterpart = requires {
    typename Function::MertonCounterpart;
};

// One option through the function's core operation, in one compiled
// instance per operation. The scalar function, the array function's scalar
// paths and (for Black-Scholes) the Black-Scholes-Merton counterpart all run
// it, so they agree to the last bit even where a NaN's payload depends on
// how the compiler ordered the operands of an operation. (noipa: no
// inlining, and no clone specialised for a constant argument such as q = 0.)
#if defined(__clang__)
#define KESTRELFIN_ONE_COMPILED_INSTANCE __attribute__((noinline))  // clang has no noipa and clones no callee
#else
#define KESTRELFIN_ONE_COMPILED_INSTANCE __attribute__((noipa))
#endif
template <class Function, class... Numbers>
KESTRELFIN_ONE_COMPILED_INSTANCE auto compiled_operation(core::OptionKind kind, Numbers... numbers) noexcept {
    return Function::operation(kind, numbers...);
}

template <class Function, class... Numbers>
inline auto scalar_operation(core::OptionKind kind, Numbers... numbers) noexcept {
    if constexpr (HasMertonCounterpart<Function>) {
        return compiled_operation<typename Function::MertonCounterpart>(kind, numbers..., 0.0);
    } else {
        return compiled_operation<Function>(kind, numbers...);
    }
}

}  // namespace kestrelfin::kernels
