// The standard normal distribution function N(x) and density phi(x).
//
// N is computed two ways:
//   * x > -10: erfc(-x/sqrt(2)) / 2 with W. J. Cody's rational Chebyshev
//     approximations (the three ranges of his routine CALERF);
//   * x <= -10: the asymptotic (Mills' ratio) expansion of the normal tail,
//     where 1 - N(-x) would have lost every digit.
// The bounds of the ranges are named once (normal_ranges below) and read by
// the scalar branches and the lanes' selections alike.
//
// Every arithmetic step below is one separately rounded double operation in
// the order written; the results are reproducible to the last bit only if the
// compiler neither contracts a*b+c into an FMA nor reassociates, so every
// translation unit including this header must be built with
// -ffp-contract=off and without -ffast-math.
#pragma once

#include <cmath>

#include "core/lanes.hpp"

#if defined(__FAST_MATH__)
#error "kestrelfin's pricing core requires IEEE-754 semantics: do not build with -ffast-math / -Ofast"
#endif

namespace kestrelfin::core {

// The density phi(x) = exp(-x^2/2) / sqrt(2 pi) is built from its
// exponential exp(x*(x*(-0.5))): x*(-0.5) is exact, so the only rounding is
// in the final product. The formulas that need -phi(x) multiply the same
// exponential by the negated constant (the identical value to -(phi(x)),
// written the way the formulas are); a caller that needs both computes the
// exponential once.
template <class Real>
KESTRELFIN_LANE_INLINE Real density_exponential(Real x) noexcept {
    return exp_of(x * (x * (-0.5)));
}

template <class Real>
KESTRELFIN_LANE_INLINE Real density_of(Real exponential) noexcept {
    return 0.3989422804014327 * exponential;
}

template <class Real>
KESTRELFIN_LANE_INLINE Real minus_density_of(Real exponential) noexcept {
    return exponential * (-0.3989422804014327);
}

// phi(x).
template <class Real>
KESTRELFIN_LANE_INLINE Real norm_pdf(Real x) noexcept {
    return density_of(density_exponential(x));
}

// Where N changes its way of computing, by x or by a = |x|/sqrt(2).
namespace normal_ranges {
// x at or below: the tail series.
inline constexpr double kLeftTail = -10.0;
// a at or below: range 1 of Cody's approximation; above, up to kRange2End:
// range 2; above that: range 3.
inline constexpr double kRange1End = 0.46875;
inline constexpr double kRange2End = 4.0;
// a from here on: erfc has reached 0 (or 2) to double precision.
inline constexpr double kSaturated = 26.543;
// a below: y*y in range 1 would only add rounding noise (or underflow).
inline constexpr double kRange1Tiny = 1.11e-16;
// x below -2^26: the tail series' correction is not summed (the result has
// underflowed to zero long before).
inline constexpr double kTailSeriesEnd = -67108864.0;
}  // namespace normal_ranges

namespace detail {

using namespace normal_ranges;

// clang-format off: the coefficients three to a line, as published
// Cody, "Rational Chebyshev approximation for the error function",
// Math. Comp. 23 (1969), as published in SPECFUN's CALERF, double precision.
// Index i here holds Cody's coefficient number i + 1.

// Range 1, |y| <= 0.46875: erf(y) ~ y * P(y^2) / Q(y^2).
inline constexpr double cody_a[5] = {3.16112374387056560e00, 1.13864154151050156e02, 3.77485237685302021e02,
                                     3.20937758913846947e03, 1.85777706184603153e-1};
inline constexpr double cody_b[4] = {2.36012909523441209e01, 2.44024637934444173e02, 1.28261652607737228e03,
                                     2.84423683343917062e03};

// Range 2, 0.46875 < |y| <= 4: erfc(a) ~ exp(-a^2) * P(a) / Q(a).
inline constexpr double cody_c[9] = {5.64188496988670089e-1, 8.88314979438837594e00, 6.61191906371416295e01,
                                     2.98635138197400131e02, 8.81952221241769090e02, 1.71204761263407058e03,
                                     2.05107837782607147e03, 1.23033935479799725e03, 2.15311535474403846e-8};
inline constexpr double cody_d[8] = {1.57449261107098347e01, 1.17693950891312499e02, 5.37181101862009858e02,
                                     1.62138957456669019e03, 3.29079923573345963e03, 4.36261909014324716e03,
                                     3.43936767414372164e03, 1.23033935480374942e03};

// Range 3, |y| > 4: erfc(a) ~ exp(-a^2)/a * (1/sqrt(pi) - z P(z) / Q(z)), z = 1/a^2.
// Q2 is kept exactly as Cody published it.
inline constexpr double cody_p[6] = {3.05326634961232344e-1, 3.60344899949804439e-1, 1.25781726111229246e-1,
                                     1.60837851487422766e-2, 6.58749161529837803e-4, 1.63153871373020978e-2};
inline constexpr double cody_q[5] = {2.56852019228982242e00, 1.87295284992346047e00, 5.27905102951428412e-1,
                                     6.05183413124413191e-2, 2.33520497626869185e-3};

// clang-format on

inline constexpr double inv_sqrt_2pi = 0.3989422804014327;
inline constexpr double minus_inv_sqrt2 = -0.7071067811865476;
inline constexpr double inv_sqrt_pi = 0.5641895835477563;
inline constexpr double two_pow_minus_52 = 2.220446049250313e-16;

// N(x) for x <= -10: phi(x)/|x| * (1 - 1/x^2 + 3/x^4 - 15/x^6 + ...).
// The loop adds the terms two at a time: h is the last term added, d the size
// of the last pair. It stops once a pair is negligible against the sum, or
// as soon as a pair stops shrinking (the asymptotic series has begun to
// diverge). Below -2^26 the correction is not worth summing: the result
// underflows to zero long before that anyway.
inline double normal_left_tail(double x) noexcept {
    double s = 1.0;
    if (x >= kTailSeriesEnd) {
        const double w = x * x;
        double h = (1.0 / w) * (3.0 / w);
        s = 1.0 - (1.0 / w - h);
        double d = std::fabs(1.0 / w - h);
        double k = 2.0;
        while (!(d < std::fabs(s) * two_pow_minus_52)) {
            const double f = (4.0 * k - 3.0) / w;
            const double g = f * ((4.0 * k - 1.0) / w);
            const double term = h * (f - g);
            h = h * g;
            k = k + 1.0;
            s = s - term;
            if (std::fabs(term) < d) {
                d = std::fabs(term);
            } else {
                break;
            }
        }
    }
    // phi(x) * s / |x|, with the sign of 1/|x| = -1/x folded into the density
    // constant; evaluated strictly left to right.
    return std::exp(x * (x * (-0.5))) * (-inv_sqrt_2pi) * s / x;
}

// The three ranges of Cody's approximation, each written once as a template
// over one double or lanes: norm_cdf(double) branches to the range of its
// argument, the lanes evaluate a range when some lane needs it and select
// lane by lane.

// Range 1: N = (1 - erf(y)) / 2. Below 1.11e-16, y*y would only add rounding
// noise (or underflow), so the polynomials are evaluated at z = 0.
template <class Real>
KESTRELFIN_LANE_INLINE Real normal_range1(Real y, Real a) noexcept {
    const Real z = select(a > kRange1Tiny, y * y, Real{});
    Real p = splat<Real>(cody_a[4]);
    Real q = splat<Real>(1.0);
    for (int i = 0; i < 4; ++i) {
        p = p * z + cody_a[i];
        q = q * z + cody_b[i];
    }
    return (1.0 - y * p / q) * 0.5;
}

// Range 2: erfc(a) * exp(a^2) as a rational function of a.
template <class Real>
KESTRELFIN_LANE_INLINE Real erfc_scaled_range2(Real a) noexcept {
    Real p = splat<Real>(cody_c[8]);
    Real q = splat<Real>(1.0);
    for (int i = 0; i < 8; ++i) {
        p = p * a + cody_c[i];
        q = q * a + cody_d[i];
    }
    return p / q;
}

// Range 3: erfc(a) * exp(a^2) as an asymptotic-style rational in 1/a^2.
template <class Real>
KESTRELFIN_LANE_INLINE Real erfc_scaled_range3(Real y, Real a) noexcept {
    const Real z = 1.0 / (y * y);
    Real p = splat<Real>(cody_p[5]);
    Real q = splat<Real>(1.0);
    for (int i = 0; i < 5; ++i) {
        p = p * z + cody_p[i];
        q = q * z + cody_q[i];
    }
    return (inv_sqrt_pi - z * p / q) / a;
}

// exp(-(u*u)) for every u = k/16 that the split below can meet (k up to
// 16 * kSaturated). Each entry is the C library's exp of exactly the argument
// the split forms, so looking it up gives the very double the call would.
struct SquareStepExponentials {
    static constexpr int count = static_cast<int>(kSaturated * 16.0) + 1;
    double value[count];
    SquareStepExponentials() noexcept {
        for (int k = 0; k < count; ++k) {
            const double u = k * 0.0625;
            // volatile keeps the compiler from folding exp at build time,
            // which could round differently from the C library.
            volatile double argument = -(u * u);
            value[k] = std::exp(argument);
        }
    }
};

inline const SquareStepExponentials square_step_exponentials{};

// exp(-(u*u)) for u = steps/16, from the table. A lane whose steps are NaN
// or out of the table's range (a lane another range serves) reads entry 0;
// a NaN then stays NaN through the second factor.
inline double square_step_exponential(double steps) noexcept {
    const int index = steps < SquareStepExponentials::count ? static_cast<int>(steps) : 0;
    return square_step_exponentials.value[index];
}
template <LaneVector V>
KESTRELFIN_LANE_INLINE V square_step_exponential(V steps) noexcept {
    return each_lane(steps, [](double s) KESTRELFIN_LANE_LAMBDA { return square_step_exponential(s); });
}

// erfc(a) = exp(-a^2) * R. exp(-a^2) is split as exp(-u^2) * exp(-(a+u)(a-u))
// with u = a truncated to a multiple of 1/16: u*u is then exact and
// (a+u)*(a-u) is small, so neither argument carries the large absolute
// rounding error a*a would have for large a. Truncation equals floor here
// since a > 0.
template <class Real>
KESTRELFIN_LANE_INLINE Real erfc_from_scaled(Real a, Real scaled) noexcept {
    const Real steps = trunc_of(a * 16.0);
    const Real u = steps * 0.0625;
    return square_step_exponential(steps) * exp_of(-((a + u) * (a - u))) * scaled;
}

// N(x) for each lane: the branches of norm_cdf(double) below become per-lane
// selections. Range 1 is evaluated for every block, and range 2 for every
// block with a lane beyond range 1, whatever the other lanes need: on
// scattered arguments most blocks of four mix the two, and a branch per
// range would be mispredicted about as often as taken. Range 3 (and NaN) is
// rare and evaluated only when some lane needs it; a lane in the left tail
// (rarer still) takes the series one lane at a time.
template <LaneVector Real>
KESTRELFIN_LANE_INLINE Real normal_cdf(Real x) noexcept {
    const Real y = x * minus_inv_sqrt2;
    const Real a = abs_of(y);
    const auto tail = x <= kLeftTail;
    const auto range1 = a <= kRange1End;
    const auto range2 = (a > kRange1End) & (a <= kRange2End);
    // erfc has reached 0 (or 2) to double precision: no polynomial needed.
    const auto saturated = a >= kSaturated;

    Real result = select(y < 0.0, splat<Real>(2.0), Real{}) * 0.5;  // the saturated value
    result = select(range1, normal_range1(y, a), result);
    // Ranges 2 and 3, and NaN.
    const auto split = lane_not(range1) & lane_not(saturated) & lane_not(tail);
    if (any_lane(split)) {
        Real scaled = erfc_scaled_range2(a);
        if (any_lane(split & lane_not(range2))) {
            scaled = select(range2, scaled, erfc_scaled_range3(y, a));
        }
        const Real e = erfc_from_scaled(a, scaled);
        result = select(split, select(y < 0.0, (2.0 - e) * 0.5, e * 0.5), result);
    }
    if (any_lane(tail)) {
        result = each_lane_where(tail, x, result, [](double v) KESTRELFIN_LANE_LAMBDA { return normal_left_tail(v); });
    }
    return result;
}

}  // namespace detail

// N(x) = P(Z <= x). Total over doubles: N(-inf) = +0, N(+inf) = 1, N(NaN) =
// NaN. All range tests are ordered comparisons, so NaN fails every one of
// them and falls through to range 3, where it propagates.
inline double norm_cdf(double x) noexcept {
    using namespace detail;
    if (x <= kLeftTail) {
        return normal_left_tail(x);
    }
    const double y = x * minus_inv_sqrt2;
    const double a = std::fabs(y);
    if (a <= kRange1End) {
        return normal_range1(y, a);
    }
    double scaled;
    if (a <= kRange2End) {
        scaled = erfc_scaled_range2(a);
    } else {
        // erfc has reached 0 (or 2) to double precision: no polynomial needed.
        if (a >= kSaturated) {
            return (y < 0.0 ? 2.0 : 0.0) * 0.5;
        }
        scaled = erfc_scaled_range3(y, a);
    }
    const double e = erfc_from_scaled(a, scaled);
    return y < 0.0 ? (2.0 - e) * 0.5 : e * 0.5;
}

// N(x) for each lane, exactly as for one double.
template <LaneVector V>
KESTRELFIN_LANE_INLINE V norm_cdf(V x) noexcept {
    return detail::normal_cdf(x);
}

}  // namespace kestrelfin::core
