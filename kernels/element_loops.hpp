// The element loop of every function of the table, over several options at
// a time: the array functions' and the ufuncs'.
//
// Each block of W options is evaluated as one vector formula (core/lanes.hpp):
// every lane performs exactly the scalar sequence of separately rounded
// operations, and exp and log return the C library's bits (by a lane-wise
// replica of its algorithm where the process has confirmed it, else by its
// calls), so every element equals the scalar function's result to the last
// bit. The instruction set and the width are those of the process's kernel
// path (dispatch.hpp); the choice changes the speed, never a result.
//
// Implied volatility is iterative: its lanes each solve one option and take
// the next when done, every step being the scalar solver's.
#pragma once

#include "core/implied_volatility.hpp"
#include "core/lanes.hpp"
#include "kernels/dispatch.hpp"
#include "kernels/operands.hpp"
#include "kernels/operations.hpp"

#include <cstddef>
#include <limits>
#include <type_traits>
#include <utility>

namespace kestrelfin::kernels {

// An implied volatility that cannot be found is a NaN element, not an error.
inline double element_value(double value) noexcept {
    return value;
}
inline double element_value(const core::ImpliedVol& result) noexcept {
    return result.ok() ? result.volatility : std::numeric_limits<double>::quiet_NaN();
}

// The NaN rule, applied by every loop that computes in lanes (this one and
// the greeks pass, greeks_loops.hpp): where two NaNs meet in a formula,
// which payload survives depends on the order the compiler gave the
// operands, so a lane whose result is NaN takes the value of
// scalar_of_lane(lane), the scalar function's own compiled instance, and
// then carries exactly its payload. V = double is one lane.
template <class V, class ScalarOfLane>
KESTRELFIN_LANE_INLINE void recompute_nan_lanes(V& block, ScalarOfLane&& scalar_of_lane) noexcept {
    if constexpr (std::is_same_v<V, double>) {
        if (block != block) {
            block = scalar_of_lane(0);
        }
    } else {
        // Almost every block holds no NaN: one comparison of all its lanes
        // says so, without a test and a branch per lane.
        if (!core::any_lane(core::lane_not(block == block))) {
            return;
        }
        for (int lane = 0; lane < core::lane_count<V>; ++lane) {
            if (block[lane] != block[lane]) {
                block.set(lane, scalar_of_lane(lane));
            }
        }
    }
}

// Element i of the call through the scalar function's compiled instance.
template <class Function, class Numbers, std::size_t... J>
inline double scalar_element(core::OptionKind kind, const Numbers& in, std::size_t i, std::index_sequence<J...>) {
    constexpr std::size_t first = Function::Family::first_number;
    return element_value(scalar_operation<Function>(kind, in.template number<first + J>(i)...));
}

template <class Function, class V, class Kind, class Numbers, std::size_t... J>
KESTRELFIN_LANE_INLINE V vector_block(Kind kind, const Numbers& in, std::size_t i, std::index_sequence<J...>) {
    constexpr std::size_t first = Function::Family::first_number;
    return Function::operation(kind, in.template lanes<V, first + J>(i)...);
}

template <class Function, class Numbers, std::size_t... J>
inline core::ImpliedVolInputs solver_inputs(const Numbers& in, std::size_t i, std::index_sequence<J...>) {
    constexpr std::size_t first = Function::Family::first_number;
    return Function::solver_inputs(in.template number<first + J>(i)...);
}

// The elements of a range one after another, through the scalar function's
// compiled instance: the rest of a range too short for a block, and a result
// operand of stride 0 (a broadcast view passed as out=), which keeps the
// last element written, which only this order makes the last element's (the
// solver's lanes finish out of order).
template <class Function, class Kinds, class Numbers, class Output>
KESTRELFIN_LANE_INLINE void fill_in_order(const Kinds& kinds, const Numbers& in, const Output& out, Range range) {
    constexpr auto numbers = std::make_index_sequence<kNumberCount<Function>>{};
    for (std::size_t i = range.begin; i < range.end; ++i) {
        out.store(i, scalar_element<Function>(kinds.at(i), in, i, numbers));
    }
}

// The elements of a range, in blocks of lanes of type V.
template <class Function, class V, class Kinds, class Numbers, class Output>
KESTRELFIN_LANE_INLINE void fill_elements(const Kinds& kinds, const Numbers& in, const Output& out, Range range) {
    constexpr auto numbers = std::make_index_sequence<kNumberCount<Function>>{};
    constexpr int W = core::lane_count<V>;
    if constexpr (SolvesImpliedVolatility<Function>) {
        const std::size_t first = range.begin;
        core::implied_volatility_lanes<V>(
            range.end - range.begin, [&](std::size_t k) KESTRELFIN_LANE_LAMBDA { return kinds.at(first + k); },
            [&](std::size_t k) KESTRELFIN_LANE_LAMBDA { return solver_inputs<Function>(in, first + k, numbers); },
            [&](std::size_t k, const core::ImpliedVol& outcome)
                KESTRELFIN_LANE_LAMBDA { out.store(first + k, element_value(outcome)); });
    } else {
        std::size_t i = range.begin;
        for (; i + W <= range.end; i += W) {
            V block = vector_block<Function, V>(kinds.template lanes<V>(i), in, i, numbers);
            // Before the block is stored: the output may be one of the inputs
            // (a ufunc called in place), whose elements the recomputation reads.
            recompute_nan_lanes(block, [&](int lane) KESTRELFIN_LANE_LAMBDA {
                const std::size_t option = i + static_cast<std::size_t>(lane);
                return scalar_element<Function>(kinds.at(option), in, option, numbers);
            });
            out.store(i, block);
        }
        fill_in_order<Function>(kinds, in, out, Range{i, range.end});
    }
}

// The element loop as a body for the dispatch, in the function's AVX2 block
// width from the table.
template <class Function>
struct ElementLoop {
    template <class Path, class Kinds, class Numbers, class Output>
    KESTRELFIN_LANE_INLINE static void run(const Kinds& kinds, const Numbers& in, const Output& out,
                                           const Range& range) {
        fill_elements<Function, typename Path::template Block<Function::avx2_lanes>>(kinds, in, out, range);
    }
};

// Every element of a range, on the process's kernel path.
template <class Function, class Kinds, class Numbers, class Output>
void fill_all(const Kinds& kinds, const Numbers& in, const Output& out, Range range) {
    on_kernel_path<ElementLoop<Function>>(kinds, in, out, range);
}

}  // namespace kestrelfin::kernels
