// Black-Scholes-Merton higher-order and strike Greeks: vanna, charm, vomma,
// speed, zomma, color, veta, ultima, dual delta, dual gamma.
//
// These are written in the generalised cost-of-carry form: the dividend
// yield enters only through the carry b = r - q, and the dividend discount
// factor is Dc = exp(t * ((r - q) - r)). In exact arithmetic that is
// exp(-q t), but (r - q) - r is not always exactly -q, so Dc may differ in
// the last bit from the Dq = exp(-(q*t)) of the first-order Greeks. The two
// factors are deliberately not interchanged.
//
// Nothing here is rescaled: vanna, vomma, zomma, ultima are per unit of
// sigma; charm, color, veta are +d/dt per year (t = time to expiry).
//
// Include "core/black_scholes_merton.hpp" rather than this file directly.
#pragma once

#include <cmath>

#include "core/lanes.hpp"
#include "core/normal.hpp"
#include "core/option_kind.hpp"

namespace kestrelfin::core {

namespace detail {

// The intermediate quantities shared by the eight carry-form Greeks.
template <class Real>
struct CarryTerms {
    Real sqrt_t;
    Real v;       // sqrt(t) * sigma
    Real b;       // r - q
    Real b_m_r;   // (r - q) - r, i.e. -q as the carry form rounds it
    Real d1;
    Real d2;
};

template <class Real>
KESTRELFIN_LANE_INLINE CarryTerms<Real> carry_terms(Real S, Real K, Real t, Real r, Real sigma,
                              Real q) noexcept {
    CarryTerms<Real> c;
    c.sqrt_t = sqrt_of(t);
    c.v = c.sqrt_t * sigma;
    c.b = r - q;
    c.b_m_r = (r - q) - r;
    c.d1 = (log_of(S / K) + t * (c.b + sigma * (sigma * 0.5))) / c.v;
    c.d2 = c.d1 - c.v;
    return c;
}

// The carry discount factor Dc = exp(t * (b - r)).
template <class Real>
KESTRELFIN_LANE_INLINE Real carry_discount(Real t, const CarryTerms<Real>& c) noexcept {
    return exp_of_shared(t * c.b_m_r);
}

}  // namespace detail

// dDelta/dsigma.
template <class Real>
KESTRELFIN_LANE_INLINE Real bsm_vanna(OptionKind, Real S, Real K, Real t, Real r, Real sigma,
                        Real q) noexcept {
    const auto c = detail::carry_terms(S, K, t, r, sigma, q);
    const Real dc = detail::carry_discount(t, c);
    return c.d2 * (detail::minus_norm_pdf(c.d1) * dc) / sigma;
}

// +dDelta/dt. The put takes N(d1) - 1 (as N(d1) + (-1)), not -N(-d1): it
// shares the call's single evaluation of N.
template <class Real>
KESTRELFIN_LANE_INLINE Real bsm_charm(OptionKind kind, Real S, Real K, Real t, Real r, Real sigma,
                        Real q) noexcept {
    const auto c = detail::carry_terms(S, K, t, r, sigma, q);
    const Real dc = detail::carry_discount(t, c);
    const Real n1 = norm_cdf(c.d1);
    const Real m = kind == OptionKind::Call ? n1 : n1 + (-1.0);
    return (c.b / c.v - c.d2 / (t + t)) * (dc * norm_pdf(c.d1)) + (c.b_m_r * dc) * m;
}

// d(raw vega)/dsigma, raw vega = sqrt(t) * S * Dc * phi(d1) (unscaled).
template <class Real>
KESTRELFIN_LANE_INLINE Real bsm_vomma(OptionKind, Real S, Real K, Real t, Real r, Real sigma,
                        Real q) noexcept {
    const auto c = detail::carry_terms(S, K, t, r, sigma, q);
    const Real dc = detail::carry_discount(t, c);
    const Real raw_vega = c.sqrt_t * ((S * dc) * norm_pdf(c.d1));
    return c.d2 * (c.d1 * raw_vega) / sigma;
}

// dGamma/dS = -Gamma/S * (1 + d1/v).
template <class Real>
KESTRELFIN_LANE_INLINE Real bsm_speed(OptionKind, Real S, Real K, Real t, Real r, Real sigma,
                        Real q) noexcept {
    const auto c = detail::carry_terms(S, K, t, r, sigma, q);
    const Real dc = detail::carry_discount(t, c);
    return (c.d1 / c.v + 1.0) * ((dc * detail::minus_norm_pdf(c.d1)) / (S * c.v) / S);
}

// dGamma/dsigma.
template <class Real>
KESTRELFIN_LANE_INLINE Real bsm_zomma(OptionKind, Real S, Real K, Real t, Real r, Real sigma,
                        Real q) noexcept {
    const auto c = detail::carry_terms(S, K, t, r, sigma, q);
    const Real dc = detail::carry_discount(t, c);
    const Real gamma = (dc * norm_pdf(c.d1)) / (S * c.v);
    return (c.d1 * c.d2 + (-1.0)) * gamma / sigma;
}

// +dGamma/dt.
template <class Real>
KESTRELFIN_LANE_INLINE Real bsm_color(OptionKind, Real S, Real K, Real t, Real r, Real sigma,
                        Real q) noexcept {
    const auto c = detail::carry_terms(S, K, t, r, sigma, q);
    const Real dc = detail::carry_discount(t, c);
    const Real gamma = (dc * norm_pdf(c.d1)) / (S * c.v);
    return ((c.b_m_r - (c.b * c.d1) / c.v) + (c.d1 * c.d2 + (-1.0)) / (t + t)) * gamma;
}

// +d(raw vega)/dt.
template <class Real>
KESTRELFIN_LANE_INLINE Real bsm_veta(OptionKind, Real S, Real K, Real t, Real r, Real sigma,
                       Real q) noexcept {
    const auto c = detail::carry_terms(S, K, t, r, sigma, q);
    const Real dc = detail::carry_discount(t, c);
    const Real raw_vega = c.sqrt_t * ((S * dc) * norm_pdf(c.d1));
    return ((c.b_m_r - (c.b * c.d1) / c.v) + (c.d1 * c.d2 + 1.0) / (t + t)) * raw_vega;
}

// dVomma/dsigma = -raw_vega/sigma^2 * (d1 d2 (1 - d1 d2) + d1^2 + d2^2).
template <class Real>
KESTRELFIN_LANE_INLINE Real bsm_ultima(OptionKind, Real S, Real K, Real t, Real r, Real sigma,
                         Real q) noexcept {
    const auto c = detail::carry_terms(S, K, t, r, sigma, q);
    const Real dc = detail::carry_discount(t, c);
    const Real p = c.d1 * c.d2;
    const Real minus_raw_vega = c.sqrt_t * ((S * dc) * detail::minus_norm_pdf(c.d1));
    return (c.d2 * c.d2 + (c.d1 * c.d1 + p * (1.0 - p))) * (minus_raw_vega / (sigma * sigma));
}

// The strike Greeks discount at Dr = exp(-(r*t)), not at the carry factor.

// dV/dK. The call negates its product after forming it; the put evaluates N
// at -d2 so that its small values keep their digits.
template <class Real>
KESTRELFIN_LANE_INLINE Real bsm_dual_delta(OptionKind kind, Real S, Real K, Real t, Real r,
                             Real sigma, Real q) noexcept {
    const Real d2 = detail::carry_terms(S, K, t, r, sigma, q).d2;
    const Real dr = exp_of_shared(-(r * t));
    if (kind == OptionKind::Call) {
        return -(dr * norm_cdf(d2));
    }
    return dr * norm_cdf(-d2);
}

// d^2V/dK^2.
template <class Real>
KESTRELFIN_LANE_INLINE Real bsm_dual_gamma(OptionKind, Real S, Real K, Real t, Real r, Real sigma,
                             Real q) noexcept {
    const auto c = detail::carry_terms(S, K, t, r, sigma, q);
    const Real dr = exp_of_shared(-(r * t));
    return dr * norm_pdf(c.d2) / (K * c.v);
}

// Black-Scholes: exactly the Black-Scholes-Merton value with q = +0.0.

template <class Real>
KESTRELFIN_LANE_INLINE Real bs_vanna(OptionKind kind, Real S, Real K, Real t, Real r,
                       Real sigma) noexcept {
    return bsm_vanna(kind, S, K, t, r, sigma, Real{});
}
template <class Real>
KESTRELFIN_LANE_INLINE Real bs_charm(OptionKind kind, Real S, Real K, Real t, Real r,
                       Real sigma) noexcept {
    return bsm_charm(kind, S, K, t, r, sigma, Real{});
}
template <class Real>
KESTRELFIN_LANE_INLINE Real bs_vomma(OptionKind kind, Real S, Real K, Real t, Real r,
                       Real sigma) noexcept {
    return bsm_vomma(kind, S, K, t, r, sigma, Real{});
}
template <class Real>
KESTRELFIN_LANE_INLINE Real bs_speed(OptionKind kind, Real S, Real K, Real t, Real r,
                       Real sigma) noexcept {
    return bsm_speed(kind, S, K, t, r, sigma, Real{});
}
template <class Real>
KESTRELFIN_LANE_INLINE Real bs_zomma(OptionKind kind, Real S, Real K, Real t, Real r,
                       Real sigma) noexcept {
    return bsm_zomma(kind, S, K, t, r, sigma, Real{});
}
template <class Real>
KESTRELFIN_LANE_INLINE Real bs_color(OptionKind kind, Real S, Real K, Real t, Real r,
                       Real sigma) noexcept {
    return bsm_color(kind, S, K, t, r, sigma, Real{});
}
template <class Real>
KESTRELFIN_LANE_INLINE Real bs_veta(OptionKind kind, Real S, Real K, Real t, Real r,
                      Real sigma) noexcept {
    return bsm_veta(kind, S, K, t, r, sigma, Real{});
}
template <class Real>
KESTRELFIN_LANE_INLINE Real bs_ultima(OptionKind kind, Real S, Real K, Real t, Real r,
                        Real sigma) noexcept {
    return bsm_ultima(kind, S, K, t, r, sigma, Real{});
}
template <class Real>
KESTRELFIN_LANE_INLINE Real bs_dual_delta(OptionKind kind, Real S, Real K, Real t, Real r,
                            Real sigma) noexcept {
    return bsm_dual_delta(kind, S, K, t, r, sigma, Real{});
}
template <class Real>
KESTRELFIN_LANE_INLINE Real bs_dual_gamma(OptionKind kind, Real S, Real K, Real t, Real r,
                            Real sigma) noexcept {
    return bsm_dual_gamma(kind, S, K, t, r, sigma, Real{});
}

}  // namespace kestrelfin::core
