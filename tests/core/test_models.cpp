// The two models' prices and Greeks, one suite parametrized over the model:
// every Greek against a finite difference of the function it differentiates,
// worked examples to the digits quoted, the price against an independent
// long double transcription of the textbook formula, the put-call parities,
// and what each model alone promises (Black-76's rho, Black-Scholes-
// Merton's far tails, Black-Scholes as Black-Scholes-Merton with q = +0).
#include <array>
#include <cmath>
#include <limits>
#include <random>
#include <string>

#include "core/black76.hpp"
#include "core/black_scholes_merton.hpp"
#include "kernels/operations.hpp"
#include "test_support.hpp"

namespace {

using namespace kestrelfin::core;
using namespace kestrelfin::test;
namespace table = kestrelfin::kernels::table;

// The inputs after the kind: the underlying X (S or F), K, t, r, sigma and
// q (which Black-76 has not).
using Args = std::array<double, 6>;
enum Input : std::size_t { kX, kK, kT, kR, kSigma, kQ };
using Fn = double (*)(OptionKind, const Args&);

// The quantities in the order of core::Greeks, then the unscaled vega
// dV/dsigma that vomma and veta differentiate.
enum Quantity : std::size_t {
    kPrice,
    kDelta,
    kGamma,
    kVega,
    kTheta,
    kRho,
    kVanna,
    kCharm,
    kVomma,
    kSpeed,
    kZomma,
    kColor,
    kVeta,
    kUltima,
    kDualDelta,
    kDualGamma,
    kRawVega,
    kQuantityCount
};

#define KESTRELFIN_B76(f) +[](OptionKind k, const Args& a) { return f(k, a[kX], a[kK], a[kT], a[kR], a[kSigma]); }
#define KESTRELFIN_BSM(f) \
    +[](OptionKind k, const Args& a) { return f(k, a[kX], a[kK], a[kT], a[kR], a[kSigma], a[kQ]); }
#define KESTRELFIN_MODEL_FUNCTIONS(M, prefix_, price_)                                                          \
    {                                                                                                           \
        M(prefix_##price_), M(prefix_##delta), M(prefix_##gamma), M(prefix_##vega), M(prefix_##theta),          \
            M(prefix_##rho), M(prefix_##vanna), M(prefix_##charm), M(prefix_##vomma), M(prefix_##speed),        \
            M(prefix_##zomma), M(prefix_##color), M(prefix_##veta), M(prefix_##ultima), M(prefix_##dual_delta), \
            M(prefix_##dual_gamma), +[](OptionKind k, const Args& a) { return 100.0 * M(prefix_##vega)(k, a); } \
    }

struct Model {
    const char* name;
    std::array<Fn, kQuantityCount> f;
    // The yield the underlying pays (q; a forward "pays" r): what theta and
    // charm take, and its discount factor Dy = exp(-y t).
    Input yield;
    bool spot;  // the forward is S exp((r - q) t); Black-76's is F itself
    std::array<Args, 4> points;
};

const Model kBlack76{"black76",
                     KESTRELFIN_MODEL_FUNCTIONS(KESTRELFIN_B76, black76_, black),
                     kR,
                     false,
                     {{{100, 100, 1.0, 0.05, 0.2, 0.0},
                       {100, 90, 0.5, 0.03, 0.25, 0.0},
                       {80, 100, 2.0, 0.04, 0.45, 0.0},
                       {120, 100, 0.3, 0.01, 0.15, 0.0}}}};
const Model kMerton{"bsm",
                    KESTRELFIN_MODEL_FUNCTIONS(KESTRELFIN_BSM, bsm_, black_scholes_merton),
                    kQ,
                    true,
                    {{{100, 100, 1.0, 0.05, 0.2, 0.0},
                      {100, 95, 0.75, 0.05, 0.25, 0.02},
                      {80, 100, 2.0, 0.03, 0.4, 0.01},
                      {120, 100, 0.3, 0.01, 0.15, 0.04}}}};
const Model* const kModels[] = {&kBlack76, &kMerton};

double eval(const Model& m, Quantity q, OptionKind k, const Args& a) {
    return m.f[q](k, a);
}

// ---------------------------------------------------------------------------
// Every Greek is scale * d(base)/d(input), in both models.

struct Derivative {
    const char* name;
    Quantity greek;
    Quantity base;
    Input input;
    double scale;
};

void PrintTo(const Derivative& d, std::ostream* os) {
    *os << d.name;
}

constexpr Derivative kDerivatives[] = {
    {"delta", kDelta, kPrice, kX, 1.0},
    {"gamma", kGamma, kDelta, kX, 1.0},
    {"vega", kVega, kPrice, kSigma, 0.01},
    {"theta", kTheta, kPrice, kT, -1.0 / 365.0},
    {"rho", kRho, kPrice, kR, 0.01},
    {"vanna", kVanna, kDelta, kSigma, 1.0},
    {"charm", kCharm, kDelta, kT, 1.0},
    {"vomma", kVomma, kRawVega, kSigma, 1.0},
    {"speed", kSpeed, kGamma, kX, 1.0},
    {"zomma", kZomma, kGamma, kSigma, 1.0},
    {"color", kColor, kGamma, kT, 1.0},
    {"veta", kVeta, kRawVega, kT, 1.0},
    {"ultima", kUltima, kVomma, kSigma, 1.0},
    {"dual_delta", kDualDelta, kPrice, kK, 1.0},
    {"dual_gamma", kDualGamma, kDualDelta, kK, 1.0},
};

class GreekIsADerivative
        : public ::testing::TestWithParam<std::tuple<const Model*, Derivative, std::size_t, OptionKind>> {};

TEST_P(GreekIsADerivative, AgreesWithCentralDifference) {
    const auto& [model, d, point, kind] = GetParam();
    const Model& m = *model;
    struct Bound {
        const char* name;
        Quantity greek;
        Quantity base;
        std::size_t input;
        double scale;
    } bound{d.name, d.greek, d.base, d.input, d.scale};
    expect_greek_is_derivative(bound, m.points[point], kind,
                               [&](Quantity q, OptionKind k, const Args& a) { return eval(m, q, k, a); });
}

INSTANTIATE_TEST_SUITE_P(AllGreeks, GreekIsADerivative,
                         ::testing::Combine(::testing::ValuesIn(kModels), ::testing::ValuesIn(kDerivatives),
                                            ::testing::Range<std::size_t>(0, 4), ::testing::ValuesIn(kKinds)),
                         [](const auto& info) {
                             const Model* model = std::get<0>(info.param);
                             return std::string(model->name) + "_" + std::get<1>(info.param).name + "_point" +
                                    std::to_string(std::get<2>(info.param)) + "_" + kind_name(std::get<3>(info.param));
                         });

// ---------------------------------------------------------------------------
// Worked examples, to the digits quoted.

struct Example {
    const Model* model;
    Quantity quantity;
    OptionKind kind;
    Args args;
    const char* quoted;
};

void PrintTo(const Example& e, std::ostream* os) {
    *os << e.model->name << " " << kind_name(e.kind) << " about " << e.quoted;
}

constexpr Args kForwardAtm{100, 100, 1.0, 0.05, 0.2, 0.0};
constexpr Args kForwardItm{100, 90, 0.5, 0.03, 0.25, 0.0};
constexpr Args kSpotAtm{100, 100, 1.0, 0.05, 0.2, 0.0};
constexpr Args kSpotDividend{100, 95, 0.75, 0.05, 0.25, 0.02};

const Example kExamples[] = {
    {&kBlack76, kPrice, kCall, kForwardAtm, "7.58"},
    {&kBlack76, kPrice, kPut, kForwardAtm, "7.58"},
    {&kBlack76, kDelta, kCall, kForwardAtm, "0.514"},
    {&kBlack76, kDelta, kPut, kForwardAtm, "-0.438"},
    {&kBlack76, kGamma, kCall, kForwardAtm, "0.0189"},
    {&kBlack76, kVega, kCall, kForwardAtm, "0.378"},
    {&kBlack76, kTheta, kCall, kForwardAtm, "-0.00931"},
    {&kBlack76, kTheta, kPut, kForwardAtm, "-0.00931"},
    {&kBlack76, kRho, kCall, kForwardAtm, "-0.0758"},
    {&kBlack76, kRho, kPut, kForwardAtm, "-0.0758"},
    {&kBlack76, kVanna, kCall, kForwardAtm, "0.189"},
    {&kBlack76, kVomma, kCall, kForwardAtm, "-1.89"},
    {&kBlack76, kSpeed, kCall, kForwardAtm, "-0.000283"},
    {&kBlack76, kZomma, kCall, kForwardAtm, "-0.0953"},
    {&kBlack76, kColor, kCall, kForwardAtm, "-0.0105"},
    {&kBlack76, kVeta, kCall, kForwardAtm, "16.8"},
    {&kBlack76, kUltima, kCall, kForwardAtm, "-9.35"},
    {&kBlack76, kDualGamma, kCall, kForwardAtm, "0.0189"},
    {&kBlack76, kCharm, kCall, kForwardAtm, "-0.00680"},
    {&kBlack76, kCharm, kPut, kForwardAtm, "0.0408"},
    {&kBlack76, kDualDelta, kCall, kForwardAtm, "-0.438"},
    {&kBlack76, kDualDelta, kPut, kForwardAtm, "0.514"},

    {&kBlack76, kPrice, kCall, kForwardItm, "12.6"},
    {&kBlack76, kPrice, kPut, kForwardItm, "2.80"},
    {&kBlack76, kDelta, kCall, kForwardItm, "0.742"},
    {&kBlack76, kDelta, kPut, kForwardItm, "-0.243"},
    {&kBlack76, kGamma, kCall, kForwardItm, "0.0176"},
    {&kBlack76, kVega, kCall, kForwardItm, "0.220"},
    {&kBlack76, kTheta, kCall, kForwardItm, "-0.0140"},
    {&kBlack76, kTheta, kPut, kForwardItm, "-0.0148"},
    {&kBlack76, kRho, kCall, kForwardItm, "-0.0632"},
    {&kBlack76, kRho, kPut, kForwardItm, "-0.0140"},
    {&kBlack76, kVanna, kCall, kForwardItm, "-0.631"},
    {&kBlack76, kVomma, kCall, kForwardItm, "30.6"},
    {&kBlack76, kSpeed, kCall, kForwardItm, "-0.000857"},
    {&kBlack76, kZomma, kCall, kForwardItm, "-0.0459"},
    {&kBlack76, kColor, kCall, kForwardItm, "-0.0120"},
    {&kBlack76, kVeta, kCall, kForwardItm, "29.0"},
    {&kBlack76, kUltima, kCall, kForwardItm, "-335"},
    {&kBlack76, kDualGamma, kCall, kForwardItm, "0.0217"},
    {&kBlack76, kCharm, kCall, kForwardItm, "-0.180"},
    {&kBlack76, kCharm, kPut, kForwardItm, "-0.151"},
    {&kBlack76, kDualDelta, kCall, kForwardItm, "-0.684"},
    {&kBlack76, kDualDelta, kPut, kForwardItm, "0.301"},

    {&kMerton, kPrice, kCall, kSpotAtm, "10.5"},
    {&kMerton, kPrice, kPut, kSpotAtm, "5.57"},
    {&kMerton, kDelta, kCall, kSpotAtm, "0.637"},
    {&kMerton, kDelta, kPut, kSpotAtm, "-0.363"},
    {&kMerton, kGamma, kCall, kSpotAtm, "0.0188"},
    {&kMerton, kVega, kCall, kSpotAtm, "0.375"},
    {&kMerton, kTheta, kCall, kSpotAtm, "-0.0176"},
    {&kMerton, kTheta, kPut, kSpotAtm, "-0.00454"},
    {&kMerton, kRho, kCall, kSpotAtm, "0.532"},
    {&kMerton, kRho, kPut, kSpotAtm, "-0.419"},
    {&kMerton, kVanna, kCall, kSpotAtm, "-0.281"},
    {&kMerton, kCharm, kCall, kSpotAtm, "0.0657"},
    {&kMerton, kCharm, kPut, kSpotAtm, "0.0657"},
    {&kMerton, kVomma, kCall, kSpotAtm, "9.85"},
    {&kMerton, kSpeed, kCall, kSpotAtm, "-0.000516"},
    {&kMerton, kZomma, kCall, kSpotAtm, "-0.0889"},
    {&kMerton, kColor, kCall, kSpotAtm, "-0.0105"},
    {&kMerton, kVeta, kCall, kSpotAtm, "16.5"},
    {&kMerton, kUltima, kCall, kSpotAtm, "-183"},
    {&kMerton, kDualDelta, kCall, kSpotAtm, "-0.532"},
    {&kMerton, kDualDelta, kPut, kSpotAtm, "0.419"},
    {&kMerton, kDualGamma, kCall, kSpotAtm, "0.0188"},

    {&kMerton, kPrice, kCall, kSpotDividend, "12.2"},
    {&kMerton, kPrice, kPut, kSpotDividend, "5.16"},
    {&kMerton, kDelta, kCall, kSpotDividend, "0.663"},
    {&kMerton, kDelta, kPut, kSpotDividend, "-0.322"},
    {&kMerton, kGamma, kCall, kSpotDividend, "0.0164"},
    {&kMerton, kVega, kCall, kSpotDividend, "0.308"},
    {&kMerton, kTheta, kCall, kSpotDividend, "-0.0178"},
    {&kMerton, kTheta, kPut, kSpotDividend, "-0.0107"},
    {&kMerton, kRho, kCall, kSpotDividend, "0.406"},
    {&kMerton, kRho, kPut, kSpotDividend, "-0.280"},
    {&kMerton, kVanna, kCall, kSpotDividend, "-0.331"},
    {&kMerton, kCharm, kCall, kSpotDividend, "-0.0191"},
    {&kMerton, kCharm, kPut, kSpotDividend, "0.000577"},
    {&kMerton, kVomma, kCall, kSpotDividend, "12.9"},
    {&kMerton, kSpeed, kCall, kSpotDividend, "-0.000505"},
    {&kMerton, kZomma, kCall, kSpotDividend, "-0.0588"},
    {&kMerton, kColor, kCall, kSpotDividend, "-0.0111"},
    {&kMerton, kVeta, kCall, kSpotDividend, "20.1"},
    {&kMerton, kUltima, kCall, kSpotDividend, "-172"},
    {&kMerton, kDualDelta, kCall, kSpotDividend, "-0.570"},
    {&kMerton, kDualDelta, kPut, kSpotDividend, "0.393"},
    {&kMerton, kDualGamma, kCall, kSpotDividend, "0.0182"},
};

class WorkedExample : public ::testing::TestWithParam<Example> {};

TEST_P(WorkedExample, MatchesQuotedDigits) {
    const auto& e = GetParam();
    EXPECT_TRUE(about(eval(*e.model, e.quantity, e.kind, e.args), e.quoted));
}

INSTANTIATE_TEST_SUITE_P(Worked, WorkedExample, ::testing::ValuesIn(kExamples), [](const auto& info) {
    return std::string(info.param.model->name) + "_" + std::to_string(info.index) + "_" + kind_name(info.param.kind) +
           "_" + test_name(info.param.quoted);
});

// ---------------------------------------------------------------------------
// Identities and independent references, in both models.

class EveryModel : public ::testing::TestWithParam<const Model*> {};

INSTANTIATE_TEST_SUITE_P(Models, EveryModel, ::testing::ValuesIn(kModels),
                         [](const auto& info) { return std::string(info.param->name); });

// The forward of an option, in long double.
long double forward_ld(const Model& m, const Args& a) {
    return m.spot ? a[kX] * std::exp((static_cast<long double>(a[kR]) - a[kQ]) * a[kT]) : a[kX];
}

// The price in long double from the textbook formula with erfcl.
long double reference_price(const Model& m, OptionKind kind, const Args& a) {
    const long double F = forward_ld(m, a);
    const long double K = a[kK];
    const long double v = a[kSigma] * std::sqrt(static_cast<long double>(a[kT]));
    const long double d1 = (std::log(F / K) + v * v / 2) / v;
    const long double sgn = kind == kCall ? 1 : -1;
    return std::exp(-static_cast<long double>(a[kR]) * a[kT]) *
           (sgn * (F * norm_cdf_ld(sgn * d1) - K * norm_cdf_ld(sgn * (d1 - v))));
}

TEST_P(EveryModel, PriceMatchesLongDoubleReference) {
    const Model& m = *GetParam();
    for (double K : {70.0, 90.0, 100.0, 110.0, 140.0})
        for (double t : {0.1, 1.0, 3.0})
            for (double sigma : {0.1, 0.3, 0.8})
                for (OptionKind kind : kKinds) {
                    const Args a{100, K, t, 0.04, sigma, 0.015};
                    const double ref = static_cast<double>(reference_price(m, kind, a));
                    if (ref < 1e-3)
                        continue;  // relative accuracy is not promised there
                    EXPECT_NEAR(eval(m, kPrice, kind, a) / ref, 1.0, 1e-12)
                        << kind_name(kind) << " K=" << K << " t=" << t << " sigma=" << sigma;
                }
}

TEST_P(EveryModel, CallMinusPutHolds) {
    const Model& m = *GetParam();
    for (const Args& a : m.points) {
        const double dr = std::exp(-a[kR] * a[kT]);
        const double dy = std::exp(-a[m.yield] * a[kT]);
        const double forward = static_cast<double>(forward_ld(m, a));
        const auto diff = [&](Quantity q) { return eval(m, q, kCall, a) - eval(m, q, kPut, a); };
        EXPECT_NEAR(diff(kPrice), dr * (forward - a[kK]), 1e-13 * a[kK]);
        EXPECT_NEAR(diff(kDelta), dy, 4e-16);
        EXPECT_NEAR(diff(kDualDelta), -dr, 4e-16);
        // Charm's distribution term is (b - r) Dc M; the put's M is one less.
        EXPECT_NEAR(diff(kCharm), -a[m.yield] * dy, 1e-15);
    }
}

TEST_P(EveryModel, KindIndependentGreeksAgreeBitForBit) {
    const Model& m = *GetParam();
    for (const Args& a : m.points)
        for (Quantity q : {kGamma, kVega, kVanna, kVomma, kSpeed, kZomma, kColor, kVeta, kUltima, kDualGamma})
            EXPECT_EQ(bits(eval(m, q, kCall, a)), bits(eval(m, q, kPut, a))) << q;
}

TEST_P(EveryModel, DualGammaIsGammaScaledByForwardValueOverStrikeSquared) {
    const Model& m = *GetParam();
    for (const Args& a : m.points) {
        // X Dy phi(d1) = K Dr phi(d2) turns one into the other.
        const double ratio = a[kX] / a[kK];
        EXPECT_NEAR(eval(m, kDualGamma, kCall, a) / (eval(m, kGamma, kCall, a) * ratio * ratio), 1.0, 1e-13);
    }
}

TEST_P(EveryModel, ZeroTimeOrVolatilityGivesNaNOrInfinityNeverAnError) {
    const Model& m = *GetParam();
    for (const Args& a : {Args{100, 90, 0.0, 0.05, 0.2, 0.01}, Args{100, 90, 1.0, 0.05, 0.0, 0.01},
                          Args{100, 100, 0.0, 0.05, 0.2, 0.01}}) {
        for (Quantity q : {kGamma, kCharm, kColor, kVeta})
            EXPECT_FALSE(std::isfinite(eval(m, q, kCall, a))) << q;
    }
}

// ---------------------------------------------------------------------------
// Black-76 alone.

TEST(Black76Rho, IsMinusTimeTimesPricePerPoint) {
    for (const Args& a : kBlack76.points)
        for (OptionKind k : kKinds)
            EXPECT_NEAR(eval(kBlack76, kRho, k, a), -0.01 * a[kT] * eval(kBlack76, kPrice, k, a),
                        1e-16 * std::fabs(eval(kBlack76, kPrice, k, a)) + 1e-18);
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
        const Args a{100, 100, t, 0.03, 0.3, 0.0};
        EXPECT_NEAR(eval(kBlack76, kDualDelta, kCall, a), eval(kBlack76, kDelta, kPut, a), 1e-15);
        EXPECT_NEAR(eval(kBlack76, kDualGamma, kCall, a) / eval(kBlack76, kGamma, kCall, a), 1.0, 1e-14);
    }
}

TEST(Black76Degenerate, AtExpiryAwayFromTheStrikeThePriceIsTheDiscountedIntrinsicValue) {
    EXPECT_EQ(black76_black(kCall, 110.0, 100.0, 0.0, 0.05, 0.2), 10.0);
}

// ---------------------------------------------------------------------------
// Black-Scholes-Merton alone.

TEST(BsmParity, CharmIsTheSameForCallAndPutWithoutDividends) {
    for (Args a : kMerton.points) {
        a[kQ] = 0.0;
        EXPECT_EQ(eval(kMerton, kCharm, kCall, a), eval(kMerton, kCharm, kPut, a));
    }
}

TEST(BsmTails, FarOutOfTheMoneyPutDeltaKeepsItsDigits) {
    const Args a{100, 60, 0.25, 0.05, 0.2, 0.0};
    const long double v = 0.2L * 0.5L;
    const long double d1 = (std::log(100.0L / 60.0L) + (0.05L + 0.02L) * 0.25L) / v;
    const double ref = static_cast<double>(-norm_cdf_ld(-d1));
    const double delta = eval(kMerton, kDelta, kPut, a);
    EXPECT_TRUE(about(delta, "-6.35e-8"));
    EXPECT_NEAR(delta / ref, 1.0, 1e-13);
}

TEST(BsmTails, DeepPutValuesComeFromTheTailSeries) {
    const Args a{100, 10, 0.1, 0.05, 0.2, 0.0};
    const double price = eval(kMerton, kPrice, kPut, a);
    const double delta = eval(kMerton, kDelta, kPut, a);
    EXPECT_TRUE(about(price, "5.02e-293"));
    EXPECT_TRUE(about(delta, "-2.90e-292"));
    // The put price is a difference of two nearly equal tail terms, which
    // costs a few hundred ulps; the delta is a single tail value.
    EXPECT_NEAR(price / static_cast<double>(reference_price(kMerton, kPut, a)), 1.0, 1e-10);
    const long double v = 0.2L * std::sqrt(0.1L);
    const long double d1 = (std::log(10.0L) + 0.07L * 0.1L) / v;
    EXPECT_NEAR(delta / static_cast<double>(-norm_cdf_ld(-d1)), 1.0, 1e-12);
    EXPECT_EQ(eval(kMerton, kDelta, kCall, a), 1.0);
}

TEST(BsmDegenerate, AtExpiryAwayFromTheStrike) {
    for (double S : {120.0, 80.0}) {
        const Args a{S, 100, 0.0, 0.05, 0.2, 0.01};
        EXPECT_EQ(eval(kMerton, kPrice, kCall, a), std::fmax(S - 100, 0.0));
        EXPECT_EQ(eval(kMerton, kPrice, kPut, a), std::fmax(100 - S, 0.0));
        EXPECT_EQ(eval(kMerton, kDelta, kCall, a), S > 100 ? 1.0 : 0.0);
        EXPECT_EQ(eval(kMerton, kDelta, kPut, a), S > 100 ? 0.0 : -1.0);
        for (OptionKind k : kKinds) {
            EXPECT_EQ(eval(kMerton, kVega, k, a), 0.0);
            EXPECT_EQ(eval(kMerton, kRho, k, a), 0.0);
            EXPECT_TRUE(std::isnan(eval(kMerton, kGamma, k, a)));
            EXPECT_TRUE(std::isnan(eval(kMerton, kTheta, k, a)));
        }
    }
}

TEST(BsmDegenerate, AtExpiryAtTheStrikeOrWithNegativeTimeEverythingIsNaN) {
    const Args cases[] = {{100, 100, 0.0, 0.05, 0.2, 0.01}, {100, 90, -0.5, 0.05, 0.2, 0.01}};
    for (const Args& a : cases)
        for (std::size_t q = kPrice; q <= kDualGamma; ++q)
            for (OptionKind k : kKinds)
                EXPECT_TRUE(std::isnan(eval(kMerton, static_cast<Quantity>(q), k, a))) << q << " t=" << a[kT];
}

// ---------------------------------------------------------------------------
// Black-Scholes is Black-Scholes-Merton at q = +0.0, to the last bit.

// A Black-Scholes function as the function table defines it.
template <class Function>
double black_scholes(OptionKind k, const Args& a) {
    return Function::operation(k, a[kX], a[kK], a[kT], a[kR], a[kSigma]);
}

const std::array<Fn, kDualGamma + 1> kBlackScholes = {
    black_scholes<table::bs_black_scholes>, black_scholes<table::bs_delta>,  black_scholes<table::bs_gamma>,
    black_scholes<table::bs_vega>,          black_scholes<table::bs_theta>,  black_scholes<table::bs_rho>,
    black_scholes<table::bs_vanna>,         black_scholes<table::bs_charm>,  black_scholes<table::bs_vomma>,
    black_scholes<table::bs_speed>,         black_scholes<table::bs_zomma>,  black_scholes<table::bs_color>,
    black_scholes<table::bs_veta>,          black_scholes<table::bs_ultima>, black_scholes<table::bs_dual_delta>,
    black_scholes<table::bs_dual_gamma>};

TEST(BlackScholes, EqualsMertonWithZeroDividendBitForBit) {
    std::mt19937_64 rng(20240607);
    std::uniform_real_distribution<double> spot(1.0, 500.0), moneyness(0.3, 3.0), expiry(1e-4, 10.0), rate(-0.05, 0.2),
        vol(0.01, 2.0);
    for (int i = 0; i < 2000; ++i) {
        const double S = spot(rng), K = S * moneyness(rng), t = expiry(rng), r = rate(rng), sigma = vol(rng);
        const Args a{S, K, t, r, sigma, 0.0};
        for (std::size_t q = kPrice; q <= kDualGamma; ++q)
            for (OptionKind k : kKinds)
                ASSERT_EQ(bits(kBlackScholes[q](k, a)), bits(eval(kMerton, static_cast<Quantity>(q), k, a)))
                    << q << " " << kind_name(k) << " S=" << S << " K=" << K << " t=" << t << " r=" << r
                    << " sigma=" << sigma;
    }
}

}  // namespace
