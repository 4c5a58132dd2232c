// Every ufunc loop of the module, wrapped so that a long loop is shared
// between the calling thread and the process's pool (pool/thread_pool.hpp).
//
// NumPy calls a loop with the interpreter lock released (the operands are
// float64 and bool, which need no Python object), so the wrapper may hand
// chunks to pool threads: each chunk is the same loop over a sub-range of
// the elements, its operand pointers advanced by `begin` strides. Every
// element is computed on its own, in the same lanes and with the same
// operations whichever chunk holds it, so the results are bit for bit those
// of one thread; chunks start on multiples of kGrain elements (whole blocks
// of every lane width, and whole 64-byte lines of a contiguous float64
// result, so that no two threads write the same cache line but at the
// chunks' ends).
//
// Left to the calling thread alone:
//   - loops shorter than the threshold: waking a thread would cost more than
//     it saves, and short calls stay as fast as they were;
//   - loops with a result of stride 0 (a broadcast view passed as out=): the
//     element written last must be the last element's, which only one
//     thread in order gives.
#pragma once

#include "pool/thread_pool.hpp"
#include "ufuncs/interrupt.hpp"
#include "ufuncs/numpy_headers.hpp"

#include <cstddef>

namespace kestrelfin::ufuncs {

inline constexpr std::size_t kGrain = 64;

// The shortest loops worth sharing, by the cost of an element: a price or a
// Greek takes some ten nanoseconds, the greeks pass sixteen times more work,
// an implied volatility some hundreds.
inline constexpr std::size_t kShareFunctionFrom = 8192;
inline constexpr std::size_t kShareGreeksFrom = 2048;
inline constexpr std::size_t kShareImpliedVolatilityFrom = 1024;

template <PyUFuncGenericFunction Loop, int Operands>
struct LoopCall {
    char** args;
    const npy_intp* steps;
    void* data;

    static void run_chunk(void* context, std::size_t begin, std::size_t end) noexcept {
        const auto& call = *static_cast<const LoopCall*>(context);
        char* chunk_args[Operands];
        for (int k = 0; k < Operands; ++k) {
            chunk_args[k] = call.args[k] + static_cast<npy_intp>(begin) * call.steps[k];
        }
        const npy_intp length = static_cast<npy_intp>(end - begin);
        Loop(chunk_args, &length, call.steps, call.data);
    }
};

template <PyUFuncGenericFunction Loop, int Inputs, int Outputs, std::size_t ShareFrom>
void shared_loop(char** args, const npy_intp* dimensions, const npy_intp* steps, void* data) {
    constexpr int operands = Inputs + Outputs;
    const npy_intp n = dimensions[0];
    bool in_order = n < static_cast<npy_intp>(ShareFrom);
    for (int k = Inputs; k < operands && !in_order; ++k) {
        in_order = steps[k] == 0;
    }
    if (in_order) {
        return Loop(args, dimensions, steps, data);
    }
    LoopCall<Loop, operands> call{args, steps, data};
    InterruptCheck interrupt;
    const pool::Work work{&LoopCall<Loop, operands>::run_chunk,
                          &call,
                          static_cast<std::size_t>(n),
                          kGrain,
                          interrupt.applies() ? &InterruptCheck::requested : nullptr,
                          &interrupt,
                          ShareFrom / 2};
    // Stopped by Ctrl-C, the elements not yet computed keep what they held,
    // and NumPy raises the signal handler's exception (interrupt.hpp).
    (void)pool::run_chunks(work);
}

}  // namespace kestrelfin::ufuncs
