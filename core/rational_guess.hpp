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
// The landmarks b_c, s_l, s_u, b_l, b_u and the slopes there are smooth
// functions of x alone; polynomial fits of them (rational_landmark_fits.hpp,
// about 1e-9 relative) stand in for the Black evaluations at s_l and s_u:
// the guess needs its anchors no better, and the steps converge from it to
// the last bit all the same. Templates over one double or lanes
// (core/lanes.hpp).
#pragma once

#include <cfloat>
#include <cmath>

#include "core/erfcx.hpp"
#include "core/inverse_normal.hpp"
#include "core/lanes.hpp"
#include "core/normalised_black.hpp"
#include "core/rational_cubic.hpp"
#include "core/rational_landmark_fits.hpp"

namespace kestrelfin::core {

// The three branches of the guess (and of the objective the steps take).
enum class RationalBranch : unsigned char { Lowest = 0, Middle = 1, Highest = 2 };

// One normalised problem: solve b(x, s) = beta for s; and where beta lies
// against the landmarks of its x (locate_branch fills those in).
template <class Real>
struct NormalisedProblem {
    Real x;              // -|ln(F/K)| < 0
    Real beta;           // the out-of-the-money call's price over sqrt(F K)
    Real beta_bar;       // b_max - beta, formed from prices
    Real b_max;          // e^(x/2)
    Real inverse_b_max;  // 1/b_max
    Real tiny_log_beta;  // ln(beta) where beta is subnormal (formed from the price)
    Real z;              // sqrt(|x|)
    Real c;              // (1 - z)/(1 + z), the landmark fits' variable
    Real q;              // z/(1 + z)
    Real b_c;            // b(x, s_c), s_c = sqrt(2|x|) the inflection point of b
    Real b_ref;          // b(x, s_ref): s_ref = s_l below b_c, s_u from b_c on
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
inline constexpr double sqrt2 = 1.4142135623730951;

// A polynomial at c, lowest power first, by Horner's rule.
template <int Size, class Real>
KESTRELFIN_LANE_INLINE Real landmark_fit(const double (&a)[Size], Real c) noexcept {
    Real sum = splat<Real>(a[Size - 1]);
#pragma GCC unroll 32
    for (int i = Size - 2; i >= 0; --i) {
        sum = sum * c + a[i];
    }
    return sum;
}

// What the guess of a problem is anchored on: s_c, s_ref (s_l below b_c,
// s_u = s_l + sqrt(2 pi) from b_c on) and b'(s_ref).
template <class Real>
struct Anchors {
    Real s_c, s_ref, vega_ref;
};

template <class Real, class Mask>
KESTRELFIN_LANE_INLINE Anchors<Real> anchors(const NormalisedProblem<Real>& p, Mask lower, Mask upper) noexcept {
    Anchors<Real> a;
    a.s_c = sqrt2 * p.z;
    const Real s_l = p.z * p.q * landmark_fit(landmark_fit_l, p.c);
    a.s_ref = select(lower, s_l, s_l + sqrt_2pi);
    Real slope = Real{};
    if (any_lane(lower)) {
        slope = landmark_fit(landmark_fit_vl, p.c);
    }
    if (any_lane(upper)) {
        slope = select(upper, landmark_fit(landmark_fit_vu, p.c), slope);
    }
    a.vega_ref = p.b_max * slope;
    return a;
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

// The landmarks of each problem, b_c and b_l (beta < b_c) or b_u, and with
// them its branch: lowest below b_l, highest above b_u, middle between. Only
// lanes where `active` holds decide which fits are evaluated.
template <class Real, class Mask>
KESTRELFIN_LANE_INLINE Real locate_branch(NormalisedProblem<Real>& p, Mask active) noexcept {
    using namespace detail;
    p.z = sqrt_of(-p.x);
    const Real inverse = 1.0 / (1.0 + p.z);
    p.c = (1.0 - p.z) * inverse;
    p.q = p.z * inverse;
    p.b_c = p.b_max * p.q * landmark_fit(landmark_fit_c, p.c) * 0.5;
    const auto lower = p.beta < p.b_c;
    const auto upper = lane_not(lower);
    p.b_ref = Real{};
    if (any_lane(active & lower)) {
        p.b_ref = p.b_max * (p.q * p.q) * landmark_fit(landmark_fit_bl, p.c);
    }
    if (any_lane(active & upper)) {
        p.b_ref = select(upper, p.b_max * landmark_fit(landmark_fit_bu, p.c), p.b_ref);
    }
    const auto lowest = lower & (p.beta < p.b_ref);
    const auto highest = upper & (p.beta > p.b_ref);
    Real branch = splat<Real>(static_cast<double>(RationalBranch::Middle));
    branch = select(lowest, splat<Real>(static_cast<double>(RationalBranch::Lowest)), branch);
    return select(highest, splat<Real>(static_cast<double>(RationalBranch::Highest)), branch);
}

// The guess of each problem of branch B.
template <RationalBranch B, class Real>
KESTRELFIN_LANE_INLINE Real rational_guess(const NormalisedProblem<Real>& p) noexcept {
    using namespace detail;
    using Mask = decltype(p.x < p.x);
    const Real ax = -p.x;
    const Mask all = p.x == p.x;
    const Mask none = lane_not(all);
    RationalCubicEnds<Real> e;
    Real curvature = Real{};
    Transform<Real> transform{};
    if constexpr (B == RationalBranch::Middle) {
        // s against beta, slopes ds/dbeta = 1/b', zero curvature at b_c.
        const auto lower = p.beta < p.b_c;
        const Anchors<Real> a = anchors(p, lower, lane_not(lower));
        const Real slope_ref = 1.0 / a.vega_ref;
        const Real slope_c = sqrt_2pi * p.inverse_b_max;  // 1/b'(s_c)
        e.x_l = select(lower, p.b_ref, p.b_c);
        e.x_r = select(lower, p.b_c, p.b_ref);
        e.y_l = select(lower, a.s_ref, a.s_c);
        e.y_r = select(lower, a.s_c, a.s_ref);
        e.d_l = select(lower, slope_ref, slope_c);
        e.d_r = select(lower, slope_c, slope_ref);
        const Real h = e.x_r - e.x_l;
        const Real slope = (e.y_r - e.y_l) / h;
        const Real r_fit = rational_cubic_r_for_curvature(lane_not(lower), h, e.d_l, e.d_r, slope, curvature);
        const Real r_min = rational_cubic_minimum_r(e.d_l, e.d_r, slope, none);
        const Real r = larger_of(r_fit, r_min);
        const Real xi = (p.beta - e.x_l) / h;
        return rational_cubic(e, xi, 1.0 - xi, r);
    } else {
        // The transformed price against beta, with the curvature of the
        // transform at s_ref and shape preserved.
        const Anchors<Real> a = B == RationalBranch::Lowest ? anchors(p, all, none) : anchors(p, none, all);
        if constexpr (B == RationalBranch::Lowest) {
            transform = lowest_transform(ax, a.s_ref, all);
            e.x_l = Real{};
            e.x_r = p.b_ref;
            e.y_l = Real{};
            e.y_r = transform.f;
            e.d_l = splat<Real>(1.0);
            e.d_r = transform.slope;
        } else {
            transform = highest_transform(p.x, a.s_ref, all);
            e.x_l = p.b_ref;
            e.x_r = p.b_max;
            e.y_l = transform.f;
            e.y_r = Real{};
            e.d_l = transform.slope;
            e.d_r = splat<Real>(-0.5);
        }
        curvature = transform.curvature;
        const Real h = e.x_r - e.x_l;
        const Real slope = (e.y_r - e.y_l) / h;
        const Mask at_left = B == RationalBranch::Highest ? all : none;
        const Real r_fit = rational_cubic_r_for_curvature(at_left, h, e.d_l, e.d_r, slope, curvature);
        const Real r_min = rational_cubic_minimum_r(e.d_l, e.d_r, slope, all);
        const Real r = larger_of(r_fit, r_min);
        const Real xi = (p.beta - e.x_l) / h;
        // Near b_max, 1 - xi from beta_bar keeps the distance to the maximum
        // that beta itself has lost.
        const Real one_minus_xi = B == RationalBranch::Highest ? p.beta_bar / h : 1.0 - xi;
        const Real value = rational_cubic(e, xi, one_minus_xi, r);
        // Where the interpolant fails (not positive: roundoff at large |x|;
        // or a curvature too large to fit), a quadratic with the right ends.
        const auto not_positive = lane_not(value > 0.0);
        if constexpr (B == RationalBranch::Lowest) {
            // s = |x / (sqrt3 Phi^-1(p))| with p = c (f/|x|)^(1/3), taken as
            // ln p = ln c + (ln f - ln|x|)/3 (f/|x| itself can underflow).
            const Real f = select(not_positive, (transform.f * xi + p.b_ref * one_minus_xi) * xi, value);
            const Real log_p = log_lowest_scale + (log_of(f) - log_of(ax)) * (1.0 / 3.0);
            return abs_of(p.x / (sqrt3 * inverse_normal_of_log(log_p)));
        } else {
            // s = -2 Phi^-1(f).
            const auto quadratic = not_positive | lane_not(abs_of(transform.curvature) < sqrt_dbl_max);
            const Real f = select(quadratic, (transform.f * one_minus_xi + 0.5 * h * xi) * one_minus_xi, value);
            return -2.0 * inverse_normal_of_log(log_of(f));
        }
    }
}

}  // namespace kestrelfin::core
