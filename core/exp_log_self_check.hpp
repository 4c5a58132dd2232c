// Whether a compiled replica of exp and log (vector_exp_log.hpp) returns the
// same bits as the exp and log of this very process.
//
// A replica is right only for the libm build it copies, and the process's
// libm is whichever build glibc chose at load time (FMA or not, by CPU and
// GLIBC_TUNABLES), or another library altogether if one was preloaded. So
// each compiled replica instance (one per kernel target, width and variant)
// is compared once per process, at its first use, with the process's own exp
// and log on the fixed inputs of exp_log_check_inputs.hpp: every input must
// give the same 64 bits, NaN payloads and signed zeros included. A kernel
// uses its replica only if the comparison passed; otherwise it keeps calling
// the libm lane by lane, so its results are the libm's either way.
//
// The replica is driven through a batch function of the form
// void(const double* in, double* out, std::size_t n), so that the check runs
// exactly the code that a kernel inlines: the kernel's translation unit
// defines the batch function with the kernel's own target attribute, e.g.
//
//   __attribute__((target("avx2,fma"))) void exp_avx2_fused(const double* in, double* out, std::size_t n);
//
// and asks `exp_log_replica_verified<exp_avx2_fused, log_avx2_fused>()`
// before it takes the replica path. The check takes about a millisecond; it
// reads nothing from the environment, allocates nothing and cannot throw.
#pragma once

#include <math.h>

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "core/exp_log_check_inputs.hpp"

namespace kestrelfin::core {

// f applied to in[0..n) into out[0..n).
using LibmBatch = void (*)(const double* in, double* out, std::size_t n);
using ExpBatch = LibmBatch;
using LogBatch = LibmBatch;

namespace exp_log_check {

// Whether batch gives the bits of libm on every input. The libm function is
// called through a volatile pointer, so that the compiler can neither fold a
// call nor substitute its own evaluation.
inline bool batch_matches(LibmBatch batch, double (*libm)(double), const Inputs& inputs) noexcept {
    double (*volatile libm_function)(double) = libm;
    // A multiple of 8, so every input keeps its lane position in the batch.
    constexpr std::size_t kChunk = 512;
    double replica[kChunk];
    for (std::size_t first = 0; first < inputs.size(); first += kChunk) {
        const std::size_t n = inputs.size() - first < kChunk ? inputs.size() - first : kChunk;
        batch(inputs.data() + first, replica, n);
        for (std::size_t i = 0; i < n; ++i) {
            const double expected = libm_function(inputs[first + i]);
            if (std::memcmp(&expected, &replica[i], sizeof expected) != 0) {
                return false;
            }
        }
    }
    return true;
}

}  // namespace exp_log_check

inline bool exp_replica_matches(ExpBatch batch) noexcept {
    return exp_log_check::batch_matches(batch, &::exp, exp_log_check::exp_inputs());
}

inline bool log_replica_matches(LogBatch batch) noexcept {
    return exp_log_check::batch_matches(batch, &::log, exp_log_check::log_inputs());
}

// Both functions of one replica instance; a kernel needs both or neither.
inline bool exp_log_replica_matches(ExpBatch exp_batch, LogBatch log_batch) noexcept {
    return exp_replica_matches(exp_batch) && log_replica_matches(log_batch);
}

// The verdict for one instance, computed at its first request in the process
// and kept (the initialisation of a function-local static is thread-safe).
template <ExpBatch Exp, LogBatch Log>
inline bool exp_log_replica_verified() noexcept {
    static const bool verdict = exp_log_replica_matches(Exp, Log);
    return verdict;
}

}  // namespace kestrelfin::core
