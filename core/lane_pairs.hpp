// Two blocks of lanes evaluated side by side: LanePair<Half> holds 2 x N
// doubles as two Half = Lanes<N, Math> and performs every operation on both.
//
// The rational implied-volatility solver is a long chain of dependent
// operations (Horner polynomials, divisions, exp and log): one block of
// lanes leaves most of the CPU's arithmetic units waiting for the previous
// result. Two independent blocks interleaved give the out-of-order core a
// second chain to fill those gaps with. (A GCC vector of 8 doubles would
// say the same, but GCC 12 lowers its comparisons and selections element by
// element where the widest vectors are 4 doubles.)
//
// Each lane still performs exactly the scalar sequence of operations: a pair
// is two blocks computed at once, nothing is shared between them, so every
// lane's result is the scalar result to the last bit. The vocabulary is
// core/lanes.hpp's, with the same meaning per lane.
#pragma once

#include "core/lanes.hpp"

namespace kestrelfin::core {

template <class Half>
struct LanePairMask {
    decltype(std::declval<Half>() < std::declval<Half>()) lo, hi;
    friend KESTRELFIN_LANE_INLINE LanePairMask operator&(LanePairMask a, LanePairMask b) noexcept {
        return {a.lo & b.lo, a.hi & b.hi};
    }
    friend KESTRELFIN_LANE_INLINE LanePairMask operator|(LanePairMask a, LanePairMask b) noexcept {
        return {a.lo | b.lo, a.hi | b.hi};
    }
    KESTRELFIN_LANE_INLINE bool operator[](int i) const noexcept {
        return i < lane_count<Half> ? lo[i] : hi[i - lane_count<Half>];
    }
};

template <class Half>
struct LanePair {
    using HalfLanes = Half;
    using Mask = LanePairMask<Half>;
    static constexpr int count = 2 * lane_count<Half>;

    Half lo, hi;

    LanePair() = default;
    KESTRELFIN_LANE_INLINE LanePair(Half l, Half h) noexcept : lo(l), hi(h) {}
    KESTRELFIN_LANE_INLINE LanePair(double x) noexcept : lo(x), hi(x) {}

    KESTRELFIN_LANE_INLINE double operator[](int i) const noexcept {
        return i < lane_count<Half> ? lo[i] : hi[i - lane_count<Half>];
    }
    KESTRELFIN_LANE_INLINE void set(int i, double x) noexcept {
        if (i < lane_count<Half>) {
            lo.set(i, x);
        } else {
            hi.set(i - lane_count<Half>, x);
        }
    }

    friend KESTRELFIN_LANE_INLINE LanePair operator+(LanePair a, LanePair b) noexcept {
        return {a.lo + b.lo, a.hi + b.hi};
    }
    friend KESTRELFIN_LANE_INLINE LanePair operator-(LanePair a, LanePair b) noexcept {
        return {a.lo - b.lo, a.hi - b.hi};
    }
    friend KESTRELFIN_LANE_INLINE LanePair operator*(LanePair a, LanePair b) noexcept {
        return {a.lo * b.lo, a.hi * b.hi};
    }
    friend KESTRELFIN_LANE_INLINE LanePair operator/(LanePair a, LanePair b) noexcept {
        return {a.lo / b.lo, a.hi / b.hi};
    }
    friend KESTRELFIN_LANE_INLINE LanePair operator-(LanePair a) noexcept { return {-a.lo, -a.hi}; }

    friend KESTRELFIN_LANE_INLINE Mask operator<(LanePair a, LanePair b) noexcept { return {a.lo < b.lo, a.hi < b.hi}; }
    friend KESTRELFIN_LANE_INLINE Mask operator<=(LanePair a, LanePair b) noexcept {
        return {a.lo <= b.lo, a.hi <= b.hi};
    }
    friend KESTRELFIN_LANE_INLINE Mask operator>(LanePair a, LanePair b) noexcept { return {a.lo > b.lo, a.hi > b.hi}; }
    friend KESTRELFIN_LANE_INLINE Mask operator>=(LanePair a, LanePair b) noexcept {
        return {a.lo >= b.lo, a.hi >= b.hi};
    }
    friend KESTRELFIN_LANE_INLINE Mask operator==(LanePair a, LanePair b) noexcept {
        return {a.lo == b.lo, a.hi == b.hi};
    }
};

template <class T>
inline constexpr bool is_lane_pair = false;
template <class Half>
inline constexpr bool is_lane_pair<LanePair<Half>> = true;

template <class Half>
inline constexpr int lane_count<LanePair<Half>> = LanePair<Half>::count;

template <class T>
concept LanePairVector = is_lane_pair<T>;

// A pair whose lane i is lane_value(i), each half assembled in registers.
template <LanePairVector P, class F>
KESTRELFIN_LANE_INLINE P lanes_from(F&& lane_value) noexcept {
    using Half = typename P::HalfLanes;
    constexpr int w = lane_count<Half>;
    return P(lanes_from<Half>(lane_value),
             lanes_from<Half>([&](int i) KESTRELFIN_LANE_LAMBDA { return lane_value(i + w); }));
}

template <class Half>
KESTRELFIN_LANE_INLINE LanePair<Half> exp_of(LanePair<Half> x) noexcept {
    return {exp_of(x.lo), exp_of(x.hi)};
}
template <class Half>
KESTRELFIN_LANE_INLINE LanePair<Half> log_of(LanePair<Half> x) noexcept {
    return {log_of(x.lo), log_of(x.hi)};
}
template <class Half>
KESTRELFIN_LANE_INLINE LanePair<Half> sqrt_of(LanePair<Half> x) noexcept {
    return {sqrt_of(x.lo), sqrt_of(x.hi)};
}
template <class Half>
KESTRELFIN_LANE_INLINE LanePair<Half> abs_of(LanePair<Half> x) noexcept {
    return {abs_of(x.lo), abs_of(x.hi)};
}
template <class Half>
KESTRELFIN_LANE_INLINE LanePair<Half> trunc_of(LanePair<Half> x) noexcept {
    return {trunc_of(x.lo), trunc_of(x.hi)};
}
template <class Half>
KESTRELFIN_LANE_INLINE LanePair<Half> exp_of_shared(LanePair<Half> x) noexcept {
    return {exp_of_shared(x.lo), exp_of_shared(x.hi)};
}
template <class Half>
KESTRELFIN_LANE_INLINE LanePair<Half> select(LanePairMask<Half> condition, LanePair<Half> a,
                                             LanePair<Half> b) noexcept {
    return {select(condition.lo, a.lo, b.lo), select(condition.hi, a.hi, b.hi)};
}
template <class Half>
KESTRELFIN_LANE_INLINE bool any_lane(LanePairMask<Half> mask) noexcept {
    return any_lane(mask.lo | mask.hi);
}
template <class Half>
KESTRELFIN_LANE_INLINE LanePairMask<Half> lane_not(LanePairMask<Half> mask) noexcept {
    return {lane_not(mask.lo), lane_not(mask.hi)};
}
template <class Half, class Scalar>
KESTRELFIN_LANE_INLINE LanePair<Half> each_lane_where(LanePairMask<Half> condition, LanePair<Half> x,
                                                      LanePair<Half> otherwise, Scalar scalar) noexcept {
    return {each_lane_where(condition.lo, x.lo, otherwise.lo, scalar),
            each_lane_where(condition.hi, x.hi, otherwise.hi, scalar)};
}

}  // namespace kestrelfin::core
