// The inverse of the standard normal distribution function, by M. J.
// Wichura's Algorithm AS 241 (PPND16, Applied Statistics 37 (1988) 477-484),
// good to about one part in 10^16.
//
// Its two parts are exposed because the implied-volatility solver feeds them
// directly: at the money the central part takes q = beta/2 rather than
// p - 1/2 (which would discard the digits of a small beta), and the tail
// takes the small probability p = min(p, 1 - p) formed exactly from prices.
// Templates over one double or lanes (core/lanes.hpp).
#pragma once

#include "core/erfcx.hpp"
#include "core/lanes.hpp"

namespace kestrelfin::core {

namespace detail {

// clang-format off: Wichura's coefficients, lowest order first.
inline constexpr double as241_a[8] = {3.3871328727963666080e0, 1.3314166789178437745e2, 1.9715909503065514427e3,
                                      1.3731693765509461125e4, 4.5921953931549871457e4, 6.7265770927008700853e4,
                                      3.3430575583588128105e4, 2.5090809287301226727e3};
inline constexpr double as241_b[8] = {1.0,
                                      4.2313330701600911252e1,
                                      6.8718700749205790830e2,
                                      5.3941960214247511077e3,
                                      2.1213794301586595867e4,
                                      3.9307895800092710610e4,
                                      2.8729085735721942674e4,
                                      5.2264952788528545610e3};
inline constexpr double as241_c[8] = {1.42343711074968357734e0,  4.63033784615654529590e0, 5.76949722146069140550e0,
                                      3.64784832476320460504e0,  1.27045825245236838258e0, 2.41780725177450611770e-1,
                                      2.27238449892691845833e-2, 7.74545014278341407640e-4};
inline constexpr double as241_d[8] = {1.0,
                                      2.05319162663775882187e0,
                                      1.67638483018380384940e0,
                                      6.89767334985100004550e-1,
                                      1.48103976427480074590e-1,
                                      1.51986665636164571966e-2,
                                      5.47593808499534494600e-4,
                                      1.05075007164441684324e-9};
inline constexpr double as241_e[8] = {6.65790464350110377720e0,  5.46378491116411436990e0,  1.78482653991729133580e0,
                                      2.96560571828504891230e-1, 2.65321895265761230930e-2, 1.24266094738807843860e-3,
                                      2.71155556874348757815e-5, 2.01033439929228813265e-7};
inline constexpr double as241_f[8] = {1.0,
                                      5.99832206555887937690e-1,
                                      1.36929880922735805310e-1,
                                      1.48753612908506148525e-2,
                                      7.86869131145613259100e-4,
                                      1.84631831751005468180e-5,
                                      1.42151175831644588870e-7,
                                      2.04426310338993978564e-15};
// clang-format on

inline constexpr double as241_central_limit = 0.425;  // |p - 1/2| up to this: central part
inline constexpr double as241_tail_split = 5.0;       // sqrt(-ln p) beyond this: far tail

// The ratio of two degree-7 polynomials at r, by Horner's rule.
template <class Real>
KESTRELFIN_LANE_INLINE Real as241_ratio(const double (&num)[8], const double (&den)[8], Real r) noexcept {
    Real p = splat<Real>(num[7]);
    Real q = splat<Real>(den[7]);
    for (int i = 6; i >= 0; --i) {
        p = p * r + num[i];
        q = q * r + den[i];
    }
    return p / q;
}

}  // namespace detail

// Phi^-1(1/2 + q) for |q| <= 0.425.
template <class Real>
KESTRELFIN_LANE_INLINE Real inverse_normal_central(Real q) noexcept {
    using namespace detail;
    const Real r = 0.180625 - q * q;
    return q * as241_ratio(as241_a, as241_b, r);
}

// Phi^-1(p) for 0 < p <= 1/2 - 0.425 (negative), given r = sqrt(-ln p);
// p = 0 (r = inf) gives -inf.
template <class Real>
KESTRELFIN_LANE_INLINE Real inverse_normal_tail_of_root(Real r) noexcept {
    using namespace detail;
    const auto far = r > as241_tail_split;
    Real z = Real{};
    if (any_lane(lane_not(far))) {
        z = as241_ratio(as241_c, as241_d, r - 1.6);
    }
    if (any_lane(far)) {
        z = select(far, as241_ratio(as241_e, as241_f, r - 5.0), z);
    }
    return -z;
}

template <class Real>
KESTRELFIN_LANE_INLINE Real inverse_normal_lower_tail(Real p) noexcept {
    return inverse_normal_tail_of_root(sqrt_of(-log_of(p)));
}

// Phi^-1(p) for 0 <= p <= 1.
template <class Real>
KESTRELFIN_LANE_INLINE Real inverse_normal_cdf(Real p) noexcept {
    using namespace detail;
    const Real q = p - 0.5;
    const auto central = abs_of(q) <= as241_central_limit;
    Real z = Real{};
    if (any_lane(central)) {
        z = inverse_normal_central(q);
    }
    const auto tail = lane_not(central);
    if (any_lane(tail)) {
        const auto upper = q > 0.0;
        const Real small = select(upper, 1.0 - p, p);
        const Real lower = inverse_normal_lower_tail(small);
        z = select(tail, select(upper, -lower, lower), z);
    }
    return z;
}

// Phi^-1(p) given ln p, for p = exp(ln p) <= 1/2: the tail takes its root
// straight from ln p, with no logarithm of its own.
template <class Real>
KESTRELFIN_LANE_INLINE Real inverse_normal_of_log(Real log_p) noexcept {
    using namespace detail;
    const Real p = exp_nonpositive(log_p);
    const Real q = p - 0.5;
    const auto central = abs_of(q) <= as241_central_limit;
    Real z = Real{};
    if (any_lane(central)) {
        z = inverse_normal_central(q);
    }
    const auto tail = lane_not(central);
    if (any_lane(tail)) {
        z = select(tail, inverse_normal_tail_of_root(sqrt_of(-log_p)), z);
    }
    return z;
}

}  // namespace kestrelfin::core
