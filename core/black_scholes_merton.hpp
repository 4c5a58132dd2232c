// Black-Scholes-Merton: European options on a spot price S paying the
// continuous dividend yield q, discounted at r. Price and every Greek, as
// instances of the generalised model (cost_of_carry.hpp) with the carry
// b = r - q.
//
// Black-Scholes is this model with q = +0.0: every Black-Scholes function is
// its Black-Scholes-Merton counterpart called with q = 0.0, so the two agree
// to the last bit. The core has no separate Black-Scholes formulas; the
// function table (kernels/operations.hpp) applies the rule.
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
#include "core/greeks.hpp"
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

// A Black-Scholes-Merton option, for the Greeks both models share
// (greeks.hpp): the underlying X is the spot S, discounted at the yield q in
// the first-order Greeks.
template <class Real>
struct MertonOption {
    Real X;  // S
    Real K;
    Real t;
    Real r;
    Real sigma;
    Real q;
    KESTRELFIN_LANE_INLINE MertonCarry<Real> carry() const noexcept { return {r, q}; }
    static constexpr bool kForward = false;
    KESTRELFIN_LANE_INLINE Real underlying_discount() const noexcept { return dividend_discount(t, q); }
    KESTRELFIN_LANE_INLINE Real yield() const noexcept { return q; }
};

// bsm_delta, bsm_gamma, ..., bsm_dual_gamma: the shared Greeks of the spot.
#define KESTRELFIN_BSM_GREEK(greek_)                                                                                   \
    template <class Kind, class Real>                                                                                  \
    KESTRELFIN_LANE_INLINE Real bsm_##greek_(Kind kind, Real S, Real K, Real t, Real r, Real sigma, Real q) noexcept { \
        return greek_##_of(kind, MertonOption<Real>{S, K, t, r, sigma, q});                                            \
    }
KESTRELFIN_SHARED_GREEKS(KESTRELFIN_BSM_GREEK)
#undef KESTRELFIN_BSM_GREEK

// dV/dr with q held fixed, per percentage point: sgn*K*t*Dr*N(sgn*d2) * 0.01,
// given n_d2 = N(sgn*d2).
template <class Kind, class Real>
KESTRELFIN_LANE_INLINE Real bsm_rho_expression(Kind kind, Real K, Real t, Real dr, Real n_d2) noexcept {
    return K * (t * sign_of(kind)) * dr * n_d2 * 0.01;
}

template <class Kind, class Real>
KESTRELFIN_LANE_INLINE Real bsm_rho(Kind kind, Real S, Real K, Real t, Real r, Real sigma, Real q) noexcept {
    const auto f = first_order_terms_of(MertonOption<Real>{S, K, t, r, sigma, q});
    return bsm_rho_expression(kind, K, t, rate_discount(t, r), cdf_of_signed(kind, f.d2));
}

// The price and every Greek in one pass: each logarithm, discount factor,
// density and distribution value is computed once and shared by every
// expression that uses it, so each result is the double the function of its
// own name returns (a NaN's payload aside: where two NaNs meet, which one
// passes on depends on the order of operands).
template <class Kind, class Real>
KESTRELFIN_LANE_INLINE Greeks<Real> bsm_greeks(Kind kind, Real S, Real K, Real t, Real r, Real sigma, Real q) noexcept {
    const MertonOption<Real> o{S, K, t, r, sigma, q};
    const Real sqrt_t = sqrt_of(t);
    const Real dr = rate_discount(t, r);
    const Real F = S * exp_of_shared(t * (r - q));
    const auto f = first_order_terms(o.carry(), log_of(S / K), sqrt_t, t, sigma);
    const Real n2 = cdf_of_signed(kind, f.d2);
    Greeks<Real> g;
    g.price = dr * undiscounted_black(sign_of(kind), F, K, t, log_of(F / K), sqrt_t, sigma).price;
    shared_greeks(g, kind, o, Discounts<Real>{dividend_discount(t, q), dr}, f, cdf_of_signed(kind, f.d1), n2);
    g.rho = bsm_rho_expression(kind, K, t, dr, n2);
    return g;
}

}  // namespace kestrelfin::core
