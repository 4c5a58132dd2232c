// The "Let's Be Rational" solver over lanes against its scalar instance, bit
// for bit (volatility and reason), on every lane flavour this process can run:
// blocks whose lanes each take a different branch, region or special case,
// permuted across the lane positions, at lengths that are not multiples of
// the width.
#include <algorithm>
#include <cmath>
#include <limits>
#include <random>
#include <vector>

#include <gtest/gtest.h>

#include "core/black76.hpp"
#include "rational_test_support.hpp"

namespace kestrelfin::test {
namespace {

using core::ImpliedVolInputs;
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

// One option of each kind of path through the solver (inputs: price, F, K,
// t, r) and its reason.
struct Path {
    RationalCase option;
    core::RationalStatus status;
};

std::vector<Path> one_of_each_path() {
    using S = core::RationalStatus;
    return {
        {{kCall, {kNaN, 100, 100, 1, 0}}, S::InvalidInput},
        {{kPut, {5, 100, 100, -1, 0}}, S::InvalidInput},
        {{kCall, {19, 120, 100, 1, 0}}, S::BelowIntrinsic},
        {{kPut, {120, 100, 120, 1, 0}}, S::AtOrAboveMaximum},
        {{kCall, {99, 100, 1, 1, 0}}, S::AtIntrinsic},
        {{kCall, {7.9655674554057967, 100, 100, 1, 0}}, S::Ok},             // at the money, central
        {{kPut, {98.758066934844777, 100, 100, 1, 0}}, S::Ok},              // at the money, tail
        {{kCall, {1.2722243099440357e-200, 100, 150, 1, 0}}, S::Ok},        // lowest, Region I
        {{kCall, {3.5997681176950655e-05, 100, 101, 1e-4, 0}}, S::Ok},      // lowest, Region II
        {{kCall, {40.418576171655708, 100, 60, 1, 0}}, S::Ok},              // lowest, in the money
        {{kCall, {3.5402086315488882e-36, 1, 1e130, 1, 0}}, S::Ok},         // lowest, order 4
        {{kCall, {1.5155091870028099, 100, 120, 0.5, 0}}, S::Ok},           // lower middle
        {{kPut, {20.528766282022872, 100, 80, 2, 0}}, S::Ok},               // upper middle
        {{kCall, {98.585550465693160, 100, 130, 1, 0}}, S::Ok},             // highest
        {{kCall, {0.99999995268916553, 1, 1e40, 4, 0}}, S::Ok},             // highest, far from the money
        {{kCall, {1.0 - 1e-10, 1, 1e80, 1, 0}}, S::Ok},                     // highest, order 4
        {{kCall, {1e-60, 1, 1e120, 1, 0}}, S::Ok},                          // |x| = 276, small price
        {{kCall, {7.0, 105.0, 100.0, 0.75, 0.05}}, S::Ok},                  // discounted
        {{kCall, {1e-305, 1e-300, 1e9, 1, 0}}, S::Ok},                      // F/K underflows: ln F - ln K
        {{kCall, {5e-198, 100, 1e250, 0.5, 0}}, S::Ok},                     // subnormal beta
        {{kPut, {1.0, std::nextafter(100.0, 0.0), 100.0, 1, 0}}, S::Ok},    // F/K = 1 - 1 ulp
        {{kCall, {1.0, std::nextafter(100.0, 200.0), 100.0, 1, 0}}, S::Ok}  // F/K = 1 + 1 ulp
    };
}

std::vector<RationalCase> options_of(const std::vector<Path>& paths) {
    std::vector<RationalCase> options;
    for (const Path& p : paths) {
        options.push_back(p.option);
    }
    return options;
}

// Random options over the whole domain, priced by Black-76 (some of whose
// prices fall outside the bounds, which is wanted too).
std::vector<RationalCase> random_options(std::size_t n, unsigned seed) {
    std::mt19937_64 rng(seed);
    std::uniform_real_distribution<double> u(0.0, 1.0);
    std::vector<RationalCase> cases;
    for (std::size_t i = 0; i < n; ++i) {
        const double F = std::pow(10.0, 6 * u(rng) - 3);
        const double K = F * std::exp((u(rng) - 0.5) * std::pow(10.0, 4 * u(rng) - 1));
        const double t = std::pow(10.0, 4 * u(rng) - 3);
        const double sigma = std::pow(10.0, 3 * u(rng) - 2);
        const OptionKind kind = u(rng) < 0.5 ? kCall : kPut;
        const double r = i % 3 ? 0.0 : 0.05;
        const double price = core::black76_black(kind, F, K, t, r, sigma) * (i % 11 ? 1.0 : 1.5);
        cases.push_back({kind, {price, F, K, t, r}});
    }
    return cases;
}

void expect_lanes_match_scalar(const std::vector<RationalCase>& cases, const char* what) {
    std::vector<core::RationalImpliedVol> scalar(cases.size());
    for (std::size_t i = 0; i < cases.size(); ++i) {
        scalar[i] = core::rational_implied_volatility(cases[i].kind, cases[i].in);
    }
    for (const RationalFlavour& flavour : rational_flavours()) {
        std::vector<core::RationalImpliedVol> lanes;
        flavour.run(cases, lanes);
        ASSERT_EQ(lanes.size(), cases.size());
        for (std::size_t i = 0; i < cases.size(); ++i) {
            const ImpliedVolInputs& in = cases[i].in;
            ASSERT_EQ(bits(lanes[i].volatility), bits(scalar[i].volatility))
                << what << " " << flavour.name << " option " << i << " of " << cases.size() << ": price " << in.price
                << " F " << in.F << " K " << in.K << " t " << in.t << ": " << lanes[i].volatility << " against "
                << scalar[i].volatility;
            ASSERT_EQ(lanes[i].status, scalar[i].status) << what << " " << flavour.name << " option " << i;
        }
    }
}

TEST(RationalLanes, EveryPathInEveryLanePosition) {
    const std::vector<Path> table = one_of_each_path();
    for (const Path& p : table) {
        const auto r = core::rational_implied_volatility(p.option.kind, p.option.in);
        EXPECT_EQ(static_cast<int>(r.status), static_cast<int>(p.status))
            << p.option.in.price << " " << p.option.in.F << " " << p.option.in.K;
    }
    const std::vector<RationalCase> paths = options_of(table);
    // Each path alone, then every rotation of the list and shuffles of it,
    // so that each path meets every lane position and other neighbours.
    for (const RationalCase& c : paths) {
        expect_lanes_match_scalar({c}, "alone");
    }
    std::vector<RationalCase> rotated = paths;
    std::vector<RationalCase> all;
    for (std::size_t r = 0; r < paths.size(); ++r) {
        std::rotate(rotated.begin(), rotated.begin() + 1, rotated.end());
        all.insert(all.end(), rotated.begin(), rotated.end());
    }
    std::mt19937_64 rng(29);
    for (int k = 0; k < 20; ++k) {
        std::vector<RationalCase> shuffled = paths;
        std::shuffle(shuffled.begin(), shuffled.end(), rng);
        all.insert(all.end(), shuffled.begin(), shuffled.end());
    }
    expect_lanes_match_scalar(all, "rotations and shuffles");
}

TEST(RationalLanes, LengthsThatAreNotMultiplesOfTheWidth) {
    const std::vector<RationalCase> paths = options_of(one_of_each_path());
    for (std::size_t n = 1; n <= 13; ++n) {
        std::vector<RationalCase> prefix(paths.end() - static_cast<std::ptrdiff_t>(n), paths.end());
        expect_lanes_match_scalar(prefix, "prefix");
    }
    expect_lanes_match_scalar(random_options(1003, 31), "random");
}

}  // namespace
}  // namespace kestrelfin::test
