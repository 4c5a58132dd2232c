// The two floors the benchmark compares every array function against.
//
// 1. The scalar floor: the pricing-core operation called once per element in
//    a plain C++ loop over the same arrays, with no Python, no NumPy and no
//    allocation in the loop. It is what "just call the formula" costs.
// 2. The libm floor: the exp and log calls that formula makes, and nothing
//    else. This file is compiled twice:
//      * libkf_floors.so: the scalar loops, and kf_replay(), which calls
//        exp/log on a recorded argument sequence, in the recorded order;
//      * libkf_record.so (-DKF_RECORDING, linked with
//        -Wl,--wrap=exp,--wrap=log): the same loops, but every exp/log call
//        the core makes lands in __wrap_exp/__wrap_log, which append the
//        argument to a buffer and then call the real function. Running a
//        formula once through it yields the exact sequence its libm calls
//        take, which kf_replay() then times on its own.
//
// The 51 loops are generated from the module's own function table
// (KESTRELFIN_FUNCTIONS) and call the very operations the module does, so a
// quantity added there is measured here with no edit. Build flags: -O2 -ffp-contract=off -std=c++20 (see benchmarks/run.sh).
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <limits>
#include <vector>

#include "binding/functions.hpp"
#include "binding/operations.hpp"
#include "core/implied_volatility.hpp"
#include "core/option_kind.hpp"

namespace {

namespace core = kestrelfin::core;
using core::OptionKind;

// The per-option arrays of one call, in the order of the Python signature
// (S/F, K, t, sigma for prices and Greeks; price, S/F, K, t for implied
// volatilities), and the call-wide rate and dividend yield.
struct Inputs {
    const double* a;
    const double* b;
    const double* c;
    const double* d;
    double r;
    double q;
};

// A rejected price is a NaN element, as in the array functions.
inline double volatility_or_nan(const core::ImpliedVol& iv) noexcept {
    return iv.ok() ? iv.volatility : std::numeric_limits<double>::quiet_NaN();
}

// Element i of each parameter family, with the arguments in the order the
// function's core operation takes them (the Python signature's).
inline double element(double value) noexcept {
    return value;
}
inline double element(const core::ImpliedVol& iv) noexcept {
    return volatility_or_nan(iv);
}
template <class Function>
double evaluate(OptionKind kind, const Inputs& in, std::size_t i) noexcept {
    using Family = typename Function::Family;
    if constexpr (Family::flag_last) {
        // price, S/F, K, then t and r in the signature's order (Black-76 takes
        // r before t), and q last for Black-Scholes-Merton.
        if constexpr (Family::model == kestrelfin::binding::Model::Black76) {
            return element(Function::operation(kind, in.a[i], in.b[i], in.c[i], in.r, in.d[i]));
        } else if constexpr (Family::arity == 7) {
            return element(Function::operation(kind, in.a[i], in.b[i], in.c[i], in.d[i], in.r, in.q));
        } else {
            return element(Function::operation(kind, in.a[i], in.b[i], in.c[i], in.d[i], in.r));
        }
    } else if constexpr (Family::arity == 7) {
        return element(Function::operation(kind, in.a[i], in.b[i], in.c[i], in.r, in.d[i], in.q));
    } else {
        return element(Function::operation(kind, in.a[i], in.b[i], in.c[i], in.r, in.d[i]));
    }
}

using Loop = void (*)(OptionKind, const Inputs&, double*, std::size_t);

// One plain loop per function of the table. noinline keeps each loop a
// separate function, as an array entry of the module would be.
template <class Function>
__attribute__((noinline)) void loop(OptionKind kind, const Inputs& in, double* out, std::size_t n) {
    for (std::size_t i = 0; i < n; ++i) {
        out[i] = evaluate<Function>(kind, in, i);
    }
}

struct Entry {
    const char* name;
    Loop loop;
};

namespace table = kestrelfin::binding::table;
#define KF_ENTRY(group, lanes, kind, black76, bsm, bs) \
    {#black76, &loop<table::black76>}, {#bsm, &loop<table::bsm>}, {#bs, &loop<table::bs>},
constexpr Entry entries[] = {KESTRELFIN_FUNCTIONS(KF_ENTRY)};
#undef KF_ENTRY

constexpr int entry_count = static_cast<int>(sizeof(entries) / sizeof(entries[0]));

bool run_entry(int id, int put, const double* a, const double* b, const double* c,
               const double* d, double r, double q, double* out, std::size_t n) {
    if (id < 0 || id >= entry_count) {
        return false;
    }
    const Inputs in{a, b, c, d, r, q};
    entries[id].loop(put ? OptionKind::Put : OptionKind::Call, in, out, n);
    return true;
}

#ifdef KF_RECORDING
// The recorded libm calls: the argument and which function took it.
enum : std::uint8_t { kExp = 0, kLog = 1 };
std::vector<double> recorded_args;
std::vector<std::uint8_t> recorded_ops;
bool recording = false;
#endif

}  // namespace

extern "C" {

// The table, so that the Python side can find a function's id by name.
__attribute__((visibility("default"))) int kf_count() { return entry_count; }

__attribute__((visibility("default"))) const char* kf_name(int id) {
    return id >= 0 && id < entry_count ? entries[id].name : nullptr;
}

// Runs function `id` over n options into out; 0 on success, -1 for an
// unknown id.
__attribute__((visibility("default"))) int kf_run(int id, int put, const double* a, const double* b,
                                                  const double* c, const double* d, double r,
                                                  double q, double* out, std::size_t n) {
    return run_entry(id, put, a, b, c, d, r, q, out, n) ? 0 : -1;
}

#ifdef KF_RECORDING

double __real_exp(double);
double __real_log(double);

__attribute__((visibility("default"))) double __wrap_exp(double x) {
    if (recording) {
        recorded_args.push_back(x);
        recorded_ops.push_back(kExp);
    }
    return __real_exp(x);
}

__attribute__((visibility("default"))) double __wrap_log(double x) {
    if (recording) {
        recorded_args.push_back(x);
        recorded_ops.push_back(kLog);
    }
    return __real_log(x);
}

// Runs function `id` once with recording on; returns the number of libm
// calls recorded (or -1 for an unknown id). The results go to out as usual,
// so the caller can check they equal the unrecorded loop's.
__attribute__((visibility("default"))) long long kf_record(int id, int put, const double* a,
                                                           const double* b, const double* c,
                                                           const double* d, double r, double q,
                                                           double* out, std::size_t n) {
    recorded_args.clear();
    recorded_ops.clear();
    recorded_args.reserve(8 * n);
    recorded_ops.reserve(8 * n);
    recording = true;
    const bool ok = run_entry(id, put, a, b, c, d, r, q, out, n);
    recording = false;
    return ok ? static_cast<long long>(recorded_args.size()) : -1;
}

// Copies the recorded sequence out (count = kf_record's result) and frees it.
__attribute__((visibility("default"))) void kf_take_recording(double* args, std::uint8_t* ops) {
    std::memcpy(args, recorded_args.data(), recorded_args.size() * sizeof(double));
    std::memcpy(ops, recorded_ops.data(), recorded_ops.size());
    std::vector<double>().swap(recorded_args);
    std::vector<std::uint8_t>().swap(recorded_ops);
}

#else

// The libm floor: exp or log (op 0 or 1) of each recorded argument, in the
// recorded order. The results are summed so the calls cannot be dropped; the
// sum costs one addition per call, far below the call itself.
__attribute__((visibility("default"))) double kf_replay(const double* args, const std::uint8_t* ops,
                                                        std::size_t count) {
    double sum = 0.0;
    for (std::size_t i = 0; i < count; ++i) {
        sum += ops[i] ? std::log(args[i]) : std::exp(args[i]);
    }
    return sum;
}

#endif

}  // extern "C"
