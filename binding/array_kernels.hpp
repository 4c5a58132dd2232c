// The element loop of the array functions, over several options at a time.
//
// Each block of W options is evaluated as one vector formula (core/lanes.hpp):
// every lane performs exactly the scalar sequence of separately rounded
// operations, and exp/log are the C library's scalar calls, so every element
// equals the scalar function's result to the last bit. The width is chosen at run time
// from the CPU's features (AVX2, else SSE2); the choice changes the speed,
// never a result. (Eight-lane AVX-512 blocks measured slower: the per-lane
// library calls dominate, and wider blocks mix more ranges of the normal
// distribution, each of which then has to be evaluated.)
//
// A lane whose result is NaN is recomputed through the scalar function's own
// compiled instance, so that a NaN carries exactly the payload the scalar
// function gives. Implied volatility is iterative: its lanes each solve one
// option and take the next when done, every step being the scalar solver's.
#pragma once

#include "binding/operations.hpp"
#include "core/lanes.hpp"

#include <cstddef>
#include <cstring>
#include <limits>
#include <type_traits>

namespace kestrelfin::binding {

// An implied volatility that cannot be found is a NaN element, not an error.
inline double element_value(double value) noexcept {
    return value;
}
inline double element_value(const core::ImpliedVol& result) noexcept {
    return result.ok() ? result.volatility : std::numeric_limits<double>::quiet_NaN();
}

// Element i of the call through the scalar function's compiled instance.
template <class Function, class Inputs, std::size_t... J>
inline double scalar_element(core::OptionKind kind, const Inputs& in, std::size_t i, std::index_sequence<J...>) {
    constexpr std::size_t first = Function::Family::first_number;
    return element_value(scalar_operation<Function>(kind, in.template number<first + J>(i)...));
}

template <class Function, class V, class Inputs, std::size_t... J>
KESTRELFIN_LANE_INLINE V vector_block(core::OptionKind kind, const Inputs& in, std::size_t i,
                                      std::index_sequence<J...>) {
    constexpr std::size_t first = Function::Family::first_number;
    return Function::operation(kind, in.template lanes<V, first + J>(i)...);
}

template <std::size_t, class T>
using Repeat = T;

// Whether the function's core operation can run on lanes (every closed-form
// formula can; the iterative implied-volatility solver cannot).
template <class Function, class V, std::size_t... J>
constexpr bool runs_on_lanes(std::index_sequence<J...>) {
    return requires(core::OptionKind kind, Repeat<J, V>... x) { Function::operation(kind, x...); };
}

template <class Function, class Inputs, std::size_t... J>
inline core::ImpliedVolInputs solver_inputs(const Inputs& in, std::size_t i, std::index_sequence<J...>) {
    constexpr std::size_t first = Function::Family::first_number;
    return Function::solver_inputs(in.template number<first + J>(i)...);
}

// The elements of one call, in blocks of lanes of type V.
template <class Function, class V, class Inputs>
KESTRELFIN_LANE_INLINE void fill_elements(core::OptionKind kind, const Inputs& in, double* out, std::size_t n) {
    constexpr auto numbers = std::make_index_sequence<Function::Family::arity - 1>{};
    constexpr int W = core::lane_count<V>;
    if constexpr (SolvesImpliedVolatility<Function>) {
        core::implied_volatility_lanes<V>(
            n, [kind](std::size_t) { return kind; },
            [&](std::size_t i) { return solver_inputs<Function>(in, i, numbers); },
            [&](std::size_t i, const core::ImpliedVol& outcome) { out[i] = element_value(outcome); });
        return;
    }
    std::size_t i = 0;
    if constexpr (runs_on_lanes<Function, V>(numbers)) {
        for (; i + W <= n; i += W) {
            const V block = vector_block<Function, V>(kind, in, i, numbers);
            std::memcpy(out + i, &block.v, sizeof block.v);
            for (int lane = 0; lane < W; ++lane) {
                if (block[lane] != block[lane]) {
                    out[i + lane] = scalar_element<Function>(kind, in, i + lane, numbers);
                }
            }
        }
    }
    for (; i < n; ++i) {
        out[i] = scalar_element<Function>(kind, in, i, numbers);
    }
}

// One instance per instruction set; `flatten` pulls the whole formula into
// it, so it is compiled for that instruction set alone (functions it calls
// but cannot inline, such as the library's exp, keep the baseline ABI). The
// AVX2 block width is the table's.
template <class Function, class Inputs>
__attribute__((target("avx2"), flatten)) void fill_elements_avx2(core::OptionKind kind, const Inputs& in,
                                                                  double* out, std::size_t n) {
    fill_elements<Function, core::Lanes<Function::avx2_lanes>>(kind, in, out, n);
}

template <class Function, class Inputs>
__attribute__((flatten)) void fill_elements_sse2(core::OptionKind kind, const Inputs& in, double* out,
                                                 std::size_t n) {
    fill_elements<Function, core::Lanes<2>>(kind, in, out, n);
}

enum class InstructionSet : unsigned char { Sse2, Avx2 };

inline InstructionSet detect_instruction_set() noexcept {
    __builtin_cpu_init();
    if (__builtin_cpu_supports("avx2")) {
        return InstructionSet::Avx2;
    }
    return InstructionSet::Sse2;
}

inline const InstructionSet kInstructionSet = detect_instruction_set();

template <class Function, class Inputs>
void fill_all(core::OptionKind kind, const Inputs& in, double* out, std::size_t n) {
    if (kInstructionSet == InstructionSet::Avx2) {
        fill_elements_avx2<Function>(kind, in, out, n);
    } else {
        fill_elements_sse2<Function>(kind, in, out, n);
    }
}

}  // namespace kestrelfin::binding
