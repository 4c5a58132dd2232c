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
//   * one expression per Greek, taking the intermediates, the discount
//     factors and the values of the normal distribution it needs.
// greeks.hpp puts the layers together once for both models, one function
// per Greek over a model's option and one for all of them at once, which
// computes each shared intermediate a single time; the model headers
// (black_scholes_merton.hpp, black76.hpp) add their price and rho and name
// the functions.
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

// sgn * (F*N(sgn*d1) - K*N(sgn*d2)), given N(sgn*d1) and N(sgn*d2); sgn is
// +1 or -1, for all lanes or lane by lane.
template <class Sign, class Real>
KESTRELFIN_LANE_INLINE Real black_expression(Sign sgn, Real F, Real K, Real n_d1, Real n_d2) noexcept {
    return sgn * (F * n_d1 - K * n_d2);
}

// The undiscounted Black price with d1 = (ln(F/K) + t*(sigma*(sigma*0.5))) /
// (sqrt(t)*sigma), d2 = d1 - sqrt(t)*sigma; ln(F/K) and sqrt(t) given.
template <class Sign, class Real>
KESTRELFIN_LANE_INLINE BlackPrice<Real> undiscounted_black(Sign sgn, Real F, Real K, Real t, Real log_fk, Real sqrt_t,
                                                           Real sigma) noexcept {
    const Real v = sqrt_t * sigma;
    const Real d1 = (log_fk + t * (sigma * (sigma * 0.5))) / v;
    const Real d2 = d1 - v;
    return {black_expression(sgn, F, K, norm_cdf(sgn * d1), norm_cdf(sgn * d2)), d1};
}

// ---- intermediates ---------------------------------------------------------------
// Both forms of d1 take ln(X/K) and sqrt(t), which a caller computes once.

// d1, d2 of the first-order Greeks: d1 = (ln(X/K) + t*drift) / (sigma*sqrt(t)).
template <class Real>
struct FirstOrderTerms {
    Real sqrt_t;
    Real d1;
    Real d2;
};

template <class Real, class Carry>
KESTRELFIN_LANE_INLINE FirstOrderTerms<Real> first_order_terms(const Carry& carry, Real log_xk, Real sqrt_t, Real t,
                                                               Real sigma) noexcept {
    FirstOrderTerms<Real> f;
    f.sqrt_t = sqrt_t;
    const Real v = sigma * sqrt_t;
    f.d1 = (log_xk + t * carry.first_order_drift(sigma * (sigma * 0.5))) / v;
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
KESTRELFIN_LANE_INLINE CarryTerms<Real> carry_terms(const Carry& carry, Real log_xk, Real sqrt_t, Real t,
                                                    Real sigma) noexcept {
    CarryTerms<Real> c;
    c.sqrt_t = sqrt_t;
    c.v = sqrt_t * sigma;
    c.b = carry.b();
    c.b_m_r = carry.b_minus_r();
    c.d1 = (log_xk + t * (c.b + sigma * (sigma * 0.5))) / c.v;
    c.d2 = c.d1 - c.v;
    return c;
}

// The carry terms of an option whose first-order terms are known. The
// carry form's d1 is the first-order d1 with its two summands in the other
// order (b + sigma^2/2 against sigma^2/2 + b, sqrt(t)*sigma against
// sigma*sqrt(t)), the same double, so it is taken over rather than formed
// again; only a NaN's payload could tell the two apart.
template <class Real, class Carry>
KESTRELFIN_LANE_INLINE CarryTerms<Real> carry_terms_given(const Carry& carry, const FirstOrderTerms<Real>& f,
                                                          Real sigma) noexcept {
    CarryTerms<Real> c;
    c.sqrt_t = f.sqrt_t;
    c.v = f.sqrt_t * sigma;
    c.b = carry.b();
    c.b_m_r = carry.b_minus_r();
    c.d1 = f.d1;
    c.d2 = f.d2;
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
// Each expression takes the values of the normal distribution it needs:
// phi_d1 = phi(d1), n_d1 = N(sgn*d1) (N(d1) for a call, N(-d1) for a put),
// n_d2 likewise. Dy is the factor that discounts the underlying
// (exp(-(q*t)) for a spot paying the yield q, exp(-(r*t)) for a forward), Dr
// the risk-free one. Units: vega per percentage point (x 0.01), theta per
// calendar day (-dV/dt / 365), delta and gamma unscaled.

// sgn*Dy*N(sgn*d1). The put is -Dy*N(-d1), not Dy*(N(d1) - 1): far out of the
// money the latter cancels away the digits the former keeps.
template <class Kind, class Real>
KESTRELFIN_LANE_INLINE Real delta_expression(Kind kind, Real dy, Real n_d1) noexcept {
    return (sign_of(kind) * dy) * n_d1;
}

template <class Real>
KESTRELFIN_LANE_INLINE Real gamma_expression(Real X, Real sigma, Real dy, Real sqrt_t, Real phi_d1) noexcept {
    return dy * phi_d1 / (sqrt_t * (X * sigma));
}

// sqrt(t) * X*Dy*phi(d1), per percentage point of sigma.
template <class Real>
KESTRELFIN_LANE_INLINE Real vega_expression(Real X, Real dy, Real sqrt_t, Real phi_d1) noexcept {
    return sqrt_t * ((X * dy) * phi_d1) * 0.01;
}

// -dV/dt / 365, y being the yield the underlying pays (q; r for a forward).
// With A the (positive) time-decay term and B = -y*X*Dy:
//   call: -(A + B N(d1) + r K Dr N(d2)) / 365
//   put:  (B N(-d1) - A + r K Dr N(-d2)) / 365
// The call's numerator is the negated theta; dividing by -365 restores the
// sign without a separate negation.
template <class Kind, class Real>
KESTRELFIN_LANE_INLINE Real theta_expression(Kind kind, Real X, Real K, Real r, Real sigma, Real y, Real dy, Real dr,
                                             Real sqrt_t, Real phi_d1, Real n_d1, Real n_d2) noexcept {
    const Real a = sigma * ((X * dy) * phi_d1) / (sqrt_t + sqrt_t);
    const Real b = -(y * X) * dy;
    const Real rate_term = (K * r) * dr;
    return by_kind(
        kind,
        [&]() KESTRELFIN_LANE_LAMBDA {
            const Real numerator = (a + b * n_d1) + rate_term * n_d2;
            return numerator / (-365.0);
        },
        [&]() KESTRELFIN_LANE_LAMBDA {
            const Real numerator = (b * n_d1 - a) + rate_term * n_d2;
            return numerator / 365.0;
        });
}

// ---- higher-order and strike Greeks ----------------------------------------------
// Nothing here is rescaled: vanna, vomma, zomma, ultima are per unit of
// sigma; charm, color, veta are +d/dt per year (t = time to expiry); vomma,
// veta and ultima build on the raw vega sqrt(t)*X*Dc*phi(d1). Dc is
// carry_discount(); the strike Greeks discount at Dr instead. phi_d1 and
// minus_phi_d1 are phi and -phi of the carry form's d1.

// dDelta/dsigma.
template <class Real>
KESTRELFIN_LANE_INLINE Real vanna_expression(Real sigma, Real dc, const CarryTerms<Real>& c,
                                             Real minus_phi_d1) noexcept {
    return c.d2 * (minus_phi_d1 * dc) / sigma;
}

// +dDelta/dt; n_d1 = N(d1) for either kind. The put takes N(d1) - 1 (as
// N(d1) + (-1)), not -N(-d1): it shares the call's single evaluation of N.
template <class Kind, class Real>
KESTRELFIN_LANE_INLINE Real charm_expression(Kind kind, Real t, Real dc, const CarryTerms<Real>& c, Real phi_d1,
                                             Real n_d1) noexcept {
    const Real m = by_kind(
        kind, [&]() KESTRELFIN_LANE_LAMBDA { return n_d1; }, [&]() KESTRELFIN_LANE_LAMBDA { return n_d1 + (-1.0); });
    return (c.b / c.v - c.d2 / (t + t)) * (dc * phi_d1) + (c.b_m_r * dc) * m;
}

// d(raw vega)/dsigma.
template <class Real>
KESTRELFIN_LANE_INLINE Real vomma_expression(Real X, Real sigma, Real dc, const CarryTerms<Real>& c,
                                             Real phi_d1) noexcept {
    const Real raw_vega = c.sqrt_t * ((X * dc) * phi_d1);
    return c.d2 * (c.d1 * raw_vega) / sigma;
}

// dGamma/dX = -Gamma/X * (1 + d1/v).
template <class Real>
KESTRELFIN_LANE_INLINE Real speed_expression(Real X, Real dc, const CarryTerms<Real>& c, Real minus_phi_d1) noexcept {
    return (c.d1 / c.v + 1.0) * ((dc * minus_phi_d1) / (X * c.v) / X);
}

// Gamma in the grouping of the higher-order Greeks: (Dc*phi(d1)) / (X*v).
template <class Real>
KESTRELFIN_LANE_INLINE Real carry_gamma(Real X, Real dc, const CarryTerms<Real>& c, Real phi_d1) noexcept {
    return (dc * phi_d1) / (X * c.v);
}

// dGamma/dsigma.
template <class Real>
KESTRELFIN_LANE_INLINE Real zomma_expression(Real X, Real sigma, Real dc, const CarryTerms<Real>& c,
                                             Real phi_d1) noexcept {
    return (c.d1 * c.d2 + (-1.0)) * carry_gamma(X, dc, c, phi_d1) / sigma;
}

// +dGamma/dt.
template <class Real>
KESTRELFIN_LANE_INLINE Real color_expression(Real X, Real t, Real dc, const CarryTerms<Real>& c, Real phi_d1) noexcept {
    return ((c.b_m_r - (c.b * c.d1) / c.v) + (c.d1 * c.d2 + (-1.0)) / (t + t)) * carry_gamma(X, dc, c, phi_d1);
}

// +d(raw vega)/dt.
template <class Real>
KESTRELFIN_LANE_INLINE Real veta_expression(Real X, Real t, Real dc, const CarryTerms<Real>& c, Real phi_d1) noexcept {
    const Real raw_vega = c.sqrt_t * ((X * dc) * phi_d1);
    return ((c.b_m_r - (c.b * c.d1) / c.v) + (c.d1 * c.d2 + 1.0) / (t + t)) * raw_vega;
}

// dVomma/dsigma = -raw_vega/sigma^2 * (d1 d2 (1 - d1 d2) + d1^2 + d2^2).
template <class Real>
KESTRELFIN_LANE_INLINE Real ultima_expression(Real X, Real sigma, Real dc, const CarryTerms<Real>& c,
                                              Real minus_phi_d1) noexcept {
    const Real p = c.d1 * c.d2;
    const Real minus_raw_vega = c.sqrt_t * ((X * dc) * minus_phi_d1);
    return (c.d2 * c.d2 + (c.d1 * c.d1 + p * (1.0 - p))) * (minus_raw_vega / (sigma * sigma));
}

// dV/dK, with n_d2 = N(d2) for a call and N(-d2) for a put (so that the
// put's small values keep their digits). The call negates its product
// after forming it.
template <class Kind, class Real>
KESTRELFIN_LANE_INLINE Real dual_delta_expression(Kind kind, Real dr, Real n_d2) noexcept {
    return by_kind(
        kind, [&]() KESTRELFIN_LANE_LAMBDA { return -(dr * n_d2); },
        [&]() KESTRELFIN_LANE_LAMBDA { return dr * n_d2; });
}

// d^2V/dK^2, with phi_d2 = phi(d2).
template <class Real>
KESTRELFIN_LANE_INLINE Real dual_gamma_expression(Real K, Real dr, const CarryTerms<Real>& c, Real phi_d2) noexcept {
    return dr * phi_d2 / (K * c.v);
}

// ---- the distribution values the expressions take --------------------------------

// N(sgn*x) in the two ways the formulas write it: as the product sgn*x (the
// price, delta, rho) or as x itself for a call and -x for a put (theta, dual
// delta). The two give the same number; only a NaN keeps its sign through
// the product, while the negation flips it.
template <class Kind, class Real>
KESTRELFIN_LANE_INLINE Real cdf_of_signed(Kind kind, Real x) noexcept {
    return norm_cdf(sign_of(kind) * x);
}

template <class Kind, class Real>
KESTRELFIN_LANE_INLINE Real cdf_by_kind(Kind kind, Real x) noexcept {
    return by_kind(
        kind, [&]() KESTRELFIN_LANE_LAMBDA { return norm_cdf(x); },
        [&]() KESTRELFIN_LANE_LAMBDA { return norm_cdf(-x); });
}

}  // namespace kestrelfin::core
