// The fixed inputs on which the run-time check (exp_log_self_check.hpp)
// compares a replica of exp or log with the process's libm: 16384 doubles per
// function, the same in every process and build.
//
// In order, each part starting at a multiple of 8 (so that a part's position
// in a block of 8 is its lane in a vector of 8, 4 or 2 doubles):
//   1. every special value at every lane position: for each value, eight
//      blocks of 8 with it in one lane and ordinary inputs in the others,
//      then a block of 8 of it alone;
//   2. 16 consecutive doubles around every boundary of the libm's branches;
//   3. witnesses: inputs on which the libm built with FMA and the one built
//      without it return different bits (found by
//      tests/core/exp_log_variant_witnesses.cpp from the two libm builds,
//      not from the replicas), so that a replica of the wrong build fails;
//   4. a seeded sample over what a pricing library asks for: exp on about
//      [-750, 710] with most of it in [-50, 5], log on (0, 1e300] with most
//      of it in [0.01, 100] and near 1.
// The random exp sample holds about 9000 inputs in [-50, 5], where the two
// builds differ on 7e-4 of the results: a few more witnesses.
//
// Built with integer arithmetic and exact conversions only, so no compiler
// setting can change an input.
#pragma once

#include <array>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <limits>

#include "core/libm_branch_bounds.hpp"

namespace kestrelfin::core::exp_log_check {

inline constexpr std::size_t kInputCount = 16384;
using Inputs = std::array<double, kInputCount>;

namespace detail {

inline constexpr double kInf = std::numeric_limits<double>::infinity();
inline constexpr double kMax = std::numeric_limits<double>::max();

inline double from_bits(std::uint64_t bits) noexcept {
    return std::bit_cast<double>(bits);
}
inline std::uint64_t to_bits(double x) noexcept {
    return std::bit_cast<std::uint64_t>(x);
}

// Doubles in their numeric order as integers (-0 and +0 both map to 0).
inline std::int64_t ordinal(double x) noexcept {
    const std::uint64_t bits = to_bits(x);
    const auto magnitude = static_cast<std::int64_t>(bits & 0x7fffffffffffffff);
    return bits >> 63 ? -magnitude : magnitude;
}

inline double from_ordinal(std::int64_t n) noexcept {
    return n < 0 ? from_bits(0x8000000000000000 | static_cast<std::uint64_t>(-n))
                 : from_bits(static_cast<std::uint64_t>(n));
}

class Builder {
public:
    Builder(std::uint64_t seed, std::array<double, 8> ordinary) noexcept : state_(seed), ordinary_(ordinary) {}

    void add(double x) noexcept {
        if (count_ < inputs_.size()) {
            inputs_[count_++] = x;
        }
    }

    // Pads with ordinary inputs to the next multiple of 8.
    void align() noexcept {
        while (count_ % 8 != 0 && count_ < inputs_.size()) {
            add(ordinary_[count_ % 8]);
        }
    }

    // x in each lane of a block of 8 in turn, then in all eight.
    void at_every_lane(double x) noexcept {
        align();
        for (std::size_t lane = 0; lane < 8; ++lane) {
            for (std::size_t i = 0; i < 8; ++i) {
                add(i == lane ? x : ordinary_[i]);
            }
        }
        for (std::size_t i = 0; i < 8; ++i) {
            add(x);
        }
    }

    // The 8 doubles below x and x with the 7 above it.
    void around(double x) noexcept {
        for (std::int64_t step = -8; step < 8; ++step) {
            add(from_ordinal(ordinal(x) + step));
        }
    }

    std::uint64_t random() noexcept {  // splitmix64
        std::uint64_t z = (state_ += 0x9e3779b97f4a7c15);
        z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9;
        z = (z ^ (z >> 27)) * 0x94d049bb133111eb;
        return z ^ (z >> 31);
    }

    // Uniform in [low, high) on the grid 2^-grid, rounded to a double: the
    // conversion of the integer rounds once, the scaling is exact.
    double uniform(double low, double high, int grid) noexcept {
        const auto first = static_cast<std::int64_t>(low * static_cast<double>(std::int64_t{1} << grid));
        const auto last = static_cast<std::int64_t>(high * static_cast<double>(std::int64_t{1} << grid));
        const auto span = static_cast<std::uint64_t>(last - first);
        const auto n = first + static_cast<std::int64_t>(random() % span);
        return static_cast<double>(n) / static_cast<double>(std::int64_t{1} << grid);
    }

    // Uniform over the doubles of [low, high), both of one sign: about
    // uniform in log|x|.
    double between(double low, double high) noexcept {
        const std::int64_t first = ordinal(low);
        const std::int64_t last = ordinal(high);
        return from_ordinal(first + static_cast<std::int64_t>(random() % static_cast<std::uint64_t>(last - first)));
    }

    bool full() const noexcept { return count_ >= inputs_.size(); }
    std::size_t count() const noexcept { return count_; }
    const Inputs& inputs() const noexcept { return inputs_; }

private:
    Inputs inputs_{};
    std::size_t count_ = 0;
    std::uint64_t state_;
    std::array<double, 8> ordinary_;
};

using namespace libm_bounds;

// The last double below a bound.
inline double below(double x) noexcept {
    return from_ordinal(ordinal(x) - 1);
}

// x on which exp's two builds differ (exp_log_variant_witnesses, seed 20240611).
inline constexpr double kExpWitnesses[] = {
    0x1.b9571bb3c8a2p+1,   -0x1.3134e9eaa02f8p+5, -0x1.0175021ee6ce8p+2, -0x1.259c01b675c6bp+5, -0x1.be2df8da0de14p+3,
    -0x1.11263129f2e52p+4, -0x1.e3f57a31a8bd2p+4, -0x1.236239125b9d1p+3, -0x1.34e64550b615bp+5, -0x1.05aff0e217a49p+5,
    -0x1.64c3bff2dd41dp+4, -0x1.20c2b72003612p+3, -0x1.25b0f142f9104p+4, -0x1.50c36e9e91d1bp+4, -0x1.ad1e26888b20bp+4,
    0x1.7a1fd56328363p+1,  -0x1.d3738df806d49p+4, -0x1.f77cba49f2f7bp+3, -0x1.195c390ce782p-3,  -0x1.64734fd0b2edbp+2,
    -0x1.53593b2da7e12p+4, -0x1.ab7f6a1174032p+2, -0x1.3f7c3392358b3p+5, -0x1.c7bfc5c01c99p-4,  0x1.9c75925e86cc7p+0,
    -0x1.c428fa06eadd9p+4, -0x1.721bc8093498fp+4, -0x1.e1f36a63f8348p+4, -0x1.cb6bd71d57144p+2, -0x1.bab6fdb73ea56p+3,
    -0x1.981a2e36d52p-4,   -0x1.fc1c4f8e1a9b4p+4, -0x1.4a19303694d24p+4, -0x1.1c9841186ed51p+2, -0x1.5c412cecf22e6p+4,
    -0x1.1cb4568395387p+5, -0x1.99aa14a0840fap+4, -0x1.2be760c0f5fcap+4, -0x1.5c2f9f75d5db9p+4, -0x1.5cba7406e590bp+4,
    -0x1.e350166e42acap+4, -0x1.8b677b6e8b04ap+4, -0x1.2f8cf5ab6b4bap+5, 0x1.eb0cac7c7926bp+1,  -0x1.1651985e6736bp+5,
    -0x1.ddb21fbed7775p+4, -0x1.8bd044a9a930cp+0, -0x1.2da3ed5aa178bp+4, -0x1.753d55433b157p+4, -0x1.158fe9cbc677cp+3,
    -0x1.db08e4bbd2242p+4, -0x1.e975e7e308d36p+3, -0x1.38849ce58aefp+3,  -0x1.03647f61be733p+4, -0x1.025ca3b787564p+1,
    -0x1.a82f36120d912p+4, -0x1.107919a1be3cp+5,  -0x1.1777d6884ac23p+4, -0x1.d970ba062ee99p+4, -0x1.79c888f61cb21p+4,
    -0x1.3e44cac35bfd4p+5, -0x1.3eab2f6ba225p+5,  -0x1.8bcb7c9f9c765p+4, -0x1.f26336ad73937p+0,
};

// x on which log's two builds differ: 32 on the main path, 32 near 1.
inline constexpr double kLogWitnesses[] = {
    0x1.a4aa260b34887p-1, 0x1.b1708e196a2f4p+0, 0x1.a0eac9ffd0c3dp+0, 0x1.fc93b2efd2ad6p-4, 0x1.619d07ba82fb4p+1,
    0x1.d5351b6fb40fcp-1, 0x1.33fd282089303p+0, 0x1.dc04899dcfab2p-1, 0x1.dc704be5a0dc3p+5, 0x1.17d6b9655b567p+0,
    0x1.03e350dc24221p+1, 0x1.17970fb9e1d6dp+0, 0x1.3e51c02dd2a58p+3, 0x1.726ee4bf35bdep-1, 0x1.01b3c25fccfb4p+1,
    0x1.d4b3eaa7bd2a6p-1, 0x1.ccc2a69ac941ep-1, 0x1.c81596502b074p-2, 0x1.15fac00719d7p+1,  0x1.2a66552d9047bp+0,
    0x1.a2592a40d6165p+0, 0x1.a714afcb14afp-1,  0x1.c98fb8aeb7f99p-1, 0x1.6b4b60d13a144p+2, 0x1.a4503dcbad658p+0,
    0x1.54d07090b99e6p-5, 0x1.29ba69bd5bb73p+0, 0x1.6d8dab89b2cc9p-5, 0x1.5e612e6f26b37p-1, 0x1.fe41a11a6c249p+1,
    0x1.9a9c9d71d911fp-1, 0x1.ce14dcab6a98ap-1, 0x1.e683908513485p-1, 0x1.0ce4a17387c1fp+0, 0x1.ed7e5c0497461p-1,
    0x1.f35eadec7935fp-1, 0x1.101cdd757d117p+0, 0x1.e2feb409479f3p-1, 0x1.0871df9075ba3p+0, 0x1.100c33d4a6413p+0,
    0x1.f3fe89a198b16p-1, 0x1.099458dd7fc59p+0, 0x1.0f728f2855f2fp+0, 0x1.0d6d35679b1d3p+0, 0x1.f4266a466dd86p-1,
    0x1.ec6d3bacb5b51p-1, 0x1.e8e5654cebd9cp-1, 0x1.e1d808d29b925p-1, 0x1.eb94da487f67p-1,  0x1.06d7fbbe18586p+0,
    0x1.0f7f7674c0837p+0, 0x1.e9964d9ef567cp-1, 0x1.e31b3571a5776p-1, 0x1.e81f76dfecbe2p-1, 0x1.e0c57139e2ac4p-1,
    0x1.e3ebcf3988f42p-1, 0x1.e801ceba09721p-1, 0x1.0837d2e15fc46p+0, 0x1.052377559036p+0,  0x1.107189004b528p+0,
    0x1.ee1f74147d1d7p-1, 0x1.0f04f2d6a26fcp+0, 0x1.e2d8763d68cebp-1, 0x1.e3a6aefaeb8bp-1,
};

// NaNs with either sign, quiet and signalling, with a payload.
inline constexpr std::uint64_t kNanBits[] = {0x7ff8000000000000, 0xfff8000000000000, 0x7ff0000000000001,
                                             0x7ff4000000000123};

inline Inputs make_exp_inputs() noexcept {
    Builder b(0x6578705f636865ab, {-0.5, -1.75, 0.03, -8.0, 2.5, -0.001, -20.0, 1.0});
    const double specials[] = {0.0, -0.0, kInf, -kInf, 0x1p-1074, -0x1p-1074, 0x1p-1022, -0x1p-1022,
                               // the tiny branch: |x| < 2^-54
                               below(kExpTiny), kExpTiny, -below(kExpTiny), -kExpTiny,
                               // the special scaling (512 <= |x| < 1024) and the overflow branch
                               below(kExpSpecial), kExpSpecial, -below(kExpSpecial), -kExpSpecial, below(kExpHuge),
                               kExpHuge, -kExpHuge, kExpOverflow, from_ordinal(ordinal(kExpOverflow) + 1),
                               kExpSubnormal, kExpZero, below(kExpZero), kMax, -kMax, 1.0, -1.0, 1e-300, -745.0, 709.0};
    for (double x : specials) {
        b.at_every_lane(x);
    }
    for (std::uint64_t nan : kNanBits) {
        b.at_every_lane(from_bits(nan));
    }
    b.align();
    const double boundaries[] = {kExpTiny, -kExpTiny, kExpSpecial, -kExpSpecial, kExpHuge, -kExpHuge, kExpOverflow,
                                 kExpSubnormal, kExpZero,
                                 0.0,  // subnormal inputs of either sign
                                 // k changes from 0 to +-1 where x 128/ln2 = +-1/2, and k mod 128
                                 // wraps where it is 127.5 or -128.5
                                 kExpFirstIndexEdge, -kExpFirstIndexEdge, kExpIndexWrapAbove, kExpIndexWrapBelow};
    for (double x : boundaries) {
        b.around(x);
    }
    b.align();
    for (double x : kExpWitnesses) {
        b.add(x);
    }
    b.align();
    while (!b.full()) {
        const std::uint64_t kind = b.random() % 100;
        if (kind < 55) {
            b.add(b.uniform(-50.0, 5.0, 52));
        } else if (kind < 65) {
            b.add(b.uniform(-1.0, 1.0, 60));
        } else if (kind < 85) {
            b.add(b.uniform(-750.0, 710.0, 44));
        } else {
            // small magnitudes, uniform in their logarithm
            const double x = b.between(0x1p-60, 50.0);
            b.add(b.random() % 2 ? x : -x);
        }
    }
    return b.inputs();
}

inline Inputs make_log_inputs() noexcept {
    Builder b(0x6c6f675f636865cd, {2.0, 0.37, 5.5, 100.0, 0.015, 42.0, 3.0, 0.8});
    const double specials[] = {
        0.0, -0.0, kInf, -kInf, -1.0, -0x1p-1074, -kLogSmallestNormal, -kMax, 0x1p-1074, below(kLogSmallestNormal),
        kLogSmallestNormal, kMax, 1.0, 0x1.fffffffffffffp-1, 0x1.0000000000001p0,
        // the edges of the band near 1
        below(kLogNearOneLow), kLogNearOneLow, below(kLogNearOneHigh), kLogNearOneHigh, 1e300, 1e-300};
    for (double x : specials) {
        b.at_every_lane(x);
    }
    for (std::uint64_t nan : kNanBits) {
        b.at_every_lane(from_bits(nan));
    }
    b.align();
    const double boundaries[] = {kLogNearOneLow, kLogNearOneHigh, 1.0, kLogSmallestNormal, 0x1p-1070, kMax,
                                 // the table's first subinterval and k's steps: z wraps at 0x1.6p-1
                                 kLogTableStart, kLogTableStart * 2.0, kLogTableStart * 0x1p-1021,
                                 kLogTableStart * 0x1p1001, 2.0, 0.5, -0x1p-1073};
    for (double x : boundaries) {
        b.around(x);
    }
    b.align();
    for (double x : kLogWitnesses) {
        b.add(x);
    }
    b.align();
    while (!b.full()) {
        const std::uint64_t kind = b.random() % 100;
        if (kind < 55) {
            b.add(b.between(0.01, 100.0));
        } else if (kind < 70) {
            // near 1, a little beyond the band on both sides
            b.add(1.0 + b.uniform(-0x1.1p-4, 0x1.2p-4, 52));
        } else if (kind < 95) {
            b.add(b.between(kLogSmallestNormal, 1e300));
        } else {
            b.add(b.between(0x1p-1074, kLogSmallestNormal));
        }
    }
    return b.inputs();
}

}  // namespace detail

// The inputs, built once per process at first use (no allocation, nothing
// that can throw).
inline const Inputs& exp_inputs() noexcept {
    static const Inputs inputs = detail::make_exp_inputs();
    return inputs;
}

inline const Inputs& log_inputs() noexcept {
    static const Inputs inputs = detail::make_log_inputs();
    return inputs;
}

}  // namespace kestrelfin::core::exp_log_check
