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
// element i of the operands, to the last bit, as in the _array functions
// (an implied volatility that cannot be found is NaN).
//
// Where the process's kernel path is AVX2 with the replica of glibc's FMA
// build (kernels/kernel_paths.hpp), the elements are
// computed by the array functions' own element loop, in AVX2 lanes, over
// strided operands; elsewhere one by one. Free of any Python or NumPy type,
// so it can be tested from plain C++.
#pragma once

#include "kernels/element_loops.hpp"
#include "kernels/operations.hpp"
#include "core/option_kind.hpp"

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <utility>

namespace kestrelfin::kernels {

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

// The kinds operand, as the element loop takes kinds: option i's, and those
// of options i to i + W - 1 lane by lane.
struct StridedKinds {
    const char* data;
    std::intptr_t step;
    core::OptionKind at(std::size_t i) const noexcept { return load_kind(data + static_cast<std::intptr_t>(i) * step); }
    template <int W>
    KESTRELFIN_LANE_INLINE core::LaneKinds<W> lanes(std::size_t i) const noexcept {
        core::LaneKinds<W> kinds{};
        for (int lane = 0; lane < W; ++lane) {
            kinds.is_call[lane] = at(i + static_cast<std::size_t>(lane)) == core::OptionKind::Call ? -1 : 0;
        }
        return kinds;
    }
};

// The number operands of one function, as the element loop takes its
// numbers: by the slot of the parameter in the function's family (the
// operand of slot s is args[1 + s - first_number]). A block of lanes is one
// copy where the operand is contiguous, one value everywhere where it is
// broadcast, and gathered lane by lane otherwise.
template <class Function>
struct StridedNumbers {
    using Family = typename Function::Family;
    static constexpr std::size_t first = Family::first_number;
    const char* data[kNumberCount<Function>];
    std::intptr_t step[kNumberCount<Function>];

    template <std::size_t Slot>
    double number(std::size_t i) const noexcept {
        constexpr std::size_t j = Slot - first;
        return load_number(data[j] + static_cast<std::intptr_t>(i) * step[j]);
    }
    template <class V, std::size_t Slot>
    KESTRELFIN_LANE_INLINE V lanes(std::size_t i) const noexcept {
        constexpr std::size_t j = Slot - first;
        const char* at = data[j] + static_cast<std::intptr_t>(i) * step[j];
        V block{};
        if (step[j] == static_cast<std::intptr_t>(sizeof(double))) {
            std::memcpy(&block.v, at, sizeof block.v);
        } else if (step[j] == 0) {
            block = core::splat<V>(load_number(at));
        } else {
            for (int lane = 0; lane < core::lane_count<V>; ++lane) {
                block.set(lane, load_number(at + lane * step[j]));
            }
        }
        return block;
    }
};

// The result operand.
struct StridedOutput {
    char* data;
    std::intptr_t step;
    void store(std::size_t i, double value) const noexcept {
        store_number(data + static_cast<std::intptr_t>(i) * step, value);
    }
    template <class V>
    KESTRELFIN_LANE_INLINE void store_lanes(std::size_t i, const V& block) const noexcept {
        char* at = data + static_cast<std::intptr_t>(i) * step;
        if (step == static_cast<std::intptr_t>(sizeof(double))) {
            std::memcpy(at, &block.v, sizeof block.v);
        } else {
            for (int lane = 0; lane < core::lane_count<V>; ++lane) {
                store_number(at + lane * step, block[lane]);
            }
        }
    }
};

// One element after another through the scalar function's compiled
// instance: what the loop does on the kernel paths it has no lanes for.
template <class Function, class Kinds, std::size_t... J>
void evaluate_elements(const Kinds& kinds, const StridedNumbers<Function>& in, const StridedOutput& out, std::size_t n,
                       std::index_sequence<J...> numbers) noexcept {
    for (std::size_t i = 0; i < n; ++i) {
        out.store(i, scalar_element<Function>(kinds.at(i), in, i, numbers));
    }
}

// The AVX2 lanes of the array functions' kernels, over these operands; one
// instance for a call whose options share one kind (a broadcast flag), one
// for kinds that may differ lane by lane.
template <class Function>
void ufunc_loop(char** args, const std::intptr_t* dimensions, const std::intptr_t* steps, void* /*data*/) noexcept {
    constexpr std::size_t numbers = kNumberCount<Function>;
    StridedNumbers<Function> in;
    for (std::size_t j = 0; j < numbers; ++j) {
        in.data[j] = args[1 + j];
        in.step[j] = steps[1 + j];
    }
    const StridedOutput out{args[1 + numbers], steps[1 + numbers]};
    const auto n = static_cast<std::size_t>(dimensions[0]);
    const StridedKinds kinds{args[0], steps[0]};
    // A result operand of stride 0 (a broadcast view passed as out=) keeps
    // the last element written, which only an element-by-element order
    // makes the last element's (the solver's lanes finish out of order).
    if (kernel_path() != KernelPath::Avx2Fused || out.step == 0) {
        return evaluate_elements<Function>(kinds, in, out, n, std::make_index_sequence<numbers>{});
    }
    if (steps[0] == 0) {
        const UniformKind kind{n > 0 ? kinds.at(0) : core::OptionKind::Call};
        return fill_elements_avx2<Function, Avx2FusedMath>(kind, in, out, n);
    }
    fill_elements_avx2<Function, Avx2FusedMath>(kinds, in, out, n);
}

}  // namespace kestrelfin::kernels
