// Batch functions over the exp and log replicas, one pair for every target,
// width and variant that the kernels may compile, in the form the run-time
// check takes (core/exp_log_self_check.hpp). Each is compiled with its
// target attribute exactly as a kernel is, so the tests, the long comparison
// and the benchmark drive the code that a kernel inlines.
#pragma once

#include <cstddef>
#include <span>

#include "core/exp_log_self_check.hpp"
#include "core/vector_exp_log.hpp"

namespace kestrelfin::test {

struct ReplicaInstance {
    const char* name;    // e.g. "avx2,fma/4/fused", also a gtest-safe label below
    const char* label;   // e.g. "avx2_fma_4_fused"
    const char* target;  // the batch functions' target attribute; "" for the baseline
    int lanes;
    core::LibmVariant variant;
    bool (*runs_here)();  // whether this CPU has the target's instructions
    core::ExpBatch exp;
    core::LogBatch log;
};

// Every instance, those this CPU cannot run included.
std::span<const ReplicaInstance> replica_instances();

// The libm itself, element by element: what a kernel does without a replica.
void exp_by_libm_batch(const double* in, double* out, std::size_t n);
void log_by_libm_batch(const double* in, double* out, std::size_t n);

}  // namespace kestrelfin::test
