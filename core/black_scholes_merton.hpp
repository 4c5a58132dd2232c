// Black-Scholes-Merton: European options on a spot price S paying the
// continuous dividend yield q, discounted at r. Price and every Greek, as
// instances of the generalised model (cost_of_carry.hpp) with the carry
// b = r - q.
//
// Black-Scholes is this model with q = +0.0: every Black-Scholes function is
// its Black-Scholes-Merton counterpart called with q = 0.0, so the two agree
// to the last bit. The core has no separate Black-Scholes formulas; the
// function table (binding/functions.hpp) applies the rule.
//
// Units: vega and rho per percentage point (x 0.01), theta per calendar day
// (-dV/dt / 365), delta and gamma unscaled; the higher-order Greeks
// unscaled, charm, color and veta +d/dt per year.
//
// Two algebraically equal forms of d1 are used and must stay apart, because
// they round differently:
//   * the price uses the forward form, built from F = S * exp(t*b):
//       d1F = (ln(F/K) + t*(sigma*(sigma*0.5))) / (sqrt(t)*sigma)
//   * the Greeks use the spot form:
//       d1  = (ln(S/K) + t*(sigma*(sigma*0.5) + b)) / (sigma*sqrt(t))
// Likewise the first-order Greeks discount S with Dq = exp(-(q*t)), the
// higher-order ones with Dc = exp(t*((r - q) - r)); in exact arithmetic the
// two are equal, but (r - q) - r is not always exactly -q.
#pragma once

#include "core/cost_of_carry.hpp"
#include "core/lanes.hpp"
#include "core/option_kind.hpp"

namespace kestrelfin::core {

// The carry of a spot paying the yield q: b = r - q.
template <class Real>
struct MertonCarry {
    Real r;
    Real q;
    KESTRELFIN_LANE_INLINE Real first_order_drift(Real half_variance) const noexcept { return half_variance + (r - q); }
    KESTRELFIN_LANE_INLINE Real b() const noexcept { return r - q; }
    KESTRELFIN_LANE_INLINE Real b_minus_r() const noexcept { return (r - q) - r; }
};

// The dividend discount factor of the first-order Greeks, Dq = exp(-(q*t)).
template <class Real>
KESTRELFIN_LANE_INLINE Real dividend_discount(Real t, Real q) noexcept {
    return exp_of_shared(-(q * t));
}

// Dr * sgn * (F*N(sgn*d1F) - K*N(sgn*d2F)): the Black price on the forward
// F = S*exp(t*(r - q)).
template <class Kind, class Real>
KESTRELFIN_LANE_INLINE Real bsm_black_scholes_merton(Kind kind, Real S, Real K, Real t, Real r, Real sigma,
                                                     Real q) noexcept {
    const Real growth = exp_of_shared(t * (r - q));
    const Real dr = rate_discount(t, r);
    const Real F = S * growth;
    return dr * undiscounted_black(sign_of(kind), F, K, t, log_of(F / K), sqrt_of(t), sigma).price;
}

// The two forms of d1 of the spot S, with ln(S/K) and sqrt(t) computed here.
template <class Real>
KESTRELFIN_LANE_INLINE FirstOrderTerms<Real> bsm_first_order_terms(Real S, Real K, Real t, Real r, Real sigma,
                                                                   Real q) noexcept {
    return first_order_terms(MertonCarry<Real>{r, q}, log_of(S / K), sqrt_of(t), t, sigma);
}

template <class Real>
KESTRELFIN_LANE_INLINE CarryTerms<Real> bsm_carry_terms(Real S, Real K, Real t, Real r, Real sigma, Real q) noexcept {
    return carry_terms(MertonCarry<Real>{r, q}, log_of(S / K), sqrt_of(t), t, sigma);
}

template <class Kind, class Real>
KESTRELFIN_LANE_INLINE Real bsm_delta(Kind kind, Real S, Real K, Real t, Real r, Real sigma, Real q) noexcept {
    const auto f = bsm_first_order_terms(S, K, t, r, sigma, q);
    return delta_expression(kind, dividend_discount(t, q), cdf_of_signed(kind, f.d1));
}

template <class Kind, class Real>
KESTRELFIN_LANE_INLINE Real bsm_gamma(Kind, Real S, Real K, Real t, Real r, Real sigma, Real q) noexcept {
    const auto f = bsm_first_order_terms(S, K, t, r, sigma, q);
    return gamma_expression(S, sigma, dividend_discount(t, q), f.sqrt_t, norm_pdf(f.d1));
}

template <class Kind, class Real>
KESTRELFIN_LANE_INLINE Real bsm_vega(Kind, Real S, Real K, Real t, Real r, Real sigma, Real q) noexcept {
    const auto f = bsm_first_order_terms(S, K, t, r, sigma, q);
    return vega_expression(S, dividend_discount(t, q), f.sqrt_t, norm_pdf(f.d1));
}

template <class Kind, class Real>
KESTRELFIN_LANE_INLINE Real bsm_theta(Kind kind, Real S, Real K, Real t, Real r, Real sigma, Real q) noexcept {
    const auto f = bsm_first_order_terms(S, K, t, r, sigma, q);
    return theta_expression(kind, S, K, r, sigma, q, dividend_discount(t, q), rate_discount(t, r), f.sqrt_t,
                            norm_pdf(f.d1), cdf_by_kind(kind, f.d1), cdf_by_kind(kind, f.d2));
}

// dV/dr with q held fixed, per percentage point: sgn*K*t*Dr*N(sgn*d2) * 0.01,
// given n_d2 = N(sgn*d2).
template <class Kind, class Real>
KESTRELFIN_LANE_INLINE Real bsm_rho_expression(Kind kind, Real K, Real t, Real dr, Real n_d2) noexcept {
    return K * (t * sign_of(kind)) * dr * n_d2 * 0.01;
}

template <class Kind, class Real>
KESTRELFIN_LANE_INLINE Real bsm_rho(Kind kind, Real S, Real K, Real t, Real r, Real sigma, Real q) noexcept {
    const auto f = bsm_first_order_terms(S, K, t, r, sigma, q);
    return bsm_rho_expression(kind, K, t, rate_discount(t, r), cdf_of_signed(kind, f.d2));
}

// The higher-order and strike Greeks in the cost-of-carry form.

template <class Kind, class Real>
KESTRELFIN_LANE_INLINE Real bsm_vanna(Kind, Real S, Real K, Real t, Real r, Real sigma, Real q) noexcept {
    const auto c = bsm_carry_terms(S, K, t, r, sigma, q);
    return vanna_expression(sigma, carry_discount(t, c), c, minus_density_of(density_exponential(c.d1)));
}

template <class Kind, class Real>
KESTRELFIN_LANE_INLINE Real bsm_charm(Kind kind, Real S, Real K, Real t, Real r, Real sigma, Real q) noexcept {
    const auto c = bsm_carry_terms(S, K, t, r, sigma, q);
    return charm_expression(kind, t, carry_discount(t, c), c, norm_pdf(c.d1), norm_cdf(c.d1));
}

template <class Kind, class Real>
KESTRELFIN_LANE_INLINE Real bsm_vomma(Kind, Real S, Real K, Real t, Real r, Real sigma, Real q) noexcept {
    const auto c = bsm_carry_terms(S, K, t, r, sigma, q);
    return vomma_expression(S, sigma, carry_discount(t, c), c, norm_pdf(c.d1));
}

template <class Kind, class Real>
KESTRELFIN_LANE_INLINE Real bsm_speed(Kind, Real S, Real K, Real t, Real r, Real sigma, Real q) noexcept {
    const auto c = bsm_carry_terms(S, K, t, r, sigma, q);
    return speed_expression(S, carry_discount(t, c), c, minus_density_of(density_exponential(c.d1)));
}

template <class Kind, class Real>
KESTRELFIN_LANE_INLINE Real bsm_zomma(Kind, Real S, Real K, Real t, Real r, Real sigma, Real q) noexcept {
    const auto c = bsm_carry_terms(S, K, t, r, sigma, q);
    return zomma_expression(S, sigma, carry_discount(t, c), c, norm_pdf(c.d1));
}

template <class Kind, class Real>
KESTRELFIN_LANE_INLINE Real bsm_color(Kind, Real S, Real K, Real t, Real r, Real sigma, Real q) noexcept {
    const auto c = bsm_carry_terms(S, K, t, r, sigma, q);
    return color_expression(S, t, carry_discount(t, c), c, norm_pdf(c.d1));
}

template <class Kind, class Real>
KESTRELFIN_LANE_INLINE Real bsm_veta(Kind, Real S, Real K, Real t, Real r, Real sigma, Real q) noexcept {
    const auto c = bsm_carry_terms(S, K, t, r, sigma, q);
    return veta_expression(S, t, carry_discount(t, c), c, norm_pdf(c.d1));
}

template <class Kind, class Real>
KESTRELFIN_LANE_INLINE Real bsm_ultima(Kind, Real S, Real K, Real t, Real r, Real sigma, Real q) noexcept {
    const auto c = bsm_carry_terms(S, K, t, r, sigma, q);
    return ultima_expression(S, sigma, carry_discount(t, c), c, minus_density_of(density_exponential(c.d1)));
}

template <class Kind, class Real>
KESTRELFIN_LANE_INLINE Real bsm_dual_delta(Kind kind, Real S, Real K, Real t, Real r, Real sigma, Real q) noexcept {
    const auto c = bsm_carry_terms(S, K, t, r, sigma, q);
    return dual_delta_expression(kind, rate_discount(t, r), cdf_by_kind(kind, c.d2));
}

template <class Kind, class Real>
KESTRELFIN_LANE_INLINE Real bsm_dual_gamma(Kind, Real S, Real K, Real t, Real r, Real sigma, Real q) noexcept {
    const auto c = bsm_carry_terms(S, K, t, r, sigma, q);
    return dual_gamma_expression(K, rate_discount(t, r), c, norm_pdf(c.d2));
}

// The price and every Greek in one pass: each logarithm, discount factor,
// density and distribution value is computed once and shared by every
// expression that uses it, so each result is the double the function of its
// own name returns (a NaN's payload aside: where two NaNs meet, which one
// passes on depends on the order of operands).
template <class Kind, class Real>
KESTRELFIN_LANE_INLINE Greeks<Real> bsm_greeks(Kind kind, Real S, Real K, Real t, Real r, Real sigma, Real q) noexcept {
    const MertonCarry<Real> carry{r, q};
    const Real sqrt_t = sqrt_of(t);
    const Real dr = rate_discount(t, r);
    const Real F = S * exp_of_shared(t * (r - q));
    const auto f = first_order_terms(carry, log_of(S / K), sqrt_t, t, sigma);
    const Real n2 = cdf_of_signed(kind, f.d2);
    Greeks<Real> g;
    g.price = dr * undiscounted_black(sign_of(kind), F, K, t, log_of(F / K), sqrt_t, sigma).price;
    generalised_greeks(g, kind, carry, S, K, t, r, sigma, q, dividend_discount(t, q), dr, f, cdf_of_signed(kind, f.d1),
                       n2);
    g.rho = bsm_rho_expression(kind, K, t, dr, n2);
    return g;
}

}  // namespace kestrelfin::core
