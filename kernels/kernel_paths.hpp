// Which compiled instance of the element loops this process runs.
//
// An instance is an instruction set (AVX2 with FMA, or the SSE2 baseline)
// together with the way its lanes compute exp and log: by the lane-wise
// replica of the C library's FMA build or of its build without FMA
// (core/vector_exp_log.hpp), or by the C library's own calls, one per lane.
// glibc runs its FMA build where the CPU has AVX2 and FMA, which is where the
// AVX2 kernels run, and its build without FMA elsewhere (or where its
// tunables say so), where the SSE2 kernels take that build's replica.
// Which build the process's library really is (or whether it is another
// library, preloaded in its place) is not assumed: at the first array call
// the process compares each candidate replica, in the very target, width
// and form the kernels inline, with its own exp and log
// (core/exp_log_self_check.hpp), and takes the first that gives the same
// bits on every input of the check. If none does, the lanes call the
// library. The choice changes the speed, never a result: every path gives
// the library's exp and log.
#pragma once

#include "core/exp_log_batch.hpp"
#include "core/exp_log_self_check.hpp"
#include "core/lanes.hpp"
#include "core/vector_exp_log.hpp"

#include <cstddef>

namespace kestrelfin::kernels {

enum class KernelPath : unsigned char {
    Avx2Fused,    // AVX2 and FMA; the replica of the library's FMA build
    Sse2Unfused,  // the baseline; the replica of its build without FMA
    Sse2Libm,     // the baseline; the library's calls, lane by lane
};

// How each path's lanes compute exp and log. The AVX2 kernels' lanes span
// ymm registers (32 bytes); wider lanes are computed in halves.
using Avx2FusedMath = core::LibmReplicaMath<core::LibmVariant::Fused, 32>;
using Sse2UnfusedMath = core::LibmReplicaMath<core::LibmVariant::Unfused, 16>;

#define KESTRELFIN_AVX2_KERNEL __attribute__((target("avx2,fma"), flatten))
#define KESTRELFIN_SSE2_KERNEL __attribute__((flatten))

// The replicas as the check drives them: one batch function per path, lane
// width and function, with the target of the kernels that inline them.
#define KESTRELFIN_LIBM_BATCHES(TARGET, NAME, MATH, LANES)                                        \
    TARGET inline void exp_batch_##NAME##_##LANES(const double* in, double* out, std::size_t n) { \
        core::libm_batch<core::LibmFunction::Exp, MATH, LANES>(in, out, n);                       \
    }                                                                                             \
    TARGET inline void log_batch_##NAME##_##LANES(const double* in, double* out, std::size_t n) { \
        core::libm_batch<core::LibmFunction::Log, MATH, LANES>(in, out, n);                       \
    }
KESTRELFIN_LIBM_BATCHES(KESTRELFIN_AVX2_KERNEL, avx2_fused, Avx2FusedMath, 4)
KESTRELFIN_LIBM_BATCHES(KESTRELFIN_AVX2_KERNEL, avx2_fused, Avx2FusedMath, 8)
KESTRELFIN_LIBM_BATCHES(KESTRELFIN_SSE2_KERNEL, sse2_unfused, Sse2UnfusedMath, 2)
#undef KESTRELFIN_LIBM_BATCHES

inline KernelPath choose_kernel_path() noexcept {
    __builtin_cpu_init();
    // The AVX2 kernels use blocks of 4 and of 8 lanes; both must pass.
    if (__builtin_cpu_supports("avx2") && __builtin_cpu_supports("fma") &&
        core::exp_log_replica_verified<exp_batch_avx2_fused_4, log_batch_avx2_fused_4>() &&
        core::exp_log_replica_verified<exp_batch_avx2_fused_8, log_batch_avx2_fused_8>()) {
        return KernelPath::Avx2Fused;
    }
    if (core::exp_log_replica_verified<exp_batch_sse2_unfused_2, log_batch_sse2_unfused_2>()) {
        return KernelPath::Sse2Unfused;
    }
    return KernelPath::Sse2Libm;
}

// The path of this process, chosen at the first call that needs it.
inline KernelPath kernel_path() noexcept {
    static const KernelPath path = choose_kernel_path();
    return path;
}

}  // namespace kestrelfin::kernels
