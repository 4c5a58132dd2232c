// The inner loop of every ufunc of kestrelfin._ufuncs but the greeks ones:
// one template, instantiated once per function of the table.
//
// NumPy calls it with the operands already broadcast and cast:
//   args[0]            the option kinds, NumPy bools (nonzero = call);
//   args[1 + j]        the j-th number of the function, float64, in the
//                      order of its parameter list without `flag` (for
//                      bsm_delta: S, K, t, r, sigma, q);
//   args[1 + numbers]  the result, float64;
//   dimensions[0]      the number of elements n;
//   steps[k]           the byte stride of operand k (any value: zero for a
//                      broadcast operand, negative for a reversed view, not
//                      a multiple of 8 for a view into a byte buffer).
// Element i of the result is the _kestrelfin scalar function's result for
// element i of the operands, to the last bit: the body evaluates each
// element through that function's own compiled instance (scalar_operation).
// An implied volatility that cannot be found is NaN, as in the _array
// functions.
//
// Only the body of ufunc_loop decides how the elements are computed; the
// module registers ufunc_loop<Function> and knows nothing else of it. Free of
// any Python or NumPy type, so it can be tested from plain C++.
#pragma once

#include "binding/array_kernels.hpp"
#include "binding/operations.hpp"
#include "core/option_kind.hpp"

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <utility>

namespace kestrelfin::ufuncs {

// Operands are read and written with unaligned copies: NumPy hands over
// views at any byte offset.
inline double load_number(const char* at) noexcept {
    double value;
    std::memcpy(&value, at, sizeof value);
    return value;
}

inline void store_number(char* at, double value) noexcept {
    std::memcpy(at, &value, sizeof value);
}

inline core::OptionKind load_kind(const char* at) noexcept {
    return *reinterpret_cast<const unsigned char*>(at) != 0 ? core::OptionKind::Call : core::OptionKind::Put;
}

template <class Function>
inline constexpr std::size_t kNumberCount = Function::Family::arity - 1;

template <class Function, std::size_t... J>
inline void evaluate_elements(char** args, std::intptr_t n, const std::intptr_t* steps,
                              std::index_sequence<J...>) noexcept {
    constexpr std::size_t out = 1 + sizeof...(J);
    for (std::intptr_t i = 0; i < n; ++i) {
        const core::OptionKind kind = load_kind(args[0] + i * steps[0]);
        const double value = binding::element_value(
            binding::scalar_operation<Function>(kind, load_number(args[1 + J] + i * steps[1 + J])...));
        store_number(args[out] + i * steps[out], value);
    }
}

template <class Function>
void ufunc_loop(char** args, const std::intptr_t* dimensions, const std::intptr_t* steps,
                void* /*data*/) noexcept {
    evaluate_elements<Function>(args, dimensions[0], steps, std::make_index_sequence<kNumberCount<Function>>{});
}

}  // namespace kestrelfin::ufuncs
