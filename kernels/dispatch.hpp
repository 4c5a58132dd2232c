// The one dispatch of every element loop onto the process's kernel path
// (kernel_paths.hpp): the array functions, the ufuncs and the greeks ufuncs
// all run their loop body through on_kernel_path, so each gets AVX2 lanes
// where the AVX2 path runs and SSE2 lanes elsewhere.
//
// A loop body is a type with one member template,
//   template <class Path, class... Operands> static void run(const Operands&...);
// always inlined, which evaluates its options in blocks of
// Path::Block<avx2_lanes>. Each path has one kernel function per body and
// operand types: `flatten` pulls the whole body into it, so it is compiled
// for that path's instruction set alone (functions it calls but cannot
// inline, such as the library's exp, keep the baseline ABI).
#pragma once

#include "core/lanes.hpp"
#include "kernels/kernel_paths.hpp"

#include <type_traits>

namespace kestrelfin::kernels {

// The paths as types: how their lanes compute exp and log, and the blocks a
// body evaluates, given the block width it takes on AVX2 (the function
// table's column; two lanes on SSE2, one xmm register).
struct Avx2Fused {
    using Math = Avx2FusedMath;
    template <int Avx2Lanes>
    using Block = core::Lanes<Avx2Lanes, Math>;
};
struct Sse2Unfused {
    using Math = Sse2UnfusedMath;
    template <int>
    using Block = core::Lanes<2, Math>;
};
struct Sse2Libm {
    using Math = core::LibmCalls;
    template <int>
    using Block = core::Lanes<2, Math>;
};

// The kernel of each path for one body.
template <class Body, class... Operands>
KESTRELFIN_AVX2_KERNEL void run_avx2_fused(const Operands&... operands) noexcept {
    Body::template run<Avx2Fused>(operands...);
}
template <class Body, class... Operands>
KESTRELFIN_SSE2_KERNEL void run_sse2_unfused(const Operands&... operands) noexcept {
    Body::template run<Sse2Unfused>(operands...);
}
template <class Body, class... Operands>
KESTRELFIN_SSE2_KERNEL void run_sse2_libm(const Operands&... operands) noexcept {
    Body::template run<Sse2Libm>(operands...);
}

// The body on the given path, whether or not this process runs it (the
// tests compare every path the CPU can run).
template <class Path, class Body, class... Operands>
void run_on(const Operands&... operands) noexcept {
    if constexpr (std::is_same_v<Path, Avx2Fused>) {
        run_avx2_fused<Body>(operands...);
    } else if constexpr (std::is_same_v<Path, Sse2Unfused>) {
        run_sse2_unfused<Body>(operands...);
    } else {
        run_sse2_libm<Body>(operands...);
    }
}

// The body on the process's kernel path.
template <class Body, class... Operands>
void on_kernel_path(const Operands&... operands) noexcept {
    switch (kernel_path()) {
        case KernelPath::Avx2Fused:
            return run_avx2_fused<Body>(operands...);
        case KernelPath::Sse2Unfused:
            return run_sse2_unfused<Body>(operands...);
        case KernelPath::Sse2Libm:
            break;
    }
    run_sse2_libm<Body>(operands...);
}

}  // namespace kestrelfin::kernels
