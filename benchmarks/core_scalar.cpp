// ns per call of a few scalar core formulas, with fixed arguments read
// through volatiles, compiled against one source tree: for telling a change
// in the core's formulas from one in the binding when the scalar calls of two
// git refs differ (ref_worker.py times the Python calls). Built against
// today's tree and against the ref's (exported by ref.sh), with the module's
// release flags:
//
//   g++ -O3 -DNDEBUG -ffp-contract=off -fno-fast-math -std=c++20 -Wno-psabi -I. \
//       benchmarks/core_scalar.cpp -o build/benchmarks/core_scalar_today
//   g++ -O3 -DNDEBUG -ffp-contract=off -fno-fast-math -std=c++20 -Wno-psabi \
//       -Ibuild/benchmarks/ref-<commit>/src benchmarks/core_scalar.cpp -o build/benchmarks/core_scalar_ref
//   build/benchmarks/core_scalar_today; build/benchmarks/core_scalar_ref
//
// Each figure is the fastest of 15 passes of 200,000 calls. Only formulas
// whose core signature is the same in both trees are listed.
#include <chrono>
#include <cstdio>
#include "core/black76.hpp"
#include "core/black_scholes_merton.hpp"
using namespace kestrelfin::core;
volatile double vS = 100.0, vK = 95.0, vT = 0.75, vR = 0.05, vSig = 0.25, vQ = 0.02;
template <class F>
__attribute__((noinline)) double run(F f, long n) {
    double sum = 0;
    for (long i = 0; i < n; ++i)
        sum += f(vS, vK, vT, vR, vSig, vQ);
    return sum;
}
template <class F>
void time_it(const char* name, F f) {
    double best = 1e99, sink = 0;
    for (int rep = 0; rep < 15; ++rep) {
        auto t0 = std::chrono::steady_clock::now();
        sink += run(f, 200000);
        auto t1 = std::chrono::steady_clock::now();
        double ns = std::chrono::duration<double, std::nano>(t1 - t0).count() / 200000;
        best = ns < best ? ns : best;
    }
    std::printf("%-26s %7.2f ns  (%g)\n", name, best, sink);
}
// One call option with the fixed arguments; Black-76 ignores q.
#define TIME_BSM(name)                                                              \
    time_it(#name, [](double S, double K, double t, double r, double s, double q) { \
        return name(OptionKind::Call, S, K, t, r, s, q);                            \
    })
#define TIME_BLACK76(name)                                                        \
    time_it(#name, [](double S, double K, double t, double r, double s, double) { \
        return name(OptionKind::Call, S, K, t, r, s);                             \
    })
int main() {
    TIME_BSM(bsm_delta);
    TIME_BSM(bsm_vega);
    TIME_BSM(bsm_theta);
    TIME_BSM(bsm_black_scholes_merton);
    TIME_BLACK76(black76_delta);
    TIME_BLACK76(black76_speed);
    TIME_BSM(bsm_speed);
    TIME_BSM(bsm_gamma);
    TIME_BSM(bsm_rho);
    TIME_BSM(bsm_dual_delta);
    TIME_BLACK76(black76_black);
    TIME_BLACK76(black76_vega);
    TIME_BLACK76(black76_theta);
}
