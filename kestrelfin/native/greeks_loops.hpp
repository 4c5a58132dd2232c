// The inner loop of the three greeks ufuncs: the price and all fifteen
// Greeks of each option in one pass of the core (bsm_greeks, black76_greeks),
// every shared intermediate computed once.
//
// Operands as for ufunc_loop (ufunc_loops.hpp): args[0] the kinds, then the
// numbers of the model's price function in its parameter order, then the
// sixteen results in the order of the table's rows (price, delta, gamma,
// vega, theta, rho, vanna, charm, vomma, speed, zomma, color, veta, ultima,
// dual_delta, dual_gamma), which is the order of core::Greeks.
//
// Each result equals the separate function's double; where two NaNs meet in
// a formula, which payload survives depends on the order of the operands, so
// a NaN result is recomputed through the separate function's own compiled
// instance and then carries exactly its payload.
#pragma once

#include "binding/functions.hpp"
#include "binding/operations.hpp"
#include "core/black76.hpp"
#include "core/black_scholes_merton.hpp"
#include "kestrelfin/native/ufunc_loops.hpp"

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <utility>

namespace kestrelfin::ufuncs {

inline constexpr std::size_t kGreekCount = 16;
static_assert(sizeof(core::Greeks<double>) == kGreekCount * sizeof(double), "core::Greeks is sixteen doubles");

// One quantity of one option through the separate function's compiled instance.
using Recompute = double (*)(core::OptionKind kind, const double* numbers) noexcept;

template <class Function, std::size_t... J>
double separate_function_with(core::OptionKind kind, const double* x, std::index_sequence<J...>) noexcept {
    return binding::scalar_operation<Function>(kind, x[J]...);
}

template <class Function>
double separate_function(core::OptionKind kind, const double* x) noexcept {
    return separate_function_with<Function>(kind, x, std::make_index_sequence<kNumberCount<Function>>{});
}

// The Greeks rows of the table (every row but the implied volatility), in
// order, for one model's column of it.
#define KESTRELFIN_GREEKS_ROW_Greeks(function_) &separate_function<binding::table::function_>,
#define KESTRELFIN_GREEKS_ROW_ImpliedVolatility(function_)
#define KESTRELFIN_BLACK76_ROW(group_, lanes_, kind_, black76_, bsm_, bs_) KESTRELFIN_GREEKS_ROW_##kind_(black76_)
#define KESTRELFIN_BSM_ROW(group_, lanes_, kind_, black76_, bsm_, bs_) KESTRELFIN_GREEKS_ROW_##kind_(bsm_)
#define KESTRELFIN_BS_ROW(group_, lanes_, kind_, black76_, bsm_, bs_) KESTRELFIN_GREEKS_ROW_##kind_(bs_)

struct Black76AllGreeks {
    static constexpr std::size_t numbers = 5;  // F, K, t, r, sigma
    static constexpr Recompute recompute[] = {KESTRELFIN_FUNCTIONS(KESTRELFIN_BLACK76_ROW)};
    static core::Greeks<double> all(core::OptionKind kind, const double* x) noexcept {
        return core::black76_greeks(kind, x[0], x[1], x[2], x[3], x[4]);
    }
};

struct BlackScholesMertonAllGreeks {
    static constexpr std::size_t numbers = 6;  // S, K, t, r, sigma, q
    static constexpr Recompute recompute[] = {KESTRELFIN_FUNCTIONS(KESTRELFIN_BSM_ROW)};
    static core::Greeks<double> all(core::OptionKind kind, const double* x) noexcept {
        return core::bsm_greeks(kind, x[0], x[1], x[2], x[3], x[4], x[5]);
    }
};

// Black-Scholes: the Black-Scholes-Merton pass with q = +0.0, the rule every
// Black-Scholes function follows.
struct BlackScholesAllGreeks {
    static constexpr std::size_t numbers = 5;  // S, K, t, r, sigma
    static constexpr Recompute recompute[] = {KESTRELFIN_FUNCTIONS(KESTRELFIN_BS_ROW)};
    static core::Greeks<double> all(core::OptionKind kind, const double* x) noexcept {
        return core::bsm_greeks(kind, x[0], x[1], x[2], x[3], x[4], 0.0);
    }
};

#undef KESTRELFIN_BS_ROW
#undef KESTRELFIN_BSM_ROW
#undef KESTRELFIN_BLACK76_ROW
#undef KESTRELFIN_GREEKS_ROW_ImpliedVolatility
#undef KESTRELFIN_GREEKS_ROW_Greeks

template <class Model>
void greeks_loop(char** args, const std::intptr_t* dimensions, const std::intptr_t* steps,
                 void* /*data*/) noexcept {
    static_assert(std::size(Model::recompute) == kGreekCount, "one Greeks row per field of core::Greeks");
    constexpr std::size_t first_out = 1 + Model::numbers;
    const std::intptr_t n = dimensions[0];
    for (std::intptr_t i = 0; i < n; ++i) {
        const core::OptionKind kind = load_kind(args[0] + i * steps[0]);
        double x[Model::numbers];
        for (std::size_t j = 0; j < Model::numbers; ++j) {
            x[j] = load_number(args[1 + j] + i * steps[1 + j]);
        }
        const core::Greeks<double> greeks = Model::all(kind, x);
        std::array<double, kGreekCount> values;
        std::memcpy(values.data(), &greeks, sizeof greeks);
        for (std::size_t g = 0; g < kGreekCount; ++g) {
            double value = values[g];
            if (value != value) {
                value = Model::recompute[g](kind, x);
            }
            store_number(args[first_out + g] + i * steps[first_out + g], value);
        }
    }
}

}  // namespace kestrelfin::ufuncs
