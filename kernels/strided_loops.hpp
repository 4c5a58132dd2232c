// The inner loops of kestrelfin._ufuncs in NumPy's calling convention, free
// of NumPy's types: one per function of the table and one greeks loop per
// model, each the element loop (element_loops.hpp) or the greeks pass
// (greeks_loops.hpp) over strided operands, on the process's kernel path.
//
// NumPy calls a loop with the operands already broadcast and cast:
//   args[0]            the option kinds, NumPy bools (nonzero = call);
//   args[1 + j]        the j-th number of the function, float64, in the
//                      order of its parameter list without `flag` (for
//                      bsm_delta: S, K, t, r, sigma, q);
//   then the results, float64: one, or the greeks pass's sixteen;
//   dimensions[0]      the number of elements n;
//   steps[k]           the byte stride of operand k (any value: zero for a
//                      broadcast operand, negative for a reversed view, not
//                      a multiple of 8 for a view into a byte buffer).
// Element i of a result is the _kestrelfin scalar function's result for
// element i of the operands, to the last bit, as in the _array functions
// (an implied volatility that cannot be found is NaN).
#pragma once

#include "kernels/element_loops.hpp"
#include "kernels/greeks_loops.hpp"
#include "kernels/operands.hpp"
#include "kernels/operations.hpp"

#include <array>
#include <cstddef>
#include <cstdint>

namespace kestrelfin::kernels {

// A kinds operand of stride 0 (one flag for the call) gives one kind for
// every option, for which the formulas evaluate the call's or the put's
// branch alone.
template <class Run>
void with_kinds(const StridedKinds& kinds, std::size_t n, Run&& run) {
    if (kinds.step == 0) {
        return run(UniformKind{n > 0 ? kinds.at(0) : core::OptionKind::Call});
    }
    run(kinds);
}

template <class Function>
void ufunc_loop(char** args, const std::intptr_t* dimensions, const std::intptr_t* steps, void* /*data*/) noexcept {
    constexpr std::size_t numbers = kNumberCount<Function>;
    const StridedNumbersOf<Function> in(args + 1, steps + 1);
    const StridedOutput out{args[1 + numbers], steps[1 + numbers]};
    const auto n = static_cast<std::size_t>(dimensions[0]);
    with_kinds(StridedKinds{args[0], steps[0]}, n, [&](const auto& kinds) {
        if (out.step == 0) {
            return fill_in_order<Function>(kinds, in, out, Range{0, n});
        }
        fill_all<Function>(kinds, in, out, Range{0, n});
    });
}

template <class AllGreeks>
void greeks_loop(char** args, const std::intptr_t* dimensions, const std::intptr_t* steps, void* /*data*/) noexcept {
    constexpr std::size_t numbers = kNumberCount<typename AllGreeks::Price>;
    const StridedNumbersOf<typename AllGreeks::Price> in(args + 1, steps + 1);
    std::array<StridedOutput, kGreekCount> out;
    for (std::size_t g = 0; g < kGreekCount; ++g) {
        out[g] = StridedOutput{args[1 + numbers + g], steps[1 + numbers + g]};
    }
    const auto n = static_cast<std::size_t>(dimensions[0]);
    with_kinds(StridedKinds{args[0], steps[0]}, n, [&](const auto& kinds) {
        fill_all_greeks<AllGreeks>(kinds, in, out, Range{0, n});
    });
}

}  // namespace kestrelfin::kernels
