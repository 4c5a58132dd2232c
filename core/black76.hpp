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
#include "core/greeks.hpp"
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

// A Black-76 option, for the Greeks both models share (greeks.hpp): the
// underlying X is the forward F, discounted at r like the option itself.
template <class Real>
struct Black76Option {
    Real X;  // F
    Real K;
    Real t;
    Real r;
    Real sigma;
    KESTRELFIN_LANE_INLINE ZeroCarry<Real> carry() const noexcept { return {r}; }
    static constexpr bool kForward = true;
    KESTRELFIN_LANE_INLINE Real underlying_discount() const noexcept { return rate_discount(t, r); }
    // theta's yield: the forward "pays" r, -dV/dt / 365 = (r*price -
    // F*D*phi(d1)*sigma/(2 sqrt t)) / 365.
    KESTRELFIN_LANE_INLINE Real yield() const noexcept { return r; }
};

// black76_delta, black76_gamma, ..., black76_dual_gamma: the shared Greeks
// of the forward.
#define KESTRELFIN_BLACK76_GREEK(greek_)                                                                           \
    template <class Kind, class Real>                                                                              \
    KESTRELFIN_LANE_INLINE Real black76_##greek_(Kind kind, Real F, Real K, Real t, Real r, Real sigma) noexcept { \
        return greek_##_of(kind, Black76Option<Real>{F, K, t, r, sigma});                                          \
    }
KESTRELFIN_SHARED_GREEKS(KESTRELFIN_BLACK76_GREEK)
#undef KESTRELFIN_BLACK76_GREEK

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

// The price and every Greek in one pass, each intermediate computed once
// (see bsm_greeks). The price's d1 is the first-order d1 with its product
// written the other way round, so the two share their distribution values.
template <class Kind, class Real>
KESTRELFIN_LANE_INLINE Greeks<Real> black76_greeks(Kind kind, Real F, Real K, Real t, Real r, Real sigma) noexcept {
    const Real D = rate_discount(t, r);
    const Black76Option<Real> o{F, K, t, r, sigma};
    const auto f = first_order_terms_of(o);
    const Real n1 = cdf_of_signed(kind, f.d1);
    const Real n2 = cdf_of_signed(kind, f.d2);
    Greeks<Real> g;
    g.price = D * black_expression(sign_of(kind), F, K, n1, n2);
    shared_greeks(g, kind, o, Discounts<Real>{D, D}, f, n1, n2);
    g.rho = black76_rho_expression(t, g.price);
    return g;
}

}  // namespace kestrelfin::core
