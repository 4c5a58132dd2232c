#include <cmath>
#include <limits>
#include <random>
#include <string>

#include "kernels/operations.hpp"
#include "core/black_scholes_merton.hpp"
#include "test_support.hpp"

namespace {

using namespace kestrelfin::core;
using namespace kestrelfin::test;
namespace table = kestrelfin::kernels::table;

// Inputs in call order after the kind: S, K, t, r, sigma, q.
using Args = std::array<double, 6>;
enum Input : std::size_t { kS, kK, kT, kR, kSigma, kQ };
using BsmFn = double (*)(OptionKind, double, double, double, double, double, double);
using BsFn = double (*)(OptionKind, double, double, double, double, double);

double eval(BsmFn f, OptionKind k, const Args& a) {
    return f(k, a[0], a[1], a[2], a[3], a[4], a[5]);
}

// Unscaled vega dV/dsigma, the quantity vomma and veta differentiate.
double raw_vega(OptionKind k, double S, double K, double t, double r, double s, double q) {
    return 100.0 * bsm_vega(k, S, K, t, r, s, q);
}

// A Black-Scholes function as the function table defines it.
template <class Function>
double black_scholes(OptionKind k, double S, double K, double t, double r, double sigma) {
    return Function::operation(k, S, K, t, r, sigma);
}

struct Model {
    const char* name;
    BsmFn bsm;
    BsFn bs;
};

constexpr Model kFunctions[] = {
    {"price", bsm_black_scholes_merton, black_scholes<table::bs_black_scholes>},
    {"delta", bsm_delta, black_scholes<table::bs_delta>},
    {"gamma", bsm_gamma, black_scholes<table::bs_gamma>},
    {"vega", bsm_vega, black_scholes<table::bs_vega>},
    {"theta", bsm_theta, black_scholes<table::bs_theta>},
    {"rho", bsm_rho, black_scholes<table::bs_rho>},
    {"vanna", bsm_vanna, black_scholes<table::bs_vanna>},
    {"charm", bsm_charm, black_scholes<table::bs_charm>},
    {"vomma", bsm_vomma, black_scholes<table::bs_vomma>},
    {"speed", bsm_speed, black_scholes<table::bs_speed>},
    {"zomma", bsm_zomma, black_scholes<table::bs_zomma>},
    {"color", bsm_color, black_scholes<table::bs_color>},
    {"veta", bsm_veta, black_scholes<table::bs_veta>},
    {"ultima", bsm_ultima, black_scholes<table::bs_ultima>},
    {"dual_delta", bsm_dual_delta, black_scholes<table::bs_dual_delta>},
    {"dual_gamma", bsm_dual_gamma, black_scholes<table::bs_dual_gamma>},
};

// ---------------------------------------------------------------------------
// Every Greek is scale * d(base)/d(input).

struct Derivative {
    const char* name;
    BsmFn greek;
    BsmFn base;
    Input input;
    double scale;
};

void PrintTo(const Derivative& d, std::ostream* os) {
    *os << d.name;
}

constexpr Derivative kDerivatives[] = {
    {"delta", bsm_delta, bsm_black_scholes_merton, kS, 1.0},
    {"gamma", bsm_gamma, bsm_delta, kS, 1.0},
    {"vega", bsm_vega, bsm_black_scholes_merton, kSigma, 0.01},
    {"theta", bsm_theta, bsm_black_scholes_merton, kT, -1.0 / 365.0},
    {"rho", bsm_rho, bsm_black_scholes_merton, kR, 0.01},
    {"vanna", bsm_vanna, bsm_delta, kSigma, 1.0},
    {"charm", bsm_charm, bsm_delta, kT, 1.0},
    {"vomma", bsm_vomma, raw_vega, kSigma, 1.0},
    {"speed", bsm_speed, bsm_gamma, kS, 1.0},
    {"zomma", bsm_zomma, bsm_gamma, kSigma, 1.0},
    {"color", bsm_color, bsm_gamma, kT, 1.0},
    {"veta", bsm_veta, raw_vega, kT, 1.0},
    {"ultima", bsm_ultima, bsm_vomma, kSigma, 1.0},
    {"dual_delta", bsm_dual_delta, bsm_black_scholes_merton, kK, 1.0},
    {"dual_gamma", bsm_dual_gamma, bsm_dual_delta, kK, 1.0},
};

constexpr Args kPoints[] = {
    {100, 100, 1.0, 0.05, 0.2, 0.0},
    {100, 95, 0.75, 0.05, 0.25, 0.02},
    {80, 100, 2.0, 0.03, 0.4, 0.01},
    {120, 100, 0.3, 0.01, 0.15, 0.04},
};

class BsmGreekIsADerivative : public ::testing::TestWithParam<std::tuple<Derivative, Args, OptionKind>> {};

TEST_P(BsmGreekIsADerivative, AgreesWithCentralDifference) {
    const auto& [d, args, kind] = GetParam();
    expect_greek_is_derivative(d, args, kind, [](auto f, OptionKind k, const Args& a) { return eval(f, k, a); });
}

INSTANTIATE_TEST_SUITE_P(AllGreeks, BsmGreekIsADerivative,
                         ::testing::Combine(::testing::ValuesIn(kDerivatives), ::testing::ValuesIn(kPoints),
                                            ::testing::ValuesIn(kKinds)),
                         [](const auto& info) { return derivative_test_name(info, std::size(kPoints)); });

// ---------------------------------------------------------------------------
// Worked examples, to the digits quoted.

struct Example {
    BsmFn f;
    OptionKind kind;
    Args args;
    const char* quoted;
};

void PrintTo(const Example& e, std::ostream* os) {
    *os << kind_name(e.kind) << " about " << e.quoted;
}

constexpr Args kAtm{100, 100, 1.0, 0.05, 0.2, 0.0};
constexpr Args kDiv{100, 95, 0.75, 0.05, 0.25, 0.02};

constexpr Example kExamples[] = {
    {bsm_black_scholes_merton, kCall, kAtm, "10.5"},
    {bsm_black_scholes_merton, kPut, kAtm, "5.57"},
    {bsm_delta, kCall, kAtm, "0.637"},
    {bsm_delta, kPut, kAtm, "-0.363"},
    {bsm_gamma, kCall, kAtm, "0.0188"},
    {bsm_vega, kCall, kAtm, "0.375"},
    {bsm_theta, kCall, kAtm, "-0.0176"},
    {bsm_theta, kPut, kAtm, "-0.00454"},
    {bsm_rho, kCall, kAtm, "0.532"},
    {bsm_rho, kPut, kAtm, "-0.419"},
    {bsm_vanna, kCall, kAtm, "-0.281"},
    {bsm_charm, kCall, kAtm, "0.0657"},
    {bsm_charm, kPut, kAtm, "0.0657"},
    {bsm_vomma, kCall, kAtm, "9.85"},
    {bsm_speed, kCall, kAtm, "-0.000516"},
    {bsm_zomma, kCall, kAtm, "-0.0889"},
    {bsm_color, kCall, kAtm, "-0.0105"},
    {bsm_veta, kCall, kAtm, "16.5"},
    {bsm_ultima, kCall, kAtm, "-183"},
    {bsm_dual_delta, kCall, kAtm, "-0.532"},
    {bsm_dual_delta, kPut, kAtm, "0.419"},
    {bsm_dual_gamma, kCall, kAtm, "0.0188"},

    {bsm_black_scholes_merton, kCall, kDiv, "12.2"},
    {bsm_black_scholes_merton, kPut, kDiv, "5.16"},
    {bsm_delta, kCall, kDiv, "0.663"},
    {bsm_delta, kPut, kDiv, "-0.322"},
    {bsm_gamma, kCall, kDiv, "0.0164"},
    {bsm_vega, kCall, kDiv, "0.308"},
    {bsm_theta, kCall, kDiv, "-0.0178"},
    {bsm_theta, kPut, kDiv, "-0.0107"},
    {bsm_rho, kCall, kDiv, "0.406"},
    {bsm_rho, kPut, kDiv, "-0.280"},
    {bsm_vanna, kCall, kDiv, "-0.331"},
    {bsm_charm, kCall, kDiv, "-0.0191"},
    {bsm_charm, kPut, kDiv, "0.000577"},
    {bsm_vomma, kCall, kDiv, "12.9"},
    {bsm_speed, kCall, kDiv, "-0.000505"},
    {bsm_zomma, kCall, kDiv, "-0.0588"},
    {bsm_color, kCall, kDiv, "-0.0111"},
    {bsm_veta, kCall, kDiv, "20.1"},
    {bsm_ultima, kCall, kDiv, "-172"},
    {bsm_dual_delta, kCall, kDiv, "-0.570"},
    {bsm_dual_delta, kPut, kDiv, "0.393"},
    {bsm_dual_gamma, kCall, kDiv, "0.0182"},
};

class BsmExample : public ::testing::TestWithParam<Example> {};

TEST_P(BsmExample, MatchesQuotedDigits) {
    const auto& e = GetParam();
    EXPECT_TRUE(about(eval(e.f, e.kind, e.args), e.quoted));
}

INSTANTIATE_TEST_SUITE_P(Worked, BsmExample, ::testing::ValuesIn(kExamples), [](const auto& info) {
    return std::to_string(info.index) + "_" + kind_name(info.param.kind) + "_" + test_name(info.param.quoted);
});

// ---------------------------------------------------------------------------
// Identities and independent references.

// The price in long double from the textbook formula with erfcl.
long double reference_price(OptionKind kind, const Args& a) {
    const long double S = a[kS], K = a[kK], t = a[kT], r = a[kR], s = a[kSigma], q = a[kQ];
    const long double v = s * std::sqrt(t);
    const long double d1 = (std::log(S / K) + (r - q + s * s / 2) * t) / v;
    const long double d2 = d1 - v;
    const long double sgn = kind == kCall ? 1 : -1;
    return sgn * (S * std::exp(-q * t) * norm_cdf_ld(sgn * d1) - K * std::exp(-r * t) * norm_cdf_ld(sgn * d2));
}

TEST(BsmPrice, MatchesLongDoubleReference) {
    for (double K : {70.0, 90.0, 100.0, 110.0, 140.0})
        for (double t : {0.1, 1.0, 3.0})
            for (double sigma : {0.1, 0.3, 0.8})
                for (OptionKind kind : kKinds) {
                    const Args a{100, K, t, 0.04, sigma, 0.015};
                    const double ref = static_cast<double>(reference_price(kind, a));
                    if (ref < 1e-3)
                        continue;  // relative accuracy is not promised there
                    EXPECT_NEAR(eval(bsm_black_scholes_merton, kind, a) / ref, 1.0, 1e-12)
                        << kind_name(kind) << " K=" << K << " t=" << t << " sigma=" << sigma;
                }
}

TEST(BsmParity, CallMinusPutHoldsForPriceAndFirstOrderGreeks) {
    for (const Args& a : kPoints) {
        const double dq = std::exp(-a[kQ] * a[kT]);
        const double dr = std::exp(-a[kR] * a[kT]);
        const auto diff = [&](BsmFn f) { return eval(f, kCall, a) - eval(f, kPut, a); };
        EXPECT_NEAR(diff(bsm_black_scholes_merton), a[kS] * dq - a[kK] * dr, 1e-13 * a[kK]);
        EXPECT_NEAR(diff(bsm_delta), dq, 4e-16);
        EXPECT_NEAR(diff(bsm_dual_delta), -dr, 4e-16);
        // Charm's distribution term is (b - r) Dc M; the puts' M is one less.
        EXPECT_NEAR(diff(bsm_charm), -a[kQ] * dq, 1e-15);
    }
}

TEST(BsmParity, KindIndependentGreeksAgreeBitForBit) {
    const BsmFn same[] = {bsm_gamma, bsm_vega,  bsm_vanna, bsm_vomma,  bsm_speed,
                          bsm_zomma, bsm_color, bsm_veta,  bsm_ultima, bsm_dual_gamma};
    for (const Args& a : kPoints)
        for (BsmFn f : same)
            EXPECT_EQ(bits(eval(f, kCall, a)), bits(eval(f, kPut, a)));
}

TEST(BsmParity, DualGammaIsGammaScaledBySpotOverStrikeSquared) {
    for (const Args& a : kPoints) {
        // S Dq phi(d1) = K Dr phi(d2) turns one into the other.
        const double ratio = a[kS] / a[kK];
        EXPECT_NEAR(eval(bsm_dual_gamma, kCall, a) / (eval(bsm_gamma, kCall, a) * ratio * ratio), 1.0, 1e-13);
    }
}

TEST(BsmParity, CharmIsTheSameForCallAndPutWithoutDividends) {
    for (Args a : kPoints) {
        a[kQ] = 0.0;
        EXPECT_EQ(eval(bsm_charm, kCall, a), eval(bsm_charm, kPut, a));
    }
}

TEST(BsmTails, FarOutOfTheMoneyPutDeltaKeepsItsDigits) {
    const Args a{100, 60, 0.25, 0.05, 0.2, 0.0};
    const long double v = 0.2L * 0.5L;
    const long double d1 = (std::log(100.0L / 60.0L) + (0.05L + 0.02L) * 0.25L) / v;
    const double ref = static_cast<double>(-norm_cdf_ld(-d1));
    const double delta = eval(bsm_delta, kPut, a);
    EXPECT_TRUE(about(delta, "-6.35e-8"));
    EXPECT_NEAR(delta / ref, 1.0, 1e-13);
}

TEST(BsmTails, DeepPutValuesComeFromTheTailSeries) {
    const Args a{100, 10, 0.1, 0.05, 0.2, 0.0};
    const double price = eval(bsm_black_scholes_merton, kPut, a);
    const double delta = eval(bsm_delta, kPut, a);
    EXPECT_TRUE(about(price, "5.02e-293"));
    EXPECT_TRUE(about(delta, "-2.90e-292"));
    // The put price is a difference of two nearly equal tail terms, which
    // costs a few hundred ulps; the delta is a single tail value.
    EXPECT_NEAR(price / static_cast<double>(reference_price(kPut, a)), 1.0, 1e-10);
    const long double v = 0.2L * std::sqrt(0.1L);
    const long double d1 = (std::log(10.0L) + 0.07L * 0.1L) / v;
    EXPECT_NEAR(delta / static_cast<double>(-norm_cdf_ld(-d1)), 1.0, 1e-12);
    EXPECT_EQ(eval(bsm_delta, kCall, a), 1.0);
}

// ---------------------------------------------------------------------------
// Degenerate times.

TEST(BsmDegenerate, AtExpiryAwayFromTheStrike) {
    for (double S : {120.0, 80.0}) {
        const Args a{S, 100, 0.0, 0.05, 0.2, 0.01};
        const double call = eval(bsm_black_scholes_merton, kCall, a);
        const double put = eval(bsm_black_scholes_merton, kPut, a);
        EXPECT_EQ(call, std::fmax(S - 100, 0.0));
        EXPECT_EQ(put, std::fmax(100 - S, 0.0));
        EXPECT_EQ(eval(bsm_delta, kCall, a), S > 100 ? 1.0 : 0.0);
        EXPECT_EQ(eval(bsm_delta, kPut, a), S > 100 ? 0.0 : -1.0);
        for (OptionKind k : kKinds) {
            EXPECT_EQ(eval(bsm_vega, k, a), 0.0);
            EXPECT_EQ(eval(bsm_rho, k, a), 0.0);
            EXPECT_TRUE(std::isnan(eval(bsm_gamma, k, a)));
            EXPECT_TRUE(std::isnan(eval(bsm_theta, k, a)));
        }
    }
}

TEST(BsmDegenerate, AtExpiryAtTheStrikeOrWithNegativeTimeEverythingIsNaN) {
    const Args cases[] = {{100, 100, 0.0, 0.05, 0.2, 0.01}, {100, 90, -0.5, 0.05, 0.2, 0.01}};
    for (const Args& a : cases)
        for (const Model& m : kFunctions)
            for (OptionKind k : kKinds)
                EXPECT_TRUE(std::isnan(eval(m.bsm, k, a))) << m.name << " t=" << a[kT];
}

// ---------------------------------------------------------------------------
// Black-Scholes is Black-Scholes-Merton at q = +0.0, to the last bit.

TEST(BlackScholes, EqualsMertonWithZeroDividendBitForBit) {
    std::mt19937_64 rng(20240607);
    std::uniform_real_distribution<double> spot(1.0, 500.0), moneyness(0.3, 3.0), expiry(1e-4, 10.0), rate(-0.05, 0.2),
        vol(0.01, 2.0);
    for (int i = 0; i < 2000; ++i) {
        const double S = spot(rng), K = S * moneyness(rng), t = expiry(rng), r = rate(rng), sigma = vol(rng);
        for (const Model& m : kFunctions)
            for (OptionKind k : kKinds)
                ASSERT_EQ(bits(m.bs(k, S, K, t, r, sigma)), bits(m.bsm(k, S, K, t, r, sigma, 0.0)))
                    << m.name << " " << kind_name(k) << " S=" << S << " K=" << K << " t=" << t << " r=" << r
                    << " sigma=" << sigma;
    }
}

}  // namespace
