#include <cmath>
#include <string>

#include "core/black76.hpp"
#include "test_support.hpp"

namespace {

using namespace kestrelfin::core;
using namespace kestrelfin::test;

// Inputs in call order after the kind: F, K, t, r, sigma.
using Args = std::array<double, 5>;
enum Input : std::size_t { kF, kK, kT, kR, kSigma };
using B76Fn = double (*)(OptionKind, double, double, double, double, double);

double eval(B76Fn f, OptionKind k, const Args& a) {
    return f(k, a[0], a[1], a[2], a[3], a[4]);
}

// Unscaled vega dV/dsigma, the quantity vomma and veta differentiate.
double raw_vega(OptionKind k, double F, double K, double t, double r, double s) {
    return 100.0 * black76_vega(k, F, K, t, r, s);
}

// ---------------------------------------------------------------------------
// Every Greek is scale * d(base)/d(input).

struct Derivative {
    const char* name;
    B76Fn greek;
    B76Fn base;
    Input input;
    double scale;
};

void PrintTo(const Derivative& d, std::ostream* os) {
    *os << d.name;
}

constexpr Derivative kDerivatives[] = {
    {"delta", black76_delta, black76_black, kF, 1.0},
    {"gamma", black76_gamma, black76_delta, kF, 1.0},
    {"vega", black76_vega, black76_black, kSigma, 0.01},
    {"theta", black76_theta, black76_black, kT, -1.0 / 365.0},
    {"rho", black76_rho, black76_black, kR, 0.01},
    {"vanna", black76_vanna, black76_delta, kSigma, 1.0},
    {"charm", black76_charm, black76_delta, kT, 1.0},
    {"vomma", black76_vomma, raw_vega, kSigma, 1.0},
    {"speed", black76_speed, black76_gamma, kF, 1.0},
    {"zomma", black76_zomma, black76_gamma, kSigma, 1.0},
    {"color", black76_color, black76_gamma, kT, 1.0},
    {"veta", black76_veta, raw_vega, kT, 1.0},
    {"ultima", black76_ultima, black76_vomma, kSigma, 1.0},
    {"dual_delta", black76_dual_delta, black76_black, kK, 1.0},
    {"dual_gamma", black76_dual_gamma, black76_dual_delta, kK, 1.0},
};

constexpr Args kPoints[] = {
    {100, 100, 1.0, 0.05, 0.2},
    {100, 90, 0.5, 0.03, 0.25},
    {80, 100, 2.0, 0.04, 0.45},
    {120, 100, 0.3, 0.01, 0.15},
};

class Black76GreekIsADerivative : public ::testing::TestWithParam<std::tuple<Derivative, Args, OptionKind>> {};

TEST_P(Black76GreekIsADerivative, AgreesWithCentralDifference) {
    const auto& [d, args, kind] = GetParam();
    expect_greek_is_derivative(d, args, kind, [](auto f, OptionKind k, const Args& a) { return eval(f, k, a); });
}

INSTANTIATE_TEST_SUITE_P(AllGreeks, Black76GreekIsADerivative,
                         ::testing::Combine(::testing::ValuesIn(kDerivatives), ::testing::ValuesIn(kPoints),
                                            ::testing::ValuesIn(kKinds)),
                         [](const auto& info) { return derivative_test_name(info, std::size(kPoints)); });

// ---------------------------------------------------------------------------
// Worked examples, to the digits quoted.

struct Example {
    B76Fn f;
    OptionKind kind;
    Args args;
    const char* quoted;
};

void PrintTo(const Example& e, std::ostream* os) {
    *os << kind_name(e.kind) << " about " << e.quoted;
}

constexpr Args kAtm{100, 100, 1.0, 0.05, 0.2};
constexpr Args kItm{100, 90, 0.5, 0.03, 0.25};

constexpr Example kExamples[] = {
    {black76_black, kCall, kAtm, "7.58"},        {black76_black, kPut, kAtm, "7.58"},
    {black76_delta, kCall, kAtm, "0.514"},       {black76_delta, kPut, kAtm, "-0.438"},
    {black76_gamma, kCall, kAtm, "0.0189"},      {black76_vega, kCall, kAtm, "0.378"},
    {black76_theta, kCall, kAtm, "-0.00931"},    {black76_theta, kPut, kAtm, "-0.00931"},
    {black76_rho, kCall, kAtm, "-0.0758"},       {black76_rho, kPut, kAtm, "-0.0758"},
    {black76_vanna, kCall, kAtm, "0.189"},       {black76_vomma, kCall, kAtm, "-1.89"},
    {black76_speed, kCall, kAtm, "-0.000283"},   {black76_zomma, kCall, kAtm, "-0.0953"},
    {black76_color, kCall, kAtm, "-0.0105"},     {black76_veta, kCall, kAtm, "16.8"},
    {black76_ultima, kCall, kAtm, "-9.35"},      {black76_dual_gamma, kCall, kAtm, "0.0189"},
    {black76_charm, kCall, kAtm, "-0.00680"},    {black76_charm, kPut, kAtm, "0.0408"},
    {black76_dual_delta, kCall, kAtm, "-0.438"}, {black76_dual_delta, kPut, kAtm, "0.514"},

    {black76_black, kCall, kItm, "12.6"},        {black76_black, kPut, kItm, "2.80"},
    {black76_delta, kCall, kItm, "0.742"},       {black76_delta, kPut, kItm, "-0.243"},
    {black76_gamma, kCall, kItm, "0.0176"},      {black76_vega, kCall, kItm, "0.220"},
    {black76_theta, kCall, kItm, "-0.0140"},     {black76_theta, kPut, kItm, "-0.0148"},
    {black76_rho, kCall, kItm, "-0.0632"},       {black76_rho, kPut, kItm, "-0.0140"},
    {black76_vanna, kCall, kItm, "-0.631"},      {black76_vomma, kCall, kItm, "30.6"},
    {black76_speed, kCall, kItm, "-0.000857"},   {black76_zomma, kCall, kItm, "-0.0459"},
    {black76_color, kCall, kItm, "-0.0120"},     {black76_veta, kCall, kItm, "29.0"},
    {black76_ultima, kCall, kItm, "-335"},       {black76_dual_gamma, kCall, kItm, "0.0217"},
    {black76_charm, kCall, kItm, "-0.180"},      {black76_charm, kPut, kItm, "-0.151"},
    {black76_dual_delta, kCall, kItm, "-0.684"}, {black76_dual_delta, kPut, kItm, "0.301"},
};

class Black76Example : public ::testing::TestWithParam<Example> {};

TEST_P(Black76Example, MatchesQuotedDigits) {
    const auto& e = GetParam();
    EXPECT_TRUE(about(eval(e.f, e.kind, e.args), e.quoted));
}

INSTANTIATE_TEST_SUITE_P(Worked, Black76Example, ::testing::ValuesIn(kExamples), [](const auto& info) {
    return std::to_string(info.index) + "_" + kind_name(info.param.kind) + "_" + test_name(info.param.quoted);
});

// ---------------------------------------------------------------------------
// Identities and independent references.

TEST(Black76Price, MatchesLongDoubleReference) {
    for (double K : {70.0, 90.0, 100.0, 110.0, 140.0})
        for (double t : {0.1, 1.0, 3.0})
            for (double sigma : {0.1, 0.3, 0.8})
                for (OptionKind kind : kKinds) {
                    const long double v = sigma * std::sqrt(static_cast<long double>(t));
                    const long double d1 = (std::log(100.0L / K) + v * v / 2) / v;
                    const long double sgn = kind == kCall ? 1 : -1;
                    const double ref = static_cast<double>(
                        std::exp(-0.04L * t) * (sgn * (100 * norm_cdf_ld(sgn * d1) - K * norm_cdf_ld(sgn * (d1 - v)))));
                    if (ref < 1e-3)
                        continue;
                    EXPECT_NEAR(black76_black(kind, 100.0, K, t, 0.04, sigma) / ref, 1.0, 1e-12)
                        << kind_name(kind) << " K=" << K << " t=" << t << " sigma=" << sigma;
                }
}

TEST(Black76Parity, CallMinusPutHolds) {
    for (const Args& a : kPoints) {
        const double D = std::exp(-a[kR] * a[kT]);
        const auto diff = [&](B76Fn f) { return eval(f, kCall, a) - eval(f, kPut, a); };
        EXPECT_NEAR(diff(black76_black), D * (a[kF] - a[kK]), 1e-13 * a[kK]);
        EXPECT_NEAR(diff(black76_delta), D, 4e-16);
        EXPECT_NEAR(diff(black76_dual_delta), -D, 4e-16);
        EXPECT_NEAR(diff(black76_charm), -a[kR] * D, 1e-15);
    }
}

TEST(Black76Parity, KindIndependentGreeksAgreeBitForBit) {
    const B76Fn same[] = {black76_gamma, black76_vega,  black76_vanna, black76_vomma,  black76_speed,
                          black76_zomma, black76_color, black76_veta,  black76_ultima, black76_dual_gamma};
    for (const Args& a : kPoints)
        for (B76Fn f : same)
            EXPECT_EQ(bits(eval(f, kCall, a)), bits(eval(f, kPut, a)));
}

TEST(Black76Rho, IsMinusTimeTimesPricePerPoint) {
    for (const Args& a : kPoints)
        for (OptionKind k : kKinds)
            EXPECT_NEAR(eval(black76_rho, k, a), -0.01 * a[kT] * eval(black76_black, k, a),
                        1e-16 * std::fabs(eval(black76_black, k, a)) + 1e-18);
}

TEST(Black76Theta, WithoutRatesIsPureTimeDecayAndRhoStaysNonZero) {
    const double F = 100, K = 90, t = 0.5, sigma = 0.25;
    const double v = sigma * std::sqrt(t);
    const double d1 = (std::log(F / K) + v * v / 2) / v;
    const double phi = static_cast<double>(norm_pdf_ld(d1));
    const double decay = -F * phi * sigma / (2 * std::sqrt(t)) / 365;
    for (OptionKind k : kKinds) {
        EXPECT_NEAR(black76_theta(k, F, K, t, 0.0, sigma), decay, 1e-15);
        EXPECT_LT(black76_rho(k, F, K, t, 0.0, sigma), 0.0);
    }
}

TEST(Black76Strike, AtTheForwardDualGreeksMirrorDeltaAndGamma) {
    for (double t : {0.25, 1.0, 4.0}) {
        const Args a{100, 100, t, 0.03, 0.3};
        EXPECT_NEAR(eval(black76_dual_delta, kCall, a), eval(black76_delta, kPut, a), 1e-15);
        EXPECT_NEAR(eval(black76_dual_gamma, kCall, a) / eval(black76_gamma, kCall, a), 1.0, 1e-14);
    }
}

TEST(Black76Degenerate, ZeroTimeOrVolatilityGivesNaNOrInfinityNeverAnError) {
    for (const Args& a :
         {Args{100, 90, 0.0, 0.05, 0.2}, Args{100, 90, 1.0, 0.05, 0.0}, Args{100, 100, 0.0, 0.05, 0.2}}) {
        const B76Fn undefined[] = {black76_gamma, black76_charm, black76_color, black76_veta};
        for (B76Fn f : undefined)
            EXPECT_FALSE(std::isfinite(eval(f, kCall, a)));
    }
    // At expiry away from the strike the price is still the discounted intrinsic value.
    EXPECT_EQ(black76_black(kCall, 110.0, 100.0, 0.0, 0.05, 0.2), 10.0);
}

}  // namespace
