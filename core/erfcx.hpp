// erfc and the scaled complementary error function erfcx(u) = exp(u^2) erfc(u)
// for every real u, by W. J. Cody's rational approximations (the three
// intervals of his CALERF, whose coefficients normal.hpp holds).
//
// The implied-volatility solver of rational_implied_volatility.hpp writes the
// normalised Black function with these two functions so that it needs no
// exponential where an argument exceeds 0.46875: there erfcx is a ratio of
// polynomials. Where erfc or erfcx does need exp(-u^2) or exp(u^2), the
// square is split exactly, u*u = p + d (d by Dekker's product), and
// exp(-u^2) = exp(-p)*(1 - d): the argument of exp is then a double with no
// rounding error behind it, which keeps the result's relative error a few
// ulps even where u^2 is in the hundreds.
//
// Templates over one double or lanes (core/lanes.hpp). Each argument costs
// one of Cody's ratios (one per interval present among the lanes), kept in
// CodyParts, from which erf, erfc and erfcx of the argument all follow.
#pragma once

#include "core/lanes.hpp"
#include "core/normal.hpp"

namespace kestrelfin::core {

namespace detail {

// Cody's first interval ends here; beyond it erfcx is exponential-free.
inline constexpr double cody_small_limit = 0.46875;
// Beyond this exp(-u^2) is zero; the split would also meet inf - inf.
inline constexpr double erfc_zero_limit = 27.5;

// Coefficients of a numerator and a denominator, highest degree first.
template <int P, int Q>
struct RatioCoefficients {
    double p[P];
    double q[Q];
};

// P(w)/Q(w) by Horner's rule.
template <int P, int Q, class Real>
KESTRELFIN_LANE_INLINE Real ratio_at(const RatioCoefficients<P, Q>& c, Real w) noexcept {
    Real p = splat<Real>(c.p[0]);
#pragma GCC unroll 16
    for (int i = 1; i < P; ++i) {
        p = p * w + c.p[i];
    }
    Real q = splat<Real>(c.q[0]);
#pragma GCC unroll 16
    for (int i = 1; i < Q; ++i) {
        q = q * w + c.q[i];
    }
    return p / q;
}

// The ratio each lane's set of coefficients gives at w: `first` where
// in_first holds, else `second` where in_second holds, else `third`. Each
// set is evaluated when some lane needs it.
template <int P1, int Q1, int P2, int Q2, int P3, int Q3, class Real, class FirstMask, class SecondMask>
KESTRELFIN_LANE_INLINE Real ratio_of_three(const RatioCoefficients<P1, Q1>& first,
                                           const RatioCoefficients<P2, Q2>& second,
                                           const RatioCoefficients<P3, Q3>& third, FirstMask in_first,
                                           SecondMask in_second, Real w) noexcept {
    const auto in_third = lane_not(in_first) & lane_not(in_second);
    Real ratio = Real{};
    if (any_lane(in_first)) {
        ratio = ratio_at(first, w);
    }
    if (any_lane(in_second)) {
        ratio = select(in_second, ratio_at(second, w), ratio);
    }
    if (any_lane(in_third)) {
        ratio = select(in_third, ratio_at(third, w), ratio);
    }
    return ratio;
}

// Cody's three intervals as ratios in w: erf(y)/y at w = y^2 (|y| <= 0.46875),
// erfcx(a) at w = a (0.46875 < a <= 4), and at w = 1/a^2 beyond 4 the R of
// erfcx(a) = (1/sqrt(pi) - R/a^2)/a.
inline constexpr RatioCoefficients<5, 5> cody_first = {{cody_a[4], cody_a[0], cody_a[1], cody_a[2], cody_a[3]},
                                                       {1.0, cody_b[0], cody_b[1], cody_b[2], cody_b[3]}};
inline constexpr RatioCoefficients<9, 9> cody_second = {
    {cody_c[8], cody_c[0], cody_c[1], cody_c[2], cody_c[3], cody_c[4], cody_c[5], cody_c[6], cody_c[7]},
    {1.0, cody_d[0], cody_d[1], cody_d[2], cody_d[3], cody_d[4], cody_d[5], cody_d[6], cody_d[7]}};
inline constexpr RatioCoefficients<6, 6> cody_third = {
    {cody_p[5], cody_p[0], cody_p[1], cody_p[2], cody_p[3], cody_p[4]},
    {1.0, cody_q[0], cody_q[1], cody_q[2], cody_q[3], cody_q[4]}};

// exp(a) for a <= 0 that may lie far below the underflow threshold: there it
// is +0, as exp gives it, without the out-of-line path the lanes' exp takes
// for such arguments.
template <class Real>
KESTRELFIN_LANE_INLINE Real exp_nonpositive(Real a) noexcept {
    const auto underflows = a < -746.0;
    return select(underflows, Real{}, exp_of(select(underflows, Real{}, a)));
}

// The rounding error a*b - p of p = a*b (rounded), exactly wherever nothing
// overflows or underflows: Dekker's product with Veltkamp's split. Plain operations only, so that every kernel path computes the same
// bits at the cost of a few operations: an fma would be one instruction in
// the FMA kernels but a call of the C library's fma() per lane elsewhere,
// which in its build without FMA costs about a hundred times more.
// Veltkamp's split, a = high + low with high the upper 26 bits; above 2^995
// on a copy scaled by 2^-28 (a power of two changes no bit of the split), so
// that a * (2^27 + 1) cannot overflow.
template <class Real>
KESTRELFIN_LANE_INLINE Real high_half(Real a) noexcept {
    const auto large = abs_of(a) > 0x1p995;
    const Real scaled = select(large, a * 0x1p-28, a);
    const Real c = scaled * 134217729.0;  // 2^27 + 1
    const Real high = c - (c - scaled);
    return select(large, high * 0x1p28, high);
}
template <class Real>
KESTRELFIN_LANE_INLINE Real product_error(Real a, Real b, Real p) noexcept {
    const Real a_high = high_half(a);
    const Real b_high = high_half(b);
    const Real a_low = a - a_high;
    const Real b_low = b - b_high;
    return (((a_high * b_high - p) + a_high * b_low) + a_low * b_high) + a_low * b_low;
}
template <class Real>
KESTRELFIN_LANE_INLINE Real square_error(Real a, Real p) noexcept {
    const Real a_high = high_half(a);
    const Real a_low = a - a_high;
    return ((a_high * a_high - p) + 2.0 * a_high * a_low) + a_low * a_low;
}

// exp(-u^2) and exp(u^2) through the exact split of the square. Where u*u
// overflows, d is not a correction (inf or NaN) and is dropped.
template <class Real>
KESTRELFIN_LANE_INLINE Real square_rounding(Real u, Real p) noexcept {
    const Real d = square_error(u, p);
    return select(abs_of(d) < 1.0, d, Real{});
}
template <class Real>
KESTRELFIN_LANE_INLINE Real exp_minus_square(Real u) noexcept {
    const Real p = u * u;
    return exp_nonpositive(-p) * (1.0 - square_rounding(u, p));
}
template <class Real>
KESTRELFIN_LANE_INLINE Real exp_plus_square(Real u) noexcept {
    const Real p = u * u;
    return exp_of(p) * (1.0 + square_rounding(u, p));
}

}  // namespace detail

// Cody's ratio at one argument u (or at each lane's), and which interval it
// came from.
template <class Real, class Mask>
struct CodyParts {
    Real u;
    Real a;       // |u|
    Real w;       // the ratio's argument: u^2, a or 1/a^2
    Real ratio;   // erf(u)/u if small; erfcx(a) if middle; R(1/a^2) else
    Mask small;   // |u| <= 0.46875
    Mask middle;  // 0.46875 < |u| <= 4
};

template <class Real>
KESTRELFIN_LANE_INLINE auto cody_parts(Real u) noexcept {
    using namespace detail;
    using Mask = decltype(u < u);
    CodyParts<Real, Mask> c;
    c.u = u;
    c.a = abs_of(u);
    c.small = c.a <= cody_small_limit;
    c.middle = lane_not(c.small) & (c.a <= 4.0);
    // Below 1.11e-16, u*u would only add rounding noise (or underflow).
    c.w = select(c.a > 1.11e-16, u * u, Real{});
    c.w = select(c.middle, c.a, c.w);
    const auto third = lane_not(c.small) & lane_not(c.middle);
    if (any_lane(third)) {
        c.w = select(third, 1.0 / (c.a * c.a), c.w);
    }
    c.ratio = ratio_of_three(cody_first, cody_second, cody_third, c.small, c.middle, c.w);
    return c;
}

// erf(u), for lanes with |u| <= 0.46875.
template <class Real, class Mask>
KESTRELFIN_LANE_INLINE Real erf_small_of(const CodyParts<Real, Mask>& c) noexcept {
    return c.u * c.ratio;
}

// erfcx(|u|), for lanes with |u| > 0.46875.
template <class Real, class Mask>
KESTRELFIN_LANE_INLINE Real erfcx_large_of(const CodyParts<Real, Mask>& c) noexcept {
    using namespace detail;
    const auto third = lane_not(c.small) & lane_not(c.middle);
    if (!any_lane(third)) {
        return c.ratio;
    }
    return select(third, (inv_sqrt_pi - c.w * c.ratio) / c.a, c.ratio);
}

// erfcx(u): exponential-free for u > 0.46875; overflows to +inf below about
// -26.63.
template <class Real, class Mask>
KESTRELFIN_LANE_INLINE Real erfcx_of(const CodyParts<Real, Mask>& c) noexcept {
    using namespace detail;
    const auto large = lane_not(c.small);
    Real result = Real{};
    if (any_lane(large)) {
        result = erfcx_large_of(c);
        const auto negative = large & (c.u < 0.0);
        if (any_lane(negative)) {
            // (Other lanes square 0: no overflow to send them out of line.)
            result = select(negative, 2.0 * exp_plus_square(select(negative, c.a, Real{})) - result, result);
        }
    }
    if (any_lane(c.small)) {
        const Real v = select(c.small, c.u, Real{});
        result = select(c.small, exp_plus_square(v) * (1.0 - erf_small_of(c)), result);
    }
    return result;
}

// erfc(u).
template <class Real, class Mask>
KESTRELFIN_LANE_INLINE Real erfc_of(const CodyParts<Real, Mask>& c) noexcept {
    using namespace detail;
    const auto large = lane_not(c.small);
    Real result = Real{};
    if (any_lane(large)) {
        const Real tail = select(c.a < erfc_zero_limit, exp_minus_square(c.a) * erfcx_large_of(c), Real{});
        result = select(c.u < 0.0, 2.0 - tail, tail);
    }
    if (any_lane(c.small)) {
        result = select(c.small, 1.0 - erf_small_of(c), result);
    }
    return result;
}

template <class Real>
KESTRELFIN_LANE_INLINE Real erfcx_of(Real u) noexcept {
    return erfcx_of(cody_parts(u));
}
template <class Real>
KESTRELFIN_LANE_INLINE Real erfc_of(Real u) noexcept {
    return erfc_of(cody_parts(u));
}

}  // namespace kestrelfin::core
