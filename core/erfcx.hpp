// erfc and the scaled complementary error function erfcx(u) = exp(u^2) erfc(u)
// for every real u, by W. J. Cody's rational approximations (the three
// intervals of his CALERF, whose coefficients normal.hpp holds).
//
// The implied-volatility solver of rational_implied_volatility.hpp writes the
// normalised Black function with these two functions so that it needs no
// exponential where an argument is at least 0.46875: there erfcx is a ratio
// of polynomials. Where erfc or erfcx does need exp(-u^2) or exp(u^2), the
// square is split exactly, u*u = p + d with d = fma(u, u, -p), and
// exp(-u^2) = exp(-p)*(1 - d): the argument of exp is then a double with no
// rounding error behind it, which keeps the result's relative error a few
// ulps even where u^2 is in the hundreds.
//
// Templates over one double or lanes (core/lanes.hpp): each interval is
// evaluated when some lane needs it and every lane takes its own.
#pragma once

#include <limits>

#include "core/lanes.hpp"
#include "core/normal.hpp"

namespace kestrelfin::core {

namespace detail {

// Cody's first interval ends here; from here on erfcx is exponential-free.
inline constexpr double cody_small_limit = 0.46875;
// Beyond this exp(-u^2) is zero; the split would also meet inf - inf.
inline constexpr double erfc_zero_limit = 27.5;

// erf(y) for |y| <= 0.46875: y * P(y^2) / Q(y^2), with y^2 taken as 0 where
// it could only add rounding noise.
template <class Real>
KESTRELFIN_LANE_INLINE Real erf_small(Real y) noexcept {
    const Real z = select(abs_of(y) > 1.11e-16, y * y, Real{});
    Real p = splat<Real>(cody_a[4]);
    Real q = splat<Real>(1.0);
    for (int i = 0; i < 4; ++i) {
        p = p * z + cody_a[i];
        q = q * z + cody_b[i];
    }
    return y * p / q;
}

// erfcx(a) for a >= 0.46875 (or +inf): Cody's second interval up to 4, his
// third beyond.
template <class Real>
KESTRELFIN_LANE_INLINE Real erfcx_large(Real a) noexcept {
    const auto second = a <= 4.0;
    Real result = Real{};
    if (any_lane(second)) {
        result = erfc_scaled_range2(a);
    }
    if (any_lane(lane_not(second))) {
        result = select(second, result, erfc_scaled_range3(a, a));
    }
    return result;
}

// exp(a) for a <= 0 that may lie far below the underflow threshold: there it
// is +0, as exp gives it, without the out-of-line path the lanes' exp takes
// for such arguments.
template <class Real>
KESTRELFIN_LANE_INLINE Real exp_nonpositive(Real a) noexcept {
    const auto underflows = a < -746.0;
    return select(underflows, Real{}, exp_of(select(underflows, Real{}, a)));
}

// exp(-u^2) and exp(u^2) through the exact split of the square. Where u*u
// overflows, d is not a correction (inf or NaN) and is dropped.
template <class Real>
KESTRELFIN_LANE_INLINE Real square_rounding(Real u, Real p) noexcept {
    const Real d = fma_of(u, u, -p);
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

// erfcx(u) = exp(u^2) erfc(u): exponential-free for u >= 0.46875; overflows
// to +inf below about -26.63.
template <class Real>
KESTRELFIN_LANE_INLINE Real erfcx_of(Real u) noexcept {
    using namespace detail;
    const Real a = abs_of(u);
    const auto small = a <= cody_small_limit;
    const auto large = lane_not(small);
    Real result = Real{};
    if (any_lane(large)) {
        result = erfcx_large(a);
        const auto negative = large & (u < 0.0);
        if (any_lane(negative)) {
            // (Other lanes square 0: no overflow to send them out of line.)
            result = select(negative, 2.0 * exp_plus_square(select(negative, a, Real{})) - result, result);
        }
    }
    if (any_lane(small)) {
        const Real v = select(small, u, Real{});
        result = select(small, exp_plus_square(v) * (1.0 - erf_small(v)), result);
    }
    return result;
}

// erfc(u).
template <class Real>
KESTRELFIN_LANE_INLINE Real erfc_of(Real u) noexcept {
    using namespace detail;
    const Real a = abs_of(u);
    const auto small = a <= cody_small_limit;
    const auto large = lane_not(small);
    Real result = Real{};
    if (any_lane(large)) {
        const Real tail = select(a < erfc_zero_limit, exp_minus_square(a) * erfcx_large(a), Real{});
        result = select(u < 0.0, 2.0 - tail, tail);
    }
    if (any_lane(small)) {
        result = select(small, 1.0 - erf_small(u), result);
    }
    return result;
}

}  // namespace kestrelfin::core
