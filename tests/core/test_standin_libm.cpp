// Run with the stand-in libm preloaded (ctest sets LD_PRELOAD to
// standin_libm.so): the process's exp and log then differ from every libm
// build, and the run-time check must reject every replica, so that kernels
// fall back to calling the (stand-in) libm lane by lane.
//
// First the test makes sure that the preload is in force at all: exp and log
// called from this executable and from a shared object (the batch library's
// out-of-line libm calls) must be the stand-in's, i.e. differ in the last bit
// from the real libm's (found with dlopen/dlsym in libm.so.6) for some inputs.
#include <dlfcn.h>
#include <math.h>

#include <bit>
#include <cstdint>

#include <gtest/gtest.h>

#include "core/exp_log_self_check.hpp"
#include "exp_log_batches.hpp"

namespace {

using kestrelfin::test::ReplicaInstance;

using Scalar = double (*)(double);

Scalar real_libm(const char* name) {
    void* libm = dlopen("libm.so.6", RTLD_NOW | RTLD_LOCAL);
    return libm ? reinterpret_cast<Scalar>(dlsym(libm, name)) : nullptr;
}

// How many of n inputs from `first` upwards in steps of `step` give a
// result that differs from the real libm's, each by the last bit only.
template <class Call>
int last_bit_differences(Call call, Scalar real, double first, double step, int n) {
    int differences = 0;
    for (int i = 0; i < n; ++i) {
        const double x = first + step * i;
        const std::uint64_t got = std::bit_cast<std::uint64_t>(call(x));
        const std::uint64_t expected = std::bit_cast<std::uint64_t>(real(x));
        if (got != expected) {
            EXPECT_EQ(got ^ expected, 1u) << "at " << x;
            ++differences;
        }
    }
    return differences;
}

TEST(StandinLibm, IsInterposedForCallsFromTheExecutable) {
    const Scalar real_exp = real_libm("exp");
    const Scalar real_log = real_libm("log");
    ASSERT_NE(real_exp, nullptr);
    ASSERT_NE(real_log, nullptr);
    Scalar volatile exp_here = &::exp;
    Scalar volatile log_here = &::log;
    ASSERT_NE(exp_here, real_exp) << "exp is not interposed: run with LD_PRELOAD=standin_libm.so";
    EXPECT_GT(last_bit_differences([&](double x) { return exp_here(x); }, real_exp, -3.0, 0.001, 4000), 10);
    EXPECT_GT(last_bit_differences([&](double x) { return log_here(x); }, real_log, 0.5, 0.001, 4000), 10);
}

TEST(StandinLibm, IsInterposedForCallsFromASharedObject) {
    // The batch library calls exp and log itself: for the libm's special
    // branches of the replicas (|x| >= 512 for exp, subnormals for log) and
    // in its element-by-element batches.
    const Scalar real_exp = real_libm("exp");
    const Scalar real_log = real_libm("log");
    const auto through = [](kestrelfin::core::LibmBatch batch) {
        return [batch](double x) {
            double y;
            batch(&x, &y, 1);
            return y;
        };
    };
    EXPECT_GT(last_bit_differences(through(kestrelfin::test::exp_by_libm_batch), real_exp, -3.0, 0.001, 4000), 10);
    EXPECT_GT(last_bit_differences(through(kestrelfin::test::log_by_libm_batch), real_log, 0.5, 0.001, 4000), 10);
    const ReplicaInstance& baseline = kestrelfin::test::replica_instances()[0];
    EXPECT_GT(last_bit_differences(through(baseline.exp), real_exp, -700.0, 0.01, 4000), 10);
    EXPECT_GT(last_bit_differences(through(baseline.log), real_log, 0x1p-1060, 0x1p-1070, 4000), 10);
}

TEST(StandinLibm, TheCheckRejectsEveryReplica) {
    for (const ReplicaInstance& r : kestrelfin::test::replica_instances()) {
        if (!r.runs_here())
            continue;
        EXPECT_FALSE(kestrelfin::core::exp_replica_matches(r.exp)) << r.name;
        EXPECT_FALSE(kestrelfin::core::log_replica_matches(r.log)) << r.name;
    }
    // What a kernel falls back to, the libm lane by lane, is what the
    // process's exp and log give, so it passes.
    EXPECT_TRUE(kestrelfin::core::exp_replica_matches(kestrelfin::test::exp_by_libm_batch));
    EXPECT_TRUE(kestrelfin::core::log_replica_matches(kestrelfin::test::log_by_libm_batch));
}

}  // namespace
