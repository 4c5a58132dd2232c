// The exp and log replicas against the process's own libm, bit for bit.
//
// Which libm build this process runs (FMA or not) is what the run-time check
// finds: exactly the replicas of one variant must pass it, and the others
// must fail it. Every replica of that variant that this CPU can run must then
// give the libm's bits on 10^7 inputs per function (fewer in the quick
// tier of the test command). ctest runs this program twice: as it is (glibc
// picks the FMA build on a CPU with FMA and AVX2) and under
// GLIBC_TUNABLES=glibc.cpu.hwcaps=-FMA,-AVX2 (the build without FMA), so
// both variants are compared on this machine.
#include <math.h>

#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstdio>
#include <cstring>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "core/exp_log_check_inputs.hpp"
#include "core/exp_log_self_check.hpp"
#include "exp_log_batches.hpp"
#include "exp_log_test_inputs.hpp"

namespace {

using kestrelfin::core::LibmVariant;
using kestrelfin::test::ExpLogInputStream;
using kestrelfin::test::LibmFunction;
using kestrelfin::test::replica_instances;
using kestrelfin::test::ReplicaInstance;

constexpr std::size_t kInputsPerFunction = 10'000'000;
constexpr std::size_t kBlock = 1 << 16;

// How many inputs of the stream each replica is compared on: 10^7, or the
// number in KESTRELFIN_REPLICA_INPUTS (the quick tier of the test command
// sets 2 10^6; the stream's structured part, every special value in every
// lane and the runs around every branch bound, comes first and must fit in
// half of it). Empty when the variable holds no positive number.
std::optional<std::size_t> inputs_per_function() {
    const char* text = std::getenv("KESTRELFIN_REPLICA_INPUTS");
    if (text == nullptr) {
        return kInputsPerFunction;
    }
    char* end = nullptr;
    errno = 0;
    const unsigned long long count = std::strtoull(text, &end, 10);
    if (*text < '0' || *text > '9' || *end != '\0' || errno != 0 || count == 0) {
        return std::nullopt;
    }
    return static_cast<std::size_t>(count);
}

const char* variant_name(LibmVariant v) {
    return v == LibmVariant::Fused ? "fused" : "unfused";
}

std::uint64_t bits(double x) {
    std::uint64_t b;
    std::memcpy(&b, &x, sizeof b);
    return b;
}

std::vector<const ReplicaInstance*> runnable_instances() {
    std::vector<const ReplicaInstance*> out;
    for (const ReplicaInstance& r : replica_instances()) {
        if (r.runs_here())
            out.push_back(&r);
    }
    return out;
}

// The variant of the libm in this process, as the run-time check decides it:
// the one whose replicas pass. Empty when the verdicts are not exactly "all
// of one variant pass, none of the other".
std::optional<LibmVariant> libm_variant() {
    static const std::optional<LibmVariant> variant = [] {
        bool passes[2] = {false, false};
        bool fails[2] = {false, false};
        for (const ReplicaInstance* r : runnable_instances()) {
            const bool ok = kestrelfin::core::exp_log_replica_matches(r->exp, r->log);
            (ok ? passes : fails)[static_cast<int>(r->variant)] = true;
        }
        for (LibmVariant v : {LibmVariant::Fused, LibmVariant::Unfused}) {
            const auto other = static_cast<int>(v == LibmVariant::Fused ? LibmVariant::Unfused : LibmVariant::Fused);
            if (passes[static_cast<int>(v)] && !fails[static_cast<int>(v)] && !passes[other]) {
                return std::optional<LibmVariant>(v);
            }
        }
        return std::optional<LibmVariant>();
    }();
    return variant;
}

TEST(LibmVariant, TheCheckAcceptsTheReplicasOfExactlyOneVariant) {
    std::ostringstream verdicts;
    for (const ReplicaInstance* r : runnable_instances()) {
        verdicts << "  " << r->name << ": exp " << kestrelfin::core::exp_replica_matches(r->exp) << ", log "
                 << kestrelfin::core::log_replica_matches(r->log) << "\n";
    }
    ASSERT_TRUE(libm_variant().has_value()) << "verdicts of the run-time check (1 = matches):\n" << verdicts.str();
    std::printf("[          ] this process's libm is the %s build\n", variant_name(*libm_variant()));
}

TEST(LibmVariant, TheCheckRejectsEveryReplicaOfTheOtherVariant) {
    ASSERT_TRUE(libm_variant().has_value());
    for (const ReplicaInstance* r : runnable_instances()) {
        if (r->variant == *libm_variant())
            continue;
        // Each function on its own: a wrong variant must fail for exp and for log.
        EXPECT_FALSE(kestrelfin::core::exp_replica_matches(r->exp)) << r->name;
        EXPECT_FALSE(kestrelfin::core::log_replica_matches(r->log)) << r->name;
    }
}

// The witnesses of the check's inputs separate the two builds: on each the
// fused and unfused replicas differ, and the libm agrees with its own one.
TEST(LibmVariant, EveryWitnessSeparatesTheVariants) {
    ASSERT_TRUE(libm_variant().has_value());
    namespace check = kestrelfin::core::exp_log_check::detail;
    const auto witnesses_of = [](LibmFunction f) {
        return f == LibmFunction::Exp
                   ? std::vector<double>(std::begin(check::kExpWitnesses), std::end(check::kExpWitnesses))
                   : std::vector<double>(std::begin(check::kLogWitnesses), std::end(check::kLogWitnesses));
    };
    for (const ReplicaInstance* fused : runnable_instances()) {
        if (fused->variant != LibmVariant::Fused)
            continue;
        for (const ReplicaInstance* unfused : runnable_instances()) {
            if (unfused->variant != LibmVariant::Unfused)
                continue;
            for (LibmFunction f : {LibmFunction::Exp, LibmFunction::Log}) {
                const std::vector<double> in = witnesses_of(f);
                std::vector<double> y_fused(in.size()), y_unfused(in.size());
                (f == LibmFunction::Exp ? fused->exp : fused->log)(in.data(), y_fused.data(), in.size());
                (f == LibmFunction::Exp ? unfused->exp : unfused->log)(in.data(), y_unfused.data(), in.size());
                double (*volatile libm)(double) = f == LibmFunction::Exp ? static_cast<double (*)(double)>(&::exp)
                                                                         : static_cast<double (*)(double)>(&::log);
                for (std::size_t i = 0; i < in.size(); ++i) {
                    EXPECT_NE(bits(y_fused[i]), bits(y_unfused[i]))
                        << fused->name << " vs " << unfused->name << " at " << std::hexfloat << in[i];
                    const double expected = libm(in[i]);
                    const double own = *libm_variant() == LibmVariant::Fused ? y_fused[i] : y_unfused[i];
                    EXPECT_EQ(bits(expected), bits(own)) << std::hexfloat << in[i];
                }
            }
        }
    }
}

class ReplicaAgainstLibm : public testing::TestWithParam<const ReplicaInstance*> {
protected:
    // Compares the replica with the libm on kInputsPerFunction inputs of
    // the stream; reports the first mismatches with their lane positions.
    void compare(LibmFunction function) {
        const ReplicaInstance& r = *GetParam();
        if (!r.runs_here()) {
            GTEST_SKIP() << "this CPU lacks the instructions of target(\"" << r.target << "\")";
        }
        ASSERT_TRUE(libm_variant().has_value());
        if (r.variant != *libm_variant()) {
            GTEST_SKIP() << "the libm here is the " << variant_name(*libm_variant())
                         << " build; this replica is compared in the run under the other build";
        }
        const kestrelfin::core::LibmBatch batch = function == LibmFunction::Exp ? r.exp : r.log;
        double (*volatile libm)(double) = function == LibmFunction::Exp ? static_cast<double (*)(double)>(&::exp)
                                                                        : static_cast<double (*)(double)>(&::log);
        const std::optional<std::size_t> count = inputs_per_function();
        ASSERT_TRUE(count.has_value()) << "KESTRELFIN_REPLICA_INPUTS is not a positive number of inputs";
        ExpLogInputStream stream(function, function == LibmFunction::Exp ? 0x0e790001 : 0x106f0001);
        ASSERT_LT(stream.structured_count(), *count / 2)
            << "the inputs' structured part must be compared whole: KESTRELFIN_REPLICA_INPUTS is too small";
        std::vector<double> in(kBlock), out(kBlock);
        std::size_t mismatches = 0;
        std::ostringstream first;
        for (std::size_t done = 0; done < *count; done += kBlock) {
            const std::size_t n = std::min(kBlock, *count - done);
            stream.fill(in.data(), n);
            batch(in.data(), out.data(), n);
            for (std::size_t i = 0; i < n; ++i) {
                const double expected = libm(in[i]);
                if (bits(expected) != bits(out[i])) {
                    if (++mismatches <= 10) {
                        first << "  x = " << std::hexfloat << in[i] << " (input " << std::dec << done + i << ", lane "
                              << (done + i) % r.lanes << "): libm " << std::hexfloat << expected << ", replica "
                              << out[i] << "\n";
                    }
                }
            }
        }
        EXPECT_EQ(mismatches, 0u) << r.name << (function == LibmFunction::Exp ? " exp" : " log")
                                  << " differs from the libm on " << mismatches << " of " << *count
                                  << " inputs; the first:\n"
                                  << first.str();
    }
};

TEST_P(ReplicaAgainstLibm, ExpGivesTheLibmsBitsOnTheStream) {
    compare(LibmFunction::Exp);
}
TEST_P(ReplicaAgainstLibm, LogGivesTheLibmsBitsOnTheStream) {
    compare(LibmFunction::Log);
}

std::vector<const ReplicaInstance*> all_instances() {
    std::vector<const ReplicaInstance*> out;
    for (const ReplicaInstance& r : replica_instances())
        out.push_back(&r);
    return out;
}

INSTANTIATE_TEST_SUITE_P(EveryInstance, ReplicaAgainstLibm, testing::ValuesIn(all_instances()),
                         [](const testing::TestParamInfo<const ReplicaInstance*>& info) {
                             return std::string(info.param->label);
                         });

}  // namespace
