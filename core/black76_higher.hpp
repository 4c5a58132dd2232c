// Black-76 higher-order and strike Greeks: vanna, charm, vomma, speed,
// zomma, color, veta, ultima, dual delta, dual gamma.
//
// These are the generalised cost-of-carry formulas evaluated with a carry of
// zero, and they keep that form literally: d1 adds 0 to sigma^2/2, the
// discount factor is exp(t*(0 - r)), and charm, color and veta carry the
// zero-carry terms 0/v and (d1*0)/v. For ordinary inputs those terms vanish
// exactly; they only decide the outcome for degenerate ones (v = 0 or an
// infinite d1 turns them into NaN). The compiler may not fold them away
// under IEEE semantics, so they are written out.
//
// Nothing here is rescaled: vanna, vomma, zomma, ultima are per unit of
// sigma; charm, color, veta are +d/dt per year (t = time to expiry); vomma,
// veta and ultima build on the raw vega sqrt(t)*F*D*phi(d1).
//
// Include "core/black76.hpp" rather than this file directly.
#pragma once

#include <cmath>

#include "core/lanes.hpp"
#include "core/normal.hpp"
#include "core/option_kind.hpp"

namespace kestrelfin::core {

namespace detail {

template <class Real>
struct ZeroCarryTerms {
    Real sqrt_t;
    Real v;  // sigma * sqrt(t)
    Real d1;
    Real d2;
};

template <class Real>
KESTRELFIN_LANE_INLINE ZeroCarryTerms<Real> zero_carry_terms(Real F, Real K, Real t, Real sigma) noexcept {
    ZeroCarryTerms<Real> c;
    c.sqrt_t = sqrt_of(t);
    c.v = sigma * c.sqrt_t;
    c.d1 = (log_of(F / K) + t * (sigma * (sigma * 0.5) + 0.0)) / c.v;
    c.d2 = c.d1 - c.v;
    return c;
}

// exp(t * (b - r)) with b = 0.
template <class Real>
KESTRELFIN_LANE_INLINE Real zero_carry_discount(Real t, Real r) noexcept {
    return exp_of_shared(t * (0.0 - r));
}

// Gamma in this family's grouping: (D*phi(d1)) / (F*v).
template <class Real>
KESTRELFIN_LANE_INLINE Real zero_carry_gamma(Real F, Real D, const ZeroCarryTerms<Real>& c) noexcept {
    return (D * norm_pdf(c.d1)) / (F * c.v);
}

// Raw vega: sqrt(t) * ((F*D) * phi(d1)), 100 times black76_vega.
template <class Real>
KESTRELFIN_LANE_INLINE Real zero_carry_raw_vega(Real F, Real D, const ZeroCarryTerms<Real>& c) noexcept {
    return c.sqrt_t * ((F * D) * norm_pdf(c.d1));
}

// The leading term of color and veta: (b - r) - (b*d1)/v with b = 0.
template <class Real>
KESTRELFIN_LANE_INLINE Real zero_carry_time_term(Real r, const ZeroCarryTerms<Real>& c) noexcept {
    return (0.0 - r) - (c.d1 * 0.0) / c.v;
}

}  // namespace detail

// dDelta/dsigma.
template <class Real>
KESTRELFIN_LANE_INLINE Real black76_vanna(OptionKind, Real F, Real K, Real t, Real r,
                            Real sigma) noexcept {
    const auto c = detail::zero_carry_terms(F, K, t, sigma);
    const Real D = detail::zero_carry_discount(t, r);
    return (c.d2 * (detail::minus_norm_pdf(c.d1) * D)) / sigma;
}

// +dDelta/dt. The put uses N(d1) - 1, sharing the call's single N.
template <class Real>
KESTRELFIN_LANE_INLINE Real black76_charm(OptionKind kind, Real F, Real K, Real t, Real r,
                            Real sigma) noexcept {
    const auto c = detail::zero_carry_terms(F, K, t, sigma);
    const Real D = detail::zero_carry_discount(t, r);
    const Real n1 = norm_cdf(c.d1);
    const Real m = kind == OptionKind::Call ? n1 : n1 - 1.0;
    return (0.0 / c.v - c.d2 / (t + t)) * (D * norm_pdf(c.d1)) + ((0.0 - r) * D) * m;
}

// d(raw vega)/dsigma.
template <class Real>
KESTRELFIN_LANE_INLINE Real black76_vomma(OptionKind, Real F, Real K, Real t, Real r,
                            Real sigma) noexcept {
    const auto c = detail::zero_carry_terms(F, K, t, sigma);
    const Real D = detail::zero_carry_discount(t, r);
    const Real raw_vega = detail::zero_carry_raw_vega(F, D, c);
    return (c.d2 * (c.d1 * raw_vega)) / sigma;
}

// dGamma/dF = -Gamma/F * (1 + d1/v).
template <class Real>
KESTRELFIN_LANE_INLINE Real black76_speed(OptionKind, Real F, Real K, Real t, Real r,
                            Real sigma) noexcept {
    const auto c = detail::zero_carry_terms(F, K, t, sigma);
    const Real D = detail::zero_carry_discount(t, r);
    return (c.d1 / c.v + 1.0) * (((D * detail::minus_norm_pdf(c.d1)) / (F * c.v)) / F);
}

// dGamma/dsigma.
template <class Real>
KESTRELFIN_LANE_INLINE Real black76_zomma(OptionKind, Real F, Real K, Real t, Real r,
                            Real sigma) noexcept {
    const auto c = detail::zero_carry_terms(F, K, t, sigma);
    const Real D = detail::zero_carry_discount(t, r);
    const Real gamma = detail::zero_carry_gamma(F, D, c);
    return ((c.d1 * c.d2 - 1.0) * gamma) / sigma;
}

// +dGamma/dt.
template <class Real>
KESTRELFIN_LANE_INLINE Real black76_color(OptionKind, Real F, Real K, Real t, Real r,
                            Real sigma) noexcept {
    const auto c = detail::zero_carry_terms(F, K, t, sigma);
    const Real D = detail::zero_carry_discount(t, r);
    const Real gamma = detail::zero_carry_gamma(F, D, c);
    return (detail::zero_carry_time_term(r, c) + (c.d1 * c.d2 - 1.0) / (t + t)) * gamma;
}

// +d(raw vega)/dt.
template <class Real>
KESTRELFIN_LANE_INLINE Real black76_veta(OptionKind, Real F, Real K, Real t, Real r,
                           Real sigma) noexcept {
    const auto c = detail::zero_carry_terms(F, K, t, sigma);
    const Real D = detail::zero_carry_discount(t, r);
    const Real raw_vega = detail::zero_carry_raw_vega(F, D, c);
    return (detail::zero_carry_time_term(r, c) + (c.d1 * c.d2 + 1.0) / (t + t)) * raw_vega;
}

// dVomma/dsigma = -raw_vega/sigma^2 * (d1 d2 (1 - d1 d2) + d1^2 + d2^2).
template <class Real>
KESTRELFIN_LANE_INLINE Real black76_ultima(OptionKind, Real F, Real K, Real t, Real r,
                             Real sigma) noexcept {
    const auto c = detail::zero_carry_terms(F, K, t, sigma);
    const Real D = detail::zero_carry_discount(t, r);
    const Real p = c.d1 * c.d2;
    const Real minus_raw_vega = c.sqrt_t * ((F * D) * detail::minus_norm_pdf(c.d1));
    return (c.d2 * c.d2 + (c.d1 * c.d1 + p * (1.0 - p))) * (minus_raw_vega / (sigma * sigma));
}

// The strike Greeks discount with exp(-(r*t)), the factor of the price.

// dPrice/dK: call -(D*N(d2)), put D*N(-d2).
template <class Real>
KESTRELFIN_LANE_INLINE Real black76_dual_delta(OptionKind kind, Real F, Real K, Real t, Real r,
                                 Real sigma) noexcept {
    const auto c = detail::zero_carry_terms(F, K, t, sigma);
    const Real D = exp_of_shared(-(r * t));
    if (kind == OptionKind::Call) {
        return -(D * norm_cdf(c.d2));
    }
    return D * norm_cdf(-c.d2);
}

// d^2Price/dK^2.
template <class Real>
KESTRELFIN_LANE_INLINE Real black76_dual_gamma(OptionKind, Real F, Real K, Real t, Real r,
                                 Real sigma) noexcept {
    const auto c = detail::zero_carry_terms(F, K, t, sigma);
    const Real D = exp_of_shared(-(r * t));
    return (D * norm_pdf(c.d2)) / (K * c.v);
}

}  // namespace kestrelfin::core
