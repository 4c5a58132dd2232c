// The special functions under the "Let's Be Rational" solver against mpmath
// (data/rational_*.txt, written by make_rational_vectors.py): Cody's erfc and
// erfcx over every interval and sign, Y'(h) on [-40, 0], the normalised
// Black function in each region and along the region boundaries, and AS 241.
#include <cfloat>
#include <cmath>

#include <gtest/gtest.h>

#include "core/erfcx.hpp"
#include "core/inverse_normal.hpp"
#include "core/normalised_black.hpp"
#include "rational_test_support.hpp"

namespace kestrelfin::test {
namespace {

// |computed - reference| in units of eps * |reference| (DBL_MIN where the
// reference is subnormal: there the result has fewer digits to give).
double relative_error(double computed, double reference) {
    if (std::isinf(reference)) {
        return computed == reference ? 0.0 : INFINITY;
    }
    return std::fabs(computed - reference) / (DBL_EPSILON * std::fmax(std::fabs(reference), DBL_MIN));
}

TEST(RationalSpecialFunctions, ErfcAndErfcxMatchMpmathOverEveryIntervalAndSign) {
    WorstRatios worst;
    for (const auto& r : data_records("rational_erfc.txt")) {
        const double u = number(r[0]);
        const char* interval = std::fabs(u) <= 0.46875 ? "small" : std::fabs(u) <= 4.0 ? "middle" : "large";
        const std::string group = std::string(u < 0 ? "-" : "+") + interval;
        const double erfc_error = relative_error(core::erfc_of(u), number(r[1]));
        const double erfcx_error = relative_error(core::erfcx_of(u), number(r[2]));
        EXPECT_LE(erfc_error, 4.0) << "erfc(" << u << ") = " << core::erfc_of(u) << " against " << r[1];
        EXPECT_LE(erfcx_error, 4.0) << "erfcx(" << u << ") = " << core::erfcx_of(u) << " against " << r[2];
        worst.add("erfc " + group, erfc_error / 4.0);
        worst.add("erfcx " + group, erfcx_error / 4.0);
    }
    worst.print("erfc/erfcx");
}

// A naive 1 + h Y(h) loses about log10(h^2) digits for h << 0.
TEST(RationalSpecialFunctions, NormalRatioSlopeMatchesMpmathOnMinus40To0) {
    WorstRatios worst;
    for (const auto& r : data_records("rational_normal_ratio.txt")) {
        const double h = number(r[0]);
        const double error = relative_error(core::normal_ratio_slope(h), number(r[1]));
        EXPECT_LE(error, 4.0) << "Y'(" << h << ") = " << core::normal_ratio_slope(h) << " against " << r[1];
        worst.add(h > -0.46875 ? "near" : h >= -4.0 ? "mid" : "far", error / 4.0);
    }
    worst.print("Y'(h)");
}

// b to a few eps of relative error plus its condition: h = x/s carries a
// rounding that b, through e^(-h^2/2), magnifies by |x db/dx|/b. A wrong
// region inequality shows up as a jump along the boundaries.
TEST(RationalSpecialFunctions, NormalisedBlackMatchesMpmathInEachRegionAndAlongTheBoundaries) {
    WorstRatios worst;
    for (const auto& r : data_records("rational_black.txt")) {
        const double x = number(r[1]);
        const double s = number(r[2]);
        const double b = core::normalised_black(x, s);
        const double bound = 4.0 * (1.0 + number(r[4]));
        const double error = relative_error(b, number(r[3]));
        EXPECT_LE(error, bound) << "region " << r[0] << " b(" << x << ", " << s << ") = " << b << " against " << r[3];
        worst.add("region " + r[0], error / bound);
    }
    worst.print("b(x, s)");
}

TEST(RationalSpecialFunctions, InverseNormalMatchesMpmathFrom1eMinus300To1Minus1eMinus16) {
    WorstRatios worst;
    for (const auto& r : data_records("rational_inverse_normal.txt")) {
        const double p = number(r[0]);
        const double z = core::inverse_normal_cdf(p);
        // Relative to |z|, and absolute near the median, where z -> 0.
        const double error = std::fabs(z - number(r[1])) / (DBL_EPSILON * std::fmax(std::fabs(number(r[1])), 0.1));
        EXPECT_LE(error, 4.0) << "Phi^-1(" << p << ") = " << z << " against " << r[1];
        worst.add(std::fabs(p - 0.5) <= 0.425             ? "central"
                  : std::fmin(p, 1 - p) > std::exp(-25.0) ? "tail"
                                                          : "far tail",
                  error / 4.0);
    }
    worst.print("Phi^-1");
}

}  // namespace
}  // namespace kestrelfin::test
