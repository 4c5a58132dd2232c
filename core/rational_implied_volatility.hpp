// Implied volatility by P. Jaeckel's "Let's Be Rational" (Wilmott, January
// 2015, with the refinements of its 2024 revision): the second solver, next
// to the Newton solver of implied_volatility.hpp. It takes the same inputs
// (kind, discounted price, forward, strike, time, rate; the spot models
// through their forward, ImpliedVolInputs) and returns the volatility to
// about machine precision after a fixed amount of work, with no cap on
// sigma, plus a reason code.
//
// Steps:
//   1. Classify (in this order of precedence, the first that holds decides):
//      InvalidInput      a NaN in any input, t <= 0 or t = +inf, r = +-inf,
//                        F or K not in (0, +inf): NaN;
//      BelowIntrinsic    P < max(theta (F - K), 0): NaN;
//      AtOrAboveMaximum  P >= F (call) or P >= K (put), P = +inf included,
//                        or a distance to the maximum that underflows once
//                        divided by sqrt(F K): NaN;
//      AtIntrinsic       P equal to the intrinsic value (an in-the-money price
//                        whose time value is below its ulp included), or a
//                        time value that underflows once divided by
//                        sqrt(F K): 0.0;
//      Ok                otherwise: the implied volatility.
//      P = price * exp(t r) is the undiscounted price (as the Newton solver
//      forms it); a price of 0 or +-inf is its own undiscounted price (so
//      that 0 * inf cannot make it NaN).
//   2. Reduce to the out-of-the-money call of the normalised Black function:
//      x = -|ln(F/K)| (with the remainder of F/K, to an ulp of x),
//      beta = (P - intrinsic)/(sqrt F sqrt K) (and, where that is subnormal,
//      ln beta = ln(P - intrinsic) - (ln F + ln K)/2 for the objective), and
//      beta_bar = (P_max - P)/(sqrt F sqrt K), its distance to the maximum
//      e^(x/2), formed from prices where the subtraction is exact.
//   3. F == K: the closed form s = 2 Phi^-1(1/2 + beta/2) through AS 241's
//      central part (q = beta/2) or its tail (p = beta_bar/2).
//   4. Otherwise the initial guess of rational_guess.hpp and exactly two
//      Householder steps (third order; fourth order in the lowest branch for
//      |x| > 190 and in the highest for |x| > 130) on the branch's objective:
//        middle   g = b(s) - beta,
//        lowest   g = 1/ln b(s) - 1/ln beta,
//        highest  g = ln(beta_bar / (b_max - b(s))).
//      The second step is skipped where the first moved s by at most eps s.
//   5. sigma = s / sqrt(t).
//
// Written once over Real = double (the reference) or lanes (core/lanes.hpp):
// special lanes are decided by selections, every rare path runs when some
// lane needs it, both steps run for every lane, and each lane takes exactly
// the scalar sequence of operations, so every lane equals the scalar result
// to the last bit.
#pragma once

#include <cfloat>
#include <cmath>
#include <cstddef>
#include <limits>
#include <utility>

#include "core/implied_volatility.hpp"
#include "core/inverse_normal.hpp"
#include "core/lane_pairs.hpp"
#include "core/lanes.hpp"
#include "core/normalised_black.hpp"
#include "core/option_kind.hpp"
#include "core/rational_guess.hpp"

namespace kestrelfin::core {

enum class RationalStatus : unsigned char {
    Ok = 0,
    AtIntrinsic = 1,
    BelowIntrinsic = 2,
    AtOrAboveMaximum = 3,
    InvalidInput = 4
};

// One option's outcome: the volatility (NaN unless Ok or AtIntrinsic) and why.
struct RationalImpliedVol {
    double volatility;
    RationalStatus status;
};

// The outcome of one double or of each lane: the status as the double value
// of its code.
template <class Real>
struct RationalOutcome {
    Real volatility;
    Real status;
};

namespace detail {

template <class Real>
using MaskOf = decltype(std::declval<Real>() < std::declval<Real>());

// |x| beyond which the step is of order 4: in the lowest branch from 190 on,
// where the order-3 step leaves a residual of some ulps. In the highest from
// 130 on: from about 180 on the guess of a price within 1e-8 of the maximum
// can be 10-15% off, and two order-3 steps then leave 1.5e-13 relative (the
// order-4 step: below 1e-15).
inline constexpr double lowest_order4_limit = 190.0;
inline constexpr double highest_order4_limit = 130.0;
inline constexpr double atm_central_limit = 0.85;  // beta up to this: AS 241's central part at the money

// Where the option is a call, as the comparisons of Real give it.
template <class Real>
requires(!is_lanes<Real>) KESTRELFIN_LANE_INLINE bool call_mask_of(OptionKind kind, const Real&) noexcept {
    return kind == OptionKind::Call;
}
template <int N, class Math>
KESTRELFIN_LANE_INLINE LaneMask<N> call_mask_of(OptionKind kind, const Lanes<N, Math>&) noexcept {
    return Lanes<N, Math>(kind == OptionKind::Call ? 1.0 : 0.0) == Lanes<N, Math>(1.0);
}
template <int N, class Math>
KESTRELFIN_LANE_INLINE LaneMask<N> call_mask_of(LaneKinds<N> kinds, const Lanes<N, Math>&) noexcept {
    return {kinds.is_call};
}

template <int N, class Half>
KESTRELFIN_LANE_INLINE LanePairMask<Half> call_mask_of(LaneKinds<N> kinds, const LanePair<Half>&) noexcept {
    constexpr int h = lane_count<Half>;
    LaneKinds<h> lo{}, hi{};
    for (int i = 0; i < h; ++i) {
        lo.is_call[i] = kinds.is_call[i];
        hi.is_call[i] = kinds.is_call[i + h];
    }
    return {call_mask_of(lo, Half{}), call_mask_of(hi, Half{})};
}

template <class Real>
KESTRELFIN_LANE_INLINE Real status_code(RationalStatus status) noexcept {
    return splat<Real>(static_cast<double>(static_cast<int>(status)));
}

// ln(F/K) for F, K in (0, inf): ln q + r/F with q = F/K rounded and
// r = F - qK its remainder (F - qK rounded is exact, qK - its rounding comes
// from Dekker's product): ln(F/K) = ln q + ln(1 + r/(qK)).
// x is then good to about an ulp of itself however close F is to K (as
// log1p((F - K)/K) would be, at the cost of a call per lane). ln F - ln K
// where F/K leaves the normal range.
template <class Real, class Mask>
KESTRELFIN_LANE_INLINE Real log_moneyness(Real F, Real K, Mask active) noexcept {
    const Real ratio = F / K;
    const Real product = ratio * K;
    const Real remainder = (F - product) - product_error(ratio, K, product);
    Real x = log_of(ratio) + remainder / F;
    const auto extreme = active & lane_not((ratio >= DBL_MIN) & (ratio < std::numeric_limits<double>::infinity()));
    if (any_lane(extreme)) {
        x = select(extreme, log_of(F) - log_of(K), x);
    }
    return x;
}

// What the steps of one problem share: ln beta and its inverse (lowest),
// 1/beta_bar (highest), and where the step is of order 4.
template <class Real>
struct StepData {
    Real log_beta;
    Real inverse_log_beta;
    Real inverse_beta_bar;
    MaskOf<Real> order4;
};

// One Householder step from s on the objective of branch B: the change of
// s, never below -s/2.
template <RationalBranch B, class Real>
KESTRELFIN_LANE_INLINE Real householder_step(const NormalisedProblem<Real>& p, const StepData<Real>& d,
                                             Real s) noexcept {
    using Mask = MaskOf<Real>;
    const Mask all = p.x == p.x;
    const Mask none = lane_not(all);
    // Highest lanes take b_max - b from the same evaluation.
    const auto point =
        normalised_black_point(p.x, s, p.b_max, p.inverse_b_max, all, B == RationalBranch::Highest ? all : none);
    // The ratios of b's derivatives to b' (x^2/s^3 = h^2/s, x^2/s^4 = (h/s)^2).
    const Real hs = point.h * point.inverse_s;
    const Real x2s4 = hs * hs;
    const Real b2 = point.h * hs - 0.25 * s;
    const Real b3 = b2 * b2 - 3.0 * x2s4 - 0.25;
    Real b4 = Real{};
    if constexpr (B != RationalBranch::Middle) {
        if (any_lane(d.order4)) {
            b4 = b2 * (b3 - 0.5) - (b2 - 2.0 * point.inverse_s) * (6.0 * x2s4);
        }
    }

    Real nu, h2, h3, h4 = b4;
    if constexpr (B == RationalBranch::Middle) {
        nu = (p.beta - black_value(point)) / point.vega;
        h2 = b2;
        h3 = b3;
    } else if constexpr (B == RationalBranch::Lowest) {
        // g = 1/ln b - 1/ln beta, with rho = b'/b and lambda = 1/ln b,
        // both from one division.
        const Real scaled = scaled_black_value(point);
        const Real log_b = log_of(scaled) + ((point.exponent - half_log_2pi) + point.exponent_low);
        const Real inverse = 1.0 / (scaled * log_b);
        const Real rho = inverse * log_b;
        const Real lambda = inverse * scaled;
        const Real k = 1.0 + 2.0 * lambda;
        nu = (d.log_beta - log_b) * (log_b * d.inverse_log_beta) * scaled;
        h2 = b2 - rho * k;
        h3 = b3 + rho * rho * (2.0 + 6.0 * lambda * (1.0 + lambda)) - 3.0 * b2 * rho * k;
        if (any_lane(d.order4)) {
            const Real inner = rho * rho * (6.0 + lambda * (22.0 + lambda * (36.0 + 24.0 * lambda))) -
                               b2 * rho * (12.0 + 36.0 * lambda * (1.0 + lambda));
            h4 = b4 - rho * inner - 3.0 * b2 * b2 * rho * k - 4.0 * b3 * rho * k;
        }
    } else {
        // g = ln(beta_bar/bbar), with gamma = b'/bbar.
        const Real bbar = point.complement;
        const Real logarithm = log_of(bbar * d.inverse_beta_bar);
        const Real gamma = point.vega / bbar;
        nu = logarithm / gamma;
        h2 = b2 + gamma;
        h3 = b3 + gamma * (2.0 * gamma + 3.0 * b2);
        if (any_lane(d.order4)) {
            h4 = b4 + gamma * (6.0 * gamma * (gamma + 2.0 * b2) + 3.0 * b2 * b2 + 4.0 * b3);
        }
    }

    // s + nu (1 + h2 nu/2) / (1 + nu (h2 + h3 nu/6)), or the order-4 update
    // s + nu (1 + nu (h2 + nu h3/6)) / (1 + nu (3h2/2 + nu (h2^2/4 + h3/3 + nu h4/24))).
    constexpr double sixth = 1.0 / 6.0, third = 1.0 / 3.0, twenty_fourth = 1.0 / 24.0;
    Real step = nu * (1.0 + 0.5 * h2 * nu) / (1.0 + nu * (h2 + h3 * nu * sixth));
    if constexpr (B != RationalBranch::Middle) {
        if (any_lane(d.order4)) {
            const Real numerator = nu * (1.0 + nu * (h2 + nu * h3 * sixth));
            const Real denominator =
                1.0 + nu * (1.5 * h2 + nu * (0.25 * h2 * h2 + h3 * third + nu * h4 * twenty_fourth));
            step = select(d.order4, numerator / denominator, step);
        }
    }
    const Real floor = -0.5 * s;
    return select(step > floor, step, floor);
}

// What the steps of each problem of branch B share.
template <RationalBranch B, class Real>
KESTRELFIN_LANE_INLINE StepData<Real> step_data(const NormalisedProblem<Real>& p) noexcept {
    StepData<Real> d;
    const Real ax = -p.x;
    d.log_beta = Real{};
    d.inverse_log_beta = Real{};
    d.inverse_beta_bar = Real{};
    if constexpr (B == RationalBranch::Lowest) {
        d.order4 = ax > lowest_order4_limit;
        d.log_beta = select(p.beta < DBL_MIN, p.tiny_log_beta, log_of(p.beta));
        d.inverse_log_beta = 1.0 / d.log_beta;
    } else if constexpr (B == RationalBranch::Highest) {
        d.order4 = ax > highest_order4_limit;
        d.inverse_beta_bar = 1.0 / p.beta_bar;
    } else {
        d.order4 = lane_not(p.x == p.x);
    }
    return d;
}

// The total volatility s of each problem of branch B (x < 0): the guess and
// two steps; the second is skipped where the first moved s by at most eps s.
template <RationalBranch B, class Real>
KESTRELFIN_LANE_INLINE Real normalised_implied_volatility(const NormalisedProblem<Real>& p) noexcept {
    const StepData<Real> d = step_data<B>(p);
    Real s = rational_guess<B>(p);
    Real next = s + householder_step<B>(p, d, s);
    const auto moving = lane_not(abs_of(next - s) <= DBL_EPSILON * next);
    s = next;
    if (any_lane(moving)) {
        next = s + householder_step<B>(p, d, s);
        s = select(moving, next, s);
    }
    return s;
}

// One normalised problem (x < 0, beta, beta_bar = b_max - beta) solved step
// by step, for one double: its branch, guess, solution (two steps) and the
// change a third step would make. What the tests of the steps look at.
struct NormalisedSolution {
    RationalBranch branch;
    double guess, s, third_step;
};

inline NormalisedSolution solve_normalised(double x, double beta, double beta_bar) noexcept {
    NormalisedProblem<double> p{};
    p.x = x;
    p.beta = beta;
    p.beta_bar = beta_bar;
    p.b_max = std::exp(x * 0.5);
    p.inverse_b_max = 1.0 / p.b_max;
    p.tiny_log_beta = std::log(beta);
    NormalisedSolution out;
    out.branch = static_cast<RationalBranch>(static_cast<int>(locate_branch(p, true)));
    auto solve = [&]<RationalBranch B>() {
        out.guess = rational_guess<B>(p);
        out.s = normalised_implied_volatility<B>(p);
        out.third_step = householder_step<B>(p, step_data<B>(p), out.s);
    };
    if (out.branch == RationalBranch::Lowest) {
        solve.template operator()<RationalBranch::Lowest>();
    } else if (out.branch == RationalBranch::Middle) {
        solve.template operator()<RationalBranch::Middle>();
    } else {
        solve.template operator()<RationalBranch::Highest>();
    }
    return out;
}

}  // namespace detail

// What remains to be done for an option once it is classified: the guess
// and steps of one branch, the closed form at the money, or nothing (its
// outcome is known).
enum class RationalRoute : unsigned char { Lowest = 0, Middle = 1, Highest = 2, AtTheMoney = 3, Done = 4 };

// An option (or each lane) after classification.
template <class Real>
struct ClassifiedOption {
    RationalOutcome<Real> outcome;  // final unless the route says otherwise
    Real route;                     // a RationalRoute, as a double
    NormalisedProblem<Real> problem;
    Real sqrt_t;
};

namespace detail {

template <class Real>
KESTRELFIN_LANE_INLINE Real route_code(RationalRoute route) noexcept {
    return splat<Real>(static_cast<double>(static_cast<int>(route)));
}

// Calls f once per field of a classified option that the routes read (the
// problem and sqrt(t)), with an accessor that gives that field of any
// ClassifiedOption, of doubles or of lanes: how options are stored one by
// one after classification and gathered into blocks again.
template <class F>
KESTRELFIN_LANE_INLINE void each_field(F&& f) noexcept {
    f([](auto& o) KESTRELFIN_LANE_LAMBDA -> auto& { return o.problem.x; });
    f([](auto& o) KESTRELFIN_LANE_LAMBDA -> auto& { return o.problem.beta; });
    f([](auto& o) KESTRELFIN_LANE_LAMBDA -> auto& { return o.problem.beta_bar; });
    f([](auto& o) KESTRELFIN_LANE_LAMBDA -> auto& { return o.problem.b_max; });
    f([](auto& o) KESTRELFIN_LANE_LAMBDA -> auto& { return o.problem.inverse_b_max; });
    f([](auto& o) KESTRELFIN_LANE_LAMBDA -> auto& { return o.problem.tiny_log_beta; });
    f([](auto& o) KESTRELFIN_LANE_LAMBDA -> auto& { return o.problem.z; });
    f([](auto& o) KESTRELFIN_LANE_LAMBDA -> auto& { return o.problem.c; });
    f([](auto& o) KESTRELFIN_LANE_LAMBDA -> auto& { return o.problem.q; });
    f([](auto& o) KESTRELFIN_LANE_LAMBDA -> auto& { return o.problem.b_c; });
    f([](auto& o) KESTRELFIN_LANE_LAMBDA -> auto& { return o.problem.b_ref; });
    f([](auto& o) KESTRELFIN_LANE_LAMBDA -> auto& { return o.sqrt_t; });
}

}  // namespace detail

// Classifies each option (or lane) from its discounted price, forward F,
// strike K, time t and rate r, and for the options left to solve reduces them
// to their normalised problem and its branch. kind: one OptionKind, or the
// kinds of the lanes (LaneKinds).
template <class Real, class Kind>
KESTRELFIN_LANE_INLINE ClassifiedOption<Real> classify_option(Kind kind, Real price, Real F, Real K, Real t,
                                                              Real r) noexcept {
    using namespace detail;
    using Mask = MaskOf<Real>;
    constexpr double inf = std::numeric_limits<double>::infinity();
    const auto call = call_mask_of(kind, price);

    const auto valid =
        (F > 0.0) & (F < inf) & (K > 0.0) & (K < inf) & (t > 0.0) & (t < inf) & (abs_of(r) < inf) & (price == price);
    const Real growth = exp_of_shared(t * r);
    const auto own = (price == 0.0) | (abs_of(price) == inf);
    const Real P = select(own, price, price * growth);
    const Real difference = select(call, F - K, K - F);
    const Real intrinsic = select(difference > 0.0, difference, Real{});
    const Real upper = select(call, F, K);
    const Real root = sqrt_of(F) * sqrt_of(K);
    const Real beta = (P - intrinsic) / root;
    const Real beta_bar = (upper - P) / root;

    // The lowest precedence first: each later selection overrides.
    Real status =
        select(beta <= 0.0, status_code<Real>(RationalStatus::AtIntrinsic), status_code<Real>(RationalStatus::Ok));
    status = select((P >= upper) | (beta_bar <= 0.0), status_code<Real>(RationalStatus::AtOrAboveMaximum), status);
    status = select(P < intrinsic, status_code<Real>(RationalStatus::BelowIntrinsic), status);
    status = select(lane_not(valid), status_code<Real>(RationalStatus::InvalidInput), status);

    ClassifiedOption<Real> c;
    c.outcome.status = status;
    c.outcome.volatility = select(status == status_code<Real>(RationalStatus::AtIntrinsic), Real{},
                                  splat<Real>(std::numeric_limits<double>::quiet_NaN()));
    c.sqrt_t = sqrt_of(t);
    const auto ok = status == status_code<Real>(RationalStatus::Ok);
    const auto at_the_money = ok & (F == K);
    const Mask general = ok & lane_not(F == K);
    c.route = select(at_the_money, route_code<Real>(RationalRoute::AtTheMoney), route_code<Real>(RationalRoute::Done));

    // Lanes without a general problem hold a harmless one (F = 1, K = 2, an
    // upper-middle price), so that they never send a block down a rare path.
    NormalisedProblem<Real>& p = c.problem;
    p = NormalisedProblem<Real>{};
    p.beta = select(general, beta, splat<Real>(0.25));
    p.beta_bar = select(general, beta_bar, splat<Real>(0.45));
    if (any_lane(general)) {
        const Real F_g = select(general, F, splat<Real>(1.0));
        const Real K_g = select(general, K, splat<Real>(2.0));
        p.x = -abs_of(log_moneyness(F_g, K_g, general));
        p.b_max = exp_of(p.x * 0.5);
        p.inverse_b_max = 1.0 / p.b_max;
        // A subnormal beta has lost digits; the lowest branch's objective
        // takes ln(beta) from the time value and the logarithms of F and K.
        const Mask subnormal = general & (beta < DBL_MIN);
        if (any_lane(subnormal)) {
            const Real log_time_value = log_of(select(subnormal, P - intrinsic, splat<Real>(1.0)));
            p.tiny_log_beta = log_time_value - 0.5 * (log_of(F_g) + log_of(K_g));
        }
        c.route = select(general, locate_branch(p, general), c.route);
    }
    // At the money the closed form takes beta and beta_bar themselves.
    p.beta = select(at_the_money, beta, p.beta);
    p.beta_bar = select(at_the_money, beta_bar, p.beta_bar);
    return c;
}

// The volatility of each option of route R: s / sqrt(t).
template <RationalRoute R, class Real>
KESTRELFIN_LANE_INLINE Real solve_route(const ClassifiedOption<Real>& c) noexcept {
    using namespace detail;
    const NormalisedProblem<Real>& p = c.problem;
    if constexpr (R == RationalRoute::AtTheMoney) {
        // b(0, s) = erf(s/sqrt8), so s = 2 Phi^-1(1/2 + beta/2): AS 241's
        // central part at q = beta/2, or its tail at p = beta_bar/2.
        const auto central = p.beta <= atm_central_limit;
        Real s = Real{};
        if (any_lane(central)) {
            s = 2.0 * inverse_normal_central(p.beta * 0.5);
        }
        const auto tail = lane_not(central);
        if (any_lane(tail)) {
            s = select(tail, -2.0 * inverse_normal_lower_tail(select(tail, p.beta_bar * 0.5, splat<Real>(0.01))), s);
        }
        return s / c.sqrt_t;
    } else {
        constexpr RationalBranch branch = static_cast<RationalBranch>(static_cast<int>(R));
        return normalised_implied_volatility<branch>(p) / c.sqrt_t;
    }
}

// The implied volatility of each option (or lane) from its discounted price,
// forward F, strike K, time t and rate r; kind as for classify_option. Lanes
// take each route present among them (rational_implied_volatility_lanes
// groups options by route instead).
template <class Real, class Kind>
KESTRELFIN_LANE_INLINE RationalOutcome<Real> rational_implied_volatility_of(Kind kind, Real price, Real F, Real K,
                                                                            Real t, Real r) noexcept {
    using namespace detail;
    const ClassifiedOption<Real> c = classify_option(kind, price, F, K, t, r);
    RationalOutcome<Real> out = c.outcome;
    auto take = [&]<RationalRoute R>() KESTRELFIN_LANE_LAMBDA {
        const auto here = c.route == route_code<Real>(R);
        if (any_lane(here)) {
            out.volatility = select(here, solve_route<R>(c), out.volatility);
        }
    };
    take.template operator()<RationalRoute::Middle>();
    take.template operator()<RationalRoute::Lowest>();
    take.template operator()<RationalRoute::Highest>();
    take.template operator()<RationalRoute::AtTheMoney>();
    return out;
}

// One option.
inline RationalImpliedVol rational_implied_volatility(OptionKind kind, double price, double F, double K, double t,
                                                      double r) noexcept {
    const RationalOutcome<double> o = rational_implied_volatility_of(kind, price, F, K, t, r);
    return {o.volatility, static_cast<RationalStatus>(static_cast<int>(o.status))};
}
inline RationalImpliedVol rational_implied_volatility(OptionKind kind, const ImpliedVolInputs& in) noexcept {
    return rational_implied_volatility(kind, in.price, in.F, in.K, in.t, in.r);
}

// Black-Scholes-Merton (Black-Scholes with q = 0.0) through its forward
// S*exp(t*(r - q)), and Black-76 (r before t, as its public signature has it).
inline RationalImpliedVol bsm_rational_implied_volatility(OptionKind kind, double price, double S, double K, double t,
                                                          double r, double q) noexcept {
    return rational_implied_volatility(kind, bsm_implied_volatility_inputs(price, S, K, t, r, q));
}
inline RationalImpliedVol black76_rational_implied_volatility(OptionKind kind, double price, double F, double K,
                                                              double r, double t) noexcept {
    return rational_implied_volatility(kind, black76_implied_volatility_inputs(price, F, K, r, t));
}

// Lane i of a block's outcome.
template <class V>
KESTRELFIN_LANE_INLINE RationalImpliedVol lane_outcome(const RationalOutcome<V>& o, int i) noexcept {
    return {o.volatility[i], static_cast<RationalStatus>(static_cast<int>(o.status[i]))};
}

// n options over the lanes of V. kind_of(i) and inputs_of(i) give option
// i's kind and ImpliedVolInputs, store(i, outcome) receives its
// RationalImpliedVol (in no particular order). Every option's outcome is the
// scalar function's, whatever its lane, its neighbours and the length.
//
// The options are taken in chunks. Each chunk is first classified, two
// blocks of V at a time (LanePair: two independent chains for the
// out-of-order core, which one block's long chain of exp, log, square roots
// and landmark fits leaves idle); the options left to solve are then grouped
// by route and solved two blocks at a time too, so that a block's lanes share
// their branch's code and no lane sends the others down a path they do not
// need. A last, partial block of a group repeats one of its options.
template <LaneVector V, class KindOf, class InputsOf, class Store>
KESTRELFIN_LANE_INLINE void rational_implied_volatility_lanes(std::size_t n, KindOf&& kind_of, InputsOf&& inputs_of,
                                                              Store&& store) noexcept {
    using namespace detail;
    using Pair = LanePair<V>;
    constexpr int pair_width = lane_count<Pair>;
    constexpr int chunk = 256;
    constexpr int routes = 4;
    constexpr double nan = std::numeric_limits<double>::quiet_NaN();
    ClassifiedOption<double> stored[chunk];
    int members[routes][chunk];
    for (std::size_t begin = 0; begin < n; begin += chunk) {
        const int count = n - begin < static_cast<std::size_t>(chunk) ? static_cast<int>(n - begin) : chunk;
        int sizes[routes] = {};
        for (int i = 0; i < count; i += pair_width) {
            const int used = count - i < pair_width ? count - i : pair_width;
            // Lanes past the end hold NaNs (the puts of a NaN price).
            ImpliedVolInputs in[pair_width];
            LaneKinds<pair_width> kinds{};
            for (int lane = 0; lane < pair_width; ++lane) {
                in[lane] = lane < used ? inputs_of(begin + i + lane) : ImpliedVolInputs{nan, nan, nan, nan, nan};
                kinds.is_call[lane] = lane < used && kind_of(begin + i + lane) == OptionKind::Call ? -1 : 0;
            }
            const auto field = [&](double ImpliedVolInputs::*member) KESTRELFIN_LANE_LAMBDA {
                return lanes_from<Pair>([&](int lane) KESTRELFIN_LANE_LAMBDA { return in[lane].*member; });
            };
            const ClassifiedOption<Pair> c =
                classify_option(kinds, field(&ImpliedVolInputs::price), field(&ImpliedVolInputs::F),
                                field(&ImpliedVolInputs::K), field(&ImpliedVolInputs::t), field(&ImpliedVolInputs::r));
            for (int lane = 0; lane < used; ++lane) {
                const int route = static_cast<int>(c.route[lane]);
                if (route == static_cast<int>(RationalRoute::Done)) {
                    store(begin + i + lane, lane_outcome(c.outcome, lane));
                    continue;
                }
                ClassifiedOption<double>& one = stored[i + lane];
                each_field([&](auto of) KESTRELFIN_LANE_LAMBDA { of(one) = of(c)[lane]; });
                members[route][sizes[route]++] = i + lane;
            }
        }
        auto solve = [&]<RationalRoute R>() KESTRELFIN_LANE_LAMBDA {
            constexpr int route = static_cast<int>(R);
            for (int k = 0; k < sizes[route]; k += pair_width) {
                const int used = sizes[route] - k < pair_width ? sizes[route] - k : pair_width;
                // The lanes past the group's end repeat its first option.
                int option[pair_width];
                for (int lane = 0; lane < pair_width; ++lane) {
                    option[lane] = members[route][k + (lane < used ? lane : 0)];
                }
                ClassifiedOption<Pair> block;
                each_field([&](auto of) KESTRELFIN_LANE_LAMBDA {
                    of(block) =
                        lanes_from<Pair>([&](int lane) KESTRELFIN_LANE_LAMBDA { return of(stored[option[lane]]); });
                });
                const Pair volatility = solve_route<R>(block);
                for (int lane = 0; lane < used; ++lane) {
                    store(begin + option[lane], RationalImpliedVol{volatility[lane], RationalStatus::Ok});
                }
            }
        };
        solve.template operator()<RationalRoute::Middle>();
        solve.template operator()<RationalRoute::Lowest>();
        solve.template operator()<RationalRoute::Highest>();
        solve.template operator()<RationalRoute::AtTheMoney>();
    }
}

}  // namespace kestrelfin::core
