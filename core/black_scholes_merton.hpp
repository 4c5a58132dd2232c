// Black-Scholes-Merton (spot S, rate r, continuous dividend yield q) and
// Black-Scholes (q = 0): price and every Greek.
//
// This file holds the price and the first-order Greeks; it includes the
// higher-order and strike Greeks, so callers include only this header.
//
// Units: vega and rho per percentage point (x 0.01), theta per calendar day
// (-dV/dt / 365), delta and gamma unscaled.
//
// Two algebraically equal forms of d1 are used and must stay apart, because
// they round differently:
//   * the price uses the forward form, built from F = S * exp(t*b):
//       d1F = (t*(sigma*(sigma*0.5)) + ln(F/K)) / (sqrt(t)*sigma)
//   * the Greeks use the spot form:
//       d1  = (ln(S/K) + t*(sigma*(sigma*0.5) + b)) / (sigma*sqrt(t))
//
// Every bs_ function is its bsm_ counterpart called with q = +0.0, so the two
// agree to the last bit.
#pragma once

#include <cmath>

#include "core/black_scholes_merton_higher.hpp"
#include "core/lanes.hpp"
#include "core/normal.hpp"
#include "core/option_kind.hpp"

namespace kestrelfin::core {

namespace detail {

// Spot-form d1, d2 of the first-order Greeks.
template <class Real>
struct SpotD {
    Real sqrt_t;
    Real d1;
    Real d2;
};

template <class Real>
KESTRELFIN_LANE_INLINE SpotD<Real> spot_d(Real S, Real K, Real t, Real r, Real sigma, Real q) noexcept {
    SpotD<Real> s;
    s.sqrt_t = sqrt_of(t);
    const Real v = sigma * s.sqrt_t;
    s.d1 = (log_of(S / K) + t * (sigma * (sigma * 0.5) + (r - q))) / v;
    s.d2 = s.d1 - v;
    return s;
}

}  // namespace detail

// Price: Dr * sgn * (F*N(sgn*d1F) - K*N(sgn*d2F)), in the forward form.
template <class Real>
KESTRELFIN_LANE_INLINE Real bsm_black_scholes_merton(OptionKind kind, Real S, Real K, Real t, Real r,
                                       Real sigma, Real q) noexcept {
    const double sgn = sign_of(kind);
    const Real growth = exp_of_shared(t * (r - q));
    const Real dr = exp_of_shared(-(r * t));
    const Real F = S * growth;
    const Real m = log_of(F / K);
    const Real v = sqrt_of(t) * sigma;
    const Real d1 = (t * (sigma * (sigma * 0.5)) + m) / v;
    const Real d2 = d1 - v;
    return dr * (sgn * (F * norm_cdf(sgn * d1) - K * norm_cdf(sgn * d2)));
}

// sgn*Dq*N(sgn*d1). The put is -Dq*N(-d1), not Dq*(N(d1) - 1): far out of
// the money the latter cancels away the digits the former keeps.
template <class Real>
KESTRELFIN_LANE_INLINE Real bsm_delta(OptionKind kind, Real S, Real K, Real t, Real r, Real sigma,
                        Real q) noexcept {
    const double sgn = sign_of(kind);
    const auto d = detail::spot_d(S, K, t, r, sigma, q);
    const Real dq = exp_of_shared(-(q * t));
    return (sgn * dq) * norm_cdf(sgn * d.d1);
}

template <class Real>
KESTRELFIN_LANE_INLINE Real bsm_gamma(OptionKind, Real S, Real K, Real t, Real r, Real sigma,
                        Real q) noexcept {
    const auto d = detail::spot_d(S, K, t, r, sigma, q);
    const Real dq = exp_of_shared(-(q * t));
    return dq * norm_pdf(d.d1) / (d.sqrt_t * (S * sigma));
}

// sqrt(t) * S*Dq*phi(d1) per percentage point of sigma.
template <class Real>
KESTRELFIN_LANE_INLINE Real bsm_vega(OptionKind, Real S, Real K, Real t, Real r, Real sigma,
                       Real q) noexcept {
    const auto d = detail::spot_d(S, K, t, r, sigma, q);
    const Real dq = exp_of_shared(-(q * t));
    return d.sqrt_t * ((S * dq) * norm_pdf(d.d1)) * 0.01;
}

// dV/dr with q held fixed, per percentage point: sgn*K*t*Dr*N(sgn*d2) * 0.01.
template <class Real>
KESTRELFIN_LANE_INLINE Real bsm_rho(OptionKind kind, Real S, Real K, Real t, Real r, Real sigma,
                      Real q) noexcept {
    const double sgn = sign_of(kind);
    const auto d = detail::spot_d(S, K, t, r, sigma, q);
    const Real dr = exp_of_shared(-(r * t));
    return K * (t * sgn) * dr * norm_cdf(sgn * d.d2) * 0.01;
}

// -dV/dt / 365. With A the (positive) time-decay term and B = -q*S*Dq:
//   call: -(A + B N(d1) + r K Dr N(d2)) / 365
//   put:  (B N(-d1) - A + r K Dr N(-d2)) / 365
// The call's numerator is the negated theta; dividing by -365 restores the
// sign without a separate negation.
template <class Real>
KESTRELFIN_LANE_INLINE Real bsm_theta(OptionKind kind, Real S, Real K, Real t, Real r, Real sigma,
                        Real q) noexcept {
    const Real sqrt_t = sqrt_of(t);
    const Real v = sigma * sqrt_t;
    const Real d1 = (log_of(S / K) + t * (sigma * (sigma * 0.5) + (r - q))) / v;
    const Real d2 = d1 - v;
    const Real dq = exp_of_shared(-(q * t));
    const Real dr = exp_of_shared(-(r * t));
    const Real a = sigma * ((S * dq) * norm_pdf(d1)) / (sqrt_t + sqrt_t);
    const Real b = -(q * S) * dq;
    const Real rate_term = (K * r) * dr;
    if (kind == OptionKind::Call) {
        const Real numerator = (a + b * norm_cdf(d1)) + rate_term * norm_cdf(d2);
        return numerator / (-365.0);
    }
    const Real numerator = (b * norm_cdf(-d1) - a) + rate_term * norm_cdf(-d2);
    return numerator / 365.0;
}

// Black-Scholes: exactly the Black-Scholes-Merton value with q = +0.0.

template <class Real>
KESTRELFIN_LANE_INLINE Real bs_black_scholes(OptionKind kind, Real S, Real K, Real t, Real r,
                               Real sigma) noexcept {
    return bsm_black_scholes_merton(kind, S, K, t, r, sigma, Real{});
}
template <class Real>
KESTRELFIN_LANE_INLINE Real bs_delta(OptionKind kind, Real S, Real K, Real t, Real r,
                       Real sigma) noexcept {
    return bsm_delta(kind, S, K, t, r, sigma, Real{});
}
template <class Real>
KESTRELFIN_LANE_INLINE Real bs_gamma(OptionKind kind, Real S, Real K, Real t, Real r,
                       Real sigma) noexcept {
    return bsm_gamma(kind, S, K, t, r, sigma, Real{});
}
template <class Real>
KESTRELFIN_LANE_INLINE Real bs_vega(OptionKind kind, Real S, Real K, Real t, Real r,
                      Real sigma) noexcept {
    return bsm_vega(kind, S, K, t, r, sigma, Real{});
}
template <class Real>
KESTRELFIN_LANE_INLINE Real bs_theta(OptionKind kind, Real S, Real K, Real t, Real r,
                       Real sigma) noexcept {
    return bsm_theta(kind, S, K, t, r, sigma, Real{});
}
template <class Real>
KESTRELFIN_LANE_INLINE Real bs_rho(OptionKind kind, Real S, Real K, Real t, Real r,
                     Real sigma) noexcept {
    return bsm_rho(kind, S, K, t, r, sigma, Real{});
}

}  // namespace kestrelfin::core
