// The normalised Black function of an out-of-the-money call and its slope,
// to full relative precision down to the smallest prices:
//
//   b(x, s) = e^(x/2) Phi(x/s + s/2) - e^(-x/2) Phi(x/s - s/2),   x < 0, s > 0,
//
// the undiscounted call price divided by sqrt(F K), with x = ln(F/K) and
// s = sigma sqrt(t); its slope ("normalised vega") b'(s) =
// exp(-(h^2 + t^2)/2)/sqrt(2 pi) with h = x/s and t = s/2; and the
// complement b_max - b, b_max = e^(x/2), without cancellation.
//
// The plain formula subtracts nearly equal terms when b is far below either,
// and Phi far in its tail inherits the rounding of its argument's square.
// So the (h, t) half-plane is split into three regions (the 2024 partition
// of P. Jaeckel's "Let's Be Rational"):
//   I   h < -13 and h + t < -13 + tau + 1/2: an asymptotic expansion;
//   II  otherwise, t < tau + |h|/26: a series in t whose coefficients are
//       polynomials in h^2 and a = Y'(h) = 1 + h Phi(h)/phi(h);
//   III everything else: two erfc/erfcx terms.
// with tau = 2 eps^(1/16). Regions I and II give the scaled value
// b/b' = Y(h + t) - Y(h - t), Y = Phi/phi, from which a tiny b is recovered
// as b' times it, or its logarithm as a sum of logarithms.
// Templates over one double or lanes (core/lanes.hpp).
#pragma once

#include "core/erfcx.hpp"
#include "core/lanes.hpp"

namespace kestrelfin::core {

namespace detail {

inline constexpr double black_eta = -13.0;
inline constexpr double black_tau = 0.21022410381342863;  // 2 * 2^(-52/16)
inline constexpr double inv_sqrt2 = 0.7071067811865476;
inline constexpr double sqrt_pi_over_2 = 1.2533141373155003;
inline constexpr double half_log_2pi = 0.9189385332046728;

// ---- Region I: the asymptotic expansion ----------------------------------------
// With r = (h + t)(h - t), e = (t/h)^2 and q = (h/r)^2:
//   b/b' = (t/r) sum_n A_n(e) q^n,
//   A_n(e) = (-1)^n 2 (2n-1)!! sum_{j<=n} C(2n+1, 2j+1) e^j,
// from Y(z) ~ sum_n (-1)^(n+1) (2n-1)!! z^-(2n+1) as z -> -inf. Order 14
// leaves a relative truncation error of about 1e-16 at worst in Region I
// (the order of the 2024 "Let's Be Rational"; 16 would give 5e-18).
inline constexpr int asymptotic_order = 14;

struct AsymptoticCoefficients {
    double c[asymptotic_order + 1][asymptotic_order + 1];  // c[n][j]: of e^j in A_n
};

// The integers exactly, each rounded once to double.
constexpr AsymptoticCoefficients make_asymptotic_coefficients() {
    __extension__ typedef unsigned __int128 Wide;
    AsymptoticCoefficients table{};
    Wide double_factorial = 1;  // (2n - 1)!!
    for (int n = 0; n <= asymptotic_order; ++n) {
        if (n > 0) {
            double_factorial *= static_cast<Wide>(2 * n - 1);
        }
        Wide binomial[2 * asymptotic_order + 2] = {1};  // C(2n + 1, k)
        for (int k = 1; k <= 2 * n + 1; ++k) {
            binomial[k] = binomial[k - 1] * static_cast<Wide>(2 * n + 2 - k) / static_cast<Wide>(k);
        }
        for (int j = 0; j <= n; ++j) {
            const double magnitude = static_cast<double>(2 * double_factorial * binomial[2 * j + 1]);
            table.c[n][j] = n % 2 ? -magnitude : magnitude;
        }
    }
    return table;
}

inline constexpr AsymptoticCoefficients asymptotic_coefficients = make_asymptotic_coefficients();

template <class Real>
KESTRELFIN_LANE_INLINE Real asymptotic_scaled_black(Real h, Real t) noexcept {
    const Real r = (h + t) * (h - t);
    const Real th = t / h;
    const Real e = th * th;
    const Real hr = h / r;
    const Real q = hr * hr;
    const auto& c = asymptotic_coefficients.c;
    Real sum = Real{};
    for (int n = asymptotic_order; n >= 0; --n) {
        Real a = splat<Real>(c[n][n]);
        for (int j = n - 1; j >= 0; --j) {
            a = a * e + c[n][j];
        }
        sum = n == asymptotic_order ? a : sum * q + a;
    }
    return t / r * sum;
}

// ---- Region II: the series in t -----------------------------------------------
// b/b' = 2 sum_k Y^(2k+1)(h) t^(2k+1)/(2k+1)! = t (B0 + t^2 (B1 + ... t^2 B6)),
// B_k = (P_k(g) + a Q_k(g)) / D_k with g = h^2 and a = Y'(h).

// a = Y'(h) = 1 + h Y(h) for h <= 0 without the cancellation of that form
// for h << 0 (a ~ 1/h^2): near 0 the form itself with Cody's erfcx, then
// two rational fits (the 2024 "Let's Be Rational" ones): for -4 <= h <= -0.46875
// a = P(u)/Q(u) with u = -h, below -4 a = w (1 + w N(w)/D(w)) with w = 1/h^2.
// Highest degree first.
inline constexpr RatioCoefficients<8, 8> mills_mid = {
    {-8.4592436406580605619e-10, 4.2766597835908713583e-8, 3.0717392274913902347e-4, 0.005545521007735379052,
     0.045650900351352987865, 0.22180844736576013957, 0.61911449879694112749, 1.0000000000594317229},
    {3.0822020417927147113e-4, 0.0055290453576936595892, 0.046762548903194957675, 0.23677701403094640361,
     0.76576489836589035112, 1.5685497236077651429, 1.8724286369589162071, 1.0}};
inline constexpr RatioCoefficients<6, 7> mills_far = {
    {-6.6818249032616849037e4, -8.3836021460741980839e4, -2.7805745693864308643e4, -3.4735035445495633334e3,
     -1.7556263323542206288e2, -2.9999999999994663866},
    {6.9286518679803751694e4, 1.2569970380923908488e5, 6.6886794165651675684e4, 1.4562545638507033944e4,
     1.4404389037604337538e3, 6.3520877744831739102e1, 1.0}};

template <int Size, class Real>
KESTRELFIN_LANE_INLINE Real horner(const double (&c)[Size], Real x) noexcept {
    Real sum = splat<Real>(c[Size - 1]);
    for (int i = Size - 2; i >= 0; --i) {
        sum = sum * x + c[i];
    }
    return sum;
}

}  // namespace detail

// Y'(h) = 1 + h Phi(h)/phi(h), h <= 0: one ratio of polynomials whichever
// of the three forms each lane takes.
template <class Real>
KESTRELFIN_LANE_INLINE Real normal_ratio_slope(Real h) noexcept {
    using namespace detail;
    const auto near = h > -cody_small_limit;
    const auto far = h < -4.0;
    const auto mid = lane_not(near) & lane_not(far);
    const Real v = h * (-inv_sqrt2);  // near: a = 1 + h sqrt(pi/2) erfcx(v)
    Real w = select(v > 1.11e-16, v * v, Real{});
    w = select(mid, -h, w);
    if (any_lane(far)) {
        w = select(far, 1.0 / (h * h), w);
    }
    const Real ratio = ratio_of_three(cody_first, mills_mid, mills_far, near, mid, w);
    Real a = ratio;
    if (any_lane(near)) {
        // erfcx(v) = exp(v^2) (1 - erf(v)), erf(v) = v ratio.
        const Real erfcx = exp_plus_square(select(near, v, Real{})) * (1.0 - v * ratio);
        a = select(near, 1.0 + h * (sqrt_pi_over_2 * erfcx), a);
    }
    if (any_lane(far)) {
        a = select(far, w * (1.0 + w * ratio), a);
    }
    return a;
}

namespace detail {

// P_k and Q_k, lowest power of g first, and 1/D_k for k = 1..6.
inline constexpr double small_t_p1[1] = {-1.0};
inline constexpr double small_t_q1[2] = {3.0, 1.0};
inline constexpr double small_t_p2[2] = {-7.0, -1.0};
inline constexpr double small_t_q2[3] = {15.0, 10.0, 1.0};
inline constexpr double small_t_p3[3] = {-57.0, -18.0, -1.0};
inline constexpr double small_t_q3[4] = {105.0, 105.0, 21.0, 1.0};
inline constexpr double small_t_p4[4] = {-561.0, -285.0, -33.0, -1.0};
inline constexpr double small_t_q4[5] = {945.0, 1260.0, 378.0, 36.0, 1.0};
inline constexpr double small_t_p5[5] = {-6555.0, -4680.0, -840.0, -52.0, -1.0};
inline constexpr double small_t_q5[6] = {10395.0, 17325.0, 6930.0, 990.0, 55.0, 1.0};
inline constexpr double small_t_p6[6] = {-89055.0, -82845.0, -20370.0, -1926.0, -75.0, -1.0};
inline constexpr double small_t_q6[7] = {135135.0, 270270.0, 135135.0, 25740.0, 2145.0, 78.0, 1.0};
inline constexpr double small_t_inverse_d[7] = {
    1.0, 1.0 / 3.0, 1.0 / 60.0, 1.0 / 2520.0, 1.0 / 181440.0, 1.0 / 19958400.0, 1.0 / 3113510400.0};

template <int P, int Q, class Real>
KESTRELFIN_LANE_INLINE Real small_t_coefficient(const double (&p)[P], const double (&q)[Q], int k, Real g,
                                                Real a) noexcept {
    return (horner(p, g) + a * horner(q, g)) * small_t_inverse_d[k];
}

template <class Real>
KESTRELFIN_LANE_INLINE Real small_t_scaled_black(Real h, Real t) noexcept {
    const Real a = normal_ratio_slope(h);
    const Real g = h * h;
    const Real t2 = t * t;
    Real sum = small_t_coefficient(small_t_p6, small_t_q6, 6, g, a);
    sum = small_t_coefficient(small_t_p5, small_t_q5, 5, g, a) + t2 * sum;
    sum = small_t_coefficient(small_t_p4, small_t_q4, 4, g, a) + t2 * sum;
    sum = small_t_coefficient(small_t_p3, small_t_q3, 3, g, a) + t2 * sum;
    sum = small_t_coefficient(small_t_p2, small_t_q2, 2, g, a) + t2 * sum;
    sum = small_t_coefficient(small_t_p1, small_t_q1, 1, g, a) + t2 * sum;
    sum = 2.0 * a + t2 * sum;
    return t * sum;
}

// ---- Region III: erfc and erfcx -------------------------------------------------
// 2b = T1 - T2 with T1 = e^(x/2) erfc(u1), T2 = e^(-x/2) erfc(u2),
// u1 = -(h + t)/sqrt2, u2 = (t - h)/sqrt2. Since x/2 - u1^2 = -(h^2 + t^2)/2,
// e^(x/2) erfc(u1) = E erfcx(u1) with E = exp(-(h^2 + t^2)/2), the exponential
// b' is made of (likewise for u2). So each term is exponential-free in every
// interval: where |u| > 0.46875 from erfcx(|u|) and E (as 2 e^(x/2) - E erfcx(|u|)
// for u < 0), elsewhere from erf(u) and e^(+-x/2). One of Cody's ratios per
// term (cody_parts). Rounding cannot make b negative: clamped at 0.
//
// The complement b_max - b = (T1c + T2)/2 with T1c = e^(x/2) erfc(-u1) comes
// from the same ratios.
template <class Real>
struct ErfcForm {
    Real b;
    Real complement;  // b_max - b, where asked for
};

template <class Real, class Mask>
KESTRELFIN_LANE_INLINE ErfcForm<Real> erfc_form_black(Real h, Real t, Real exponential, Real b_max, Real inverse_b_max,
                                                      Mask want_complement) noexcept {
    const Real u1 = (h + t) * (-inv_sqrt2);
    const Real u2 = (t - h) * inv_sqrt2;
    const auto c1 = cody_parts(u1);
    const auto c2 = cody_parts(u2);
    // E erfcx(|u|) where |u| > 0.46875, erf(u) where not.
    Real scaled1 = Real{}, scaled2 = Real{};
    if (any_lane(lane_not(c1.small))) {
        scaled1 = exponential * erfcx_large_of(c1);
    }
    if (any_lane(lane_not(c2.small))) {
        scaled2 = exponential * erfcx_large_of(c2);
    }
    const Real erf1 = erf_small_of(c1);
    const Real erf2 = erf_small_of(c2);
    const Real twice_b_max = 2.0 * b_max;

    const auto negative1 = u1 < 0.0;
    const Real t1 = select(c1.small, b_max * (1.0 - erf1), select(negative1, twice_b_max - scaled1, scaled1));
    const Real t2 = select(c2.small, inverse_b_max * (1.0 - erf2), scaled2);
    ErfcForm<Real> f;
    f.b = (t1 - t2) * 0.5;
    f.b = select(f.b > 0.0, f.b, Real{});
    f.complement = Real{};
    if (any_lane(want_complement)) {
        const Real t1c = select(c1.small, b_max * (1.0 + erf1), select(negative1, scaled1, twice_b_max - scaled1));
        f.complement = (t1c + t2) * 0.5;
    }
    return f;
}

}  // namespace detail

// The normalised Black function at one s: its slope, and its value either
// plain (Region III) or scaled by the slope (Regions I and II).
template <class Real, class Mask>
struct BlackPoint {
    Real h;             // x/s
    Real t;             // s/2
    Real inverse_s;     // 1/s
    Real exponent;      // -(h^2 + t^2)/2, rounded
    Real exponent_low;  // what the rounding of h, the squares and the sum left out
    Real exponential;   // exp(-(h^2 + t^2)/2) = b'(s) sqrt(2 pi)
    Real vega;          // b'(s)
    Real value;         // b/b' where `scaled`, b elsewhere
    Real complement;    // b_max - b, where asked for (Region III)
    Mask scaled;
};

// b(x, s) and b'(s) for x < 0 < s, given b_max = e^(x/2) and its inverse, and
// where want_complement holds b_max - b (there t > |h|: Region III). Only lanes where
// `active` holds decide which regions are evaluated; the others get some
// value.
template <class Real, class Mask>
KESTRELFIN_LANE_INLINE BlackPoint<Real, Mask> normalised_black_point(Real x, Real s, Real b_max, Real inverse_b_max,
                                                                     Mask active, Mask want_complement) noexcept {
    using namespace detail;
    BlackPoint<Real, Mask> p;
    p.h = x / s;
    p.t = s * 0.5;
    // exp(-(h^2 + t^2)/2) with the exponent to about eps^2: its rounding
    // error, eps (h^2 + t^2) absolute, would otherwise become a relative error
    // of b, b' and b_max - b that grows with |x|. With r = x - h s, x/s =
    // h + r/s, so (x/s)^2 = h^2 + 2 h r/s + O(eps^2); the products' and the
    // sum's roundings come exactly from Dekker's product and Knuth's two-sum.
    const Real hh = p.h * p.h;
    const Real tt = p.t * p.t;
    const Real sum = hh + tt;
    const Real sum_t = sum - hh;
    const Real sum_error = (hh - (sum - sum_t)) + (tt - sum_t);
    p.inverse_s = 1.0 / s;
    const Real quotient_error = (x - p.h * s - product_error(p.h, s, p.h * s)) * p.inverse_s;
    const Real low = ((square_error(p.h, hh) + 2.0 * p.h * quotient_error) + square_error(p.t, tt)) + sum_error;
    p.exponent = sum * -0.5;
    // (Dropped where the squares overflow: the exponential is 0 there.)
    p.exponent_low = select(abs_of(low) < 1.0, low * -0.5, Real{});
    p.exponential = exp_nonpositive(p.exponent) * (1.0 + p.exponent_low);
    p.vega = p.exponential * inv_sqrt_2pi;
    const auto asymptotic = (p.h < black_eta) & (p.h + p.t < black_eta + black_tau + 0.5);
    const auto small_t = lane_not(asymptotic) & (p.t < black_tau + p.h * (-1.0 / 26.0));
    const auto region1 = active & asymptotic;
    const auto region2 = active & small_t;
    const auto region3 = active & lane_not(asymptotic) & lane_not(small_t);
    p.value = Real{};
    p.complement = Real{};
    if (any_lane(region1)) {
        p.value = select(region1, asymptotic_scaled_black(p.h, p.t), p.value);
    }
    if (any_lane(region2)) {
        p.value = select(region2, small_t_scaled_black(p.h, p.t), p.value);
    }
    if (any_lane(region3)) {
        const ErfcForm<Real> f = erfc_form_black(p.h, p.t, p.exponential, b_max, inverse_b_max, want_complement);
        p.value = select(region3, f.b, p.value);
        p.complement = f.complement;
    }
    p.scaled = asymptotic | small_t;
    return p;
}

// b itself.
template <class Real, class Mask>
KESTRELFIN_LANE_INLINE Real black_value(const BlackPoint<Real, Mask>& p) noexcept {
    if (!any_lane(p.scaled)) {
        return p.value;
    }
    return select(p.scaled, p.value * p.vega, p.value);
}

// b/b'.
template <class Real, class Mask>
KESTRELFIN_LANE_INLINE Real scaled_black_value(const BlackPoint<Real, Mask>& p) noexcept {
    if (!any_lane(lane_not(p.scaled))) {
        return p.value;
    }
    return select(p.scaled, p.value, p.value / p.vega);
}

// b(x, s) for one x < 0 and s > 0, for tests and for building inputs.
template <class Real>
KESTRELFIN_LANE_INLINE Real normalised_black(Real x, Real s) noexcept {
    const Real b_max = exp_of(x * 0.5);
    const auto all = s == s;
    const auto p = normalised_black_point(x, s, b_max, 1.0 / b_max, all, lane_not(all));
    return black_value(p);
}

// b_max - b(x, s) for x < 0 and s > sqrt(2|x|) (Region III), for tests.
template <class Real>
KESTRELFIN_LANE_INLINE Real complementary_black(Real x, Real s) noexcept {
    const Real b_max = exp_of(x * 0.5);
    const auto all = s == s;
    return normalised_black_point(x, s, b_max, 1.0 / b_max, all, all).complement;
}

}  // namespace kestrelfin::core
