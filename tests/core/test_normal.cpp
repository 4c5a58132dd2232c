// The normal distribution: N(x) against mpmath's to a few ulps across its
// ranges, exact values, symmetry, the seam of the tail series at -10, the
// deep tail's underflow, saturation and NaN, the density, and the lanes'
// selection of ranges against the scalar branches.
#include <array>
#include <cmath>
#include <limits>
#include <sstream>
#include <vector>

#include "core/normal.hpp"
#include "test_support.hpp"

namespace {

using kestrelfin::core::Lanes;
using kestrelfin::core::norm_cdf;
using kestrelfin::core::norm_pdf;
using kestrelfin::test::bits;
using kestrelfin::test::norm_pdf_ld;
using kestrelfin::test::test_name;

struct CdfReference {
    double x;
    double n;  // N(x) correctly rounded
};

// Generated with mpmath 1.4 at 60 digits:
//   mpmath.mp.dps = 60
//   for x in xs: print(x, mpmath.nstr(mpmath.ncdf(mpmath.mpf(x)), 17))
// Covers the tail series (x <= -10), the seam, range 3 (|x| > 5.657), range 2,
// range 1 (|x| <= 0.663) and the upper side of each.
constexpr CdfReference kCdfReferences[] = {
    {-37.5, 4.6053530095819548e-308}, {-35.0, 1.1249107064724062e-268}, {-30.0, 4.9067139271481871e-198},
    {-25.0, 3.0566967063825609e-138}, {-20.0, 2.7536241186062337e-89},  {-15.0, 3.6709661993127509e-51},
    {-12.0, 1.776482112077679e-33},   {-10.5, 4.3190063178092303e-26},  {-10.0, 7.6198530241605261e-24},
    {-9.99, 8.4290872004430723e-24},  {-8.0, 6.2209605742717841e-16},   {-6.0, 9.8658764503769814e-10},
    {-5.7, 5.9903714010635282e-9},    {-5.6, 1.0717590258310929e-8},    {-4.0, 3.1671241833119921e-5},
    {-2.0, 2.2750131948179207e-2},    {-1.0, 1.5865525393145705e-1},    {-0.67, 2.514288950953101e-1},
    {-0.66, 2.5462691467133614e-1},   {-0.5, 3.085375387259869e-1},     {-0.1, 4.6017216272297102e-1},
    {-0.001, 4.9960105778608894e-1},  {-1e-8, 4.999999960105772e-1},    {1e-8, 5.000000039894228e-1},
    {0.001, 5.0039894221391106e-1},   {0.1, 5.3982783727702898e-1},     {0.5, 6.914624612740131e-1},
    {0.66, 7.4537308532866386e-1},    {0.67, 7.485711049046899e-1},     {1.0, 8.4134474606854295e-1},
    {2.0, 9.7724986805182079e-1},     {3.0, 9.9865010196836991e-1},     {5.0, 9.9999971334842812e-1},
    {5.7, 9.999999940096286e-1},      {8.0, 9.9999999999999938e-1},
};

void PrintTo(const CdfReference& r, std::ostream* os) {
    *os << "x=" << r.x;
}

class NormCdfAgainstMpmath : public ::testing::TestWithParam<CdfReference> {};

// A few ulps, plus the one error no method avoids in the tail: the exponent
// x*x/2 is rounded to 2^-53 of its size before exp amplifies it into a
// relative error of the same absolute size (about 5e-14 at x = -30).
TEST_P(NormCdfAgainstMpmath, RelativeErrorIsAFewUlps) {
    const auto [x, expected] = GetParam();
    const double tolerance = 1e-14 + (x * x * 0.5) * 0x1p-53;
    EXPECT_NEAR(norm_cdf(x) / expected, 1.0, tolerance) << "x = " << x;
}

INSTANTIATE_TEST_SUITE_P(AcrossTheRealLine, NormCdfAgainstMpmath, ::testing::ValuesIn(kCdfReferences),
                         [](const auto& info) {
                             std::ostringstream x;
                             x << "x" << info.param.x;
                             return test_name(x.str());
                         });

TEST(NormCdf, ExactValuesAtTheCentre) {
    EXPECT_EQ(norm_cdf(0.0), 0.5);
    EXPECT_EQ(norm_cdf(-0.0), 0.5);
    // |x| below ~1.57e-16: N(x) = 1/2 + x phi(0) rounds to 0.5 above zero and
    // to the double just below 0.5 under it (the spacing halves below 0.5).
    EXPECT_EQ(norm_cdf(1e-16), 0.5);
    EXPECT_EQ(norm_cdf(-1e-16), std::nextafter(0.5, 0.0));
    EXPECT_EQ(norm_cdf(std::numeric_limits<double>::denorm_min()), 0.5);
}

TEST(NormCdf, IsSymmetricToRounding) {
    for (double x = 0.0; x < 8.0; x += 0.0625) {
        EXPECT_NEAR(norm_cdf(x) + norm_cdf(-x), 1.0, 4e-16) << "x = " << x;
    }
}

TEST(NormCdf, TailSeriesAndRangeThreeMeetSmoothlyAtMinusTen) {
    const double seam = kestrelfin::core::normal_ranges::kLeftTail;
    const double above = std::nextafter(seam, 0.0);  // evaluated by range 3
    const double at = norm_cdf(seam);                // evaluated by the series
    const double next = norm_cdf(above);
    EXPECT_GT(next, at);
    EXPECT_LT((next - at) / at, 1e-13);
    // Monotone on a fine grid straddling the seam.
    double previous = norm_cdf(seam - 0.01);
    for (double x = seam - 0.01; x <= seam + 0.01; x += 1e-4) {
        const double n = norm_cdf(x);
        EXPECT_GE(n, previous) << "x = " << x;
        previous = n;
    }
}

TEST(NormCdf, DeepTailIsSubnormalThenUnderflowsToPositiveZero) {
    const double n38 = norm_cdf(-38.0);
    EXPECT_EQ(std::fpclassify(n38), FP_SUBNORMAL);
    // mpmath.ncdf(-38) = 2.8854283600687843e-316; a subnormal here keeps only
    // ~26 significant bits, so compare to its spacing.
    EXPECT_NEAR(n38, 2.8854283600687843e-316, 1e-7 * 2.8854283600687843e-316);
    for (double x : {-39.0, -1e3, kestrelfin::core::normal_ranges::kTailSeriesEnd, -1e8, -1e300,
                     -std::numeric_limits<double>::infinity()}) {
        EXPECT_EQ(bits(norm_cdf(x)), bits(0.0)) << "x = " << x;
    }
}

TEST(NormCdf, SaturatesToOneOnTheRight) {
    for (double x : {8.3, 20.0, 37.6, 1e10, std::numeric_limits<double>::infinity()}) {
        EXPECT_EQ(norm_cdf(x), 1.0) << "x = " << x;
    }
}

TEST(NormCdf, NaNPropagates) {
    EXPECT_TRUE(std::isnan(norm_cdf(std::numeric_limits<double>::quiet_NaN())));
}

TEST(NormPdf, MatchesLongDoubleDensity) {
    EXPECT_EQ(norm_pdf(0.0), 0.3989422804014327);
    for (double x : {-8.0, -3.0, -1.0, -0.25, 0.5, 1.0, 2.5, 6.0}) {
        const double ref = static_cast<double>(norm_pdf_ld(x));
        EXPECT_NEAR(norm_pdf(x) / ref, 1.0, 1e-14) << "x = " << x;
        EXPECT_EQ(norm_pdf(x), norm_pdf(-x));
    }
}

// One argument from each of the ways N is computed, on both sides: the tail
// series, range 3, range 2, range 1 (down to the tiny arguments evaluated at
// z = 0), saturation, infinities and NaN, with the bounds themselves.
const std::vector<double>& arguments_of_every_range() {
    static const std::vector<double> values = {-1e10,
                                               -37.5,
                                               -10.0,
                                               -9.0,
                                               -5.65685424949238,
                                               -5.7,
                                               -3.0,
                                               -0.6629126073623883,
                                               -0.66,
                                               -0.3,
                                               -1e-17,
                                               0.0,
                                               -0.0,
                                               2e-17,
                                               0.5,
                                               0.6629126073623883,
                                               0.7,
                                               2.5,
                                               5.65685424949238,
                                               6.0,
                                               30.0,
                                               37.6,
                                               1e300,
                                               std::numeric_limits<double>::infinity(),
                                               -std::numeric_limits<double>::infinity(),
                                               std::numeric_limits<double>::quiet_NaN()};
    return values;
}

// Each lane of a block is its own argument's scalar N, whichever ranges the
// other lanes of the block need: every lane evaluates the formulas of all
// the ranges its block needs, and must take only its own. Every block of
// four from the arguments above (26^4), and blocks of two and eight.
template <int N>
void expect_every_block_matches_scalar(std::size_t stride) {
    const std::vector<double>& values = arguments_of_every_range();
    const std::size_t count = values.size();
    std::size_t blocks = 1;
    for (int lane = 0; lane < N; ++lane) {
        blocks *= count;
    }
    int failures = 0;
    for (std::size_t block = 0; block < blocks && failures < 10; block += stride) {
        Lanes<N> x;
        std::size_t rest = block;
        for (int lane = 0; lane < N; ++lane) {
            x.set(lane, values[rest % count]);
            rest /= count;
        }
        const Lanes<N> lanes = norm_cdf(x);
        for (int lane = 0; lane < N; ++lane) {
            const double expected = norm_cdf(x[lane]);
            const bool same = std::isnan(expected) ? std::isnan(lanes[lane]) : bits(lanes[lane]) == bits(expected);
            if (!same) {
                ++failures;
                ADD_FAILURE() << N << " lanes, lane " << lane << ": N(" << x[lane] << ") = " << lanes[lane]
                              << ", the scalar function gives " << expected;
            }
        }
    }
}

TEST(NormCdfLanes, EveryLaneIsTheScalarResultWhateverItsNeighboursNeed) {
    expect_every_block_matches_scalar<2>(1);
    expect_every_block_matches_scalar<4>(1);
    // 26^8 blocks of eight: a stride prime to 26 visits a spread of them.
    expect_every_block_matches_scalar<8>(1000003);
}

}  // namespace
