// The implied-volatility solver: round trips through every model's price,
// worked inversions, the bounds of the no-arbitrage band and of the bracket,
// the tolerance on tiny prices, NaN inputs and the failures' texts.
#include <cmath>
#include <cstring>
#include <limits>
#include <sstream>
#include <vector>

#include "kernels/messages.hpp"
#include "kernels/operations.hpp"
#include "core/black76.hpp"
#include "core/black_scholes_merton.hpp"
#include "core/implied_volatility.hpp"
#include "test_support.hpp"

namespace {

using namespace kestrelfin::core;
using namespace kestrelfin::test;
namespace table = kestrelfin::kernels::table;

// Black-Scholes as the function table defines it.
double bs_black_scholes(OptionKind kind, double S, double K, double t, double r, double sigma) {
    return table::bs_black_scholes::operation(kind, S, K, t, r, sigma);
}
ImpliedVol bs_implied_volatility(OptionKind kind, double price, double S, double K, double t, double r) {
    return table::bs_implied_volatility::operation(kind, price, S, K, t, r);
}

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr std::uint64_t kQuietNaNBits = 0x7ff8000000000000ULL;

// ---------------------------------------------------------------------------
// Round trips: price with a model, solve, compare with the volatility used.
//
// The solver stops once the undiscounted price is within tol = (P + 1)e-12,
// so the volatility can only be pinned down to about tol / vega (vega being
// the undiscounted dP/dsigma); the bound below is twice that, plus a margin
// for the bisection's 1e-14 bracket.

struct RoundTrip {
    double K;
    double t;
    double sigma;
};

void PrintTo(const RoundTrip& p, std::ostream* os) {
    *os << "K=" << p.K << " t=" << p.t << " sigma=" << p.sigma;
}

std::vector<RoundTrip> round_trip_grid() {
    std::vector<RoundTrip> grid;
    for (double K : {60.0, 85.0, 100.0, 115.0, 150.0})
        for (double t : {0.05, 0.5, 2.0})
            for (double sigma : {0.05, 0.2, 0.6, 1.5})
                grid.push_back({K, t, sigma});
    return grid;
}

double volatility_bound(double F, double K, double t, double sigma, double P) {
    const double v = sigma * std::sqrt(t);
    const double d1 = (std::log(F / K) + v * v / 2) / v;
    const double vega = F * std::sqrt(t) * static_cast<double>(norm_pdf_ld(d1));
    return 2 * (P + 1) * 1e-12 / vega + 1e-13;
}

class ImpliedVolRoundTrip : public ::testing::TestWithParam<std::tuple<RoundTrip, OptionKind>> {};

TEST_P(ImpliedVolRoundTrip, RecoversTheVolatilityInEveryModel) {
    const auto [p, kind] = GetParam();
    const double S = 100, r = 0.03, q = 0.02;

    const double bs_price = bs_black_scholes(kind, S, p.K, p.t, r, p.sigma);
    const double bs_F = S * std::exp(p.t * r);
    const ImpliedVol bs = bs_implied_volatility(kind, bs_price, S, p.K, p.t, r);
    ASSERT_TRUE(bs.ok()) << kestrelfin::kernels::messages::solver_failure(bs.error);
    EXPECT_NEAR(bs.volatility, p.sigma, volatility_bound(bs_F, p.K, p.t, p.sigma, bs_price * std::exp(p.t * r)));

    const double bsm_price = bsm_black_scholes_merton(kind, S, p.K, p.t, r, p.sigma, q);
    const double bsm_F = S * std::exp(p.t * (r - q));
    const ImpliedVol bsm = bsm_implied_volatility(kind, bsm_price, S, p.K, p.t, r, q);
    ASSERT_TRUE(bsm.ok()) << kestrelfin::kernels::messages::solver_failure(bsm.error);
    EXPECT_NEAR(bsm.volatility, p.sigma, volatility_bound(bsm_F, p.K, p.t, p.sigma, bsm_price * std::exp(p.t * r)));

    const double F = 104;
    const double b76_price = black76_black(kind, F, p.K, p.t, r, p.sigma);
    const ImpliedVol b76 = black76_implied_volatility(kind, b76_price, F, p.K, r, p.t);
    ASSERT_TRUE(b76.ok()) << kestrelfin::kernels::messages::solver_failure(b76.error);
    EXPECT_NEAR(b76.volatility, p.sigma, volatility_bound(F, p.K, p.t, p.sigma, b76_price * std::exp(p.t * r)));
}

std::string round_trip_test_name(const ::testing::TestParamInfo<ImpliedVolRoundTrip::ParamType>& info) {
    const auto& [p, kind] = info.param;
    std::ostringstream name;
    name << "K" << p.K << "_t" << p.t << "_sigma" << p.sigma << "_" << kind_name(kind);
    return test_name(name.str());
}

INSTANTIATE_TEST_SUITE_P(Grid, ImpliedVolRoundTrip,
                         ::testing::Combine(::testing::ValuesIn(round_trip_grid()), ::testing::ValuesIn(kKinds)),
                         round_trip_test_name);

TEST(ImpliedVol, WorkedInversions) {
    const double call = black76_black(kCall, 100.0, 100.0, 1.0, 0.05, 0.2);
    const ImpliedVol a = black76_implied_volatility(kCall, call, 100, 100, 0.05, 1);
    ASSERT_TRUE(a.ok());
    EXPECT_NEAR(a.volatility, 0.2, 2e-15);

    const double put = black76_black(kPut, 100.0, 90.0, 0.5, 0.03, 0.25);
    const ImpliedVol b = black76_implied_volatility(kPut, put, 100, 90, 0.03, 0.5);
    ASSERT_TRUE(b.ok());
    EXPECT_NEAR(b.volatility, 0.25, 1e-12);
}

TEST(ImpliedVol, ModelsAgreeWhenTheyDescribeTheSameForward) {
    const double S = 100, K = 105, t = 0.7, r = 0.04;
    for (OptionKind k : kKinds) {
        const double price = bs_black_scholes(k, S, K, t, r, 0.3);
        const ImpliedVol bs = bs_implied_volatility(k, price, S, K, t, r);
        const ImpliedVol bsm = bsm_implied_volatility(k, price, S, K, t, r, 0.0);
        const ImpliedVol b76 = black76_implied_volatility(k, price, S * std::exp(t * r), K, r, t);
        EXPECT_EQ(bits(bs.volatility), bits(bsm.volatility));
        EXPECT_EQ(bits(bs.volatility), bits(b76.volatility));
    }
}

// ---------------------------------------------------------------------------
// The bounds and the constant exits.

TEST(ImpliedVol, AtOrJustBelowIntrinsicGivesTheMinimumVolatility) {
    for (double price : {10.0, 10.0 - 1e-15}) {
        const ImpliedVol iv = implied_volatility(kCall, price, 110, 100, 1, 0);
        ASSERT_TRUE(iv.ok());
        EXPECT_EQ(iv.volatility, 1e-6);
    }
    const ImpliedVol put = implied_volatility(kPut, 10.0, 90, 100, 1, 0);
    ASSERT_TRUE(put.ok());
    EXPECT_EQ(put.volatility, 1e-6);
}

TEST(ImpliedVol, ClearlyBelowIntrinsicIsAnError) {
    EXPECT_EQ(implied_volatility(kCall, 10.0 - 1e-13, 110, 100, 1, 0).error, ImpliedVolError::BelowIntrinsic);
    EXPECT_EQ(implied_volatility(kPut, 9.9, 90, 100, 1, 0).error, ImpliedVolError::BelowIntrinsic);
    // The bound applies to the undiscounted price: 9.6*exp(0.05) is above 10.
    EXPECT_EQ(implied_volatility(kCall, 9.6, 110, 100, 1, 0).error, ImpliedVolError::BelowIntrinsic);
    EXPECT_TRUE(implied_volatility(kCall, 9.6, 110, 100, 1, 0.05).ok());
}

TEST(ImpliedVol, AboveTheForwardOrStrikeIsAnError) {
    EXPECT_EQ(implied_volatility(kCall, 100.001, 100, 100, 1, 0).error, ImpliedVolError::AboveMaximum);
    EXPECT_EQ(implied_volatility(kPut, 90.001, 120, 90, 1, 0).error, ImpliedVolError::AboveMaximum);
    // With r > 0 the undiscounted price is compared: F*exp(-rt) is the limit.
    EXPECT_TRUE(implied_volatility(kCall, 100 * std::exp(-0.05), 100, 100, 1, 0.05).ok());
    EXPECT_EQ(implied_volatility(kCall, 100 * std::exp(-0.05) + 1e-9, 100, 100, 1, 0.05).error,
              ImpliedVolError::AboveMaximum);
}

TEST(ImpliedVol, PricesOutOfReachEndJustBelowTheTopOfTheBracket) {
    // Newton overshoots 5 and the bisection keeps raising lo: after 49
    // halvings of [1e-6, 5] the bracket [5 - w, 5] is narrower than 1e-14,
    // and its midpoint 5 - w/2 (about 4.4e-15 below 5) is returned.
    const double w = (5.0 - 1e-6) / 0x1p49;
    const double at_forward = 100.0;
    const double six_vol = black76_black(kCall, 100.0, 100.0, 1.0, 0.0, 6.0);
    for (double price : {at_forward, six_vol}) {
        const ImpliedVol iv = implied_volatility(kCall, price, 100, 100, 1, 0);
        ASSERT_TRUE(iv.ok());
        EXPECT_LT(iv.volatility, 5.0);
        EXPECT_NEAR(iv.volatility, 5.0 - w / 2, 2e-15);
    }
}

TEST(ImpliedVol, TinyPricesAreMatchedOnlyToTheAbsoluteTolerance) {
    // The price (~2e-146) is far below the 1e-12 tolerance, so the first
    // volatility whose price is within ~1e-12 of it is accepted.
    const double price = black76_black(kCall, 100.0, 150.0, 0.1, 0.0, 0.05);
    ASSERT_LT(price, 1e-20);
    const ImpliedVol iv = implied_volatility(kCall, price, 100, 150, 0.1, 0);
    ASSERT_TRUE(iv.ok());
    EXPECT_TRUE(about(iv.volatility, "0.18"));
    EXPECT_LT(black76_black(kCall, 100.0, 150.0, 0.1, 0.0, iv.volatility), 1e-12);
}

// ---------------------------------------------------------------------------
// NaN inputs and messages.

TEST(ImpliedVol, AnyNaNInputGivesAQuietNaNWithoutError) {
    const double in[] = {5.0, 100, 100, 1, 0.05};  // price, F, K, t, r
    for (std::size_t i = 0; i < 5; ++i) {
        double a[5];
        std::memcpy(a, in, sizeof a);
        a[i] = kNaN;
        for (OptionKind k : kKinds) {
            const ImpliedVol iv = implied_volatility(k, a[0], a[1], a[2], a[3], a[4]);
            EXPECT_EQ(iv.error, ImpliedVolError::None);
            EXPECT_EQ(bits(iv.volatility), kQuietNaNBits) << "NaN at input " << i;
        }
    }
    // The spot models, including a NaN that only reaches the forward.
    EXPECT_EQ(bits(bs_implied_volatility(kCall, 5, kNaN, 100, 1, 0.05).volatility), kQuietNaNBits);
    EXPECT_EQ(bits(bsm_implied_volatility(kCall, 5, 100, 100, 1, 0.05, kNaN).volatility), kQuietNaNBits);
    EXPECT_EQ(bits(black76_implied_volatility(kPut, 5, 100, 100, kNaN, 1).volatility), kQuietNaNBits);
}

TEST(ImpliedVol, MessagesAreExact) {
    EXPECT_EQ(kestrelfin::kernels::messages::solver_failure(ImpliedVolError::BelowIntrinsic),
              "price is below intrinsic value");
    EXPECT_EQ(kestrelfin::kernels::messages::solver_failure(ImpliedVolError::AboveMaximum),
              "price exceeds theoretical maximum");
    EXPECT_EQ(kestrelfin::kernels::messages::solver_failure(ImpliedVolError::NotConverged),
              "IV solver failed to converge");
    EXPECT_FALSE((ImpliedVol{0.2, ImpliedVolError::AboveMaximum}.ok()));
    EXPECT_TRUE((ImpliedVol{0.2, ImpliedVolError::None}.ok()));
}

}  // namespace
