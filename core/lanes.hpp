// The arithmetic the formulas are written in: one double, or lanes of
// doubles evaluated together.
//
// Every formula of the core is a template over `Real`. With Real = double it
// is the plain scalar formula; with Real = Lanes<N, Math> (N doubles in a
// vector register) each lane performs exactly the scalar sequence of
// separately rounded IEEE-754 operations, so every lane's result is the
// scalar result to the last bit. exp and log are the one exception to
// "vector operation": `Math` says how the lanes compute them, either by the
// C library's scalar calls, one per lane (LibmCalls), or by a lane-wise
// replica of the C library's own algorithm that returns the same bits
// (vector_exp_log.hpp), used only where a check at first use has confirmed
// that it does.
//
// A comparison gives a `bool` for one double and a LaneMask for lanes;
// select(), any_lane() and lane_not() accept either, and `&` combines both,
// so that one source serves both. (Two bools combined with `&` give an int
// of 0 or 1, which the bool overloads take.) The same names (lane_count,
// splat, select, any_lane) serve the raw vectors beneath Lanes
// (raw_lanes.hpp), in which the libm replicas are written: one vocabulary.
#pragma once

#include <cmath>
#include <concepts>
#include <cstdint>
#include <type_traits>
#include <utility>

#include "core/raw_lanes.hpp"

namespace kestrelfin::core {

// The outcome of a comparison of lanes: all bits set where it holds.
template <int N>
struct LaneMask {
    RawMask<N> bits;
    friend KESTRELFIN_LANE_INLINE LaneMask operator&(LaneMask a, LaneMask b) noexcept { return {a.bits & b.bits}; }
    friend KESTRELFIN_LANE_INLINE LaneMask operator|(LaneMask a, LaneMask b) noexcept { return {a.bits | b.bits}; }
    KESTRELFIN_LANE_INLINE bool operator[](int i) const noexcept { return bits[i] != 0; }
};

// exp and log one lane at a time, by the C library's own calls.
struct LibmCalls {
    static constexpr bool calls_per_lane = true;
    template <class Raw>
    static KESTRELFIN_LANE_INLINE Raw exp(Raw x) noexcept {
        for (int i = 0; i < lane_count<Raw>; ++i) {
            x[i] = std::exp(x[i]);
        }
        return x;
    }
    template <class Raw>
    static KESTRELFIN_LANE_INLINE Raw log(Raw x) noexcept {
        for (int i = 0; i < lane_count<Raw>; ++i) {
            x[i] = std::log(x[i]);
        }
        return x;
    }
};

// N doubles evaluated together, computing exp and log as Math says.
template <int N, class Math = LibmCalls>
struct Lanes {
    using Raw = RawLanes<N>;
    using MathPolicy = Math;
    static constexpr int count = N;

    Raw v;

    Lanes() = default;
    KESTRELFIN_LANE_INLINE constexpr Lanes(Raw raw) noexcept : v(raw) {}
    // Every lane set to x. (Adding x to a zero vector would not do:
    // -0.0 + 0.0 is +0.0.)
    KESTRELFIN_LANE_INLINE Lanes(double x) noexcept {
        for (int i = 0; i < N; ++i) {
            v[i] = x;
        }
    }

    KESTRELFIN_LANE_INLINE double operator[](int i) const noexcept { return v[i]; }
    // A lane is written through set: a reference to one element of a vector
    // is not portable C++ (clang refuses to bind one).
    KESTRELFIN_LANE_INLINE void set(int i, double x) noexcept { v[i] = x; }

    friend KESTRELFIN_LANE_INLINE Lanes operator+(Lanes a, Lanes b) noexcept { return a.v + b.v; }
    friend KESTRELFIN_LANE_INLINE Lanes operator-(Lanes a, Lanes b) noexcept { return a.v - b.v; }
    friend KESTRELFIN_LANE_INLINE Lanes operator*(Lanes a, Lanes b) noexcept { return a.v * b.v; }
    friend KESTRELFIN_LANE_INLINE Lanes operator/(Lanes a, Lanes b) noexcept { return a.v / b.v; }
    friend KESTRELFIN_LANE_INLINE Lanes operator-(Lanes a) noexcept { return -a.v; }

    friend KESTRELFIN_LANE_INLINE LaneMask<N> operator<(Lanes a, Lanes b) noexcept { return {a.v < b.v}; }
    friend KESTRELFIN_LANE_INLINE LaneMask<N> operator<=(Lanes a, Lanes b) noexcept { return {a.v <= b.v}; }
    friend KESTRELFIN_LANE_INLINE LaneMask<N> operator>(Lanes a, Lanes b) noexcept { return {a.v > b.v}; }
    friend KESTRELFIN_LANE_INLINE LaneMask<N> operator>=(Lanes a, Lanes b) noexcept { return {a.v >= b.v}; }
    friend KESTRELFIN_LANE_INLINE LaneMask<N> operator==(Lanes a, Lanes b) noexcept { return {a.v == b.v}; }
};

template <class T>
inline constexpr bool is_lanes = false;
template <int N, class Math>
inline constexpr bool is_lanes<Lanes<N, Math>> = true;

template <class T>
concept LaneVector = is_lanes<T>;

template <LaneVector T>
inline constexpr int lane_count<T> = T::count;

// Lanes whose lane i is lane_value(i), assembled in registers. Lanes
// written one by one into a vector in memory and then read whole stall the
// CPU: one wide load cannot be forwarded from several narrow stores.
template <LaneVector V, class F>
KESTRELFIN_LANE_INLINE V lanes_from(F&& lane_value) noexcept {
    return [&]<int... I>(std::integer_sequence<int, I...>) KESTRELFIN_LANE_LAMBDA {
        return V(typename V::Raw{lane_value(I)...});
    }
    (std::make_integer_sequence<int, lane_count<V>>{});
}

// ---- one double -------------------------------------------------------------

inline double exp_of(double x) noexcept {
    return std::exp(x);
}
inline double log_of(double x) noexcept {
    return std::log(x);
}
inline double sqrt_of(double x) noexcept {
    return std::sqrt(x);
}
inline double abs_of(double x) noexcept {
    return std::fabs(x);
}
inline double trunc_of(double x) noexcept {
    return std::trunc(x);
}
// An exponential of a value that neighbouring options often share (a
// function of t and the call-wide r and q only).
inline double exp_of_shared(double x) noexcept {
    return std::exp(x);
}

// ---- lanes --------------------------------------------------------------------

// A scalar function applied to each lane.
template <LaneVector V, class Scalar>
KESTRELFIN_LANE_INLINE V each_lane(V x, Scalar scalar) noexcept {
    for (int i = 0; i < lane_count<V>; ++i) {
        x.set(i, scalar(x[i]));
    }
    return x;
}

template <LaneVector V>
KESTRELFIN_LANE_INLINE V exp_of(V x) noexcept {
    return V::MathPolicy::exp(x.v);
}

template <LaneVector V>
KESTRELFIN_LANE_INLINE V log_of(V x) noexcept {
    return V::MathPolicy::log(x.v);
}

// The square root of each lane, two lanes at a time by SSE2's sqrtpd (the
// baseline of x86-64, so usable in every kernel), which rounds exactly as
// std::sqrt does; std::sqrt lane by lane would also test each argument for
// the errno of a negative one.
template <LaneVector V>
KESTRELFIN_LANE_INLINE V sqrt_of(V x) noexcept {
    for (int i = 0; i < lane_count<V>; i += 2) {
        RawLanes<2> pair = {x[i], x[i + 1]};
        pair = __builtin_ia32_sqrtpd(pair);
        x.set(i, pair[0]);
        x.set(i + 1, pair[1]);
    }
    return x;
}

template <LaneVector V>
KESTRELFIN_LANE_INLINE V trunc_of(V x) noexcept {
    return each_lane(x, [](double v) KESTRELFIN_LANE_LAMBDA { return std::trunc(v); });
}

// Clears the sign bits, as fabs does (NaN included).
template <LaneVector V>
KESTRELFIN_LANE_INLINE V abs_of(V x) noexcept {
    using Mask = RawMask<lane_count<V>>;
    return reinterpret_cast<typename V::Raw>(reinterpret_cast<Mask>(x.v) &
                                             static_cast<std::int64_t>(0x7fffffffffffffffLL));
}

// With the C library's calls, a lane whose argument equals the previous
// lane's bit for bit takes that lane's result: the same call on the same
// argument gives the same double, so reusing it changes nothing but the
// time. A lane-wise exp costs the same for all lanes and is simply applied.
template <LaneVector V>
KESTRELFIN_LANE_INLINE V exp_of_shared(V x) noexcept {
    if constexpr (V::MathPolicy::calls_per_lane) {
        using Mask = RawMask<lane_count<V>>;
        const Mask bits = reinterpret_cast<Mask>(x.v);
        V result;
        result.set(0, std::exp(x[0]));
        for (int i = 1; i < lane_count<V>; ++i) {
            result.set(i, bits[i] == bits[i - 1] ? result[i - 1] : std::exp(x[i]));
        }
        return result;
    } else {
        // Black-Scholes's carry and dividend factors: exp of -(0*t) or t*0,
        // which is 1 exactly (for any finite t) in every lane; the
        // comparison is false for a NaN, which goes to exp.
        if (!any_lane(lane_not(x == 0.0))) {
            return V(1.0);
        }
        return exp_of(x);
    }
}

// ---- either -----------------------------------------------------------------

// Every lane set to x (for one double: x).
template <class Real>
KESTRELFIN_LANE_INLINE Real splat(double x) noexcept {
    return Real(x);
}

// a where the condition holds, b elsewhere.
KESTRELFIN_LANE_INLINE double select(bool condition, double a, double b) noexcept {
    return condition ? a : b;
}
template <int N, class Math>
KESTRELFIN_LANE_INLINE Lanes<N, Math> select(LaneMask<N> condition, Lanes<N, Math> a, Lanes<N, Math> b) noexcept {
    return condition.bits ? a.v : b.v;
}

// Whether any lane of a comparison is true.
KESTRELFIN_LANE_INLINE bool any_lane(bool condition) noexcept {
    return condition;
}
// The mask's pairs of lanes are ORed together and the pair's sign bits read
// at once (SSE2's movmskpd, usable in every kernel): a few instructions
// rather than a test and a branch per lane.
template <int N>
KESTRELFIN_LANE_INLINE bool any_lane(LaneMask<N> mask) noexcept {
    RawMask<2> folded = __builtin_shufflevector(mask.bits, mask.bits, 0, 1);
    for (int i = 2; i < N; i += 2) {
        folded |= RawMask<2>{mask.bits[i], mask.bits[i + 1]};
    }
    return __builtin_ia32_movmskpd(reinterpret_cast<RawLanes<2>>(folded)) != 0;
}

// The negation of a comparison, lane by lane.
KESTRELFIN_LANE_INLINE bool lane_not(bool condition) noexcept {
    return !condition;
}
template <int N>
KESTRELFIN_LANE_INLINE LaneMask<N> lane_not(LaneMask<N> mask) noexcept {
    return {~mask.bits};
}

// `scalar` applied to the lanes of x where `condition` holds; `otherwise`
// keeps its value in the others. For lanes that only rarely take a path of
// their own (the far tail of the normal distribution).
template <class Scalar>
KESTRELFIN_LANE_INLINE double each_lane_where(bool condition, double x, double otherwise, Scalar scalar) noexcept {
    return condition ? scalar(x) : otherwise;
}
template <LaneVector V, class Scalar>
KESTRELFIN_LANE_INLINE V each_lane_where(LaneMask<lane_count<V>> condition, V x, V otherwise, Scalar scalar) noexcept {
    for (int i = 0; i < lane_count<V>; ++i) {
        if (condition.bits[i]) {
            otherwise.set(i, scalar(x[i]));
        }
    }
    return otherwise;
}

}  // namespace kestrelfin::core
