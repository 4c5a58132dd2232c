// exp or log of a replica (vector_exp_log.hpp) over an array, lane block by
// lane block: the form in which the run-time check (exp_log_self_check.hpp)
// drives a replica. A caller defines its batch function with the target
// attribute of the kernels that inline the same replica, and passes nothing
// but pointers to this always-inline loop (a vector argument across a change
// of target is passed differently, and clang rejects it).
#pragma once

#include <cstddef>
#include <cstring>

#include "core/lanes.hpp"
#include "core/libm_branch_bounds.hpp"
#include "core/raw_lanes.hpp"
#include "core/vector_exp_log.hpp"

namespace kestrelfin::core {

template <LibmFunction F, class Math, class V>
KESTRELFIN_LANE_INLINE V apply_libm_function(V x) noexcept {
    if constexpr (F == LibmFunction::Exp) {
        return Math::exp(x);
    } else {
        return Math::log(x);
    }
}

// Applies exp or log through the math policy Math (a LibmReplicaMath) to
// in[0..n) into out[0..n), Lanes doubles at a time. (No lambda here: a
// lambda is a function of its own, compiled without the caller's target.)
template <LibmFunction F, class Math, int Lanes>
KESTRELFIN_LANE_INLINE void libm_batch(const double* in, double* out, std::size_t n) noexcept {
    using V = RawLanes<Lanes>;
    std::size_t i = 0;
    for (; i + Lanes <= n; i += Lanes) {
        V x;
        std::memcpy(&x, in + i, sizeof x);
        const V y = apply_libm_function<F, Math>(x);
        std::memcpy(out + i, &y, sizeof y);
    }
    if (i < n) {
        // The last few inputs in a block padded with 2 (an ordinary input
        // of both functions); only their results are written.
        V x = splat<V>(2.0);
        std::memcpy(&x, in + i, (n - i) * sizeof(double));
        const V y = apply_libm_function<F, Math>(x);
        std::memcpy(out + i, &y, (n - i) * sizeof(double));
    }
}

}  // namespace kestrelfin::core
