// Black-76: European options on a forward or futures price F, discounted at
// r. Price and every Greek; this file holds the price and the first-order
// Greeks and includes the higher-order and strike Greeks, so callers include
// only this header.
//
// Units: vega and rho per percentage point (x 0.01), theta per calendar day
// (-dV/dt / 365), delta and gamma unscaled. Rho is -t * price * 0.01: the
// forward does not depend on r, only the discount factor does.
#pragma once

#include <cmath>

#include "core/black76_higher.hpp"
#include "core/lanes.hpp"
#include "core/normal.hpp"
#include "core/option_kind.hpp"

namespace kestrelfin::core {

namespace detail {

template <class Real>
struct Black76D {
    Real sqrt_t;
    Real d1;
    Real d2;
};

// d1 = (ln(F/K) + t*(sigma*(sigma*0.5))) / (sigma*sqrt(t)), d2 = d1 - sigma*sqrt(t).
template <class Real>
KESTRELFIN_LANE_INLINE Black76D<Real> black76_d(Real F, Real K, Real t, Real sigma) noexcept {
    Black76D<Real> d;
    d.sqrt_t = sqrt_of(t);
    const Real v = sigma * d.sqrt_t;
    d.d1 = (log_of(F / K) + t * (sigma * (sigma * 0.5))) / v;
    d.d2 = d.d1 - v;
    return d;
}

}  // namespace detail

// D * sgn * (F*N(sgn*d1) - K*N(sgn*d2)).
template <class Real>
KESTRELFIN_LANE_INLINE Real black76_black(OptionKind kind, Real F, Real K, Real t, Real r,
                            Real sigma) noexcept {
    const double sgn = sign_of(kind);
    const Real D = exp_of_shared(-(r * t));
    const auto d = detail::black76_d(F, K, t, sigma);
    return D * (sgn * (F * norm_cdf(sgn * d.d1) - K * norm_cdf(sgn * d.d2)));
}

// sgn*D*N(sgn*d1); the put keeps its tail digits through N(-d1).
template <class Real>
KESTRELFIN_LANE_INLINE Real black76_delta(OptionKind kind, Real F, Real K, Real t, Real r,
                            Real sigma) noexcept {
    const double sgn = sign_of(kind);
    const Real D = exp_of_shared(-(r * t));
    const auto d = detail::black76_d(F, K, t, sigma);
    return (sgn * D) * norm_cdf(sgn * d.d1);
}

template <class Real>
KESTRELFIN_LANE_INLINE Real black76_gamma(OptionKind, Real F, Real K, Real t, Real r,
                            Real sigma) noexcept {
    const Real D = exp_of_shared(-(r * t));
    const auto d = detail::black76_d(F, K, t, sigma);
    return D * norm_pdf(d.d1) / (d.sqrt_t * (F * sigma));
}

// sqrt(t) * F*D*phi(d1), per percentage point of sigma.
template <class Real>
KESTRELFIN_LANE_INLINE Real black76_vega(OptionKind, Real F, Real K, Real t, Real r,
                           Real sigma) noexcept {
    const Real D = exp_of_shared(-(r * t));
    const auto d = detail::black76_d(F, K, t, sigma);
    return d.sqrt_t * ((F * D) * norm_pdf(d.d1)) * 0.01;
}

// -dV/dt / 365 = (r*price - F*D*phi(d1)*sigma/(2 sqrt t)) / 365. With A the
// (positive) time-decay term and B = -r*F*D, the call forms the negated
// numerator and divides by -365, the put the numerator itself.
template <class Real>
KESTRELFIN_LANE_INLINE Real black76_theta(OptionKind kind, Real F, Real K, Real t, Real r,
                            Real sigma) noexcept {
    const Real D = exp_of_shared(-(r * t));
    const auto d = detail::black76_d(F, K, t, sigma);
    const Real a = sigma * ((F * D) * norm_pdf(d.d1)) / (d.sqrt_t + d.sqrt_t);
    const Real b = -(r * F) * D;
    const Real rate_term = (K * r) * D;
    if (kind == OptionKind::Call) {
        const Real numerator = (a + b * norm_cdf(d.d1)) + rate_term * norm_cdf(d.d2);
        return numerator / (-365.0);
    }
    const Real numerator = (b * norm_cdf(-d.d1) - a) + rate_term * norm_cdf(-d.d2);
    return numerator / 365.0;
}

// dV/dr * 0.01 = -t * price * 0.01, from the price exactly as black76_black
// computes it.
template <class Real>
KESTRELFIN_LANE_INLINE Real black76_rho(OptionKind kind, Real F, Real K, Real t, Real r,
                          Real sigma) noexcept {
    return black76_black(kind, F, K, t, r, sigma) * t * (-0.01);
}

}  // namespace kestrelfin::core
