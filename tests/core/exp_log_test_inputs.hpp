// Endless deterministic streams of inputs for comparing the exp and log
// replicas with the libm (the unit tests take 10^7 of each, the long
// comparison 10^9). Drawn independently of the run-time check's own inputs
// (other seeds, other ordinary values, wider runs around each bound), on the
// same named bounds of the libm's branches (core/libm_branch_bounds.hpp).
//
// A stream starts with its structured part: every special value at every
// lane position, and runs of consecutive doubles around every boundary of the
// libm's branches. Random draws follow, over the whole range of doubles and
// with weight on what pricing asks for.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <vector>

#include "core/libm_branch_bounds.hpp"

namespace kestrelfin::test {

using core::LibmFunction;
namespace bounds = core::libm_bounds;

class ExpLogInputStream {
public:
    ExpLogInputStream(LibmFunction function, std::uint64_t seed) : function_(function), state_(seed) {
        if (function == LibmFunction::Exp) {
            structure_exp();
        } else {
            structure_log();
        }
    }

    // The next n inputs.
    void fill(double* out, std::size_t n) {
        for (std::size_t i = 0; i < n; ++i) {
            out[i] = next();
        }
    }

    double next() {
        if (position_ < structured_.size()) {
            return structured_[position_++];
        }
        ++position_;
        return function_ == LibmFunction::Exp ? random_exp() : random_log();
    }

    std::size_t structured_count() const { return structured_.size(); }

    // Doubles in numeric order as integers, and back (-0 and +0 are both 0).
    static std::int64_t ordinal(double x) {
        const auto bits = std::bit_cast<std::uint64_t>(x);
        const auto magnitude = static_cast<std::int64_t>(bits & 0x7fffffffffffffff);
        return bits >> 63 ? -magnitude : magnitude;
    }
    static double from_ordinal(std::int64_t n) {
        return n < 0 ? std::bit_cast<double>(0x8000000000000000 | static_cast<std::uint64_t>(-n))
                     : std::bit_cast<double>(static_cast<std::uint64_t>(n));
    }

private:
    static constexpr double kInf = std::numeric_limits<double>::infinity();
    static constexpr double kMax = std::numeric_limits<double>::max();

    std::uint64_t random() {  // splitmix64
        std::uint64_t z = (state_ += 0x9e3779b97f4a7c15);
        z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9;
        z = (z ^ (z >> 27)) * 0x94d049bb133111eb;
        return z ^ (z >> 31);
    }

    // Uniform over the doubles between low and high (uniform in log|x| when
    // both have one sign).
    double between(double low, double high) {
        const std::int64_t first = ordinal(low);
        const auto span = static_cast<std::uint64_t>(ordinal(high) - first);
        return from_ordinal(first + static_cast<std::int64_t>(random() % span));
    }

    // Uniform in value over [low, high): an integer on the grid 2^-grid,
    // rounded once to a double, then scaled exactly.
    double uniform(double low, double high, int grid) {
        const double scale = static_cast<double>(std::int64_t{1} << grid);
        const auto first = static_cast<std::int64_t>(low * scale);
        const auto span = static_cast<std::uint64_t>(static_cast<std::int64_t>(high * scale) - first);
        return static_cast<double>(first + static_cast<std::int64_t>(random() % span)) / scale;
    }

    void around(double x, std::int64_t below, std::int64_t above) {
        for (std::int64_t n = ordinal(x) - below; n <= ordinal(x) + above; ++n) {
            structured_.push_back(from_ordinal(n));
        }
    }

    // x in each lane of a block of 8 in turn (the others ordinary), then in all.
    void at_every_lane(double x, const double (&ordinary)[8]) {
        while (structured_.size() % 8 != 0) {
            structured_.push_back(ordinary[structured_.size() % 8]);
        }
        for (int lane = 0; lane <= 8; ++lane) {
            for (int i = 0; i < 8; ++i) {
                structured_.push_back(lane == 8 || i == lane ? x : ordinary[i]);
            }
        }
    }

    void structure_exp() {
        const double ordinary[8] = {-0.3, 1.5, -12.0, 0.07, -0.9, 3.25, -41.0, 0.5};
        const double specials[] = {0.0,
                                   -0.0,
                                   kInf,
                                   -kInf,
                                   std::bit_cast<double>(0x7ff8000000000000),
                                   std::bit_cast<double>(0xfff8000000000123),
                                   std::bit_cast<double>(0x7ff0000000000042),
                                   0x1p-1074,
                                   -0x1p-1074,
                                   bounds::kExpTiny,
                                   -bounds::kExpTiny,
                                   bounds::kExpSpecial,
                                   -bounds::kExpSpecial,
                                   bounds::kExpHuge,
                                   -bounds::kExpHuge,
                                   kMax,
                                   -kMax,
                                   709.8,
                                   -708.4,
                                   -745.2,
                                   -1e-320};
        for (double x : specials) {
            at_every_lane(x, ordinary);
        }
        // The tiny branch, the special scaling and the overflow branch.
        for (double edge : {bounds::kExpTiny, -bounds::kExpTiny, bounds::kExpSpecial, -bounds::kExpSpecial}) {
            around(edge, 1 << 15, 1 << 15);
        }
        for (double edge :
             {bounds::kExpHuge, -bounds::kExpHuge, bounds::kExpOverflow, bounds::kExpSubnormal, bounds::kExpZero}) {
            around(edge, 1 << 12, 1 << 12);
        }
        // Subnormal inputs of both signs.
        around(0.0, 1 << 15, 1 << 15);
        // k from 0 to +-1, and k mod 128 wrapping.
        for (double edge : {bounds::kExpFirstIndexEdge, -bounds::kExpFirstIndexEdge, bounds::kExpIndexWrapAbove,
                            bounds::kExpIndexWrapBelow}) {
            around(edge, 1 << 12, 1 << 12);
        }
    }

    void structure_log() {
        const double ordinary[8] = {2.0, 0.37, 5.5, 100.0, 0.015, 42.0, 3.0, 0.8};
        const double specials[] = {0.0,
                                   -0.0,
                                   kInf,
                                   -kInf,
                                   std::bit_cast<double>(0x7ff8000000000000),
                                   std::bit_cast<double>(0xfff8000000000123),
                                   std::bit_cast<double>(0x7ff0000000000042),
                                   -1.0,
                                   -0x1p-1074,
                                   0x1p-1074,
                                   bounds::kLogSmallestNormal,
                                   kMax,
                                   1.0,
                                   bounds::kLogNearOneLow,
                                   bounds::kLogNearOneHigh,
                                   1e-310};
        for (double x : specials) {
            at_every_lane(x, ordinary);
        }
        // The band near 1, and 1 itself.
        around(bounds::kLogNearOneLow, 1 << 15, 1 << 15);
        around(bounds::kLogNearOneHigh, 1 << 15, 1 << 15);
        around(1.0, 1 << 16, 1 << 16);
        // Subnormals and the smallest normals, zero, the negatives nearby.
        around(bounds::kLogSmallestNormal, 1 << 15, 1 << 15);
        around(0.0, 1 << 15, 1 << 16);
        // The largest doubles up to infinity.
        around(kMax, 1 << 15, 1);
        // The first subinterval of the table (z wraps at 0x1.6p-1) in a few binades.
        for (double edge : {bounds::kLogTableStart, bounds::kLogTableStart * 2.0, bounds::kLogTableStart * 0x1p-999,
                            bounds::kLogTableStart * 0x1p1001, 2.0}) {
            around(edge, 1 << 12, 1 << 12);
        }
    }

    double random_exp() {
        const std::uint64_t kind = random() % 100;
        if (kind < 40)
            return uniform(-50.0, 5.0, 52);
        if (kind < 50)
            return uniform(-1.0, 1.0, 60);
        if (kind < 70)
            return uniform(-750.0, 710.0, 44);
        if (kind < 80) {
            const double x = between(0x1p-70, 50.0);
            return random() % 2 ? x : -x;
        }
        if (kind < 85) {
            // near a rounding boundary of k = round(x 128/ln2)
            const auto j = static_cast<double>(static_cast<std::int64_t>(random() % 100000) - 90000);
            const double edge = (j + 0.5) * bounds::kExpIndexStep;
            return from_ordinal(ordinal(edge) + static_cast<std::int64_t>(random() % 64) - 32);
        }
        if (kind < 90)
            return uniform(-745.2, -708.3, 44);  // subnormal results
        if (kind < 95)
            return uniform(700.0, 720.0, 46);    // near overflow
        return std::bit_cast<double>(random());  // any double
    }

    double random_log() {
        const std::uint64_t kind = random() % 100;
        if (kind < 35)
            return between(0.01, 100.0);
        if (kind < 50)
            return between(0x1.dcp-1, 0x1.12p0);  // near 1
        if (kind < 75)
            return between(bounds::kLogSmallestNormal, kMax);
        if (kind < 80)
            return between(0x1p-1074, bounds::kLogSmallestNormal);  // subnormal
        if (kind < 85)
            return between(-kMax, -0x1p-1074);  // negative
        if (kind < 95) {
            // near the edges of the table's subintervals, in any binade
            const std::uint64_t edge = 0x3fe6000000000000 + ((random() % 128) << 45);
            const auto binade = static_cast<std::int64_t>(random() % 2000) - 1000;
            const auto bits = static_cast<std::int64_t>(edge) + binade * (std::int64_t{1} << 52) +
                              static_cast<std::int64_t>(random() % 64) - 32;
            return std::bit_cast<double>(static_cast<std::uint64_t>(bits));
        }
        return std::bit_cast<double>(random());  // any double
    }

    LibmFunction function_;
    std::uint64_t state_;
    std::vector<double> structured_;
    std::size_t position_ = 0;
};

}  // namespace kestrelfin::test
