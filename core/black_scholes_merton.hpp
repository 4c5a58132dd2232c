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
#include "core/normal.hpp"
#include "core/option_kind.hpp"

namespace kestrelfin::core {

namespace detail {

// Spot-form d1, d2 of the first-order Greeks.
struct SpotD {
    double sqrt_t;
    double d1;
    double d2;
};

inline SpotD spot_d(double S, double K, double t, double r, double sigma, double q) noexcept {
    SpotD s;
    s.sqrt_t = std::sqrt(t);
    const double v = sigma * s.sqrt_t;
    s.d1 = (std::log(S / K) + t * (sigma * (sigma * 0.5) + (r - q))) / v;
    s.d2 = s.d1 - v;
    return s;
}

}  // namespace detail

// Price: Dr * sgn * (F*N(sgn*d1F) - K*N(sgn*d2F)), in the forward form.
inline double bsm_black_scholes_merton(OptionKind kind, double S, double K, double t, double r,
                                       double sigma, double q) noexcept {
    const double sgn = sign_of(kind);
    const double growth = std::exp(t * (r - q));
    const double dr = std::exp(-(r * t));
    const double F = S * growth;
    const double m = std::log(F / K);
    const double v = std::sqrt(t) * sigma;
    const double d1 = (t * (sigma * (sigma * 0.5)) + m) / v;
    const double d2 = d1 - v;
    return dr * (sgn * (F * norm_cdf(sgn * d1) - K * norm_cdf(sgn * d2)));
}

// sgn*Dq*N(sgn*d1). The put is -Dq*N(-d1), not Dq*(N(d1) - 1): far out of
// the money the latter cancels away the digits the former keeps.
inline double bsm_delta(OptionKind kind, double S, double K, double t, double r, double sigma,
                        double q) noexcept {
    const double sgn = sign_of(kind);
    const auto d = detail::spot_d(S, K, t, r, sigma, q);
    const double dq = std::exp(-(q * t));
    return (sgn * dq) * norm_cdf(sgn * d.d1);
}

inline double bsm_gamma(OptionKind, double S, double K, double t, double r, double sigma,
                        double q) noexcept {
    const auto d = detail::spot_d(S, K, t, r, sigma, q);
    const double dq = std::exp(-(q * t));
    return dq * norm_pdf(d.d1) / (d.sqrt_t * (S * sigma));
}

// sqrt(t) * S*Dq*phi(d1) per percentage point of sigma.
inline double bsm_vega(OptionKind, double S, double K, double t, double r, double sigma,
                       double q) noexcept {
    const auto d = detail::spot_d(S, K, t, r, sigma, q);
    const double dq = std::exp(-(q * t));
    return d.sqrt_t * ((S * dq) * norm_pdf(d.d1)) * 0.01;
}

// dV/dr with q held fixed, per percentage point: sgn*K*t*Dr*N(sgn*d2) * 0.01.
inline double bsm_rho(OptionKind kind, double S, double K, double t, double r, double sigma,
                      double q) noexcept {
    const double sgn = sign_of(kind);
    const auto d = detail::spot_d(S, K, t, r, sigma, q);
    const double dr = std::exp(-(r * t));
    return K * (t * sgn) * dr * norm_cdf(sgn * d.d2) * 0.01;
}

// -dV/dt / 365. With A the (positive) time-decay term and B = -q*S*Dq:
//   call: -(A + B N(d1) + r K Dr N(d2)) / 365
//   put:  (B N(-d1) - A + r K Dr N(-d2)) / 365
// The call's numerator is the negated theta; dividing by -365 restores the
// sign without a separate negation.
inline double bsm_theta(OptionKind kind, double S, double K, double t, double r, double sigma,
                        double q) noexcept {
    const double sqrt_t = std::sqrt(t);
    const double v = sigma * sqrt_t;
    const double d1 = (std::log(S / K) + t * (sigma * (sigma * 0.5) + (r - q))) / v;
    const double d2 = d1 - v;
    const double dq = std::exp(-(q * t));
    const double dr = std::exp(-(r * t));
    const double a = sigma * ((S * dq) * norm_pdf(d1)) / (sqrt_t + sqrt_t);
    const double b = -(q * S) * dq;
    const double rate_term = (K * r) * dr;
    if (kind == OptionKind::Call) {
        const double numerator = (a + b * norm_cdf(d1)) + rate_term * norm_cdf(d2);
        return numerator / (-365.0);
    }
    const double numerator = (b * norm_cdf(-d1) - a) + rate_term * norm_cdf(-d2);
    return numerator / 365.0;
}

// Black-Scholes: exactly the Black-Scholes-Merton value with q = +0.0.

inline double bs_black_scholes(OptionKind kind, double S, double K, double t, double r,
                               double sigma) noexcept {
    return bsm_black_scholes_merton(kind, S, K, t, r, sigma, 0.0);
}
inline double bs_delta(OptionKind kind, double S, double K, double t, double r,
                       double sigma) noexcept {
    return bsm_delta(kind, S, K, t, r, sigma, 0.0);
}
inline double bs_gamma(OptionKind kind, double S, double K, double t, double r,
                       double sigma) noexcept {
    return bsm_gamma(kind, S, K, t, r, sigma, 0.0);
}
inline double bs_vega(OptionKind kind, double S, double K, double t, double r,
                      double sigma) noexcept {
    return bsm_vega(kind, S, K, t, r, sigma, 0.0);
}
inline double bs_theta(OptionKind kind, double S, double K, double t, double r,
                       double sigma) noexcept {
    return bsm_theta(kind, S, K, t, r, sigma, 0.0);
}
inline double bs_rho(OptionKind kind, double S, double K, double t, double r,
                     double sigma) noexcept {
    return bsm_rho(kind, S, K, t, r, sigma, 0.0);
}

}  // namespace kestrelfin::core
