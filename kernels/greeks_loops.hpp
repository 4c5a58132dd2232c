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

#include "kernels/element_loops.hpp"
#include "kernels/functions.hpp"
#include "kernels/operations.hpp"
#include "core/black76.hpp"
#include "core/black_scholes_merton.hpp"
#include "kernels/strided_loops.hpp"

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <utility>

namespace kestrelfin::kernels {

inline constexpr std::size_t kGreekCount = 16;
static_assert(sizeof(core::Greeks<double>) == kGreekCount * sizeof(double), "core::Greeks is sixteen doubles");

// One quantity of one option through the separate function's compiled instance.
using Recompute = double (*)(core::OptionKind kind, const double* numbers) noexcept;

template <class Function, std::size_t... J>
double separate_function_with(core::OptionKind kind, const double* x, std::index_sequence<J...>) noexcept {
    return scalar_operation<Function>(kind, x[J]...);
}

template <class Function>
double separate_function(core::OptionKind kind, const double* x) noexcept {
    return separate_function_with<Function>(kind, x, std::make_index_sequence<kNumberCount<Function>>{});
}

// The Greeks rows of the table (every row but the implied volatility), in
// order, for one model's column of it.
#define KESTRELFIN_GREEKS_ROW_Greeks(function_) &separate_function<table::function_>,
#define KESTRELFIN_GREEKS_ROW_ImpliedVolatility(function_)
#define KESTRELFIN_BLACK76_ROW(group_, lanes_, kind_, black76_, bsm_, bs_) KESTRELFIN_GREEKS_ROW_##kind_(black76_)
#define KESTRELFIN_BSM_ROW(group_, lanes_, kind_, black76_, bsm_, bs_) KESTRELFIN_GREEKS_ROW_##kind_(bsm_)
#define KESTRELFIN_BS_ROW(group_, lanes_, kind_, black76_, bsm_, bs_) KESTRELFIN_GREEKS_ROW_##kind_(bs_)

struct Black76AllGreeks {
    static constexpr std::size_t numbers = 5;  // F, K, t, r, sigma
    static constexpr Recompute recompute[] = {KESTRELFIN_FUNCTIONS(KESTRELFIN_BLACK76_ROW)};
    template <class Kind, class Real>
    KESTRELFIN_LANE_INLINE static core::Greeks<Real> all(Kind kind, const Real* x) noexcept {
        return core::black76_greeks(kind, x[0], x[1], x[2], x[3], x[4]);
    }
};

struct BlackScholesMertonAllGreeks {
    static constexpr std::size_t numbers = 6;  // S, K, t, r, sigma, q
    static constexpr Recompute recompute[] = {KESTRELFIN_FUNCTIONS(KESTRELFIN_BSM_ROW)};
    template <class Kind, class Real>
    KESTRELFIN_LANE_INLINE static core::Greeks<Real> all(Kind kind, const Real* x) noexcept {
        return core::bsm_greeks(kind, x[0], x[1], x[2], x[3], x[4], x[5]);
    }
};

// Black-Scholes: the Black-Scholes-Merton pass with q = +0.0, the rule every
// Black-Scholes function follows.
struct BlackScholesAllGreeks {
    static constexpr std::size_t numbers = 5;  // S, K, t, r, sigma
    static constexpr Recompute recompute[] = {KESTRELFIN_FUNCTIONS(KESTRELFIN_BS_ROW)};
    template <class Kind, class Real>
    KESTRELFIN_LANE_INLINE static core::Greeks<Real> all(Kind kind, const Real* x) noexcept {
        return core::bsm_greeks(kind, x[0], x[1], x[2], x[3], x[4], Real{});
    }
};

#undef KESTRELFIN_BS_ROW
#undef KESTRELFIN_BSM_ROW
#undef KESTRELFIN_BLACK76_ROW
#undef KESTRELFIN_GREEKS_ROW_ImpliedVolatility
#undef KESTRELFIN_GREEKS_ROW_Greeks

// The operands of a greeks loop: the kinds, the model's numbers, the sixteen
// results.
template <class Model>
struct GreeksOperands {
    static constexpr std::size_t first_out = 1 + Model::numbers;
    char** args;
    const std::intptr_t* steps;

    core::OptionKind kind(std::size_t i) const noexcept {
        return load_kind(args[0] + static_cast<std::intptr_t>(i) * steps[0]);
    }
    double number(std::size_t j, std::size_t i) const noexcept {
        return load_number(args[1 + j] + static_cast<std::intptr_t>(i) * steps[1 + j]);
    }
    void store(std::size_t g, std::size_t i, double value) const noexcept {
        store_number(args[first_out + g] + static_cast<std::intptr_t>(i) * steps[first_out + g], value);
    }
    template <class V>
    KESTRELFIN_LANE_INLINE void store_lanes(std::size_t g, std::size_t i, const V& block) const noexcept {
        const std::intptr_t step = steps[first_out + g];
        char* at = args[first_out + g] + static_cast<std::intptr_t>(i) * step;
        if (step == static_cast<std::intptr_t>(sizeof(double))) {
            std::memcpy(at, &block.v, sizeof block.v);
        } else {
            for (int lane = 0; lane < core::lane_count<V>; ++lane) {
                store_number(at + lane * step, block[lane]);
            }
        }
    }
    // Option i's sixteen results, a NaN recomputed through the separate
    // function so that it carries exactly that function's payload.
    void store_all(std::size_t i, const double* x, const std::array<double, kGreekCount>& values) const noexcept {
        const core::OptionKind k = kind(i);
        for (std::size_t g = 0; g < kGreekCount; ++g) {
            store(g, i, values[g] == values[g] ? values[g] : Model::recompute[g](k, x));
        }
    }
};

// Options i to i + W - 1 through the one-pass evaluation on lanes.
template <class Model, class V>
KESTRELFIN_LANE_INLINE void greeks_block(const GreeksOperands<Model>& ops, std::size_t i) noexcept {
    constexpr int W = core::lane_count<V>;
    double x[Model::numbers][W];
    V lanes[Model::numbers];
    for (std::size_t j = 0; j < Model::numbers; ++j) {
        for (int lane = 0; lane < W; ++lane) {
            x[j][lane] = ops.number(j, i + static_cast<std::size_t>(lane));
        }
        std::memcpy(&lanes[j].v, x[j], sizeof lanes[j].v);
    }
    core::LaneKinds<W> kinds{};
    for (int lane = 0; lane < W; ++lane) {
        kinds.is_call[lane] = ops.kind(i + static_cast<std::size_t>(lane)) == core::OptionKind::Call ? -1 : 0;
    }
    const core::Greeks<V> greeks = Model::all(kinds, lanes);
    V fields[kGreekCount];
    std::memcpy(fields, &greeks, sizeof greeks);
    for (std::size_t g = 0; g < kGreekCount; ++g) {
        V& field = fields[g];
        for (int lane = 0; lane < W; ++lane) {
            if (field[lane] != field[lane]) {
                double option[Model::numbers];
                for (std::size_t j = 0; j < Model::numbers; ++j) {
                    option[j] = x[j][lane];
                }
                field.set(lane, Model::recompute[g](ops.kind(i + static_cast<std::size_t>(lane)), option));
            }
        }
        ops.store_lanes(g, i, field);
    }
}

// Option i alone.
template <class Model>
void greeks_element(const GreeksOperands<Model>& ops, std::size_t i) noexcept {
    double x[Model::numbers];
    for (std::size_t j = 0; j < Model::numbers; ++j) {
        x[j] = ops.number(j, i);
    }
    const core::Greeks<double> greeks = Model::all(ops.kind(i), x);
    std::array<double, kGreekCount> values;
    std::memcpy(values.data(), &greeks, sizeof greeks);
    ops.store_all(i, x, values);
}

template <class Model>
KESTRELFIN_AVX2_KERNEL void greeks_avx2(const GreeksOperands<Model>& ops, std::size_t n) noexcept {
    using V = core::Lanes<4, Avx2FusedMath>;
    std::size_t i = 0;
    for (; i + 4 <= n; i += 4) {
        greeks_block<Model, V>(ops, i);
    }
    for (; i < n; ++i) {
        greeks_element(ops, i);
    }
}

// On the AVX2 kernel path four options at a time; elsewhere one by one.
template <class Model>
void greeks_loop(char** args, const std::intptr_t* dimensions, const std::intptr_t* steps, void* /*data*/) noexcept {
    static_assert(std::size(Model::recompute) == kGreekCount, "one Greeks row per field of core::Greeks");
    const GreeksOperands<Model> ops{args, steps};
    const auto n = static_cast<std::size_t>(dimensions[0]);
    if (kernel_path() == KernelPath::Avx2Fused) {
        return greeks_avx2<Model>(ops, n);
    }
    for (std::size_t i = 0; i < n; ++i) {
        greeks_element(ops, i);
    }
}

}  // namespace kestrelfin::kernels
