// Black-76: European options on a forward or futures price F, discounted at
// r. Price and every Greek, as instances of the generalised model
// (cost_of_carry.hpp) with a carry of zero: the forward does not grow, and
// the underlying is discounted at r like the option itself.
//
// Units: vega and rho per percentage point (x 0.01), theta per calendar day
// (-dV/dt / 365), delta and gamma unscaled; the higher-order Greeks
// unscaled, charm, color and veta +d/dt per year. Rho is -t * price * 0.01:
// the forward does not depend on r, only the discount factor does.
//
// The higher-order Greeks keep the cost-of-carry form literally with b = 0:
// d1 adds 0 to sigma^2/2, the carry discount factor is exp(t*(0 - r)), and
// charm, color and veta carry the zero-carry terms 0/v and (0*d1)/v. For
// ordinary inputs those terms vanish exactly; they only decide the outcome
// for degenerate ones (v = 0 or an infinite d1 turns them into NaN).
#pragma once

#include "core/cost_of_carry.hpp"
#include "core/lanes.hpp"
#include "core/option_kind.hpp"

namespace kestrelfin::core {

// The carry of a forward: b = 0. The first-order d1 adds nothing to
// sigma^2/2; the higher-order one adds this zero, which leaves sigma^2/2
// unchanged (it is never -0, and a NaN keeps its payload through it).
template <class Real>
struct ZeroCarry {
    Real r;
    KESTRELFIN_LANE_INLINE Real first_order_drift(Real half_variance) const noexcept { return half_variance; }
    KESTRELFIN_LANE_INLINE Real b() const noexcept { return Real{}; }
    KESTRELFIN_LANE_INLINE Real b_minus_r() const noexcept { return 0.0 - r; }
};

// D * sgn * (F*N(sgn*d1) - K*N(sgn*d2)).
template <class Kind, class Real>
KESTRELFIN_LANE_INLINE Real black76_black(Kind kind, Real F, Real K, Real t, Real r, Real sigma) noexcept {
    const Real D = rate_discount(t, r);
    return D * undiscounted_black(sign_of(kind), F, K, t, log_of(F / K), sqrt_of(t), sigma).price;
}

// The two forms of d1 of the forward F, with ln(F/K) and sqrt(t) computed
// here.
template <class Real>
KESTRELFIN_LANE_INLINE FirstOrderTerms<Real> black76_first_order_terms(Real F, Real K, Real t, Real r,
                                                                       Real sigma) noexcept {
    return first_order_terms(ZeroCarry<Real>{r}, log_of(F / K), sqrt_of(t), t, sigma);
}

template <class Real>
KESTRELFIN_LANE_INLINE CarryTerms<Real> black76_carry_terms(Real F, Real K, Real t, Real r, Real sigma) noexcept {
    return carry_terms(ZeroCarry<Real>{r}, log_of(F / K), sqrt_of(t), t, sigma);
}

// The first-order Greeks discount the forward at r: Dy = D.

template <class Kind, class Real>
KESTRELFIN_LANE_INLINE Real black76_delta(Kind kind, Real F, Real K, Real t, Real r, Real sigma) noexcept {
    const auto f = black76_first_order_terms(F, K, t, r, sigma);
    return delta_expression(kind, rate_discount(t, r), cdf_of_signed(kind, f.d1));
}

template <class Kind, class Real>
KESTRELFIN_LANE_INLINE Real black76_gamma(Kind, Real F, Real K, Real t, Real r, Real sigma) noexcept {
    const auto f = black76_first_order_terms(F, K, t, r, sigma);
    return gamma_expression(F, sigma, rate_discount(t, r), f.sqrt_t, norm_pdf(f.d1));
}

template <class Kind, class Real>
KESTRELFIN_LANE_INLINE Real black76_vega(Kind, Real F, Real K, Real t, Real r, Real sigma) noexcept {
    const auto f = black76_first_order_terms(F, K, t, r, sigma);
    return vega_expression(F, rate_discount(t, r), f.sqrt_t, norm_pdf(f.d1));
}

// -dV/dt / 365 = (r*price - F*D*phi(d1)*sigma/(2 sqrt t)) / 365: the
// generalised theta with the forward "paying" r.
template <class Kind, class Real>
KESTRELFIN_LANE_INLINE Real black76_theta(Kind kind, Real F, Real K, Real t, Real r, Real sigma) noexcept {
    const auto f = black76_first_order_terms(F, K, t, r, sigma);
    const Real D = rate_discount(t, r);
    return theta_expression(kind, F, K, r, sigma, r, D, D, f.sqrt_t, norm_pdf(f.d1), cdf_by_kind(kind, f.d1),
                            cdf_by_kind(kind, f.d2));
}

// dV/dr * 0.01 = -t * price * 0.01, from the price exactly as black76_black
// computes it.
template <class Real>
KESTRELFIN_LANE_INLINE Real black76_rho_expression(Real t, Real price) noexcept {
    return price * t * (-0.01);
}

template <class Kind, class Real>
KESTRELFIN_LANE_INLINE Real black76_rho(Kind kind, Real F, Real K, Real t, Real r, Real sigma) noexcept {
    return black76_rho_expression(t, black76_black(kind, F, K, t, r, sigma));
}

// The higher-order and strike Greeks in the cost-of-carry form.

template <class Kind, class Real>
KESTRELFIN_LANE_INLINE Real black76_vanna(Kind, Real F, Real K, Real t, Real r, Real sigma) noexcept {
    const auto c = black76_carry_terms(F, K, t, r, sigma);
    return vanna_expression(sigma, carry_discount(t, c), c, minus_density_of(density_exponential(c.d1)));
}

template <class Kind, class Real>
KESTRELFIN_LANE_INLINE Real black76_charm(Kind kind, Real F, Real K, Real t, Real r, Real sigma) noexcept {
    const auto c = black76_carry_terms(F, K, t, r, sigma);
    return charm_expression(kind, t, carry_discount(t, c), c, norm_pdf(c.d1), norm_cdf(c.d1));
}

template <class Kind, class Real>
KESTRELFIN_LANE_INLINE Real black76_vomma(Kind, Real F, Real K, Real t, Real r, Real sigma) noexcept {
    const auto c = black76_carry_terms(F, K, t, r, sigma);
    return vomma_expression(F, sigma, carry_discount(t, c), c, norm_pdf(c.d1));
}

template <class Kind, class Real>
KESTRELFIN_LANE_INLINE Real black76_speed(Kind, Real F, Real K, Real t, Real r, Real sigma) noexcept {
    const auto c = black76_carry_terms(F, K, t, r, sigma);
    return speed_expression(F, carry_discount(t, c), c, minus_density_of(density_exponential(c.d1)));
}

template <class Kind, class Real>
KESTRELFIN_LANE_INLINE Real black76_zomma(Kind, Real F, Real K, Real t, Real r, Real sigma) noexcept {
    const auto c = black76_carry_terms(F, K, t, r, sigma);
    return zomma_expression(F, sigma, carry_discount(t, c), c, norm_pdf(c.d1));
}

template <class Kind, class Real>
KESTRELFIN_LANE_INLINE Real black76_color(Kind, Real F, Real K, Real t, Real r, Real sigma) noexcept {
    const auto c = black76_carry_terms(F, K, t, r, sigma);
    return color_expression(F, t, carry_discount(t, c), c, norm_pdf(c.d1));
}

template <class Kind, class Real>
KESTRELFIN_LANE_INLINE Real black76_veta(Kind, Real F, Real K, Real t, Real r, Real sigma) noexcept {
    const auto c = black76_carry_terms(F, K, t, r, sigma);
    return veta_expression(F, t, carry_discount(t, c), c, norm_pdf(c.d1));
}

template <class Kind, class Real>
KESTRELFIN_LANE_INLINE Real black76_ultima(Kind, Real F, Real K, Real t, Real r, Real sigma) noexcept {
    const auto c = black76_carry_terms(F, K, t, r, sigma);
    return ultima_expression(F, sigma, carry_discount(t, c), c, minus_density_of(density_exponential(c.d1)));
}

template <class Kind, class Real>
KESTRELFIN_LANE_INLINE Real black76_dual_delta(Kind kind, Real F, Real K, Real t, Real r, Real sigma) noexcept {
    const auto c = black76_carry_terms(F, K, t, r, sigma);
    return dual_delta_expression(kind, rate_discount(t, r), cdf_by_kind(kind, c.d2));
}

template <class Kind, class Real>
KESTRELFIN_LANE_INLINE Real black76_dual_gamma(Kind, Real F, Real K, Real t, Real r, Real sigma) noexcept {
    const auto c = black76_carry_terms(F, K, t, r, sigma);
    return dual_gamma_expression(K, rate_discount(t, r), c, norm_pdf(c.d2));
}

// The price and every Greek in one pass, each intermediate computed once
// (see bsm_greeks). The price's d1 is the first-order d1 with its product
// written the other way round, so the two share their distribution values.
template <class Kind, class Real>
KESTRELFIN_LANE_INLINE Greeks<Real> black76_greeks(Kind kind, Real F, Real K, Real t, Real r, Real sigma) noexcept {
    const Real D = rate_discount(t, r);
    const auto f = first_order_terms(ZeroCarry<Real>{r}, log_of(F / K), sqrt_of(t), t, sigma);
    const Real n1 = cdf_of_signed(kind, f.d1);
    const Real n2 = cdf_of_signed(kind, f.d2);
    Greeks<Real> g;
    g.price = D * black_expression(sign_of(kind), F, K, n1, n2);
    generalised_greeks(g, kind, ZeroCarry<Real>{r}, F, K, t, r, sigma, r, D, D, f, n1, n2);
    g.rho = black76_rho_expression(t, g.price);
    return g;
}

}  // namespace kestrelfin::core
