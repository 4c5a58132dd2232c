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
#include <cstddef>
#include <limits>

#include "core/cost_of_carry.hpp"
#include "core/lanes.hpp"
#include "core/normal.hpp"
#include "core/option_kind.hpp"

namespace kestrelfin::core {

// Why no volatility was found (kernels/messages.hpp words each).
enum class ImpliedVolError : unsigned char { None, BelowIntrinsic, AboveMaximum, NotConverged };

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
    double P;  // undiscounted target price
    double F;
    double K;
    double t;
    double log_fk;  // ln(F/K)
    double sqrt_t;
    double f_sqrt_t;  // F*sqrt(t), the vega scale
    double tol;       // (|P| + 1) * 1e-12: absolute below 1, relative above
};

// The undiscounted Black-76 price at sigma, and the d1 that Newton's vega
// needs.
inline BlackPrice<double> iv_model(const IvProblem& p, double sigma) noexcept {
    return undiscounted_black(p.sgn, p.F, p.K, p.t, p.log_fk, p.sqrt_t, sigma);
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

// The progress of one solve: a Newton phase, then if needed a bisection,
// each step consuming one evaluation of the model price at point(). The
// scalar solver and the one over lanes drive the same steps, so they make
// the same decisions on the same doubles.
struct IvSolve {
    enum class Phase : unsigned char { Newton, Bisection, Done };
    Phase phase = Phase::Newton;
    double sigma;  // Newton: the point evaluated next; Done: the answer
    double previous = 0.0;
    bool has_previous = false;
    int evaluations = 0;     // of the current phase
    double lo = iv_min_vol;  // the bisection's bracket
    double hi = iv_max_vol;
    ImpliedVolError error = ImpliedVolError::None;

    double point() const noexcept { return phase == Phase::Newton ? sigma : (hi + lo) * 0.5; }
    bool done() const noexcept { return phase == Phase::Done; }

    void finish(double answer, ImpliedVolError failure = ImpliedVolError::None) noexcept {
        phase = Phase::Done;
        sigma = answer;
        error = failure;
    }
    // Newton cannot finish (flat vega, a step to a non-positive or
    // non-finite sigma, a step above 5, or its evaluations spent): bisect on
    // a fresh bracket; no Newton iterate carries over.
    void start_bisection() noexcept {
        phase = Phase::Bisection;
        evaluations = 0;
    }
};

// The undiscounted vega per unit of sigma at d1, (F*sqrt(t)) * phi(d1).
template <class Real>
KESTRELFIN_LANE_INLINE Real iv_vega(Real f_sqrt_t, Real d1) noexcept {
    return f_sqrt_t * norm_pdf(d1);
}

// One Newton step from the model price at sigma; vega() gives the vega there
// (computed only when the step needs it, or computed beforehand for lanes).
template <class Vega>
KESTRELFIN_LANE_INLINE void iv_newton_step(const IvProblem& p, IvSolve& s, double model, Vega&& vega_of) noexcept {
    if (std::fabs(model - p.P) < p.tol) {
        return s.finish(s.sigma);
    }
    if (s.has_previous && std::fabs(s.sigma - s.previous) < (s.sigma + 1.0) * iv_rel_tol) {
        return s.finish(s.sigma);
    }
    const double vega = vega_of();
    if (vega < iv_vega_floor) {
        return s.start_bisection();
    }
    const double next = s.sigma - (model - p.P) / vega;
    // A positive step, however small, is fine; NaN fails `next > 0`.
    if (!(std::isfinite(next) && next > 0.0)) {
        return s.start_bisection();
    }
    s.previous = s.sigma;
    s.has_previous = true;
    s.sigma = next;
    if (s.sigma > iv_max_vol || ++s.evaluations == iv_newton_evaluations) {
        // The sigma of the last step is not evaluated.
        s.start_bisection();
    }
}

// One bisection step from the model at the bracket's midpoint. A NaN model
// price compares false with everything and so lowers hi.
inline void iv_bisection_step(const IvProblem& p, IvSolve& s, double model) noexcept {
    const double mid = (s.hi + s.lo) * 0.5;
    if (std::fabs(model - p.P) < p.tol) {
        return s.finish(mid);
    }
    if (model < p.P) {
        s.lo = mid;
    } else {
        s.hi = mid;
    }
    if (s.hi - s.lo < iv_bracket_width) {
        return s.finish((s.lo + s.hi) * 0.5);
    }
    if (++s.evaluations == iv_bisection_evaluations) {
        s.finish(std::numeric_limits<double>::quiet_NaN(), ImpliedVolError::NotConverged);
    }
}

template <class Vega>
KESTRELFIN_LANE_INLINE void iv_step(const IvProblem& p, IvSolve& s, double model, Vega&& vega_of) noexcept {
    if (s.phase == IvSolve::Phase::Newton) {
        iv_newton_step(p, s, model, vega_of);
    } else {
        iv_bisection_step(p, s, model);
    }
}

// The bound tests and the set-up of a solve. Returns false with `outcome`
// set when the price is decided without iterating (a NaN input, a price
// outside the no-arbitrage band, or one at or below intrinsic value).
inline bool iv_prepare(OptionKind kind, double price, double F, double K, double t, double r, IvProblem& p, IvSolve& s,
                       ImpliedVol& outcome) noexcept {
    // A NaN in any input gives a quiet NaN (and no error) without iterating:
    // otherwise NaN would slip past the bound tests and come back as a
    // plausible-looking volatility near 1e-6.
    if (std::isnan(price) || std::isnan(F) || std::isnan(K) || std::isnan(t) || std::isnan(r)) {
        outcome = {std::numeric_limits<double>::quiet_NaN(), ImpliedVolError::None};
        return false;
    }
    const bool call = kind == OptionKind::Call;
    const double P = price * std::exp(t * r);

    // The no-arbitrage band [intrinsic, upper] of the undiscounted price.
    const double diff = call ? F - K : K - F;
    const double intrinsic = diff > 0.0 ? diff : 0.0;  // 0 when diff is NaN
    const double upper = call ? F : K;
    if (P < intrinsic - iv_bound_slack) {
        outcome = {std::numeric_limits<double>::quiet_NaN(), ImpliedVolError::BelowIntrinsic};
        return false;
    }
    if (P > upper + iv_bound_slack) {
        outcome = {std::numeric_limits<double>::quiet_NaN(), ImpliedVolError::AboveMaximum};
        return false;
    }
    if (P <= intrinsic) {
        outcome = {iv_min_vol, ImpliedVolError::None};
        return false;
    }
    p.sgn = sign_of(kind);
    p.P = P;
    p.F = F;
    p.K = K;
    p.t = t;
    p.log_fk = std::log(F / K);
    p.sqrt_t = std::sqrt(t);
    p.f_sqrt_t = F * p.sqrt_t;
    p.tol = (std::fabs(P) + 1.0) * iv_rel_tol;
    s = IvSolve{};
    s.sigma = iv_start(p, call ? F : K);
    return true;
}

}  // namespace detail

// Solve for sigma given the discounted price of a Black-76 option on F.
inline ImpliedVol implied_volatility(OptionKind kind, double price, double F, double K, double t, double r) noexcept {
    detail::IvProblem p;
    detail::IvSolve s;
    ImpliedVol outcome;
    if (!detail::iv_prepare(kind, price, F, K, t, r, p, s, outcome)) {
        return outcome;
    }
    while (!s.done()) {
        const BlackPrice<double> m = detail::iv_model(p, s.point());
        detail::iv_step(p, s, m.price, [&]() { return detail::iv_vega(p.f_sqrt_t, m.d1); });
    }
    return {s.sigma, s.error};
}

// The solver's inputs: the discounted price, the forward, the strike, the
// time and the rate.
struct ImpliedVolInputs {
    double price;
    double F;
    double K;
    double t;
    double r;
};

// The same solver for n options over the lanes of V: the model prices of all
// lanes in progress are evaluated together, and each lane takes its own step;
// a lane whose option is solved takes the next one, so lanes stay busy
// whichever phase, and however many evaluations, each option needs. Every
// decision is the scalar solver's, on the same doubles. kind_of(i) and
// inputs_of(i) give option i's kind and inputs (the kinds may differ from
// option to option); store(i, outcome) receives its outcome.
template <LaneVector V, class KindOf, class InputsOf, class Store>
KESTRELFIN_LANE_INLINE void implied_volatility_lanes(std::size_t n, KindOf&& kind_of, InputsOf&& inputs_of,
                                                     Store&& store) noexcept {
    constexpr int w = lane_count<V>;
    detail::IvProblem p[w];
    detail::IvSolve s[w];
    std::size_t option[w];
    bool busy[w];
    V sgn, log_fk, sqrt_t, t, F, K, f_sqrt_t;
    std::size_t next = 0;

    // Gives the lane the next option that needs iterating; options decided
    // by the bound tests alone are stored on the way.
    auto take = [&](int lane) KESTRELFIN_LANE_LAMBDA {
        while (next < n) {
            const std::size_t i = next++;
            const ImpliedVolInputs in = inputs_of(i);
            ImpliedVol outcome;
            if (detail::iv_prepare(kind_of(i), in.price, in.F, in.K, in.t, in.r, p[lane], s[lane], outcome)) {
                option[lane] = i;
                busy[lane] = true;
                sgn.set(lane, p[lane].sgn);
                log_fk.set(lane, p[lane].log_fk);
                sqrt_t.set(lane, p[lane].sqrt_t);
                t.set(lane, p[lane].t);
                F.set(lane, p[lane].F);
                K.set(lane, p[lane].K);
                f_sqrt_t.set(lane, p[lane].f_sqrt_t);
                return;
            }
            store(i, outcome);
        }
        // Nothing left: an idle lane evaluates a harmless placeholder.
        busy[lane] = false;
        sgn.set(lane, 1.0);
        log_fk.set(lane, 0.0);
        sqrt_t.set(lane, 1.0);
        t.set(lane, 1.0);
        F.set(lane, 1.0);
        K.set(lane, 1.0);
        f_sqrt_t.set(lane, 1.0);
    };
    bool any_busy = false;
    for (int lane = 0; lane < w; ++lane) {
        take(lane);
        any_busy = any_busy || busy[lane];
    }
    while (any_busy) {
        V sigma;
        for (int lane = 0; lane < w; ++lane) {
            sigma.set(lane, busy[lane] ? s[lane].point() : 0.2);
        }
        const BlackPrice<V> model = undiscounted_black(sgn, F, K, t, log_fk, sqrt_t, sigma);
        // Newton's vega for every lane at once; a lane that does not take a
        // Newton step ignores it.
        const V vega = detail::iv_vega(f_sqrt_t, model.d1);
        any_busy = false;
        for (int lane = 0; lane < w; ++lane) {
            if (!busy[lane]) {
                continue;
            }
            detail::iv_step(p[lane], s[lane], model.price[lane], [&]() KESTRELFIN_LANE_LAMBDA { return vega[lane]; });
            if (s[lane].done()) {
                store(option[lane], ImpliedVol{s[lane].sigma, s[lane].error});
                take(lane);
            }
            any_busy = any_busy || busy[lane];
        }
    }
}

inline ImpliedVol implied_volatility(OptionKind kind, const ImpliedVolInputs& in) noexcept {
    return implied_volatility(kind, in.price, in.F, in.K, in.t, in.r);
}

// Black-Scholes-Merton: the forward is S*exp(t*(r - q)). (Black-Scholes is
// this with q = 0.0: S*exp(t*(r - 0.0)) is S*exp(t*r) exactly.)
inline ImpliedVolInputs bsm_implied_volatility_inputs(double price, double S, double K, double t, double r,
                                                      double q) noexcept {
    return {price, S * std::exp(t * (r - q)), K, t, r};
}
inline ImpliedVol bsm_implied_volatility(OptionKind kind, double price, double S, double K, double t, double r,
                                         double q) noexcept {
    return implied_volatility(kind, bsm_implied_volatility_inputs(price, S, K, t, r, q));
}

// Black-76. Note the argument order: r before t, as the public signature has
// it; the solver still receives (t, r).
inline ImpliedVolInputs black76_implied_volatility_inputs(double price, double F, double K, double r,
                                                          double t) noexcept {
    return {price, F, K, t, r};
}
inline ImpliedVol black76_implied_volatility(OptionKind kind, double price, double F, double K, double r,
                                             double t) noexcept {
    return implied_volatility(kind, black76_implied_volatility_inputs(price, F, K, r, t));
}

}  // namespace kestrelfin::core
