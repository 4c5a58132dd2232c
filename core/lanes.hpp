// The arithmetic the formulas are written in: one double, or a vector of
// doubles evaluated lane by lane.
//
// Every formula of the core is a template over `Real`. With Real = double it
// is the plain scalar formula; with Real = Lanes<N> (a GCC vector of N
// doubles) each lane performs exactly the scalar sequence of separately
// rounded IEEE-754 operations, so every lane's result is the scalar result
// to the last bit. Only exp and log are not vector operations: each lane
// calls the C library's scalar function, because a vector maths library
// would round differently.
#pragma once

#include <cmath>
#include <concepts>
#include <cstdint>
#include <type_traits>

namespace kestrelfin::core {

template <int N>
struct LaneTypes {
    typedef double Real __attribute__((vector_size(N * sizeof(double))));
    typedef std::int64_t Mask __attribute__((vector_size(N * sizeof(double))));
};

// N doubles processed together; N is a power of two.
template <int N>
using Lanes = typename LaneTypes<N>::Real;

template <class T>
concept LaneVector = !std::is_arithmetic_v<T> && requires(T v) {
    { v[0] } -> std::convertible_to<double>;
} && sizeof(T) % sizeof(double) == 0;

template <class T>
inline constexpr int lane_count = 1;
template <LaneVector T>
inline constexpr int lane_count<T> = sizeof(T) / sizeof(double);

// Everything that may run on lanes is always inlined into its caller, so a
// vector instance is compiled with the caller's instruction set (a vector
// passed between functions compiled for different instruction sets would
// not even be passed the same way).
#define KESTRELFIN_LANE_INLINE inline __attribute__((always_inline))

// ---- one double -------------------------------------------------------------

inline double exp_of(double x) noexcept { return std::exp(x); }
inline double log_of(double x) noexcept { return std::log(x); }
inline double sqrt_of(double x) noexcept { return std::sqrt(x); }
inline double abs_of(double x) noexcept { return std::fabs(x); }
// An exponential of a value that neighbouring options often share (a
// function of t and the call-wide r and q only).
inline double exp_of_shared(double x) noexcept { return std::exp(x); }

// ---- N doubles --------------------------------------------------------------

// A scalar function applied to each lane.
template <LaneVector V, class Scalar>
KESTRELFIN_LANE_INLINE V each_lane(V x, Scalar scalar) noexcept {
    for (int i = 0; i < lane_count<V>; ++i) {
        x[i] = scalar(x[i]);
    }
    return x;
}

template <LaneVector V>
KESTRELFIN_LANE_INLINE V exp_of(V x) noexcept {
    return each_lane(x, [](double v) { return std::exp(v); });
}

template <LaneVector V>
KESTRELFIN_LANE_INLINE V log_of(V x) noexcept {
    return each_lane(x, [](double v) { return std::log(v); });
}

template <LaneVector V>
KESTRELFIN_LANE_INLINE V sqrt_of(V x) noexcept {
    return each_lane(x, [](double v) { return std::sqrt(v); });
}

// Clears the sign bits, as fabs does (NaN included).
template <LaneVector V>
KESTRELFIN_LANE_INLINE V abs_of(V x) noexcept {
    using Mask = typename LaneTypes<lane_count<V>>::Mask;
    return reinterpret_cast<V>(reinterpret_cast<Mask>(x) & static_cast<std::int64_t>(0x7fffffffffffffffLL));
}

// A lane whose argument equals the previous lane's bit for bit takes that
// lane's result: the same libm call on the same argument gives the same
// double, so reusing it changes nothing but the time.
template <LaneVector V>
KESTRELFIN_LANE_INLINE V exp_of_shared(V x) noexcept {
    using Mask = typename LaneTypes<lane_count<V>>::Mask;
    const Mask bits = reinterpret_cast<Mask>(x);
    V result;
    result[0] = std::exp(x[0]);
    for (int i = 1; i < lane_count<V>; ++i) {
        result[i] = bits[i] == bits[i - 1] ? result[i - 1] : std::exp(x[i]);
    }
    return result;
}

// Every lane set to x. (Adding x to a zero vector would not do: -0.0 + 0.0
// is +0.0.)
template <LaneVector V>
KESTRELFIN_LANE_INLINE V splat(double x) noexcept {
    V v;
    for (int i = 0; i < lane_count<V>; ++i) {
        v[i] = x;
    }
    return v;
}

// Whether any lane of a comparison's mask is set.
template <class M>
KESTRELFIN_LANE_INLINE bool any_lane(M mask) noexcept {
    for (int i = 0; i < static_cast<int>(sizeof(M) / sizeof(mask[0])); ++i) {
        if (mask[i]) {
            return true;
        }
    }
    return false;
}

}  // namespace kestrelfin::core
