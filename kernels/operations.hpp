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

#include <cstddef>
#include <tuple>
#include <type_traits>
#include <utility>

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

// A function's names: _kestrelfin's scalar and array functions, and the
// quantity (the kestrelfin package's name of it).
#define KESTRELFIN_FUNCTION_NAMES(quantity_, name_)            \
    static constexpr const char* name = #name_;                \
    static constexpr const char* array_name = #name_ "_array"; \
    static constexpr const char* quantity = #quantity_;

// A Black-76 or Black-Scholes-Merton function: the core operation of its name.
#define KESTRELFIN_CORE_FUNCTION(model_, kind_, group_, lanes_, quantity_, name_)  \
    struct name_ : RowTraits<group_, lanes_> {                                     \
        using Family = model_##kind_;                                              \
        KESTRELFIN_FUNCTION_NAMES(quantity_, name_)                                \
        template <class Kind, class... X>                                          \
        KESTRELFIN_LANE_INLINE static auto operation(Kind kind, X... x) noexcept { \
            return core::name_(kind, x...);                                        \
        }                                                                          \
        KESTRELFIN_SOLVER_INPUTS_##kind_(name_)                                    \
    };

// A Black-Scholes operation: its Black-Scholes-Merton counterpart's with
// q = +0.0 appended to the numbers (q is the last number of every
// Black-Scholes-Merton function), so that the two agree to the last bit.
// with_zero_dividend is the one place the rule is applied; the lanes, the
// scalar functions' compiled instances, the solver's inputs and the greeks
// pass all call through it.
template <class Merton>
struct BlackScholesOf {
    using MertonCounterpart = Merton;
    template <class Call, class... X>
    KESTRELFIN_LANE_INLINE static auto with_zero_dividend(Call&& call, X... x) noexcept {
        return call(x..., std::common_type_t<X...>{});
    }
    template <class Kind, class... X>
    KESTRELFIN_LANE_INLINE static auto operation(Kind kind, X... x) noexcept {
        return with_zero_dividend([kind](auto... y) KESTRELFIN_LANE_LAMBDA { return Merton::operation(kind, y...); },
                                  x...);
    }
    template <class... X>
    static core::ImpliedVolInputs solver_inputs(X... x) noexcept {
        return with_zero_dividend([](auto... y) { return Merton::solver_inputs(y...); }, x...);
    }
};

#define KESTRELFIN_DEFINE_ROW(group_, lanes_, kind_, quantity_, black76_, bsm_, bs_)     \
    KESTRELFIN_CORE_FUNCTION(Black76, kind_, group_, lanes_, quantity_, black76_)        \
    KESTRELFIN_CORE_FUNCTION(BlackScholesMerton, kind_, group_, lanes_, quantity_, bsm_) \
    struct bs_ : BlackScholesOf<bsm_>, RowTraits<group_, lanes_> {                       \
        using Family = BlackScholes##kind_;                                              \
        KESTRELFIN_FUNCTION_NAMES(quantity_, bs_)                                        \
    };
KESTRELFIN_FUNCTIONS(KESTRELFIN_DEFINE_ROW)
#undef KESTRELFIN_DEFINE_ROW
#undef KESTRELFIN_CORE_FUNCTION
#undef KESTRELFIN_FUNCTION_NAMES
#undef KESTRELFIN_SOLVER_INPUTS_Greeks
#undef KESTRELFIN_SOLVER_INPUTS_ImpliedVolatility

// The price and all fifteen Greeks of each option in one pass (the greeks
// ufuncs), with the parameters of the model's price function: a
// core::Greeks of sixteen results.
struct black76_greeks {
    using Price = black76_black;
    static constexpr const char* name = "black76_greeks";
    template <class Kind, class... X>
    KESTRELFIN_LANE_INLINE static auto operation(Kind kind, X... x) noexcept {
        return core::black76_greeks(kind, x...);
    }
};
struct bsm_greeks {
    using Price = bsm_black_scholes_merton;
    static constexpr const char* name = "bsm_greeks";
    template <class Kind, class... X>
    KESTRELFIN_LANE_INLINE static auto operation(Kind kind, X... x) noexcept {
        return core::bsm_greeks(kind, x...);
    }
};
struct bs_greeks : BlackScholesOf<bsm_greeks> {
    using Price = bs_black_scholes;
    static constexpr const char* name = "bs_greeks";
};

}  // namespace table

// A model's column of the table, as types: at<Row> is its function in that
// row. (The leading void takes the first comma of the list.)
template <class Void, class... Functions>
struct Column {
    template <std::size_t Row>
    using at = std::tuple_element_t<Row, std::tuple<Functions...>>;
};
template <Model M>
struct ColumnOf;
#define KESTRELFIN_COLUMN(model_, column_) \
    template <>                            \
    struct ColumnOf<Model::model_> : Column<void KESTRELFIN_FUNCTIONS(column_)> {};
#define KESTRELFIN_BLACK76_COLUMN(group_, lanes_, kind_, quantity_, black76_, bsm_, bs_) , table::black76_
#define KESTRELFIN_BSM_COLUMN(group_, lanes_, kind_, quantity_, black76_, bsm_, bs_) , table::bsm_
#define KESTRELFIN_BS_COLUMN(group_, lanes_, kind_, quantity_, black76_, bsm_, bs_) , table::bs_
KESTRELFIN_COLUMN(Black76, KESTRELFIN_BLACK76_COLUMN)
KESTRELFIN_COLUMN(BlackScholesMerton, KESTRELFIN_BSM_COLUMN)
KESTRELFIN_COLUMN(BlackScholes, KESTRELFIN_BS_COLUMN)
#undef KESTRELFIN_BS_COLUMN
#undef KESTRELFIN_BSM_COLUMN
#undef KESTRELFIN_BLACK76_COLUMN
#undef KESTRELFIN_COLUMN

// The function of a model in a row of the table.
template <Model M, std::size_t Row>
using FunctionAt = typename ColumnOf<M>::template at<Row>;

// The greeks pass of a model, as a type.
template <Model M>
using AllGreeksOf =
    std::conditional_t<M == Model::Black76, table::black76_greeks,
                       std::conditional_t<M == Model::BlackScholesMerton, table::bsm_greeks, table::bs_greeks>>;

// Calls visit.template operator()<Function>() for every function of the
// table: row by row, in each row the models in the order of the Model
// enumeration.
template <class Visit, std::size_t... Rows>
constexpr void for_each_function_in(Visit&& visit, std::index_sequence<Rows...>) {
    ((visit.template operator()<FunctionAt<Model::Black76, Rows>>(),
      visit.template operator()<FunctionAt<Model::BlackScholesMerton, Rows>>(),
      visit.template operator()<FunctionAt<Model::BlackScholes, Rows>>()),
     ...);
}
template <class Visit>
constexpr void for_each_function(Visit&& visit) {
    for_each_function_in(visit, std::make_index_sequence<kRowCount>{});
}

template <class Function>
concept SolvesImpliedVolatility = Function::Family::flag_last;

template <class Function>
concept HasMertonCounterpart = requires {
    typename Function::MertonCounterpart;
};

// The numbers a function takes: its parameters but the flag.
template <class Function>
inline constexpr std::size_t kNumberCount = Function::Family::arity - 1;

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

// A Black-Scholes function runs its Black-Scholes-Merton counterpart's
// compiled instance.
template <class Function, class... Numbers>
inline auto scalar_operation(core::OptionKind kind, Numbers... numbers) noexcept {
    if constexpr (HasMertonCounterpart<Function>) {
        using Merton = typename Function::MertonCounterpart;
        return Function::with_zero_dividend([kind](auto... y) { return compiled_operation<Merton>(kind, y...); },
                                            numbers...);
    } else {
        return compiled_operation<Function>(kind, numbers...);
    }
}

}  // namespace kestrelfin::kernels
