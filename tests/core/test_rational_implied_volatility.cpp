// The "Let's Be Rational" solver on its published test vectors, its reason
// codes and edge cases, and properties that need no reference values:
// monotone in the price, put-call parity, the backward error of re-pricing,
// and that the two Householder steps reach the fixed point.
#include <cfloat>
#include <cmath>
#include <limits>
#include <random>

#include <gtest/gtest.h>

#include "core/normalised_black.hpp"
#include "core/rational_implied_volatility.hpp"
#include "rational_test_support.hpp"

namespace kestrelfin::test {
namespace {

using core::RationalStatus;
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInf = std::numeric_limits<double>::infinity();
constexpr double kSqrt2Pi = 2.5066282746310002;

core::RationalImpliedVol solve(OptionKind kind, double price, double F, double K, double t, double r = 0.0) {
    return core::rational_implied_volatility(kind, price, F, K, t, r);
}

double ulp(double x) {
    return std::nextafter(std::fabs(x), kInf) - std::fabs(x);
}

// The undiscounted Black price at sigma, and dP/dsigma, from the accurate
// normalised Black function: sqrt(F K) b(-|x|, s) plus the intrinsic value.
struct Repriced {
    double price, vega, h;
};
Repriced reprice(OptionKind kind, double F, double K, double t, double sigma) {
    // F - K is exact here, and log1p then gives x to an ulp of x itself.
    const double x = -std::fabs(F >= K / 2 && F <= 2 * K ? std::log1p((F - K) / K) : std::log(F / K));
    const double s = sigma * std::sqrt(t);
    const double intrinsic = std::fmax(kind == kCall ? F - K : K - F, 0.0);
    const double root = std::sqrt(F) * std::sqrt(K);
    const double h = x / s;
    const double b = x == 0 ? std::erf(s / std::sqrt(8.0)) : core::normalised_black(x, s);
    const double vega = root * std::exp(-(h * h + s * s / 4) / 2) / kSqrt2Pi * std::sqrt(t);
    return {intrinsic + root * b, vega, x == 0 ? 0.0 : h};
}

// ---- the vectors of the implementation note (Black-76, undiscounted) -------------

struct Vector {
    double F, K, T;
    OptionKind kind;
    double price, sigma_star, tol;
    double k;  // 4 up to |x| = 100, 8 beyond
};

// P and sigma* are mpmath's (120 digits), tol = ulp(P)/V + ulp(sigma*).
constexpr Vector kVectors[] = {
    {100, 100, 1, kCall, 7.9655674554057967, 0.20000000000000001, 5.0e-17, 4},
    {1, 1, 1, kCall, 3.9894228040141602e-07, 9.9999999999999990e-07, 3.4e-22, 4},
    {100, 100, 1, kPut, 98.758066934844777, 5.0000000000000023, 9.0e-15, 4},
    {100, 120, 0.5, kCall, 1.5155091870028099, 0.25000000000000000, 6.8e-17, 4},
    {100, 80, 2, kPut, 20.528766282022872, 0.60000000000000002, 1.9e-16, 4},
    {100, 60, 1, kCall, 40.418576171655708, 0.29999999999999979, 1.1e-15, 4},
    {100, 150, 0.25, kPut, 50.192475323297053, 0.40000000000000029, 2.3e-15, 4},
    {100, 101, 1e-4, kCall, 3.5997681176950655e-05, 0.29999999999999999, 6.0e-17, 4},
    {100, 150, 1, kCall, 1.2722243099440357e-200, 0.013469999999999999, 1.7e-18, 4},
    {1, 1.0625, 1, kCall, 6.9242289909009399e-301, 0.0016479999999999999, 2.2e-19, 4},
    {100, 130, 1, kCall, 98.585550465693160, 4.9999999999999977, 8.0e-15, 4},
    {1, 1e40, 4, kCall, 0.99999995268916553, 9.9999999999247174, 2.9e-10, 4},
    {1, 1e130, 1, kCall, 3.5402086315488882e-36, 15.000000000000000, 1.8e-15, 8},
    {100, 70, 1, kCall, 30.000000000000277, 0.050001986293536828, 1.2e-05, 4},
};

TEST(RationalImpliedVolatility, PublishedVectorsWithinKTimesTheirTolerance) {
    for (const Vector& v : kVectors) {
        const auto got = solve(v.kind, v.price, v.F, v.K, v.T);
        ASSERT_EQ(got.status, RationalStatus::Ok) << v.F << " " << v.K << " " << v.price;
        EXPECT_LE(std::fabs(got.volatility - v.sigma_star), v.k * v.tol)
            << "F " << v.F << " K " << v.K << " T " << v.T << " P " << v.price << ": " << got.volatility;
    }
    // 15: s = 20 rounds the price to F; 16: the time value is below ulp(99).
    const auto at_max = solve(kCall, 100.0, 100, 110, 4);
    EXPECT_EQ(at_max.status, RationalStatus::AtOrAboveMaximum);
    EXPECT_TRUE(std::isnan(at_max.volatility));
    const auto at_intrinsic = solve(kCall, 99.0, 100, 1, 1);
    EXPECT_EQ(at_intrinsic.status, RationalStatus::AtIntrinsic);
    EXPECT_EQ(test::bits(at_intrinsic.volatility), test::bits(0.0));
}

// ---- reason codes ------------------------------------------------------------------

struct Reason {
    const char* name;
    OptionKind kind;
    double price, F, K, t, r;
    RationalStatus status;
};

const Reason kReasons[] = {
    {"nan price", kCall, kNaN, 100, 100, 1, 0, RationalStatus::InvalidInput},
    {"nan F", kCall, 5, kNaN, 100, 1, 0, RationalStatus::InvalidInput},
    {"nan K", kPut, 5, 100, kNaN, 1, 0, RationalStatus::InvalidInput},
    {"nan t", kCall, 5, 100, 100, kNaN, 0, RationalStatus::InvalidInput},
    {"nan r", kPut, 5, 100, 100, 1, kNaN, RationalStatus::InvalidInput},
    {"inf F", kCall, 5, kInf, 100, 1, 0, RationalStatus::InvalidInput},
    {"inf K", kPut, 5, 100, kInf, 1, 0, RationalStatus::InvalidInput},
    {"inf t", kCall, 5, 100, 100, kInf, 0, RationalStatus::InvalidInput},
    {"inf r", kCall, 5, 100, 100, 1, kInf, RationalStatus::InvalidInput},
    {"-inf r", kCall, 5, 100, 100, 1, -kInf, RationalStatus::InvalidInput},
    {"t = 0", kCall, 5, 100, 100, 0.0, 0, RationalStatus::InvalidInput},
    {"t = -0", kCall, 5, 100, 100, -0.0, 0, RationalStatus::InvalidInput},
    {"t < 0", kPut, 5, 100, 100, -1, 0, RationalStatus::InvalidInput},
    {"F = 0", kCall, 5, 0.0, 100, 1, 0, RationalStatus::InvalidInput},
    {"F < 0", kCall, 5, -100, 100, 1, 0, RationalStatus::InvalidInput},
    {"K = 0", kPut, 5, 100, 0.0, 1, 0, RationalStatus::InvalidInput},
    {"K < 0", kPut, 5, 100, -100, 1, 0, RationalStatus::InvalidInput},
    {"price +inf", kCall, kInf, 100, 100, 1, 0, RationalStatus::AtOrAboveMaximum},
    {"price -inf", kCall, -kInf, 100, 100, 1, 0, RationalStatus::BelowIntrinsic},
    {"invalid before all: inf price, nan K", kCall, kInf, 100, kNaN, 1, 0, RationalStatus::InvalidInput},
    {"negative price", kCall, -1e-300, 100, 120, 1, 0, RationalStatus::BelowIntrinsic},
    {"itm call below intrinsic", kCall, std::nextafter(20.0, 0.0), 120, 100, 1, 0, RationalStatus::BelowIntrinsic},
    {"itm put below intrinsic", kPut, 19.0, 100, 120, 1, 0, RationalStatus::BelowIntrinsic},
    {"discounted below intrinsic", kCall, 19.0, 120, 100, 1, 0.05, RationalStatus::BelowIntrinsic},
    {"call at F", kCall, 100, 100, 120, 1, 0, RationalStatus::AtOrAboveMaximum},
    {"put at K", kPut, 120, 100, 120, 1, 0, RationalStatus::AtOrAboveMaximum},
    {"call above F", kCall, 1e300, 100, 120, 1, 0, RationalStatus::AtOrAboveMaximum},
    {"undiscounted above K", kPut, 119.0, 100, 120, 1, 0.05, RationalStatus::AtOrAboveMaximum},
    {"undiscounting overflows", kCall, 1.0, 100, 120, 100, 7.2, RationalStatus::AtOrAboveMaximum},
    {"maximum before intrinsic: F - K rounds to F", kCall, 1e20, 1e20, 1.0, 1, 0, RationalStatus::AtOrAboveMaximum},
    {"otm price 0", kCall, 0.0, 100, 120, 1, 0, RationalStatus::AtIntrinsic},
    {"otm price -0", kPut, -0.0, 120, 100, 1, 0, RationalStatus::AtIntrinsic},
    {"price 0, discount factor overflows", kCall, 0.0, 100, 120, 100, 7.2, RationalStatus::AtIntrinsic},
    {"itm call at intrinsic", kCall, 20.0, 120, 100, 1, 0, RationalStatus::AtIntrinsic},
    {"itm put at intrinsic", kPut, 20.0, 100, 120, 1, 0, RationalStatus::AtIntrinsic},
    {"atm price 0", kCall, 0.0, 100, 100, 1, 0, RationalStatus::AtIntrinsic},
    {"time value drowned in F - K", kCall, 99.0 + 1e-15, 100, 1, 1, 0, RationalStatus::AtIntrinsic},
    {"time value underflows over sqrt(F K)", kCall, 5e-324, 1e300, 1e300, 1, 0, RationalStatus::AtIntrinsic},
};

TEST(RationalImpliedVolatility, ReasonCodesInTheirOrderOfPrecedence) {
    for (const Reason& c : kReasons) {
        const auto got = solve(c.kind, c.price, c.F, c.K, c.t, c.r);
        EXPECT_EQ(static_cast<int>(got.status), static_cast<int>(c.status)) << c.name;
        if (c.status == RationalStatus::AtIntrinsic) {
            EXPECT_EQ(test::bits(got.volatility), test::bits(0.0)) << c.name;
        } else {
            EXPECT_TRUE(std::isnan(got.volatility)) << c.name;
        }
    }
}

// One ulp inside either bound is a price with a volatility: small above the
// intrinsic value, large below the maximum, both finite and positive.
TEST(RationalImpliedVolatility, OneUlpInsideTheBoundsIsSolved) {
    struct Bound {
        OptionKind kind;
        double F, K, price;
        bool near_maximum;
    };
    const Bound bounds[] = {
        {kCall, 120, 100, std::nextafter(20.0, kInf), false},
        {kPut, 100, 120, std::nextafter(20.0, kInf), false},
        {kCall, 1, 1.2, 5e-324, false},
        {kCall, 100, 120, std::nextafter(100.0, 0.0), true},
        {kPut, 100, 120, std::nextafter(120.0, 0.0), true},
        {kCall, 100, 100, std::nextafter(100.0, 0.0), true},
        {kPut, 1e-300, 1e-299, std::nextafter(1e-299, 0.0), true},
    };
    for (const Bound& b : bounds) {
        const auto got = solve(b.kind, b.price, b.F, b.K, 1.0);
        ASSERT_EQ(got.status, RationalStatus::Ok) << b.F << " " << b.K << " " << b.price;
        EXPECT_TRUE(std::isfinite(got.volatility) && got.volatility > 0) << got.volatility;
        EXPECT_TRUE(b.near_maximum ? got.volatility > 10 : got.volatility < 0.1) << got.volatility;
        // Re-priced, the volatility gives the price back to its rounding.
        const Repriced p = reprice(b.kind, b.F, b.K, 1.0, got.volatility);
        EXPECT_LE(std::fabs(p.price - b.price), 8 * (ulp(b.price) + p.vega * ulp(got.volatility)) + 1e-320);
    }
}

// F/K one ulp away from 1 goes through the general method, F == K through
// the closed form; the three agree to the rounding of x.
TEST(RationalImpliedVolatility, AtTheMoneyClosedFormMeetsTheGeneralMethod) {
    for (double sigma : {1e-6, 0.01, 0.2, 1.0, 5.0}) {
        for (OptionKind kind : kKinds) {
            const double price = 100.0 * std::erf(sigma / std::sqrt(8.0));
            const auto atm = solve(kind, price, 100.0, 100.0, 1.0);
            ASSERT_EQ(atm.status, RationalStatus::Ok);
            const double vega = reprice(kind, 100.0, 100.0, 1.0, sigma).vega;
            EXPECT_NEAR(atm.volatility, sigma, 8 * (2 * ulp(price) / vega + DBL_EPSILON * sigma));
            for (double F : {std::nextafter(100.0, 0.0), std::nextafter(100.0, 200.0)}) {
                const auto near = solve(kind, price, F, 100.0, 1.0);
                ASSERT_EQ(near.status, RationalStatus::Ok) << F;
                const Repriced p = reprice(kind, F, 100.0, 1.0, atm.volatility);
                EXPECT_NEAR(near.volatility, atm.volatility, 16 * DBL_EPSILON * (100 + price) / p.vega) << sigma << F;
            }
        }
    }
}

// ---- properties -------------------------------------------------------------------

// A sweep of time values from 1e-300 of the maximum to a hair below it, for
// options across moneyness and expiry: sigma never decreases (beyond the
// inputs' rounding) and re-prices to the price.
TEST(RationalImpliedVolatility, MonotoneInThePriceAndRepricesToIt) {
    const double strikes[] = {1e-200, 0.3, 60, 99, 100, 101, 150, 1e4, 1e250};
    for (double K : strikes) {
        for (double t : {1e-4, 0.5, 30.0}) {
            for (OptionKind kind : kKinds) {
                const double F = 100.0;
                const double intrinsic = std::fmax(kind == kCall ? F - K : K - F, 0.0);
                const double upper = kind == kCall ? F : K;
                double previous = 0.0;
                for (int i = 0; i <= 600; ++i) {
                    // Time values log-spaced up to half the room, then
                    // distances to the maximum log-spaced down from it.
                    const double room = upper - intrinsic;
                    const double u = i / 600.0;
                    const double price = u < 0.5 ? intrinsic + room * 0.5 * std::pow(1e-300, 1 - 2 * u)
                                                 : upper - room * 0.5 * std::pow(1e-16, 2 * u - 1);
                    const auto got = solve(kind, price, F, K, t);
                    if (got.status != RationalStatus::Ok) {
                        // Only where the rounding took the time value or the
                        // room, or the time value underflows over sqrt(F K).
                        EXPECT_TRUE(price <= intrinsic || price >= upper ||
                                    std::fmin(price - intrinsic, upper - price) <= 4 * ulp(price) ||
                                    (price - intrinsic) / (std::sqrt(F) * std::sqrt(K)) == 0.0)
                            << K << " " << t << " " << price;
                        continue;
                    }
                    const Repriced p = reprice(kind, F, K, t, got.volatility);
                    const double slack = 8 * DBL_EPSILON * (got.volatility + (price + F + K) / p.vega);
                    EXPECT_GE(got.volatility, previous - slack) << K << " " << t << " " << price;
                    previous = std::fmax(previous, got.volatility);
                    if ((price - intrinsic) / (std::sqrt(F) * std::sqrt(K)) < DBL_MIN) {
                        continue;  // b itself too small to re-price with
                    }
                    // Backward error: b's own rounding grows with h^2 (its
                    // condition), the rest is the rounding of P and sigma.
                    const double tolerance = 8 * (ulp(price) + p.vega * ulp(got.volatility)) +
                                             8 * DBL_EPSILON * (1 + p.h * p.h) * (price - intrinsic);
                    EXPECT_LE(std::fabs(p.price - price), tolerance) << K << " " << t << " " << price;
                }
            }
        }
    }
}

// A put priced from the call by parity (P_put = P_call - (F - K), rounded)
// gives the call's sigma up to the two prices' rounding.
TEST(RationalImpliedVolatility, PutCallParityGivesTheSameVolatility) {
    std::mt19937_64 rng(19);
    std::uniform_real_distribution<double> uniform(0.0, 1.0);
    for (int i = 0; i < 3000; ++i) {
        const double F = std::pow(10.0, 4 * uniform(rng) - 2);
        const double K = F * std::exp(4 * uniform(rng) - 2);
        const double t = std::pow(10.0, 3 * uniform(rng) - 2);
        const double sigma = std::pow(10.0, 2.5 * uniform(rng) - 2);
        const double call = reprice(kCall, F, K, t, sigma).price;
        const double put = call - (F - K);
        const auto c = solve(kCall, call, F, K, t);
        const auto p = solve(kPut, put, F, K, t);
        if (c.status != RationalStatus::Ok || p.status != RationalStatus::Ok) {
            continue;  // the time value is lost in F - K
        }
        const double vega = reprice(kCall, F, K, t, c.volatility).vega;
        const double tolerance = 8 * (ulp(call) + ulp(put) + ulp(F - K)) / vega + 16 * DBL_EPSILON * c.volatility;
        EXPECT_NEAR(p.volatility, c.volatility, tolerance) << F << " " << K << " " << t << " " << sigma;
    }
}

// Two Householder steps reach the fixed point: a third moves s by no more
// than the branch objective's own rounding, eps (s + (1 + |x|) c) with
// c = b/b' (lowest and middle) or (b_max - b)/b' (highest). A guess too far
// off for two steps, or a wrong objective, moves it further.
TEST(RationalImpliedVolatility, TwoStepsReachTheFixedPoint) {
    using namespace core;
    using namespace core::detail;
    std::mt19937_64 rng(23);
    std::uniform_real_distribution<double> uniform(0.0, 1.0);
    WorstRatios worst;
    for (int i = 0; i < 40000; ++i) {
        const double x = -std::pow(10.0, -8 + std::log10(700 / 1e-8) * uniform(rng));
        const double s = std::pow(10.0, -4 + std::log10(80 / 1e-4) * uniform(rng));
        const double b_max = std::exp(x * 0.5);
        const double b = normalised_black(x, s);
        // b_max - b without cancellation where it is small (Region III, beyond s_c).
        const double b_bar = s * s > -2 * x && s > 1.0 ? complementary_black(x, s) : b_max - b;
        if (!(b > 1e-300 && b_bar > 1e-15 * b_max)) {
            continue;
        }
        const NormalisedSolution n = solve_normalised(x, b, b_bar);
        const double s2 = n.s, third = n.third_step;
        const double vega = std::exp(-((x / s2) * (x / s2) + s2 * s2 / 4) / 2) / kSqrt2Pi;
        const double c = (n.branch == RationalBranch::Highest ? b_bar : b) / vega;
        const double bound = 4 * DBL_EPSILON * (s2 + (1 - x) * c);
        EXPECT_LE(std::fabs(third), bound) << "x " << x << " s " << s << " guess " << n.guess << " -> " << s2;
        static const char* const names[] = {"lowest", "middle", "highest"};
        worst.add(names[static_cast<int>(n.branch)], std::fabs(third) / bound);
    }
    worst.print("third step");
}

}  // namespace
}  // namespace kestrelfin::test
