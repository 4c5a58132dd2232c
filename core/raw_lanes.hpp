// The machine layer of the lanes: GCC vectors of 2, 4 or 8 doubles (raw
// lane vectors) and of their bits, with the vocabulary the formulas use on
// lanes (lanes.hpp builds Lanes<N, Math> on it under the same names:
// lane_count, splat, select, any_lane) and what the libm replicas
// (vector_exp_log.hpp) need beyond GCC's vector arithmetic: bit views, fused
// multiply-adds and table lookups.
//
// All of it is written without target-specific intrinsics, on purpose. The
// kernels reach the formulas through always-inline functions that carry no
// target attribute (only the outermost kernel function has one), and both
// GCC 12 and clang 14 refuse to inline an intrinsic such as _mm256_fmadd_pd
// into a function without the intrinsic's target, even when that function is
// itself always inlined into an AVX2 kernel later. GCC's generic vector code
// and __builtin_fma have no such restriction: they are compiled with the
// instruction set of the kernel they end up in. Both compilers turn a
// lane-by-lane __builtin_fma into one vfmadd...pd of the kernel's width
// (xmm, ymm, or zmm under AVX-512); tests/core/check_replica_code.py checks
// the compiled batch functions for exactly that. Without FMA in the kernel's
// target a lane-wise fma becomes a call to the C library's fma(), which is
// exact too, only slow: the results never depend on what the compiler chose.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <type_traits>
#include <utility>

namespace kestrelfin::core {

// Everything that may run on lanes is always inlined into its caller, so a
// vector instance is compiled with the caller's instruction set (a vector
// passed between functions compiled for different instruction sets would
// not even be passed the same way).
#define KESTRELFIN_LANE_INLINE inline __attribute__((always_inline))
// The same for a lambda on lanes, written [&]() KESTRELFIN_LANE_LAMBDA { ... }:
// a lambda is a function of its own, which would otherwise be compiled for
// the baseline instruction set and, once the compiler changes how it passes
// its vectors, called across a mismatched calling convention.
#define KESTRELFIN_LANE_LAMBDA __attribute__((always_inline))

// N doubles (N a power of two) and N 64-bit integers as GCC vectors: the
// machine representation of lanes and of a comparison's outcome.
template <int N>
struct RawTypes {
    typedef double Real __attribute__((vector_size(N * sizeof(double))));
    typedef std::int64_t Mask __attribute__((vector_size(N * sizeof(double))));
};
template <int N>
using RawLanes = typename RawTypes<N>::Real;
template <int N>
using RawMask = typename RawTypes<N>::Mask;

// A raw lane vector: 2, 4 or 8 doubles. (GCC's vector types are structural:
// every vector of 4 doubles is RawLanes<4>, wherever it was declared.)
template <class V>
concept RawVector = (sizeof(V) == 16 || sizeof(V) == 32 || sizeof(V) == 64) &&
                    std::is_same_v<V, RawLanes<static_cast<int>(sizeof(V) / sizeof(double))>>;

// How many doubles a raw vector holds (lanes.hpp adds one double and Lanes).
template <class T>
inline constexpr int lane_count = 1;
template <RawVector V>
inline constexpr int lane_count<V> = static_cast<int>(sizeof(V) / sizeof(double));

// The unsigned 64-bit integer vector of the same shape: the lanes' bits.
template <class V>
struct LaneIntegers {
    typedef std::uint64_t Bits __attribute__((vector_size(sizeof(V))));
};
template <class V>
using BitsOf = typename LaneIntegers<V>::Bits;
// A vector of lane bits (of any raw vector's shape). The size is checked
// first, so that a scalar (the bool & bool of a one-option instance, an int)
// is no candidate rather than a vector of no lanes.
template <class B>
concept RawBits = (sizeof(B) == 16 || sizeof(B) == 32 || sizeof(B) == 64) &&
                  std::is_same_v<B, BitsOf<RawLanes<static_cast<int>(sizeof(B) / sizeof(double))>>>;

// The bits of each lane, and back.
template <RawVector V>
KESTRELFIN_LANE_INLINE BitsOf<V> bits_of(V x) noexcept {
    return reinterpret_cast<BitsOf<V>>(x);
}

template <RawVector V>
KESTRELFIN_LANE_INLINE V doubles_of(BitsOf<V> bits) noexcept {
    return reinterpret_cast<V>(bits);
}

// A comparison's result (all ones or all zeros per lane) as bits; the
// element type of a comparison's result differs between GCC and clang.
template <RawVector V, class Comparison>
KESTRELFIN_LANE_INLINE BitsOf<V> mask_of(Comparison comparison) noexcept {
    static_assert(sizeof(Comparison) == sizeof(V));
    return reinterpret_cast<BitsOf<V>>(comparison);
}

// Every lane set to x (a scalar operand of vector arithmetic is broadcast
// too; this is for the places that need a vector).
template <RawVector V>
KESTRELFIN_LANE_INLINE V splat(double x) noexcept {
    V v;
    for (int i = 0; i < lane_count<V>; ++i) {
        v[i] = x;
    }
    return v;
}

// a * b + c rounded once, in every lane.
template <RawVector V>
KESTRELFIN_LANE_INLINE V fused_multiply_add(V a, V b, V c) noexcept {
    V result;
    for (int i = 0; i < lane_count<V>; ++i) {
        result[i] = __builtin_fma(a[i], b[i], c[i]);
    }
    return result;
}

// -(a * b) + c rounded once, in every lane (vfnmadd: the negation of the
// exact product is exact, so this is fma(-a, b, c)).
template <RawVector V>
KESTRELFIN_LANE_INLINE V negated_fused_multiply_add(V a, V b, V c) noexcept {
    V result;
    for (int i = 0; i < lane_count<V>; ++i) {
        result[i] = __builtin_fma(-a[i], b[i], c[i]);
    }
    return result;
}

// The lanes of if_set where mask is all ones, of if_clear where it is zero.
template <RawVector V>
KESTRELFIN_LANE_INLINE V select(BitsOf<V> mask, V if_set, V if_clear) noexcept {
    return doubles_of<V>((bits_of(if_set) & mask) | (bits_of(if_clear) & ~mask));
}

// Whether any lane of a mask is set.
template <RawBits Bits>
KESTRELFIN_LANE_INLINE bool any_lane(Bits mask) noexcept {
    std::uint64_t folded = 0;
    for (int i = 0; i < static_cast<int>(sizeof(Bits) / sizeof(std::uint64_t)); ++i) {
        folded |= mask[i];
    }
    return folded != 0;
}

namespace lane_detail {

typedef double Pair __attribute__((vector_size(2 * sizeof(double))));
// The same, readable in place wherever two doubles are (tables are aligned).
typedef double TablePair __attribute__((vector_size(2 * sizeof(double)), may_alias));

// The two doubles table[2 j], table[2 j + 1] with one 16-byte load.
KESTRELFIN_LANE_INLINE Pair pair_at(const double* table, std::uint64_t j) noexcept {
    return *reinterpret_cast<const TablePair*>(table + 2 * j);
}

// The concatenation of two equal vectors into one of twice their length.
template <class Half, std::size_t... I>
KESTRELFIN_LANE_INLINE auto concatenated(Half low, Half high, std::index_sequence<I...>) noexcept {
    return __builtin_shufflevector(low, high, static_cast<int>(I)...);
}

// The pairs of lanes First, First + Step, ..., Count of them, concatenated:
// with Step 2, the pairs of the even lanes or of the odd ones.
template <int Count, int First, int Step, class Bits>
KESTRELFIN_LANE_INLINE auto pairs_of_lanes(const double* table, Bits index) noexcept {
    if constexpr (Count == 1) {
        return pair_at(table, index[First]);
    } else {
        const auto low = pairs_of_lanes<Count / 2, First, Step>(table, index);
        const auto high = pairs_of_lanes<Count / 2, First + Count / 2 * Step, Step>(table, index);
        return concatenated(low, high, std::make_index_sequence<2 * lane_count<std::remove_cvref_t<decltype(low)>>>{});
    }
}

// Lane j of the result from the pairs of even lanes (a) and odd lanes (b):
// the first (Second = 0) or second (Second = 1) double of lane j's pair.
template <class V, int Second, std::size_t... J>
KESTRELFIN_LANE_INLINE V interleaved(V a, V b, std::index_sequence<J...>) noexcept {
    constexpr int n = lane_count<V>;
    return __builtin_shufflevector(
        a, b, (J % 2 == 0 ? static_cast<int>(J) + Second : n + static_cast<int>(J) - 1 + Second)...);
}

}  // namespace lane_detail

// first[j] = table[2 index[j]], second[j] = table[2 index[j] + 1]. Written
// as one 16-byte load per lane, the even lanes' pairs concatenated in one
// vector and the odd lanes' in another, then two in-lane unpacks (the
// compiler may turn the loads into 8-byte ones). On this Zen CPU that beats
// two gather instructions by far (benchmarks/exp_log_lanes.cpp measures both).
template <class V>
KESTRELFIN_LANE_INLINE void load_pairs(const double* table, BitsOf<V> index, V& first, V& second) noexcept {
    constexpr int n = lane_count<V>;
    static_assert(n == 2 || n == 4 || n == 8, "lane vectors hold 2, 4 or 8 doubles");
    V even_pairs;
    V odd_pairs;
    if constexpr (n == 2) {
        even_pairs = lane_detail::pair_at(table, index[0]);
        odd_pairs = lane_detail::pair_at(table, index[1]);
    } else {
        even_pairs = lane_detail::pairs_of_lanes<n / 2, 0, 2>(table, index);
        odd_pairs = lane_detail::pairs_of_lanes<n / 2, 1, 2>(table, index);
    }
    first = lane_detail::interleaved<V, 0>(even_pairs, odd_pairs, std::make_index_sequence<n>{});
    second = lane_detail::interleaved<V, 1>(even_pairs, odd_pairs, std::make_index_sequence<n>{});
}

}  // namespace kestrelfin::core
