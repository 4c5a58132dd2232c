// The loop of the greeks pass: the price and all fifteen Greeks of each
// option in one pass of the core (black76_greeks, bsm_greeks), every shared
// intermediate computed once, on the process's kernel path.
//
// The sixteen results come in the order of the table's Greeks rows (price,
// delta, gamma, vega, theta, rho, vanna, charm, vomma, speed, zomma, color,
// veta, ultima, dual_delta, dual_gamma), which is the order of
// core::Greeks. Each equals the separate function's double, a NaN
// recomputed through the separate function's compiled instance (the NaN
// rule of element_loops.hpp).
#pragma once

#include "core/cost_of_carry.hpp"
#include "core/greeks.hpp"
#include "core/lanes.hpp"
#include "kernels/dispatch.hpp"
#include "kernels/element_loops.hpp"
#include "kernels/functions.hpp"
#include "kernels/operands.hpp"
#include "kernels/operations.hpp"

#include <array>
#include <cstddef>
#include <cstring>
#include <utility>

namespace kestrelfin::kernels {

inline constexpr std::size_t kGreekCount = 16;
static_assert(sizeof(core::Greeks<double>) == kGreekCount * sizeof(double), "core::Greeks is sixteen doubles");

// The AVX2 block width of the greeks pass: the normal distribution function
// is evaluated, as by the four-lane functions of the table.
inline constexpr int kGreeksAvx2Lanes = 4;

// One quantity of one option through the separate function's compiled
// instance, given the numbers of the model's price function.
template <class Numbers>
using Recompute = double (*)(core::OptionKind kind, const Numbers& in, std::size_t i) noexcept;

template <class Function, class Numbers>
double separate_function(core::OptionKind kind, const Numbers& in, std::size_t i) noexcept {
    return scalar_element<Function>(kind, in, i, std::make_index_sequence<kNumberCount<Function>>{});
}

// The separate functions of a model, in the order of its greeks pass's
// results: the Greeks rows of the table (every row but the implied
// volatility).
template <Model M, class Numbers, std::size_t... Rows>
constexpr std::array<Recompute<Numbers>, kGreekCount> separate_functions_of(std::index_sequence<Rows...>) {
    std::array<Recompute<Numbers>, kGreekCount> functions{};
    std::size_t next = 0;
    (
        [&] {
            using Function = FunctionAt<M, Rows>;
            if constexpr (!SolvesImpliedVolatility<Function>) {
                functions[next++] = &separate_function<Function, Numbers>;
            }
        }(),
        ...);
    return functions;
}
template <Model M, class Numbers>
inline constexpr std::array<Recompute<Numbers>, kGreekCount> kSeparateFunctions =
    separate_functions_of<M, Numbers>(std::make_index_sequence<kRowCount>{});

template <class AllGreeks, class V, class Kinds, class Numbers, std::size_t... J>
KESTRELFIN_LANE_INLINE core::Greeks<V> greeks_block(const Kinds& kinds, const Numbers& in, std::size_t i,
                                                    std::index_sequence<J...>) noexcept {
    constexpr std::size_t first = AllGreeks::Price::Family::first_number;
    return AllGreeks::operation(kinds.template lanes<V>(i), in.template lanes<V, first + J>(i)...);
}

// The greeks pass over a range of options, in blocks of lanes of type V and
// then one by one (V = double); Outputs holds the sixteen result operands.
template <class AllGreeks, class V, class Kinds, class Numbers, class Outputs>
KESTRELFIN_LANE_INLINE std::size_t greeks_blocks(const Kinds& kinds, const Numbers& in, const Outputs& out,
                                                 Range range) noexcept {
    constexpr int W = core::lane_count<V>;
    constexpr auto numbers = std::make_index_sequence<kNumberCount<typename AllGreeks::Price>>{};
    constexpr auto& separate = kSeparateFunctions<AllGreeks::Price::Family::model, Numbers>;
    std::size_t i = range.begin;
    for (; i + W <= range.end; i += W) {
        const core::Greeks<V> greeks = greeks_block<AllGreeks, V>(kinds, in, i, numbers);
        V fields[kGreekCount];
        std::memcpy(fields, &greeks, sizeof greeks);
        // Every NaN is recomputed before any result is stored: an output may
        // be one of the inputs (a ufunc called in place).
        for (std::size_t g = 0; g < kGreekCount; ++g) {
            recompute_nan_lanes(fields[g], [&](int lane) KESTRELFIN_LANE_LAMBDA {
                const std::size_t option = i + static_cast<std::size_t>(lane);
                return separate[g](kinds.at(option), in, option);
            });
        }
        for (std::size_t g = 0; g < kGreekCount; ++g) {
            out[g].store(i, fields[g]);
        }
    }
    return i;
}

// The greeks pass as a body for the dispatch.
template <class AllGreeks>
struct GreeksLoop {
    template <class Path, class Kinds, class Numbers, class Outputs>
    KESTRELFIN_LANE_INLINE static void run(const Kinds& kinds, const Numbers& in, const Outputs& out,
                                           const Range& range) {
        using V = typename Path::template Block<kGreeksAvx2Lanes>;
        const std::size_t rest = greeks_blocks<AllGreeks, V>(kinds, in, out, range);
        greeks_blocks<AllGreeks, double>(kinds, in, out, Range{rest, range.end});
    }
};

// The sixteen results of every option of a range, on the process's kernel
// path.
template <class AllGreeks, class Kinds, class Numbers, class Outputs>
void fill_all_greeks(const Kinds& kinds, const Numbers& in, const Outputs& out, Range range) {
    on_kernel_path<GreeksLoop<AllGreeks>>(kinds, in, out, range);
}

}  // namespace kestrelfin::kernels
