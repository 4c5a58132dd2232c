// The initial guess of the "Let's Be Rational" implied-volatility solver
// (P. Jaeckel, Wilmott, January 2015): from the normalised out-of-the-money
// call price beta (0 < beta < b_max = e^(x/2), x < 0), a total volatility s
// good enough that two Householder steps on the branch's objective reach
// machine precision.
//
// b(s) has its inflection point at s_c = sqrt(2|x|); the tangent there meets
// b = 0 at s_l and b = b_max at s_u. Their prices b_l < b_c < b_u split beta
// into four branches:
//   lowest        beta < b_l:          a rational cubic of the transformed
//                 price f = (2 pi |x|/sqrt 27) Phi(-|x|/(sqrt3 s))^3, which is
//                 about beta for small s and has an explicit inverse;
//   lower middle  b_l <= beta < b_c:   a rational cubic of s itself, with zero
//                 curvature at b_c;
//   upper middle  b_c <= beta <= b_u:  likewise on [b_c, b_u];
//   highest       b_u < beta:          a rational cubic of f = Phi(-s/2),
//                 inverted as s = -2 Phi^-1(f).
// All four are one rational cubic (rational_cubic.hpp) once the end data of
// each lane are chosen, and both outer branches end in one inverse normal.
// Templates over one double or lanes (core/lanes.hpp).
#pragma once

#include <cfloat>
#include <cmath>

#include "core/erfcx.hpp"
#include "core/inverse_normal.hpp"
#include "core/lanes.hpp"
#include "core/normalised_black.hpp"
#include "core/rational_cubic.hpp"

namespace kestrelfin::core {

// One normalised problem: solve b(x, s) = beta for s.
template <class Real, class Mask>
struct NormalisedProblem {
    Real x;              // -|ln(F/K)| < 0
    Real beta;           // the out-of-the-money call's price over sqrt(F K)
    Real beta_bar;       // b_max - beta, formed from prices
    Real b_max;          // e^(x/2)
    Real inverse_b_max;  // 1/b_max
    Mask active;         // the lanes that hold a problem
    Real tiny_log_beta;  // ln(beta) where beta is subnormal (formed from the price)
};

// The guess and the branch it came from.
template <class Real, class Mask>
struct RationalGuess {
    Real s;
    Mask lowest;
    Mask middle;
    Mask highest;
};

namespace detail {

inline constexpr double two_over_sqrt_pi = 1.1283791670955126;
inline constexpr double sqrt3 = 1.7320508075688772;
inline constexpr double two_pi = 6.283185307179586;
inline constexpr double pi_over_6 = 0.5235987755982989;
inline constexpr double eight_sqrt3 = 13.856406460551018;
inline constexpr double two_pi_over_sqrt27 = 1.2091995761561452;
inline constexpr double log_lowest_scale = -0.06331954446906031;  // ln(sqrt3 / cbrt(2 pi))
inline constexpr double sqrt_dbl_max = 1.3407807929942596e154;
inline constexpr double sqrt_2pi = 2.5066282746310007;

// 1 - erfcx(z) = 2z/sqrt(pi) - z^2 T(z) with T(z) = sum_m (-1)^m z^m / Gamma(m/2 + 2),
// which converges everywhere; 25 terms reach 1e-18 relative up to z = 0.46875,
// where it takes over from 1 - erfcx(z) (which cancels for small z). Its
// even and odd terms as two polynomials in z^2 = |x| (exact), evaluated side
// by side: T = E(|x|) + z O(|x|), E(u) = sum u^k/(k+1)!.
inline constexpr double landmark_even[13] = {1.0,
                                             0.5,
                                             0.16666666666666666,
                                             0.041666666666666664,
                                             0.008333333333333333,
                                             0.001388888888888889,
                                             0.0001984126984126984,
                                             2.48015873015873e-05,
                                             2.7557319223985893e-06,
                                             2.755731922398589e-07,
                                             2.505210838544172e-08,
                                             2.08767569878681e-09,
                                             1.6059043836821613e-10};
inline constexpr double landmark_odd[12] = {-0.7522527780636751,    -0.30090111122547003,   -0.08597174606442,
                                            -0.01910483245876,      -0.0034736059015927274, -0.0005344009079373427,
                                            -7.125345439164569e-05, -8.38275934019361e-06,  -8.823957200203801e-07,
                                            -8.403768762098858e-08, -7.307625010520746e-09, -5.846100008416597e-10};

// s_c, s_l, s_u and b_c of one x < 0: s_c = sqrt(2|x|),
// b_c = b_max (1 - erfcx(sqrt|x|))/2, s_l = s_c - sqrt(pi/2) (1 - erfcx(sqrt|x|))
// and s_u = s_c + sqrt(pi/2) (1 + erfcx(sqrt|x|)). For small |x|, s_l is
// formed from the series without its leading term, which s_c cancels.
template <class Real>
struct Landmarks {
    Real s_c, s_l, s_u, b_c;
};

template <class Real, class Mask>
KESTRELFIN_LANE_INLINE Landmarks<Real> landmarks(Real x, Real b_max, Mask active) noexcept {
    Landmarks<Real> m{};
    const Real ax = -x;
    const Real z = sqrt_of(ax);
    m.s_c = sqrt_of(ax + ax);
    const auto series = z <= cody_small_limit;
    Real one_minus_erfcx = Real{};
    if (any_lane(active & series)) {
        const Real tail = horner(landmark_even, ax) + z * horner(landmark_odd, ax);
        one_minus_erfcx = two_over_sqrt_pi * z - ax * tail;
        m.s_l = sqrt_pi_over_2 * (ax * tail);
    }
    const auto rational = lane_not(series);
    if (any_lane(active & rational)) {
        one_minus_erfcx = select(rational, 1.0 - erfcx_large_of(cody_parts(z)), one_minus_erfcx);
        m.s_l = select(rational, m.s_c - sqrt_pi_over_2 * one_minus_erfcx, m.s_l);
    }
    m.s_u = m.s_c + sqrt_pi_over_2 * (2.0 - one_minus_erfcx);
    m.b_c = b_max * 0.5 * one_minus_erfcx;
    return m;
}

// The lowest branch's transform at s = s_l: f, df/dbeta and d2f/dbeta2 with
// z = |x|/(sqrt3 s), y = z^2, Phi = Phi(-z), phi = phi(z):
//   f   = (2 pi |x| / sqrt 27) Phi^3,
//   f'  = 2 pi y Phi^2 e^(y + s^2/8),
//   f'' = (pi/6)(y/s^3) Phi [8 sqrt3 s |x| + (3 s^2 (s^2 - 8) - 8 x^2) Phi/phi] e^(2y + s^2/4).
template <class Real>
struct Transform {
    Real f, slope, curvature;
};

template <class Real, class Mask>
KESTRELFIN_LANE_INLINE Transform<Real> lowest_transform(Real ax, Real s, Mask lowest) noexcept {
    const Real z = ax / (sqrt3 * s);
    const Real y = z * z;
    const Real u = z * inv_sqrt2;
    const auto cody = cody_parts(u);
    const Real tail = 0.5 * erfc_of(cody);                                  // Phi(-z)
    const Real mills = sqrt_pi_over_2 * erfcx_of(cody);                     // Phi(-z)/phi(z)
    const Real growth = exp_of(select(lowest, y + s * s * 0.125, Real{}));  // e^(y + s^2/8)
    const Real s2 = s * s;
    Transform<Real> f;
    f.f = two_pi_over_sqrt27 * ax * (tail * tail * tail);
    f.slope = two_pi * y * (tail * tail) * growth;
    const Real bracket = eight_sqrt3 * s * ax + (3.0 * s2 * (s2 - 8.0) - 8.0 * (ax * ax)) * mills;
    f.curvature = pi_over_6 * (y / (s2 * s)) * tail * bracket * (growth * growth);
    return f;
}

// The highest branch's transform at s = s_u: with w = (x/s)^2,
//   f = Phi(-s/2),  f' = -e^(w/2)/2,  f'' = sqrt(pi/2) e^(w + s^2/8) w/s.
template <class Real, class Mask>
KESTRELFIN_LANE_INLINE Transform<Real> highest_transform(Real x, Real s, Mask highest) noexcept {
    const Real xs = x / s;
    const Real w = xs * xs;
    Transform<Real> f;
    f.f = 0.5 * erfc_of(s * (0.5 * inv_sqrt2));
    f.slope = -0.5 * exp_of(select(highest, 0.5 * w, Real{}));
    f.curvature = sqrt_pi_over_2 * exp_of(select(highest, w + s * s * 0.125, Real{})) * w / s;
    return f;
}

}  // namespace detail

template <class Real, class Mask>
KESTRELFIN_LANE_INLINE RationalGuess<Real, Mask> rational_guess(const NormalisedProblem<Real, Mask>& p) noexcept {
    using namespace detail;
    const Real ax = -p.x;
    const Landmarks<Real> m = landmarks(p.x, p.b_max, p.active);

    // One evaluation of b, at s_l below b_c and at s_u above, gives b_l or
    // b_u and with it the branch.
    const auto lower = p.beta < m.b_c;
    const Real s_ref = select(lower, m.s_l, m.s_u);
    const Mask none = p.active & lane_not(p.active);
    const auto point = normalised_black_point(p.x, s_ref, p.b_max, p.inverse_b_max, p.active, none);
    const Real b_ref = black_value(point);
    RationalGuess<Real, Mask> g;
    g.lowest = p.active & lower & (p.beta < b_ref);
    g.highest = p.active & lane_not(lower) & (p.beta > b_ref);
    g.middle = p.active & lane_not(g.lowest) & lane_not(g.highest);

    // The middle branches interpolate s against beta, slopes ds/dbeta = 1/b'.
    const Real slope_ref = 1.0 / point.vega;
    const Real slope_c = sqrt_2pi * p.inverse_b_max;  // 1/b'(s_c)
    RationalCubicEnds<Real> e;
    e.x_l = select(lower, b_ref, m.b_c);
    e.x_r = select(lower, m.b_c, b_ref);
    e.y_l = select(lower, s_ref, m.s_c);
    e.y_r = select(lower, m.s_c, s_ref);
    e.d_l = select(lower, slope_ref, slope_c);
    e.d_r = select(lower, slope_c, slope_ref);
    Real curvature = Real{};

    // The outer branches interpolate their transform; only computed when
    // some lane needs it.
    Transform<Real> low{}, high{};
    const auto outer = g.lowest | g.highest;
    if (any_lane(g.lowest)) {
        low = lowest_transform(ax, s_ref, g.lowest);
        e.x_l = select(g.lowest, Real{}, e.x_l);
        e.x_r = select(g.lowest, b_ref, e.x_r);
        e.y_l = select(g.lowest, Real{}, e.y_l);
        e.y_r = select(g.lowest, low.f, e.y_r);
        e.d_l = select(g.lowest, splat<Real>(1.0), e.d_l);
        e.d_r = select(g.lowest, low.slope, e.d_r);
        curvature = select(g.lowest, low.curvature, curvature);
    }
    if (any_lane(g.highest)) {
        high = highest_transform(p.x, s_ref, g.highest);
        e.x_l = select(g.highest, b_ref, e.x_l);
        e.x_r = select(g.highest, p.b_max, e.x_r);
        e.y_l = select(g.highest, high.f, e.y_l);
        e.y_r = select(g.highest, Real{}, e.y_r);
        e.d_l = select(g.highest, high.slope, e.d_l);
        e.d_r = select(g.highest, splat<Real>(-0.5), e.d_r);
        curvature = select(g.highest, high.curvature, curvature);
    }

    // The curvature is fitted at b_c in the middle (to zero: s_c is the
    // inflection point) and at s_l or s_u in the outer branches, i.e. at the
    // left end above b_c and at the right end below it.
    const Real h = e.x_r - e.x_l;
    const Real slope = (e.y_r - e.y_l) / h;
    const Real r_fit = rational_cubic_r_for_curvature(lane_not(lower), h, e.d_l, e.d_r, slope, curvature);
    const Real r_min = rational_cubic_minimum_r(e.d_l, e.d_r, slope, outer);
    const Real r = larger_of(r_fit, r_min);
    const Real xi = (p.beta - e.x_l) / h;
    // Near b_max, 1 - xi from beta_bar keeps the distance to the maximum
    // that beta itself has lost.
    const Real one_minus_xi = select(g.highest, p.beta_bar / h, 1.0 - xi);
    const Real value = rational_cubic(e, xi, one_minus_xi, r);
    g.s = value;

    if (any_lane(outer)) {
        // Where the interpolant fails (not positive: roundoff at large |x|;
        // or a curvature too large to fit), a quadratic with the right ends.
        const auto not_positive = lane_not(value > 0.0);
        const Real f_low = select(not_positive, (low.f * xi + b_ref * one_minus_xi) * xi, value);
        const auto high_quadratic = not_positive | lane_not(abs_of(high.curvature) < sqrt_dbl_max);
        const Real f_high = select(high_quadratic, (high.f * one_minus_xi + 0.5 * h * xi) * one_minus_xi, value);
        // lowest: s = |x / (sqrt3 Phi^-1(p))| with p = c (f/|x|)^(1/3), taken as
        // ln p = ln c + (ln f - ln|x|)/3 (f/|x| itself can underflow);
        // highest: s = -2 Phi^-1(f). The inverse normal takes ln p.
        const Real log_f = log_of(select(g.lowest, f_low, select(g.highest, f_high, splat<Real>(1.0))));
        Real log_p = log_f;
        if (any_lane(g.lowest)) {
            log_p = select(g.lowest, log_lowest_scale + (log_f - log_of(ax)) * (1.0 / 3.0), log_p);
        }
        const Real z = inverse_normal_of_log(select(outer, log_p, splat<Real>(-1.0)));
        const Real s_outer = select(g.lowest, abs_of(p.x / (sqrt3 * z)), -2.0 * z);
        g.s = select(outer, s_outer, g.s);
    }
    return g;
}

}  // namespace kestrelfin::core
