// The run-time check itself: its inputs hold what it promises, the libm passes
// it, and any difference in any bit of any result fails it.
#include <math.h>

#include <bit>
#include <cstdint>
#include <cstring>
#include <limits>

#include <gtest/gtest.h>

#include "core/exp_log_check_inputs.hpp"
#include "core/exp_log_self_check.hpp"
#include "exp_log_batches.hpp"

namespace {

namespace check = kestrelfin::core::exp_log_check;
namespace bounds = kestrelfin::core::libm_bounds;
using kestrelfin::core::exp_replica_matches;
using kestrelfin::core::log_replica_matches;
using kestrelfin::test::exp_by_libm_batch;
using kestrelfin::test::log_by_libm_batch;

constexpr double kInf = std::numeric_limits<double>::infinity();

std::uint64_t bits(double x) {
    return std::bit_cast<std::uint64_t>(x);
}

bool holds_in_lane(const check::Inputs& inputs, double x, std::size_t lane) {
    for (std::size_t i = lane; i < inputs.size(); i += 8) {
        if (bits(inputs[i]) == bits(x))
            return true;
    }
    return false;
}

double fraction_within(const check::Inputs& inputs, double low, double high) {
    std::size_t n = 0;
    for (double x : inputs)
        n += low <= x && x <= high;
    return static_cast<double>(n) / static_cast<double>(inputs.size());
}

TEST(CheckInputs, AreBuiltTheSameEveryTime) {
    const check::Inputs again_exp = check::detail::make_exp_inputs();
    const check::Inputs again_log = check::detail::make_log_inputs();
    EXPECT_EQ(std::memcmp(again_exp.data(), check::exp_inputs().data(), sizeof again_exp), 0);
    EXPECT_EQ(std::memcmp(again_log.data(), check::log_inputs().data(), sizeof again_log), 0);
    EXPECT_EQ(&check::exp_inputs(), &check::exp_inputs());
}

TEST(CheckInputs, HoldEverySpecialValueInEveryLane) {
    const double nan = std::numeric_limits<double>::quiet_NaN();
    for (double x : {0.0, -0.0, kInf, -kInf, nan, -nan, 0x1p-1074, bounds::kExpSpecial, -bounds::kExpSpecial,
                     bounds::kExpHuge, bounds::kExpTiny, -bounds::kExpTiny}) {
        for (std::size_t lane = 0; lane < 8; ++lane) {
            EXPECT_TRUE(holds_in_lane(check::exp_inputs(), x, lane)) << "exp " << x << " lane " << lane;
        }
    }
    for (double x : {0.0, -0.0, kInf, -kInf, nan, -nan, -1.0, 0x1p-1074, bounds::kLogSmallestNormal, 1.0,
                     bounds::kLogNearOneLow, bounds::kLogNearOneHigh}) {
        for (std::size_t lane = 0; lane < 8; ++lane) {
            EXPECT_TRUE(holds_in_lane(check::log_inputs(), x, lane)) << "log " << x << " lane " << lane;
        }
    }
}

TEST(CheckInputs, HoldEveryWitnessAndTheNeighboursOfTheBoundaries) {
    const auto holds = [](const check::Inputs& inputs, double x) {
        for (double y : inputs) {
            if (bits(x) == bits(y))
                return true;
        }
        return false;
    };
    for (double x : check::detail::kExpWitnesses)
        EXPECT_TRUE(holds(check::exp_inputs(), x)) << std::hexfloat << x;
    for (double x : check::detail::kLogWitnesses)
        EXPECT_TRUE(holds(check::log_inputs(), x)) << std::hexfloat << x;
    // The last double below each edge and the edge itself.
    for (double x : {bounds::kExpTiny, bounds::kExpSpecial, bounds::kExpHuge}) {
        EXPECT_TRUE(holds(check::exp_inputs(), x));
        EXPECT_TRUE(holds(check::exp_inputs(), std::nextafter(x, 0.0)));
        EXPECT_TRUE(holds(check::exp_inputs(), -std::nextafter(x, 0.0)));
    }
    for (double x : {bounds::kLogNearOneLow, bounds::kLogNearOneHigh, 1.0, bounds::kLogSmallestNormal}) {
        EXPECT_TRUE(holds(check::log_inputs(), x));
        EXPECT_TRUE(holds(check::log_inputs(), std::nextafter(x, 0.0)));
    }
}

TEST(CheckInputs, WeighTheRangesPricingUses) {
    EXPECT_GT(fraction_within(check::exp_inputs(), -50.0, 5.0), 0.5);
    EXPECT_GT(fraction_within(check::exp_inputs(), -750.0, -50.0), 0.05);
    EXPECT_GT(fraction_within(check::exp_inputs(), 5.0, 710.0), 0.03);
    EXPECT_GT(fraction_within(check::log_inputs(), 0.01, 100.0), 0.4);
    EXPECT_GT(fraction_within(check::log_inputs(), bounds::kLogNearOneLow, bounds::kLogNearOneHigh), 0.1);
    EXPECT_GT(fraction_within(check::log_inputs(), 1e10, 1e300), 0.05);
}

TEST(SelfCheck, AcceptsTheLibmItself) {
    EXPECT_TRUE(exp_replica_matches(exp_by_libm_batch));
    EXPECT_TRUE(log_replica_matches(log_by_libm_batch));
}

// A batch that is the libm except on the inputs equal to `spoiled`, whose
// results get `spoil` applied.
double spoiled_input;
std::uint64_t (*spoil)(std::uint64_t, double);

void spoiled_exp(const double* in, double* out, std::size_t n) {
    exp_by_libm_batch(in, out, n);
    for (std::size_t i = 0; i < n; ++i) {
        if (bits(in[i]) == bits(spoiled_input))
            out[i] = std::bit_cast<double>(spoil(bits(out[i]), in[i]));
    }
}

void spoiled_log(const double* in, double* out, std::size_t n) {
    log_by_libm_batch(in, out, n);
    for (std::size_t i = 0; i < n; ++i) {
        if (bits(in[i]) == bits(spoiled_input))
            out[i] = std::bit_cast<double>(spoil(bits(out[i]), in[i]));
    }
}

std::uint64_t last_bit_flipped(std::uint64_t y, double) {
    return y ^ 1;
}

TEST(SelfCheck, RejectsOneFlippedLastBitAnywhere) {
    spoil = last_bit_flipped;
    const check::Inputs& exp_in = check::exp_inputs();
    for (std::size_t i : {std::size_t{0}, std::size_t{7}, std::size_t{4097}, exp_in.size() / 2, exp_in.size() - 1}) {
        spoiled_input = exp_in[i];
        EXPECT_FALSE(exp_replica_matches(spoiled_exp)) << "exp input " << i;
    }
    const check::Inputs& log_in = check::log_inputs();
    for (std::size_t i : {std::size_t{3}, std::size_t{2048}, log_in.size() / 3, log_in.size() - 1}) {
        spoiled_input = log_in[i];
        EXPECT_FALSE(log_replica_matches(spoiled_log)) << "log input " << i;
    }
    for (double witness : {check::detail::kExpWitnesses[0], check::detail::kExpWitnesses[63]}) {
        spoiled_input = witness;
        EXPECT_FALSE(exp_replica_matches(spoiled_exp));
    }
}

TEST(SelfCheck, RejectsAnotherNanOrZero) {
    // The default NaN instead of the libm's NaN for log(-1) (same class,
    // other sign bit), and for exp of a NaN with a payload.
    spoil = [](std::uint64_t y, double) { return y ^ 0x8000000000000000; };
    spoiled_input = -1.0;
    EXPECT_FALSE(log_replica_matches(spoiled_log));
    spoil = [](std::uint64_t, double) { return std::uint64_t{0x7ff8000000000000}; };
    spoiled_input = std::bit_cast<double>(std::uint64_t{0x7ff4000000000123});
    EXPECT_FALSE(exp_replica_matches(spoiled_exp));
    // -0 instead of +0 for log(1).
    spoil = [](std::uint64_t y, double) { return y | 0x8000000000000000; };
    spoiled_input = 1.0;
    EXPECT_FALSE(log_replica_matches(spoiled_log));
}

int counted_calls;
void counted_exp(const double* in, double* out, std::size_t n) {
    ++counted_calls;
    exp_by_libm_batch(in, out, n);
}

TEST(SelfCheck, RunsOncePerInstanceAndKeepsItsVerdict) {
    counted_calls = 0;
    EXPECT_TRUE((kestrelfin::core::exp_log_replica_verified<counted_exp, log_by_libm_batch>()));
    const int calls = counted_calls;
    EXPECT_GT(calls, 0);
    EXPECT_TRUE((kestrelfin::core::exp_log_replica_verified<counted_exp, log_by_libm_batch>()));
    EXPECT_EQ(counted_calls, calls);
}

}  // namespace
