// Delbourgo and Gregory's rational cubic interpolant ("Shape preserving
// piecewise rational interpolation", SIAM J. Sci. Stat. Comput. 6, 1985) on
// one interval, and the choice of its control parameter r: the one that
// gives a wanted second derivative at one end, raised where needed to the
// least r that keeps the data's monotonicity and convexity.
//
// On [x_l, x_r] with values y_l, y_r and end slopes d_l, d_r, h = x_r - x_l
// and xi = (X - x_l)/h:
//   R = [y_r xi^3 + (r y_r - h d_r) xi^2 (1-xi) + (r y_l + h d_l) xi (1-xi)^2
//        + y_l (1-xi)^3] / [1 + (r - 3) xi (1-xi)].
// r = 3 is the cubic Hermite interpolant, r -> inf the straight line. The
// implied-volatility solver's initial guess is such an interpolant of the
// volatility (or of a transformed price) against the normalised price.
// Templates over one double or lanes (core/lanes.hpp); each lane takes its
// own end data, the end where its curvature is set and its preference.
#pragma once

#include <cfloat>

#include "core/lanes.hpp"

namespace kestrelfin::core {

namespace detail {

// Beyond r_max the interpolant is the straight line to double precision
// (2/eps^2); r_floor = -(1 - sqrt(eps)) is the least r the denominator
// 1 + (r - 3) xi (1 - xi) stays positive for.
inline constexpr double rational_cubic_r_max = 2.0 / (DBL_EPSILON * DBL_EPSILON);
inline constexpr double rational_cubic_r_floor = -(1.0 - 0x1p-26);

template <class Real>
KESTRELFIN_LANE_INLINE Real larger_of(Real a, Real b) noexcept {
    return select(a > b, a, b);
}

}  // namespace detail

// The end data of one interval.
template <class Real>
struct RationalCubicEnds {
    Real x_l, x_r;
    Real y_l, y_r;
    Real d_l, d_r;
};

// The r whose interpolant has second derivative c at the left end (where
// at_left holds) or at the right end. R''(x_l) = 2[r(D - d_l) - (d_r - d_l)]/h
// and R''(x_r) = 2[r(d_r - D) - (d_r - d_l)]/h with D = (y_r - y_l)/h; where
// the divisor is too small to divide by, the sign of the numerator chooses
// the line or the floor.
template <class Real, class Mask>
KESTRELFIN_LANE_INLINE Real rational_cubic_r_for_curvature(Mask at_left, Real h, Real d_l, Real d_r, Real slope,
                                                           Real c) noexcept {
    using namespace detail;
    const Real numerator = 0.5 * h * c + (d_r - d_l);
    const Real denominator = select(at_left, slope - d_l, d_r - slope);
    const auto divisible = abs_of(denominator) >= DBL_MIN;
    const Real fallback = select(numerator > 0.0, Real(rational_cubic_r_max), Real(rational_cubic_r_floor));
    return select(divisible, numerator / denominator, fallback);
}

// The least r that keeps the interpolant monotone where the data are
// (condition 3.8: r >= (d_l + d_r)/D) and convex or concave where they are
// (condition 3.18: r >= |(d_r - d_l)/(d_r - D)|, |(d_r - d_l)/(D - d_l)|).
// Where a condition cannot be formed (a divisor below DBL_MIN, or monotone
// data that are neither convex nor concave) it asks for the straight line
// if shape is preferred to smoothness, and is dropped otherwise.
template <class Real, class Mask>
KESTRELFIN_LANE_INLINE Real rational_cubic_minimum_r(Real d_l, Real d_r, Real slope, Mask prefer_shape) noexcept {
    using namespace detail;
    const auto monotone = (d_l * slope >= 0.0) & (d_r * slope >= 0.0);
    const auto convex = (d_l <= slope) & (slope <= d_r);
    const auto concave = (d_l >= slope) & (slope >= d_r);
    const Real dropped = splat<Real>(-DBL_MAX);
    const Real unformed = select(prefer_shape, Real(rational_cubic_r_max), dropped);

    const Real r_monotone = select(monotone, select(abs_of(slope) >= DBL_MIN, (d_l + d_r) / slope, unformed), dropped);

    const Real spread = d_r - d_l;
    const Real right_gap = d_r - slope;
    const Real left_gap = slope - d_l;
    const auto divisible = (abs_of(right_gap) >= DBL_MIN) & (abs_of(left_gap) >= DBL_MIN);
    // max(|spread/right_gap|, |spread/left_gap|) with one division (rounding
    // is monotone, so this is the larger of the two rounded quotients).
    const Real smaller_gap = select(abs_of(right_gap) < abs_of(left_gap), abs_of(right_gap), abs_of(left_gap));
    const Real r_convex = abs_of(spread) / smaller_gap;
    const Real r_shape =
        select(convex | concave, select(divisible, r_convex, unformed), select(monotone, unformed, dropped));

    const Real r_min = larger_of(splat<Real>(rational_cubic_r_floor), larger_of(r_monotone, r_shape));
    return select(monotone | convex | concave, r_min, splat<Real>(rational_cubic_r_floor));
}

// The interpolant at xi, given xi and 1 - xi separately (a caller that knows
// 1 - xi more accurately than by subtraction passes it); for h == 0 the mean
// of the two values.
template <class Real>
KESTRELFIN_LANE_INLINE Real rational_cubic(const RationalCubicEnds<Real>& e, Real xi, Real one_minus_xi,
                                           Real r) noexcept {
    using namespace detail;
    const Real h = e.x_r - e.x_l;
    const Real xi2 = xi * xi;
    const Real om2 = one_minus_xi * one_minus_xi;
    const Real numerator = e.y_r * xi2 * xi + (r * e.y_r - h * e.d_r) * xi2 * one_minus_xi +
                           (r * e.y_l + h * e.d_l) * xi * om2 + e.y_l * om2 * one_minus_xi;
    const Real cubic = numerator / (1.0 + (r - 3.0) * xi * one_minus_xi);
    const Real line = e.y_r * xi + e.y_l * one_minus_xi;
    const Real value = select(r < rational_cubic_r_max, cubic, line);
    return select(h == 0.0, (e.y_l + e.y_r) * 0.5, value);
}

}  // namespace kestrelfin::core
