// The "Let's Be Rational" solver against the exact implied volatility sigma*
// of the very double price (mpmath, data/rational_round_trips.txt): every
// guess branch, every region of the Black function at the solution, the
// order-4 band |x| > 190, prices down to 1e-300, |ln(F/K)| up to 700, at the
// money, Black-76 with and without discounting and Black-Scholes-Merton.
//
// The bound: the inputs are doubles, so sigma* moves with their rounding by
//   eps (|P| (2 + |r t|) + |F dP/dF| (2 + |t (r - q)|) + |K dP/dK|) / vega
// (the price, the undiscounting, the forward formed from S), and sigma itself
// is a double: |sigma - sigma*| <= 8 (that + eps sigma*).
#include <cfloat>
#include <cmath>

#include <gtest/gtest.h>

#include "rational_test_support.hpp"

namespace kestrelfin::test {
namespace {

using core::RationalStatus;

TEST(RationalRoundTrips, WithinTheBoundOfTheInputsRoundingOnEveryBranchAndRegion) {
    WorstRatios worst;
    int fragile_unsolved = 0;
    for (const auto& r : data_records("rational_round_trips.txt")) {
        ASSERT_EQ(r.size(), 17u);
        const bool bsm = r[2] == "bsm";
        const auto kind = r[3] == "call" ? kCall : kPut;
        const double X = number(r[4]), K = number(r[5]), t = number(r[6]), rate = number(r[7]), q = number(r[8]);
        const double price = number(r[9]);
        const auto got = bsm ? core::bsm_rational_implied_volatility(kind, price, X, K, t, rate, q)
                             : core::black76_rational_implied_volatility(kind, price, X, K, rate, t);
        const std::string where = r[0] + " " + r[1] + " " + r[2] + " " + r[3] + " " + r[4] + " " + r[5] + " " + r[6] +
                                  " " + r[7] + " " + r[8] + " " + r[9];
        const bool fragile = r[16] == "1";
        if (fragile && got.status != RationalStatus::Ok) {
            // The time value or the distance to the maximum is lost in the
            // rounding of the inputs: no volatility to find.
            EXPECT_TRUE(got.status == RationalStatus::AtIntrinsic || got.status == RationalStatus::AtOrAboveMaximum)
                << where;
            ++fragile_unsolved;
            continue;
        }
        ASSERT_NE(r[0], "none") << "a price without implied volatility, not marked fragile: " << where;
        ASSERT_EQ(got.status, RationalStatus::Ok) << where;
        const double sigma_hi = number(r[10]), sigma_lo = number(r[11]);
        const double sensitivity = number(r[12]) * (2.0 + std::fabs(rate * t)) +
                                   number(r[13]) * (2.0 + std::fabs(t * (rate - q))) + number(r[14]);
        const double bound = 8.0 * (DBL_EPSILON * sensitivity / number(r[15]) + DBL_EPSILON * sigma_hi);
        const double error = std::fabs((got.volatility - sigma_hi) - sigma_lo);
        EXPECT_LE(error, bound) << where << ": " << got.volatility << " against " << r[10] << " + " << r[11];
        worst.add(r[0] + " " + r[1], error / bound);
    }
    worst.print("round trip");
    std::printf("[ FRAGILE  ] %d prices whose time value or distance to the maximum the rounding took\n",
                fragile_unsolved);
}

}  // namespace
}  // namespace kestrelfin::test
