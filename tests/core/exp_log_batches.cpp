// The batch functions of exp_log_batches.hpp. As in the kernels, only the
// outermost function carries a target attribute and passes nothing but
// pointers to the always-inline loop, which is compiled with that target
// once inlined (clang rejects vector arguments across a target change).
#include "exp_log_batches.hpp"

#include "core/exp_log_batch.hpp"

#include <math.h>

#include <cstring>

namespace kestrelfin::test {
namespace {

using core::LibmVariant;

bool always() {
    return true;
}
bool has_avx2_fma() {
    __builtin_cpu_init();
    return __builtin_cpu_supports("avx2") && __builtin_cpu_supports("fma");
}
bool has_avx512f() {
    __builtin_cpu_init();
    return __builtin_cpu_supports("avx512f");
}

}  // namespace

// One exp and one log batch function per (target, lanes, variant), with
// the target's register width.
#define KESTRELFIN_REPLICA_BATCHES(ATTRIBUTES, NAME, LANES, VARIANT, REGISTER_BYTES)                                   \
    ATTRIBUTES void exp_##NAME(const double* in, double* out, std::size_t n) {                                         \
        core::libm_batch<core::LibmFunction::Exp, core::LibmReplicaMath<LibmVariant::VARIANT, REGISTER_BYTES>, LANES>( \
            in, out, n);                                                                                               \
    }                                                                                                                  \
    ATTRIBUTES void log_##NAME(const double* in, double* out, std::size_t n) {                                         \
        core::libm_batch<core::LibmFunction::Log, core::LibmReplicaMath<LibmVariant::VARIANT, REGISTER_BYTES>, LANES>( \
            in, out, n);                                                                                               \
    }

#define KESTRELFIN_AVX2_FMA __attribute__((target("avx2,fma")))
#define KESTRELFIN_AVX512F __attribute__((target("avx512f")))
#define KESTRELFIN_BASELINE

KESTRELFIN_REPLICA_BATCHES(KESTRELFIN_BASELINE, sse2_2_unfused, 2, Unfused, 16)
KESTRELFIN_REPLICA_BATCHES(KESTRELFIN_AVX2_FMA, avx2_fma_2_fused, 2, Fused, 32)
KESTRELFIN_REPLICA_BATCHES(KESTRELFIN_AVX2_FMA, avx2_fma_2_unfused, 2, Unfused, 32)
KESTRELFIN_REPLICA_BATCHES(KESTRELFIN_AVX2_FMA, avx2_fma_4_fused, 4, Fused, 32)
KESTRELFIN_REPLICA_BATCHES(KESTRELFIN_AVX2_FMA, avx2_fma_4_unfused, 4, Unfused, 32)
KESTRELFIN_REPLICA_BATCHES(KESTRELFIN_AVX2_FMA, avx2_fma_8_fused, 8, Fused, 32)
KESTRELFIN_REPLICA_BATCHES(KESTRELFIN_AVX2_FMA, avx2_fma_8_unfused, 8, Unfused, 32)
KESTRELFIN_REPLICA_BATCHES(KESTRELFIN_AVX512F, avx512f_8_fused, 8, Fused, 64)
KESTRELFIN_REPLICA_BATCHES(KESTRELFIN_AVX512F, avx512f_8_unfused, 8, Unfused, 64)

// TARGET_NAME is the instruction set's name ("sse2" for the baseline, whose
// target attribute is empty).
#define KESTRELFIN_INSTANCE(TARGET, TARGET_NAME, LABEL, LANES, VARIANT, VARIANT_NAME, RUNS_HERE, NAME) \
    ReplicaInstance {                                                                                  \
        TARGET_NAME "/" #LANES "/" VARIANT_NAME, LABEL "_" #LANES "_" VARIANT_NAME, TARGET, LANES,     \
            LibmVariant::VARIANT, RUNS_HERE, exp_##NAME, log_##NAME                                    \
    }

std::span<const ReplicaInstance> replica_instances() {
    static const ReplicaInstance instances[] = {
        KESTRELFIN_INSTANCE("", "sse2", "sse2", 2, Unfused, "unfused", always, sse2_2_unfused),
        KESTRELFIN_INSTANCE("avx2,fma", "avx2,fma", "avx2_fma", 2, Fused, "fused", has_avx2_fma, avx2_fma_2_fused),
        KESTRELFIN_INSTANCE("avx2,fma", "avx2,fma", "avx2_fma", 2, Unfused, "unfused", has_avx2_fma,
                            avx2_fma_2_unfused),
        KESTRELFIN_INSTANCE("avx2,fma", "avx2,fma", "avx2_fma", 4, Fused, "fused", has_avx2_fma, avx2_fma_4_fused),
        KESTRELFIN_INSTANCE("avx2,fma", "avx2,fma", "avx2_fma", 4, Unfused, "unfused", has_avx2_fma,
                            avx2_fma_4_unfused),
        KESTRELFIN_INSTANCE("avx2,fma", "avx2,fma", "avx2_fma", 8, Fused, "fused", has_avx2_fma, avx2_fma_8_fused),
        KESTRELFIN_INSTANCE("avx2,fma", "avx2,fma", "avx2_fma", 8, Unfused, "unfused", has_avx2_fma,
                            avx2_fma_8_unfused),
        KESTRELFIN_INSTANCE("avx512f", "avx512f", "avx512f", 8, Fused, "fused", has_avx512f, avx512f_8_fused),
        KESTRELFIN_INSTANCE("avx512f", "avx512f", "avx512f", 8, Unfused, "unfused", has_avx512f, avx512f_8_unfused),
    };
    return instances;
}

void exp_by_libm_batch(const double* in, double* out, std::size_t n) {
    for (std::size_t i = 0; i < n; ++i) {
        out[i] = ::exp(in[i]);
    }
}

void log_by_libm_batch(const double* in, double* out, std::size_t n) {
    for (std::size_t i = 0; i < n; ++i) {
        out[i] = ::log(in[i]);
    }
}

}  // namespace kestrelfin::test
