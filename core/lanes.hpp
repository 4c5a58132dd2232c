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
//
// A comparison gives a `bool` for one double and a mask (a vector of 0 or
// -1 integers) for lanes; `cond ? a : b` selects per lane and `&` combines
// in both cases, and the helpers below (any_lane, lane_not, ...) accept
// either, so that one source serves both. (Two bools combined with `&` give
// an int of 0 or 1, which the bool overloads take.)
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
inline double trunc_of(double x) noexcept { return std::trunc(x); }
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

template <LaneVector V>
KESTRELFIN_LANE_INLINE V trunc_of(V x) noexcept {
    return each_lane(x, [](double v) { return std::trunc(v); });
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

// ---- either -----------------------------------------------------------------

// Every lane set to x (for one double: x). Adding x to a zero vector would
// not do: -0.0 + 0.0 is +0.0.
template <class Real>
KESTRELFIN_LANE_INLINE Real splat(double x) noexcept {
    if constexpr (LaneVector<Real>) {
        Real v;
        for (int i = 0; i < lane_count<Real>; ++i) {
            v[i] = x;
        }
        return v;
    } else {
        return x;
    }
}

// Whether any lane of a comparison is true.
KESTRELFIN_LANE_INLINE bool any_lane(bool condition) noexcept {
    return condition;
}
template <class M>
    requires(!std::is_arithmetic_v<M>)
KESTRELFIN_LANE_INLINE bool any_lane(M mask) noexcept {
    for (int i = 0; i < static_cast<int>(sizeof(M) / sizeof(mask[0])); ++i) {
        if (mask[i]) {
            return true;
        }
    }
    return false;
}

// The negation of a comparison, lane by lane.
KESTRELFIN_LANE_INLINE bool lane_not(bool condition) noexcept {
    return !condition;
}
template <class M>
    requires(!std::is_arithmetic_v<M>)
KESTRELFIN_LANE_INLINE M lane_not(M mask) noexcept {
    return ~mask;
}

// `scalar` applied to the lanes of x where `condition` holds; `otherwise`
// keeps its value in the others. For lanes that only rarely take a path of
// their own (the far tail of the normal distribution).
template <class Scalar>
KESTRELFIN_LANE_INLINE double each_lane_where(bool condition, double x, double otherwise, Scalar scalar) noexcept {
    return condition ? scalar(x) : otherwise;
}
template <LaneVector V, class M, class Scalar>
KESTRELFIN_LANE_INLINE V each_lane_where(M condition, V x, V otherwise, Scalar scalar) noexcept {
    for (int i = 0; i < lane_count<V>; ++i) {
        if (condition[i]) {
            otherwise[i] = scalar(x[i]);
        }
    }
    return otherwise;
}

}  // namespace kestrelfin::core
