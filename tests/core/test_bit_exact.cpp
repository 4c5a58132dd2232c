// Last-bit reproducibility: every function, over a grid of inputs, against a
// second transcription of the formulas written independently in Python
// (reference_bits.py). A regrouped product, a swapped discount factor or a
// mistyped coefficient changes some result in its last bit, which no
// tolerance test sees but these digests do.
#include <cstdint>
#include <string>

#include "core/black76.hpp"
#include "core/black_scholes_merton.hpp"
#include "core/implied_volatility.hpp"
#include "test_support.hpp"

namespace {

using namespace kestrelfin::core;
using namespace kestrelfin::test;

// FNV-1a over the little-endian bytes of each result.
class Digest {
public:
    void add(double x) {
        const std::uint64_t b = bits(x);
        for (int i = 0; i < 8; ++i) {
            h_ ^= (b >> (8 * i)) & 0xFF;
            h_ *= 0x100000001B3ULL;
        }
    }
    std::uint64_t value() const { return h_; }

private:
    std::uint64_t h_ = 0xCBF29CE484222325ULL;
};

// The grid of reference_bits.py.
constexpr double kStrikes[] = {50.0, 80.0, 95.0, 100.0, 105.0, 130.0, 400.0};
constexpr double kExpiries[] = {0.01, 0.25, 1.0, 7.5};
constexpr double kRates[] = {-0.01, 0.0, 0.03, 0.07};
constexpr double kVols[] = {0.05, 0.2, 0.9};
constexpr double kYields[] = {0.0, 0.005, 0.04};

using BsmFn = double (*)(OptionKind, double, double, double, double, double, double);
using B76Fn = double (*)(OptionKind, double, double, double, double, double);

// A digest for each build of the C library's exp and log: the build with
// FMA, which glibc runs on CPUs with AVX2 and FMA, and the build without
// (the two round a few results in ten thousand differently).
struct LibmDigests {
    std::uint64_t fma_build;
    std::uint64_t plain_build;
};

struct Expected {
    const char* name;
    BsmFn bsm;
    LibmDigests bsm_digest;
    B76Fn black76;
    LibmDigests black76_digest;
};

void PrintTo(const Expected& e, std::ostream* os) {
    *os << e.name;
}

// The digest of the build this process runs; a library that is neither
// build (another libm preloaded) has no digest, and the test says so.
std::uint64_t digest_for_this_libm(const LibmDigests& d) {
    switch (process_libm_build()) {
        case LibmBuild::Fma:
            return d.fma_build;
        case LibmBuild::WithoutFma:
            return d.plain_build;
        case LibmBuild::Other:
            break;
    }
    return 0;
}

// Output of `python3 tests/core/reference_bits.py` (glibc 2.36), and of the
// same under GLIBC_TUNABLES=glibc.cpu.hwcaps=-FMA,-AVX2 for the build
// without FMA.
constexpr Expected kExpected[] = {
    {"price",
     bsm_black_scholes_merton,
     {0x5c0c0a6686a332c2, 0xe42effe80fbffaa7},
     black76_black,
     {0xb600746baeacbb53, 0xb600746baeacbb53}},
    {"delta",
     bsm_delta,
     {0x2651521e0bc6212f, 0x3a1e95a14cd3c434},
     black76_delta,
     {0x5de53bedfa5685d, 0x5de53bedfa5685d}},
    {"gamma",
     bsm_gamma,
     {0x48e85d4c6900ad79, 0x48e85d4c6900ad79},
     black76_gamma,
     {0x5d1c15da5f0f2bb5, 0x5d1c15da5f0f2bb5}},
    {"vega",
     bsm_vega,
     {0x955913dd391a7761, 0x955913dd391a7761},
     black76_vega,
     {0x5b0f2bdbcf8033b5, 0x5b0f2bdbcf8033b5}},
    {"theta",
     bsm_theta,
     {0xbfc717baec0628e7, 0xbfc717baec0628e7},
     black76_theta,
     {0x2fb64038c7a33e5d, 0x2fb64038c7a33e5d}},
    {"rho", bsm_rho, {0xd732e15d2b0f5512, 0xd732e15d2b0f5512}, black76_rho, {0x5a4bf9dc1b093f3d, 0x5a4bf9dc1b093f3d}},
    {"vanna",
     bsm_vanna,
     {0x6473452fd2b66689, 0x6473452fd2b66689},
     black76_vanna,
     {0x2be4a7f1d161135, 0x2be4a7f1d161135}},
    {"charm",
     bsm_charm,
     {0x47f216eaccd83544, 0x47f216eaccd83544},
     black76_charm,
     {0x3161a882cb17beb0, 0x3161a882cb17beb0}},
    {"vomma",
     bsm_vomma,
     {0xc8fd2f67bf56b49, 0xc8fd2f67bf56b49},
     black76_vomma,
     {0xe7a027aac760bc31, 0xe7a027aac760bc31}},
    {"speed",
     bsm_speed,
     {0xcc7908b565d454b5, 0xcc7908b565d454b5},
     black76_speed,
     {0xc1931472083d00c1, 0xc1931472083d00c1}},
    {"zomma",
     bsm_zomma,
     {0xfbc021d4a33a40d9, 0xfbc021d4a33a40d9},
     black76_zomma,
     {0x864c7aeb7e7d9419, 0x864c7aeb7e7d9419}},
    {"color",
     bsm_color,
     {0x9bb84ae1385c5b85, 0x9bb84ae1385c5b85},
     black76_color,
     {0x36fedf0be4b44b5, 0x36fedf0be4b44b5}},
    {"veta",
     bsm_veta,
     {0xb6c637388efcb371, 0xb6c637388efcb371},
     black76_veta,
     {0xc4abdf66d5681e95, 0xc4abdf66d5681e95}},
    {"ultima",
     bsm_ultima,
     {0x6bcf84543eed1f21, 0x6bcf84543eed1f21},
     black76_ultima,
     {0x863840565a0bbe35, 0x863840565a0bbe35}},
    {"dual_delta",
     bsm_dual_delta,
     {0x83a71f259b47159e, 0x83a71f259b47159e},
     black76_dual_delta,
     {0xc0691858cf49f180, 0xc0691858cf49f180}},
    {"dual_gamma",
     bsm_dual_gamma,
     {0xde45f1f0aa3423d, 0xde45f1f0aa3423d},
     black76_dual_gamma,
     {0xb63c800da66047ad, 0xb63c800da66047ad}},
};
constexpr LibmDigests kNormCdfDigest = {0x3a3e11f176a9791c, 0xe7ca581392e13f71};
constexpr LibmDigests kImpliedVolDigest = {0x937536bd68e720fc, 0x937536bd68e720fc};

class BitExact : public ::testing::TestWithParam<Expected> {};

TEST_P(BitExact, MatchesTheIndependentTranscription) {
    const Expected& e = GetParam();
    Digest bsm, b76;
    for (double K : kStrikes)
        for (double t : kExpiries)
            for (double r : kRates)
                for (double sigma : kVols)
                    for (OptionKind kind : kKinds) {
                        b76.add(e.black76(kind, 100.0, K, t, r, sigma));
                        for (double q : kYields)
                            bsm.add(e.bsm(kind, 100.0, K, t, r, sigma, q));
                    }
    if (process_libm_build() == LibmBuild::Other) {
        GTEST_SKIP() << "this process's exp and log are neither build of glibc's";
    }
    EXPECT_EQ(bsm.value(), digest_for_this_libm(e.bsm_digest)) << "bsm_" << e.name;
    EXPECT_EQ(b76.value(), digest_for_this_libm(e.black76_digest)) << "black76_" << e.name;
}

INSTANTIATE_TEST_SUITE_P(AllFunctions, BitExact, ::testing::ValuesIn(kExpected),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(BitExactNormCdf, MatchesTheIndependentTranscription) {
    Digest d;
    for (int i = -4000; i <= 4000; ++i)
        d.add(norm_cdf(i * 0.01));
    // On and next to the range boundaries (|y| = 4 exactly at the third and
    // fourth) and the seam of the tail series at -10.
    for (double x : {-10.0, -9.999999999999998, -5.65685424949238, 5.65685424949238, -0.6629126073623883,
                     0.6629126073623883, 37.537, -1.5e-16, 1.5e-16, -1e-300})
        d.add(norm_cdf(x));
    if (process_libm_build() == LibmBuild::Other) {
        GTEST_SKIP() << "this process's exp and log are neither build of glibc's";
    }
    EXPECT_EQ(d.value(), digest_for_this_libm(kNormCdfDigest));
}

TEST(BitExactImpliedVol, MatchesTheIndependentTranscription) {
    Digest d;
    for (double K : kStrikes)
        for (double t : kExpiries)
            for (double sigma : kVols)
                for (OptionKind kind : kKinds) {
                    const double price = black76_black(kind, 100.0, K, t, 0.03, sigma);
                    const ImpliedVol iv = implied_volatility(kind, price, 100.0, K, t, 0.03);
                    d.add(iv.volatility);
                    d.add(static_cast<double>(iv.error));
                }
    if (process_libm_build() == LibmBuild::Other) {
        GTEST_SKIP() << "this process's exp and log are neither build of glibc's";
    }
    EXPECT_EQ(d.value(), digest_for_this_libm(kImpliedVolDigest));
}

}  // namespace
