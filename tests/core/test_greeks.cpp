// All sixteen quantities in one pass, against the function of each name:
// the same double for every input, and NaN exactly where the function gives
// NaN (which of two NaN operands passes on is the compiler's choice, so a
// NaN's payload is not compared here; the array kernels recompute NaN
// elements through the scalar functions).
#include <cmath>
#include <limits>
#include <random>
#include <vector>

#include "core/black76.hpp"
#include "core/black_scholes_merton.hpp"
#include "test_support.hpp"

namespace {

using namespace kestrelfin::core;
using namespace kestrelfin::test;

void expect_same(double together, double alone, const char* name, OptionKind kind, const std::vector<double>& args) {
    if (std::isnan(alone)) {
        EXPECT_TRUE(std::isnan(together)) << name << " " << kind_name(kind);
        return;
    }
    ASSERT_EQ(bits(together), bits(alone))
        << name << " " << kind_name(kind) << " at " << ::testing::PrintToString(args);
}

// Ordinary options, with every input now and then replaced by a value where
// the formulas degenerate.
std::vector<std::vector<double>> inputs(std::size_t count, std::size_t arity) {
    static constexpr double kSpecial[] = {0.0,
                                          -0.0,
                                          1e-300,
                                          1e300,
                                          -1.0,
                                          std::numeric_limits<double>::infinity(),
                                          std::numeric_limits<double>::quiet_NaN()};
    std::mt19937_64 rng(7);
    std::uniform_real_distribution<double> underlying(40.0, 250.0), time(0.002, 6.0), rate(-0.02, 0.1), vol(0.03, 1.6),
        yield(0.0, 0.06), pick(0.0, 1.0);
    std::uniform_int_distribution<int> special(0, 6);
    std::vector<std::vector<double>> rows;
    for (std::size_t i = 0; i < count; ++i) {
        std::vector<double> row = {underlying(rng), underlying(rng), time(rng), rate(rng), vol(rng), yield(rng)};
        row.resize(arity);
        for (double& x : row) {
            if (pick(rng) < 0.03) {
                x = kSpecial[special(rng)];
            }
        }
        rows.push_back(row);
    }
    return rows;
}

TEST(Greeks, BlackScholesMertonInOnePassEqualsEachFunction) {
    for (const auto& a : inputs(20000, 6)) {
        for (OptionKind kind : kKinds) {
            const Greeks<double> g = bsm_greeks(kind, a[0], a[1], a[2], a[3], a[4], a[5]);
#define KESTRELFIN_SAME(field, function) \
    expect_same(g.field, function(kind, a[0], a[1], a[2], a[3], a[4], a[5]), #function, kind, a)
            KESTRELFIN_SAME(price, bsm_black_scholes_merton);
            KESTRELFIN_SAME(delta, bsm_delta);
            KESTRELFIN_SAME(gamma, bsm_gamma);
            KESTRELFIN_SAME(vega, bsm_vega);
            KESTRELFIN_SAME(theta, bsm_theta);
            KESTRELFIN_SAME(rho, bsm_rho);
            KESTRELFIN_SAME(vanna, bsm_vanna);
            KESTRELFIN_SAME(charm, bsm_charm);
            KESTRELFIN_SAME(vomma, bsm_vomma);
            KESTRELFIN_SAME(speed, bsm_speed);
            KESTRELFIN_SAME(zomma, bsm_zomma);
            KESTRELFIN_SAME(color, bsm_color);
            KESTRELFIN_SAME(veta, bsm_veta);
            KESTRELFIN_SAME(ultima, bsm_ultima);
            KESTRELFIN_SAME(dual_delta, bsm_dual_delta);
            KESTRELFIN_SAME(dual_gamma, bsm_dual_gamma);
#undef KESTRELFIN_SAME
        }
    }
}

TEST(Greeks, Black76InOnePassEqualsEachFunction) {
    for (const auto& a : inputs(20000, 5)) {
        for (OptionKind kind : kKinds) {
            const Greeks<double> g = black76_greeks(kind, a[0], a[1], a[2], a[3], a[4]);
#define KESTRELFIN_SAME(field, function) \
    expect_same(g.field, function(kind, a[0], a[1], a[2], a[3], a[4]), #function, kind, a)
            KESTRELFIN_SAME(price, black76_black);
            KESTRELFIN_SAME(delta, black76_delta);
            KESTRELFIN_SAME(gamma, black76_gamma);
            KESTRELFIN_SAME(vega, black76_vega);
            KESTRELFIN_SAME(theta, black76_theta);
            KESTRELFIN_SAME(rho, black76_rho);
            KESTRELFIN_SAME(vanna, black76_vanna);
            KESTRELFIN_SAME(charm, black76_charm);
            KESTRELFIN_SAME(vomma, black76_vomma);
            KESTRELFIN_SAME(speed, black76_speed);
            KESTRELFIN_SAME(zomma, black76_zomma);
            KESTRELFIN_SAME(color, black76_color);
            KESTRELFIN_SAME(veta, black76_veta);
            KESTRELFIN_SAME(ultima, black76_ultima);
            KESTRELFIN_SAME(dual_delta, black76_dual_delta);
            KESTRELFIN_SAME(dual_gamma, black76_dual_gamma);
#undef KESTRELFIN_SAME
        }
    }
}

}  // namespace
