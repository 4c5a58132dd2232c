// The Greeks both models share, each written once over a model's option:
// delta, gamma, vega and theta in the first-order form, the eight
// higher-order Greeks and the two strike Greeks in the cost-of-carry form
// (cost_of_carry.hpp). A model (black76.hpp, black_scholes_merton.hpp) is an
// option type that says what its underlying X is, how it forms its carry
// and which factors discount the underlying and the option; it then takes
// its named functions (black76_delta, bsm_delta, ...) from
// KESTRELFIN_SHARED_GREEKS. The price and rho differ between the models in
// more than their carry and stay with each model.
//
// An option type holds X, K, t, r, sigma (and the model's own inputs) and
// offers:
//   carry()                the model's Carry (cost_of_carry.hpp)
//   underlying_discount()  Dy, the factor that discounts the underlying in
//                          the first-order Greeks
//   kForward               whether Dy is the rate's own Dr = exp(-(r*t))
//                          (a forward's), which theta then computes once
//   yield()                y, the yield the underlying pays in theta (q; r
//                          for a forward)
#pragma once

#include "core/cost_of_carry.hpp"
#include "core/lanes.hpp"
#include "core/normal.hpp"
#include "core/option_kind.hpp"

namespace kestrelfin::core {

template <class Real>
struct Discounts {
    Real underlying;  // Dy
    Real rate;        // Dr
};

// d1, d2 and sqrt(t) of the first-order Greeks, and of the higher-order ones.
template <class Option>
KESTRELFIN_LANE_INLINE auto first_order_terms_of(const Option& o) noexcept {
    return first_order_terms(o.carry(), log_of(o.X / o.K), sqrt_of(o.t), o.t, o.sigma);
}

template <class Option>
KESTRELFIN_LANE_INLINE auto carry_terms_of(const Option& o) noexcept {
    return carry_terms(o.carry(), log_of(o.X / o.K), sqrt_of(o.t), o.t, o.sigma);
}

// ---- first-order Greeks ----------------------------------------------------------

template <class Kind, class Option>
KESTRELFIN_LANE_INLINE auto delta_of(Kind kind, const Option& o) noexcept {
    const auto f = first_order_terms_of(o);
    return delta_expression(kind, o.underlying_discount(), cdf_of_signed(kind, f.d1));
}

template <class Kind, class Option>
KESTRELFIN_LANE_INLINE auto gamma_of(Kind, const Option& o) noexcept {
    const auto f = first_order_terms_of(o);
    return gamma_expression(o.X, o.sigma, o.underlying_discount(), f.sqrt_t, norm_pdf(f.d1));
}

template <class Kind, class Option>
KESTRELFIN_LANE_INLINE auto vega_of(Kind, const Option& o) noexcept {
    const auto f = first_order_terms_of(o);
    return vega_expression(o.X, o.underlying_discount(), f.sqrt_t, norm_pdf(f.d1));
}

// (Both forms evaluate their factors where the models always have: which of
// two NaN operands an instruction passes on, and so a NaN result's sign and
// payload, follows the compiled code's order.)
template <class Kind, class Option>
KESTRELFIN_LANE_INLINE auto theta_of(Kind kind, const Option& o) noexcept {
    const auto f = first_order_terms_of(o);
    if constexpr (Option::kForward) {
        const auto D = rate_discount(o.t, o.r);
        return theta_expression(kind, o.X, o.K, o.r, o.sigma, o.yield(), D, D, f.sqrt_t, norm_pdf(f.d1),
                                cdf_by_kind(kind, f.d1), cdf_by_kind(kind, f.d2));
    } else {
        return theta_expression(kind, o.X, o.K, o.r, o.sigma, o.yield(), o.underlying_discount(),
                                rate_discount(o.t, o.r), f.sqrt_t, norm_pdf(f.d1), cdf_by_kind(kind, f.d1),
                                cdf_by_kind(kind, f.d2));
    }
}

// ---- higher-order and strike Greeks ----------------------------------------------

template <class Kind, class Option>
KESTRELFIN_LANE_INLINE auto vanna_of(Kind, const Option& o) noexcept {
    const auto c = carry_terms_of(o);
    return vanna_expression(o.sigma, carry_discount(o.t, c), c, minus_density_of(density_exponential(c.d1)));
}

template <class Kind, class Option>
KESTRELFIN_LANE_INLINE auto charm_of(Kind kind, const Option& o) noexcept {
    const auto c = carry_terms_of(o);
    return charm_expression(kind, o.t, carry_discount(o.t, c), c, norm_pdf(c.d1), norm_cdf(c.d1));
}

template <class Kind, class Option>
KESTRELFIN_LANE_INLINE auto vomma_of(Kind, const Option& o) noexcept {
    const auto c = carry_terms_of(o);
    return vomma_expression(o.X, o.sigma, carry_discount(o.t, c), c, norm_pdf(c.d1));
}

template <class Kind, class Option>
KESTRELFIN_LANE_INLINE auto speed_of(Kind, const Option& o) noexcept {
    const auto c = carry_terms_of(o);
    return speed_expression(o.X, carry_discount(o.t, c), c, minus_density_of(density_exponential(c.d1)));
}

template <class Kind, class Option>
KESTRELFIN_LANE_INLINE auto zomma_of(Kind, const Option& o) noexcept {
    const auto c = carry_terms_of(o);
    return zomma_expression(o.X, o.sigma, carry_discount(o.t, c), c, norm_pdf(c.d1));
}

template <class Kind, class Option>
KESTRELFIN_LANE_INLINE auto color_of(Kind, const Option& o) noexcept {
    const auto c = carry_terms_of(o);
    return color_expression(o.X, o.t, carry_discount(o.t, c), c, norm_pdf(c.d1));
}

template <class Kind, class Option>
KESTRELFIN_LANE_INLINE auto veta_of(Kind, const Option& o) noexcept {
    const auto c = carry_terms_of(o);
    return veta_expression(o.X, o.t, carry_discount(o.t, c), c, norm_pdf(c.d1));
}

template <class Kind, class Option>
KESTRELFIN_LANE_INLINE auto ultima_of(Kind, const Option& o) noexcept {
    const auto c = carry_terms_of(o);
    return ultima_expression(o.X, o.sigma, carry_discount(o.t, c), c, minus_density_of(density_exponential(c.d1)));
}

template <class Kind, class Option>
KESTRELFIN_LANE_INLINE auto dual_delta_of(Kind kind, const Option& o) noexcept {
    const auto c = carry_terms_of(o);
    return dual_delta_expression(kind, rate_discount(o.t, o.r), cdf_by_kind(kind, c.d2));
}

template <class Kind, class Option>
KESTRELFIN_LANE_INLINE auto dual_gamma_of(Kind, const Option& o) noexcept {
    const auto c = carry_terms_of(o);
    return dual_gamma_expression(o.K, rate_discount(o.t, o.r), c, norm_pdf(c.d2));
}

// ---- all of them at once ---------------------------------------------------------------

// The price and the fifteen Greeks of one option (or of each lane).
template <class Real>
struct Greeks {
    Real price;
    Real delta;
    Real gamma;
    Real vega;
    Real theta;
    Real rho;
    Real vanna;
    Real charm;
    Real vomma;
    Real speed;
    Real zomma;
    Real color;
    Real veta;
    Real ultima;
    Real dual_delta;
    Real dual_gamma;
};

// Every shared Greek (all but the price and rho, which the models form
// each in its own way) of one option, sharing each intermediate: the
// first-order terms f of the option's underlying X, the discount factors d
// (Dy and Dr). The carry form's d1 and d2 are f's (carry_terms_given), so
// the density and distribution values are computed once for both forms;
// n1 = N(sgn*d1) and n2 = N(sgn*d2) serve delta, theta, rho and dual delta
// (theta and dual delta write them as N(d) or N(-d): the same numbers).
template <class Kind, class Option, class Real>
KESTRELFIN_LANE_INLINE void shared_greeks(Greeks<Real>& g, Kind kind, const Option& o, Discounts<Real> d,
                                          const FirstOrderTerms<Real>& f, Real n1, Real n2) noexcept {
    const Real X = o.X;
    const Real K = o.K;
    const Real t = o.t;
    const Real r = o.r;
    const Real sigma = o.sigma;
    const Real dy = d.underlying;
    const Real dr = d.rate;
    const auto c = carry_terms_given(o.carry(), f, sigma);
    const Real dc = carry_discount(t, c);
    const Real e1 = density_exponential(f.d1);
    const Real phi1 = density_of(e1);
    const Real minus_phi1 = minus_density_of(e1);
    const Real n1_call = by_kind(
        kind, [&]() KESTRELFIN_LANE_LAMBDA { return n1; },
        [&]() KESTRELFIN_LANE_LAMBDA { return norm_cdf(f.d1); });  // charm's N(d1)
    g.delta = delta_expression(kind, dy, n1);
    g.gamma = gamma_expression(X, sigma, dy, f.sqrt_t, phi1);
    g.vega = vega_expression(X, dy, f.sqrt_t, phi1);
    g.theta = theta_expression(kind, X, K, r, sigma, o.yield(), dy, dr, f.sqrt_t, phi1, n1, n2);
    g.vanna = vanna_expression(sigma, dc, c, minus_phi1);
    g.charm = charm_expression(kind, t, dc, c, phi1, n1_call);
    g.vomma = vomma_expression(X, sigma, dc, c, phi1);
    g.speed = speed_expression(X, dc, c, minus_phi1);
    g.zomma = zomma_expression(X, sigma, dc, c, phi1);
    g.color = color_expression(X, t, dc, c, phi1);
    g.veta = veta_expression(X, t, dc, c, phi1);
    g.ultima = ultima_expression(X, sigma, dc, c, minus_phi1);
    g.dual_delta = dual_delta_expression(kind, dr, n2);
    g.dual_gamma = dual_gamma_expression(K, dr, c, norm_pdf(f.d2));
}

// The shared Greeks, by name, for a model to define its functions from:
// X(greek) for each.
#define KESTRELFIN_SHARED_GREEKS(X) \
    X(delta)                        \
    X(gamma)                        \
    X(vega)                         \
    X(theta)                        \
    X(vanna)                        \
    X(charm)                        \
    X(vomma)                        \
    X(speed)                        \
    X(zomma)                        \
    X(color)                        \
    X(veta)                         \
    X(ultima)                       \
    X(dual_delta)                   \
    X(dual_gamma)

}  // namespace kestrelfin::core
