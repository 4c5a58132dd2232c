// Implied volatility: the sigma at which the Black-76 model reproduces an
// observed (discounted) option price. One solver serves all three models;
// the spot models first turn S into the forward F.
//
// Method: undiscount the price, reject prices outside the no-arbitrage
// bounds, run safeguarded Newton on the undiscounted Black-76 price from a
// Brenner-Subrahmanyam style start and, when Newton cannot finish, bisect on
// the fixed bracket [1e-6, 5]. Volatilities above 5 are out of reach by
// design: such prices come back as a value just below 5.
#pragma once

#include <cmath>
#include <limits>

#include "core/normal.hpp"
#include "core/option_kind.hpp"

namespace kestrelfin::core {

enum class ImpliedVolError : unsigned char { None, BelowIntrinsic, AboveMaximum, NotConverged };

// The text reported for a failure; the empty string for None.
inline const char* message(ImpliedVolError error) noexcept {
    switch (error) {
        case ImpliedVolError::BelowIntrinsic:
            return "price is below intrinsic value";
        case ImpliedVolError::AboveMaximum:
            return "price exceeds theoretical maximum";
        case ImpliedVolError::NotConverged:
            return "IV solver failed to converge";
        case ImpliedVolError::None:
            break;
    }
    return "";
}

struct ImpliedVol {
    double volatility;  // meaningful only when ok()
    ImpliedVolError error;
    constexpr bool ok() const noexcept { return error == ImpliedVolError::None; }
};

namespace detail {

inline constexpr double iv_bound_slack = 1e-14;
inline constexpr double iv_min_vol = 1e-6;
inline constexpr double iv_max_vol = 5.0;
inline constexpr double iv_fallback_start = 0.2;
inline constexpr double iv_two_pi = 6.283185307179586;
inline constexpr double iv_rel_tol = 1e-12;
inline constexpr double iv_vega_floor = 1e-15;
inline constexpr double iv_bracket_width = 1e-14;
inline constexpr int iv_newton_evaluations = 50;
inline constexpr int iv_bisection_evaluations = 100;

// Everything about one solve that does not depend on sigma.
struct IvProblem {
    double sgn;
    double P;         // undiscounted target price
    double F;
    double K;
    double t;
    double log_fk;    // ln(F/K)
    double sqrt_t;
    double f_sqrt_t;  // F*sqrt(t), the vega scale
    double tol;       // (|P| + 1) * 1e-12: absolute below 1, relative above
};

struct IvModel {
    double price;  // undiscounted Black-76 price
    double d1;
};

inline IvModel iv_model(const IvProblem& p, double sigma) noexcept {
    const double v = p.sqrt_t * sigma;
    const double d1 = (p.log_fk + p.t * (sigma * (sigma * 0.5))) / v;
    const double d2 = d1 - v;
    const double price = p.sgn * (p.F * norm_cdf(p.sgn * d1) - p.K * norm_cdf(p.sgn * d2));
    return {price, d1};
}

// s0 = sqrt(2 pi / t) * P / B (the at-the-money approximation of the price
// inverted), unless it is unusable; capped at the bracket's top.
inline double iv_start(const IvProblem& p, double B) noexcept {
    const double s0 = std::sqrt(iv_two_pi / p.t) * p.P / B;
    if (!std::isfinite(s0) || s0 < iv_min_vol) {
        return iv_fallback_start;
    }
    return s0 < iv_max_vol ? s0 : iv_max_vol;
}

// Newton on the undiscounted price. Returns true with the answer in `sigma`
// when it converges; false when it has to hand over to the bisection (flat
// vega, a step to a non-positive or non-finite sigma, a step above 5, or the
// evaluation budget spent).
inline bool iv_newton(const IvProblem& p, double& sigma) noexcept {
    bool has_previous = false;
    double previous = 0.0;
    for (int evaluation = 0; evaluation < iv_newton_evaluations; ++evaluation) {
        const IvModel m = iv_model(p, sigma);
        if (std::fabs(m.price - p.P) < p.tol) {
            return true;
        }
        if (has_previous && std::fabs(sigma - previous) < (sigma + 1.0) * iv_rel_tol) {
            return true;
        }
        const double vega = p.f_sqrt_t * norm_pdf(m.d1);
        if (vega < iv_vega_floor) {
            return false;
        }
        const double next = sigma - (m.price - p.P) / vega;
        // A positive step, however small, is fine; NaN fails `next > 0`.
        if (!(std::isfinite(next) && next > 0.0)) {
            return false;
        }
        previous = sigma;
        has_previous = true;
        sigma = next;
        if (sigma > iv_max_vol) {
            return false;
        }
    }
    return false;
}

// Bisection on a fresh [1e-6, 5]. A NaN model price compares false with
// everything and so lowers hi.
inline ImpliedVol iv_bisection(const IvProblem& p) noexcept {
    double lo = iv_min_vol;
    double hi = iv_max_vol;
    for (int evaluation = 0; evaluation < iv_bisection_evaluations; ++evaluation) {
        const double mid = (hi + lo) * 0.5;
        const double model = iv_model(p, mid).price;
        if (std::fabs(model - p.P) < p.tol) {
            return {mid, ImpliedVolError::None};
        }
        if (model < p.P) {
            lo = mid;
        } else {
            hi = mid;
        }
        if (hi - lo < iv_bracket_width) {
            return {(lo + hi) * 0.5, ImpliedVolError::None};
        }
    }
    return {std::numeric_limits<double>::quiet_NaN(), ImpliedVolError::NotConverged};
}

}  // namespace detail

// Solve for sigma given the discounted price of a Black-76 option on F.
// A NaN in any input gives a quiet NaN (and no error) without iterating:
// otherwise NaN would slip past the bound tests and come back as a
// plausible-looking volatility near 1e-6.
inline ImpliedVol implied_volatility(OptionKind kind, double price, double F, double K, double t,
                                     double r) noexcept {
    if (std::isnan(price) || std::isnan(F) || std::isnan(K) || std::isnan(t) || std::isnan(r)) {
        return {std::numeric_limits<double>::quiet_NaN(), ImpliedVolError::None};
    }
    const bool call = kind == OptionKind::Call;
    const double P = price * std::exp(t * r);

    // The no-arbitrage band [intrinsic, upper] of the undiscounted price.
    const double diff = call ? F - K : K - F;
    const double intrinsic = diff > 0.0 ? diff : 0.0;  // 0 when diff is NaN
    const double upper = call ? F : K;
    if (P < intrinsic - detail::iv_bound_slack) {
        return {std::numeric_limits<double>::quiet_NaN(), ImpliedVolError::BelowIntrinsic};
    }
    if (P > upper + detail::iv_bound_slack) {
        return {std::numeric_limits<double>::quiet_NaN(), ImpliedVolError::AboveMaximum};
    }
    if (P <= intrinsic) {
        return {detail::iv_min_vol, ImpliedVolError::None};
    }

    detail::IvProblem p;
    p.sgn = sign_of(kind);
    p.P = P;
    p.F = F;
    p.K = K;
    p.t = t;
    p.log_fk = std::log(F / K);
    p.sqrt_t = std::sqrt(t);
    p.f_sqrt_t = F * p.sqrt_t;
    p.tol = (std::fabs(P) + 1.0) * detail::iv_rel_tol;

    double sigma = detail::iv_start(p, call ? F : K);
    if (detail::iv_newton(p, sigma)) {
        return {sigma, ImpliedVolError::None};
    }
    return detail::iv_bisection(p);
}

// Black-Scholes: the forward is S*exp(t*r).
inline ImpliedVol bs_implied_volatility(OptionKind kind, double price, double S, double K,
                                        double t, double r) noexcept {
    return implied_volatility(kind, price, S * std::exp(t * r), K, t, r);
}

// Black-Scholes-Merton: the forward is S*exp(t*(r - q)).
inline ImpliedVol bsm_implied_volatility(OptionKind kind, double price, double S, double K,
                                         double t, double r, double q) noexcept {
    return implied_volatility(kind, price, S * std::exp(t * (r - q)), K, t, r);
}

// Black-76. Note the argument order: r before t, as the public signature has
// it; the solver still receives (t, r).
inline ImpliedVol black76_implied_volatility(OptionKind kind, double price, double F, double K,
                                             double r, double t) noexcept {
    return implied_volatility(kind, price, F, K, t, r);
}

}  // namespace kestrelfin::core
