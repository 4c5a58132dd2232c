// The element loop of the array functions, over several options at a time.
//
// Each block of W options is evaluated as one vector formula (core/lanes.hpp):
// every lane performs exactly the scalar sequence of separately rounded
// operations, and exp and log return the C library's bits (by a lane-wise
// replica of its algorithm where the process has confirmed it, else by its
// calls), so every element equals the scalar function's result to the last
// bit. The instruction set and the width are chosen at run time
// (kernel_paths.hpp); the choice changes the speed, never a result.
//
// A lane whose result is NaN is recomputed through the scalar function's own
// compiled instance, so that a NaN carries exactly the payload the scalar
// function gives. Implied volatility is iterative: its lanes each solve one
// option and take the next when done, every step being the scalar solver's.
#pragma once

#include "kernels/kernel_paths.hpp"
#include "kernels/operations.hpp"
#include "core/lanes.hpp"

#include <cstddef>
#include <cstring>
#include <limits>
#include <type_traits>

namespace kestrelfin::kernels {

// An implied volatility that cannot be found is a NaN element, not an error.
inline double element_value(double value) noexcept {
    return value;
}
inline double element_value(const core::ImpliedVol& result) noexcept {
    return result.ok() ? result.volatility : std::numeric_limits<double>::quiet_NaN();
}

// The kinds of the options of one call: one for all (the array functions'
// flag), or one per option (kestrelfin's ufuncs, read from an array of
// bools). at(i) is option i's; lanes<W>(i) those of options i to i + W - 1,
// as the formulas take them.
struct UniformKind {
    core::OptionKind kind;
    core::OptionKind at(std::size_t) const noexcept { return kind; }
    template <int W>
    KESTRELFIN_LANE_INLINE core::OptionKind lanes(std::size_t) const noexcept {
        return kind;
    }
};

// Where the results go: n doubles one after the other.
struct ContiguousOutput {
    double* data;
    void store(std::size_t i, double value) const noexcept { data[i] = value; }
    template <class V>
    KESTRELFIN_LANE_INLINE void store_lanes(std::size_t i, const V& block) const noexcept {
        std::memcpy(data + i, &block.v, sizeof block.v);
    }
};

// Element i of the call through the scalar function's compiled instance.
template <class Function, class Inputs, std::size_t... J>
inline double scalar_element(core::OptionKind kind, const Inputs& in, std::size_t i, std::index_sequence<J...>) {
    constexpr std::size_t first = Function::Family::first_number;
    return element_value(scalar_operation<Function>(kind, in.template number<first + J>(i)...));
}

template <class Function, class V, class Kind, class Inputs, std::size_t... J>
KESTRELFIN_LANE_INLINE V vector_block(Kind kind, const Inputs& in, std::size_t i, std::index_sequence<J...>) {
    constexpr std::size_t first = Function::Family::first_number;
    return Function::operation(kind, in.template lanes<V, first + J>(i)...);
}

template <std::size_t, class T>
using Repeat = T;

// Whether the function's core operation can run on lanes (every closed-form
// formula can; the iterative implied-volatility solver cannot).
template <class Function, class V, std::size_t... J>
constexpr bool runs_on_lanes(std::index_sequence<J...>) {
    return requires(core::OptionKind kind, Repeat<J, V>... x) {
        Function::operation(kind, x...);
    };
}

template <class Function, class Inputs, std::size_t... J>
inline core::ImpliedVolInputs solver_inputs(const Inputs& in, std::size_t i, std::index_sequence<J...>) {
    constexpr std::size_t first = Function::Family::first_number;
    return Function::solver_inputs(in.template number<first + J>(i)...);
}

// The n elements of one call, in blocks of lanes of type V. A lane whose
// result is NaN is recomputed through the scalar function's compiled
// instance, which fixes the NaN's payload.
template <class Function, class V, class Kinds, class Inputs, class Output>
KESTRELFIN_LANE_INLINE void fill_elements(const Kinds& kinds, const Inputs& in, const Output& out, std::size_t n) {
    constexpr auto numbers = std::make_index_sequence<Function::Family::arity - 1>{};
    constexpr int W = core::lane_count<V>;
    if constexpr (SolvesImpliedVolatility<Function>) {
        core::implied_volatility_lanes<V>(
            n, [&](std::size_t i) KESTRELFIN_LANE_LAMBDA { return kinds.at(i); },
            [&](std::size_t i) KESTRELFIN_LANE_LAMBDA { return solver_inputs<Function>(in, i, numbers); },
            [&](std::size_t i, const core::ImpliedVol& outcome)
                KESTRELFIN_LANE_LAMBDA { out.store(i, element_value(outcome)); });
        return;
    }
    std::size_t i = 0;
    if constexpr (runs_on_lanes<Function, V>(numbers)) {
        for (; i + W <= n; i += W) {
            V block = vector_block<Function, V>(kinds.template lanes<W>(i), in, i, numbers);
            // Before the block is stored: the output may be one of the
            // inputs (a ufunc called in place), whose elements the
            // recomputation reads.
            for (int lane = 0; lane < W; ++lane) {
                if (block[lane] != block[lane]) {
                    block.set(lane, scalar_element<Function>(kinds.at(i + lane), in, i + lane, numbers));
                }
            }
            out.store_lanes(i, block);
        }
    }
    for (; i < n; ++i) {
        out.store(i, scalar_element<Function>(kinds.at(i), in, i, numbers));
    }
}

// One instance per kernel path (kernel_paths.hpp); `flatten` pulls the whole
// formula into it, so it is compiled for that path's instruction set alone
// (functions it calls but cannot inline, such as the library's exp, keep the
// baseline ABI). The AVX2 block width is the table's.
template <class Function, class Math, class Kinds, class Inputs, class Output>
KESTRELFIN_AVX2_KERNEL void fill_elements_avx2(const Kinds& kinds, const Inputs& in, const Output& out, std::size_t n) {
    fill_elements<Function, core::Lanes<Function::avx2_lanes, Math>>(kinds, in, out, n);
}

template <class Function, class Math, class Kinds, class Inputs, class Output>
KESTRELFIN_SSE2_KERNEL void fill_elements_sse2(const Kinds& kinds, const Inputs& in, const Output& out, std::size_t n) {
    fill_elements<Function, core::Lanes<2, Math>>(kinds, in, out, n);
}

// Every element of one call, by the process's kernel path.
template <class Function, class Kinds, class Inputs, class Output>
void fill_all(const Kinds& kinds, const Inputs& in, const Output& out, std::size_t n) {
    switch (kernel_path()) {
        case KernelPath::Avx2Fused:
            return fill_elements_avx2<Function, Avx2FusedMath>(kinds, in, out, n);
        case KernelPath::Sse2Unfused:
            return fill_elements_sse2<Function, Sse2UnfusedMath>(kinds, in, out, n);
        case KernelPath::Sse2Libm:
            break;
    }
    fill_elements_sse2<Function, core::LibmCalls>(kinds, in, out, n);
}

}  // namespace kestrelfin::kernels
