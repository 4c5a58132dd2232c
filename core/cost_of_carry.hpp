// The generalised Black-Scholes model: an underlying X (a spot price S or a
// forward F) that grows at the cost of carry b, options discounted at the
// rate r. Black-Scholes-Merton (X = S, b = r - q) and Black-76 (X = F, b = 0)
// are its instances, so every formula they share is written here once; each
// model says how it forms its carry and discount factors and passes them in.
//
// The formulas come in three layers:
//   * the Black price of an option on a forward, undiscounted: the price of
//     both models and the function the implied-volatility solver inverts;
//   * the intermediates of the Greeks: d1, d2 and sqrt(t) in the first-order
//     form (FirstOrderTerms) and in the cost-of-carry form of the
//     higher-order Greeks (CarryTerms);
//   * one expression per Greek, taking the intermediates and the discount
//     factors it needs.
// The model headers (black_scholes_merton.hpp, black76.hpp) put the layers
// together; a caller that wants several Greeks of one option can compute each
// intermediate once and apply several expressions to it.
//
// A Carry describes one model's carry, with the grouping its formulas use:
//   first_order_drift(h)  the term added to ln(X/K) / t in the first-order d1,
//                         given h = sigma*(sigma*0.5)
//   b()                   the carry b of the higher-order Greeks' d1
//   b_minus_r()           b - r as the model forms it, the exponent (per unit
//                         of t) of the carry discount factor Dc = exp(t*(b - r))
//
// Every multiplication, division, addition and subtraction is one separately
// rounded double operation in the grouping written; a regrouped product
// changes the last bit.
#pragma once

#include "core/lanes.hpp"
#include "core/normal.hpp"
#include "core/option_kind.hpp"

namespace kestrelfin::core {

// ---- the Black price on a forward -----------------------------------------------

template <class Real>
struct BlackPrice {
    Real price;  // undiscounted
    Real d1;
};

// sgn * (F*N(sgn*d1) - K*N(sgn*d2)) with d1 = (ln(F/K) + t*(sigma*(sigma*0.5)))
// / (sqrt(t)*sigma), d2 = d1 - sqrt(t)*sigma; ln(F/K) and sqrt(t) given.
template <class Real>
KESTRELFIN_LANE_INLINE BlackPrice<Real> undiscounted_black(double sgn, Real F, Real K, Real t, Real log_fk,
                                                           Real sqrt_t, Real sigma) noexcept {
    const Real v = sqrt_t * sigma;
    const Real d1 = (log_fk + t * (sigma * (sigma * 0.5))) / v;
    const Real d2 = d1 - v;
    return {sgn * (F * norm_cdf(sgn * d1) - K * norm_cdf(sgn * d2)), d1};
}

// ---- intermediates ---------------------------------------------------------------

// d1, d2 of the first-order Greeks: d1 = (ln(X/K) + t*drift) / (sigma*sqrt(t)).
template <class Real>
struct FirstOrderTerms {
    Real sqrt_t;
    Real d1;
    Real d2;
};

template <class Real, class Carry>
KESTRELFIN_LANE_INLINE FirstOrderTerms<Real> first_order_terms(const Carry& carry, Real X, Real K, Real t,
                                                               Real sigma) noexcept {
    FirstOrderTerms<Real> f;
    f.sqrt_t = sqrt_of(t);
    const Real v = sigma * f.sqrt_t;
    f.d1 = (log_of(X / K) + t * carry.first_order_drift(sigma * (sigma * 0.5))) / v;
    f.d2 = f.d1 - v;
    return f;
}

// The intermediates of the higher-order and strike Greeks, in the
// cost-of-carry form: d1 = (ln(X/K) + t*(b + sigma*(sigma*0.5))) / v.
template <class Real>
struct CarryTerms {
    Real sqrt_t;
    Real v;      // sqrt(t) * sigma
    Real b;      // the carry
    Real b_m_r;  // b - r, as the model forms it
    Real d1;
    Real d2;
};

template <class Real, class Carry>
KESTRELFIN_LANE_INLINE CarryTerms<Real> carry_terms(const Carry& carry, Real X, Real K, Real t,
                                                    Real sigma) noexcept {
    CarryTerms<Real> c;
    c.sqrt_t = sqrt_of(t);
    c.v = c.sqrt_t * sigma;
    c.b = carry.b();
    c.b_m_r = carry.b_minus_r();
    c.d1 = (log_of(X / K) + t * (c.b + sigma * (sigma * 0.5))) / c.v;
    c.d2 = c.d1 - c.v;
    return c;
}

// The carry discount factor Dc = exp(t * (b - r)) of the eight Greeks from
// vanna to ultima. In exact arithmetic it is the factor the first-order
// Greeks discount the underlying with, but it is formed from b and rounds
// differently, so the two are never interchanged.
template <class Real>
KESTRELFIN_LANE_INLINE Real carry_discount(Real t, const CarryTerms<Real>& c) noexcept {
    return exp_of_shared(t * c.b_m_r);
}

// The risk-free discount factor Dr = exp(-(r*t)).
template <class Real>
KESTRELFIN_LANE_INLINE Real rate_discount(Real t, Real r) noexcept {
    return exp_of_shared(-(r * t));
}

// ---- first-order Greeks -----------------------------------------------------------
// Dy is the factor that discounts the underlying (exp(-(q*t)) for a spot
// paying the yield q, exp(-(r*t)) for a forward), Dr the risk-free one.
// Units: vega per percentage point (x 0.01), theta per calendar day
// (-dV/dt / 365), delta and gamma unscaled.

// sgn*Dy*N(sgn*d1). The put is -Dy*N(-d1), not Dy*(N(d1) - 1): far out of the
// money the latter cancels away the digits the former keeps.
template <class Real>
KESTRELFIN_LANE_INLINE Real delta_expression(OptionKind kind, Real dy, const FirstOrderTerms<Real>& f) noexcept {
    const double sgn = sign_of(kind);
    return (sgn * dy) * norm_cdf(sgn * f.d1);
}

template <class Real>
KESTRELFIN_LANE_INLINE Real gamma_expression(Real X, Real sigma, Real dy, const FirstOrderTerms<Real>& f) noexcept {
    return dy * norm_pdf(f.d1) / (f.sqrt_t * (X * sigma));
}

// sqrt(t) * X*Dy*phi(d1), per percentage point of sigma.
template <class Real>
KESTRELFIN_LANE_INLINE Real vega_expression(Real X, Real dy, const FirstOrderTerms<Real>& f) noexcept {
    return f.sqrt_t * ((X * dy) * norm_pdf(f.d1)) * 0.01;
}

// -dV/dt / 365, y being the yield the underlying pays (q; r for a forward).
// With A the (positive) time-decay term and B = -y*X*Dy:
//   call: -(A + B N(d1) + r K Dr N(d2)) / 365
//   put:  (B N(-d1) - A + r K Dr N(-d2)) / 365
// The call's numerator is the negated theta; dividing by -365 restores the
// sign without a separate negation.
template <class Real>
KESTRELFIN_LANE_INLINE Real theta_expression(OptionKind kind, Real X, Real K, Real r, Real sigma, Real y, Real dy,
                                             Real dr, const FirstOrderTerms<Real>& f) noexcept {
    const Real a = sigma * ((X * dy) * norm_pdf(f.d1)) / (f.sqrt_t + f.sqrt_t);
    const Real b = -(y * X) * dy;
    const Real rate_term = (K * r) * dr;
    if (kind == OptionKind::Call) {
        const Real numerator = (a + b * norm_cdf(f.d1)) + rate_term * norm_cdf(f.d2);
        return numerator / (-365.0);
    }
    const Real numerator = (b * norm_cdf(-f.d1) - a) + rate_term * norm_cdf(-f.d2);
    return numerator / 365.0;
}

// ---- higher-order and strike Greeks ----------------------------------------------
// Nothing here is rescaled: vanna, vomma, zomma, ultima are per unit of
// sigma; charm, color, veta are +d/dt per year (t = time to expiry); vomma,
// veta and ultima build on the raw vega sqrt(t)*X*Dc*phi(d1). Dc is
// carry_discount(); the strike Greeks discount at Dr instead.

// dDelta/dsigma.
template <class Real>
KESTRELFIN_LANE_INLINE Real vanna_expression(Real sigma, Real dc, const CarryTerms<Real>& c) noexcept {
    return c.d2 * (detail::minus_norm_pdf(c.d1) * dc) / sigma;
}

// +dDelta/dt. The put takes N(d1) - 1 (as N(d1) + (-1)), not -N(-d1): it
// shares the call's single evaluation of N.
template <class Real>
KESTRELFIN_LANE_INLINE Real charm_expression(OptionKind kind, Real t, Real dc, const CarryTerms<Real>& c) noexcept {
    const Real n1 = norm_cdf(c.d1);
    const Real m = kind == OptionKind::Call ? n1 : n1 + (-1.0);
    return (c.b / c.v - c.d2 / (t + t)) * (dc * norm_pdf(c.d1)) + (c.b_m_r * dc) * m;
}

// d(raw vega)/dsigma.
template <class Real>
KESTRELFIN_LANE_INLINE Real vomma_expression(Real X, Real sigma, Real dc, const CarryTerms<Real>& c) noexcept {
    const Real raw_vega = c.sqrt_t * ((X * dc) * norm_pdf(c.d1));
    return c.d2 * (c.d1 * raw_vega) / sigma;
}

// dGamma/dX = -Gamma/X * (1 + d1/v).
template <class Real>
KESTRELFIN_LANE_INLINE Real speed_expression(Real X, Real dc, const CarryTerms<Real>& c) noexcept {
    return (c.d1 / c.v + 1.0) * ((dc * detail::minus_norm_pdf(c.d1)) / (X * c.v) / X);
}

// Gamma in the grouping of the higher-order Greeks: (Dc*phi(d1)) / (X*v).
template <class Real>
KESTRELFIN_LANE_INLINE Real carry_gamma(Real X, Real dc, const CarryTerms<Real>& c) noexcept {
    return (dc * norm_pdf(c.d1)) / (X * c.v);
}

// dGamma/dsigma.
template <class Real>
KESTRELFIN_LANE_INLINE Real zomma_expression(Real X, Real sigma, Real dc, const CarryTerms<Real>& c) noexcept {
    return (c.d1 * c.d2 + (-1.0)) * carry_gamma(X, dc, c) / sigma;
}

// +dGamma/dt.
template <class Real>
KESTRELFIN_LANE_INLINE Real color_expression(Real X, Real t, Real dc, const CarryTerms<Real>& c) noexcept {
    return ((c.b_m_r - (c.b * c.d1) / c.v) + (c.d1 * c.d2 + (-1.0)) / (t + t)) * carry_gamma(X, dc, c);
}

// +d(raw vega)/dt.
template <class Real>
KESTRELFIN_LANE_INLINE Real veta_expression(Real X, Real t, Real dc, const CarryTerms<Real>& c) noexcept {
    const Real raw_vega = c.sqrt_t * ((X * dc) * norm_pdf(c.d1));
    return ((c.b_m_r - (c.b * c.d1) / c.v) + (c.d1 * c.d2 + 1.0) / (t + t)) * raw_vega;
}

// dVomma/dsigma = -raw_vega/sigma^2 * (d1 d2 (1 - d1 d2) + d1^2 + d2^2).
template <class Real>
KESTRELFIN_LANE_INLINE Real ultima_expression(Real X, Real sigma, Real dc, const CarryTerms<Real>& c) noexcept {
    const Real p = c.d1 * c.d2;
    const Real minus_raw_vega = c.sqrt_t * ((X * dc) * detail::minus_norm_pdf(c.d1));
    return (c.d2 * c.d2 + (c.d1 * c.d1 + p * (1.0 - p))) * (minus_raw_vega / (sigma * sigma));
}

// dV/dK. The call negates its product after forming it; the put evaluates N
// at -d2 so that its small values keep their digits.
template <class Real>
KESTRELFIN_LANE_INLINE Real dual_delta_expression(OptionKind kind, Real dr, const CarryTerms<Real>& c) noexcept {
    if (kind == OptionKind::Call) {
        return -(dr * norm_cdf(c.d2));
    }
    return dr * norm_cdf(-c.d2);
}

// d^2V/dK^2.
template <class Real>
KESTRELFIN_LANE_INLINE Real dual_gamma_expression(Real K, Real dr, const CarryTerms<Real>& c) noexcept {
    return dr * norm_pdf(c.d2) / (K * c.v);
}

}  // namespace kestrelfin::core
