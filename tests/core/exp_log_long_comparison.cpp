// The long comparison of the replicas with the libm: COUNT inputs per function
// (10^9 by default) from the streams of exp_log_test_inputs.hpp, every
// replica instance of the libm's variant that this CPU runs, every result
// compared bit for bit with the process's exp and log.
//
//   exp_log_long_comparison [COUNT [SEED]]
//   GLIBC_TUNABLES=glibc.cpu.hwcaps=-FMA,-AVX2 exp_log_long_comparison [COUNT [SEED]]
//
// The first run compares the replicas of the build glibc picked (FMA on a CPU
// with FMA and AVX2), the second those of the build without FMA. Prints one
// line per function and instance: inputs, mismatches, seconds; exits 1 if
// any result differed.
#include <math.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "core/exp_log_self_check.hpp"
#include "exp_log_batches.hpp"
#include "exp_log_test_inputs.hpp"

namespace {

using kestrelfin::core::LibmVariant;
using kestrelfin::test::ExpLogInputStream;
using kestrelfin::test::LibmFunction;
using kestrelfin::test::ReplicaInstance;

struct Tally {
    const ReplicaInstance* instance;
    std::uint64_t mismatches = 0;
    double seconds = 0;
};

}  // namespace

int main(int argc, char** argv) {
    const std::uint64_t count = argc > 1 ? std::strtoull(argv[1], nullptr, 10) : 1'000'000'000ULL;
    const std::uint64_t seed = argc > 2 ? std::strtoull(argv[2], nullptr, 10) : 1;

    // The variant whose replicas the run-time check accepts here.
    std::vector<const ReplicaInstance*> compared;
    int variants_seen[2] = {0, 0};
    for (const ReplicaInstance& r : kestrelfin::test::replica_instances()) {
        if (!r.runs_here()) {
            std::printf("%-20s not run: this CPU lacks target(\"%s\")\n", r.name, r.target);
            continue;
        }
        if (kestrelfin::core::exp_log_replica_matches(r.exp, r.log)) {
            compared.push_back(&r);
            variants_seen[static_cast<int>(r.variant)] = 1;
        } else {
            std::printf("%-20s not compared: the run-time check rejects it in this process\n", r.name);
        }
    }
    if (compared.empty() || variants_seen[0] + variants_seen[1] != 1) {
        std::printf("the run-time check accepts no replica, or replicas of both variants\n");
        return 1;
    }
    std::printf("libm build: %s; %llu inputs per function, seed %llu\n",
                compared[0]->variant == LibmVariant::Fused ? "fused (FMA)" : "unfused (no FMA)",
                static_cast<unsigned long long>(count), static_cast<unsigned long long>(seed));

    constexpr std::size_t kBlock = 1 << 16;
    std::vector<double> in(kBlock), expected(kBlock), out(kBlock);
    bool all_equal = true;
    for (LibmFunction function : {LibmFunction::Exp, LibmFunction::Log}) {
        const bool is_exp = function == LibmFunction::Exp;
        double (*volatile libm)(double) =
            is_exp ? static_cast<double (*)(double)>(&::exp) : static_cast<double (*)(double)>(&::log);
        ExpLogInputStream stream(function, seed * 2 + (is_exp ? 0 : 1));
        std::vector<Tally> tallies;
        for (const ReplicaInstance* r : compared)
            tallies.push_back({r});
        double libm_seconds = 0;
        const auto started = std::chrono::steady_clock::now();
        for (std::uint64_t done = 0; done < count; done += kBlock) {
            const std::size_t n = static_cast<std::size_t>(std::min<std::uint64_t>(kBlock, count - done));
            stream.fill(in.data(), n);
            auto t0 = std::chrono::steady_clock::now();
            for (std::size_t i = 0; i < n; ++i)
                expected[i] = libm(in[i]);
            libm_seconds += std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
            for (Tally& tally : tallies) {
                t0 = std::chrono::steady_clock::now();
                (is_exp ? tally.instance->exp : tally.instance->log)(in.data(), out.data(), n);
                tally.seconds += std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
                if (std::memcmp(expected.data(), out.data(), n * sizeof(double)) == 0)
                    continue;
                for (std::size_t i = 0; i < n; ++i) {
                    if (std::memcmp(&expected[i], &out[i], sizeof(double)) != 0 && ++tally.mismatches <= 5) {
                        std::printf("  %s %s(%a) = %a, libm %a\n", tally.instance->name, is_exp ? "exp" : "log", in[i],
                                    out[i], expected[i]);
                    }
                }
            }
        }
        const double total = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
        for (const Tally& tally : tallies) {
            std::printf("%s %-20s %llu inputs, %llu mismatches, %.1f s in the replica\n", is_exp ? "exp" : "log",
                        tally.instance->name, static_cast<unsigned long long>(count),
                        static_cast<unsigned long long>(tally.mismatches), tally.seconds);
            all_equal = all_equal && tally.mismatches == 0;
        }
        std::printf("%s: %.1f s in the libm, %.1f s in all (%zu structured inputs first)\n", is_exp ? "exp" : "log",
                    libm_seconds, total, stream.structured_count());
        std::fflush(stdout);
    }
    std::printf(all_equal ? "all results equal\n" : "SOME RESULTS DIFFER\n");
    return all_equal ? 0 : 1;
}
