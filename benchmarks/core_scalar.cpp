// ns per call of a few scalar core formulas, with fixed arguments read
// through volatiles, compiled against one source tree: for telling a change
// in the core's formulas from one in the binding when the scalar calls of two
// commits differ (baseline_worker.py times the Python calls). Built against
// today's tree and against the baseline's (exported by baseline.sh), with
// the module's release flags:
//
//   g++ -O3 -DNDEBUG -ffp-contract=off -fno-fast-math -std=c++20 -Wno-psabi -I. \
//       benchmarks/core_scalar.cpp -o build/benchmarks/core_scalar_today
//   g++ -O3 -DNDEBUG -ffp-contract=off -fno-fast-math -std=c++20 -Wno-psabi \
//       -Ibuild/benchmarks/baseline-c277441/src benchmarks/core_scalar.cpp -o build/benchmarks/core_scalar_c277441
//   build/benchmarks/core_scalar_today; build/benchmarks/core_scalar_c277441
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
int main() {
    time_it("bsm_delta", [](double S, double K, double t, double r, double s, double q) {
        return bsm_delta(OptionKind::Call, S, K, t, r, s, q);
    });
    time_it("bsm_vega", [](double S, double K, double t, double r, double s, double q) {
        return bsm_vega(OptionKind::Call, S, K, t, r, s, q);
    });
    time_it("bsm_theta", [](double S, double K, double t, double r, double s, double q) {
        return bsm_theta(OptionKind::Call, S, K, t, r, s, q);
    });
    time_it("bsm_black_scholes_merton", [](double S, double K, double t, double r, double s, double q) {
        return bsm_black_scholes_merton(OptionKind::Call, S, K, t, r, s, q);
    });
    time_it("black76_delta", [](double S, double K, double t, double r, double s, double) {
        return black76_delta(OptionKind::Call, S, K, t, r, s);
    });
    time_it("black76_speed", [](double S, double K, double t, double r, double s, double) {
        return black76_speed(OptionKind::Call, S, K, t, r, s);
    });
    time_it("bsm_speed", [](double S, double K, double t, double r, double s, double q) {
        return bsm_speed(OptionKind::Call, S, K, t, r, s, q);
    });
    time_it("bsm_gamma", [](double S, double K, double t, double r, double s, double q) {
        return bsm_gamma(OptionKind::Call, S, K, t, r, s, q);
    });
    time_it("bsm_rho", [](double S, double K, double t, double r, double s, double q) {
        return bsm_rho(OptionKind::Call, S, K, t, r, s, q);
    });
    time_it("bsm_dual_delta", [](double S, double K, double t, double r, double s, double q) {
        return bsm_dual_delta(OptionKind::Call, S, K, t, r, s, q);
    });
    time_it("black76_black", [](double S, double K, double t, double r, double s, double) {
        return black76_black(OptionKind::Call, S, K, t, r, s);
    });
    time_it("black76_vega", [](double S, double K, double t, double r, double s, double) {
        return black76_vega(OptionKind::Call, S, K, t, r, s);
    });
    time_it("black76_theta", [](double S, double K, double t, double r, double s, double) {
        return black76_theta(OptionKind::Call, S, K, t, r, s);
    });
}
