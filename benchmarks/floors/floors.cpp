// The floors the benchmark compares every array function against.
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
// 3. The vector floor: the same recorded exp and log arguments, but computed
//    the way the array kernels compute them: by the lane-wise replica of the
//    libm that this process's run-time check accepts (kernels/kernel_paths.hpp,
//    the very batch functions the check drives), at the lane width the
//    function's kernel uses (the table's avx2_lanes, or 2 on the SSE2 path).
//    The exp arguments, in recorded order, are grouped into lanes of exp, the
//    log arguments into lanes of log (kf_vector_replay()). What an array
//    function costs beyond this is everything but its exp and log.
//
// The 51 loops are generated from the module's own function table
// (KESTRELFIN_FUNCTIONS) and call the very operations the module does, so a
// quantity added there is measured here with no edit. Build flags: -O2 -ffp-contract=off -std=c++20 (see benchmarks/run.sh).
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <limits>
#include <string_view>
#include <vector>

#include "kernels/functions.hpp"
#include "kernels/kernel_paths.hpp"
#include "kernels/element_loops.hpp"
#include "kernels/operands.hpp"
#include "kernels/operations.hpp"
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

// The numbers of one call as the kernels read them (kernels/operands.hpp):
// the family's array parameters from the four arrays, in the order of the
// Python signature, and its single numbers r and q.
template <class Family>
kestrelfin::kernels::FamilyNumbers<Family> numbers_of(const Inputs& in) {
    kestrelfin::kernels::FamilyNumbers<Family> numbers;
    const double* arrays[] = {in.a, in.b, in.c, in.d};
    std::size_t next = 0;
    for (std::size_t slot = 0; slot < Family::arity; ++slot) {
        if (slot == Family::flag_index) {
            continue;
        }
        const double* data = Family::is_array[slot] ? arrays[next++] : Family::parameters[slot] == "q" ? &in.q : &in.r;
        numbers.data[slot] = reinterpret_cast<const char*>(data);
    }
    return numbers;
}

// Element i through the function's core operation, inlined into the loop (a
// rejected price is a NaN element, as in the array functions).
template <class Function, class Numbers, std::size_t... J>
double evaluate(OptionKind kind, const Numbers& in, std::size_t i, std::index_sequence<J...>) noexcept {
    constexpr std::size_t first = Function::Family::first_number;
    return kestrelfin::kernels::element_value(Function::operation(kind, in.template number<first + J>(i)...));
}

using Loop = void (*)(OptionKind, const Inputs&, double*, std::size_t);

// One plain loop per function of the table. noinline keeps each loop a
// separate function, as an array entry of the module would be.
template <class Function>
__attribute__((noinline)) void loop(OptionKind kind, const Inputs& in, double* out, std::size_t n) {
    const auto numbers = numbers_of<typename Function::Family>(in);
    for (std::size_t i = 0; i < n; ++i) {
        out[i] = evaluate<Function>(kind, numbers, i,
                                    std::make_index_sequence<kestrelfin::kernels::kNumberCount<Function>>{});
    }
}

struct Entry {
    const char* name;
    Loop loop;
    int avx2_lanes;  // the width of the function's AVX2 kernel blocks
};

namespace table = kestrelfin::kernels::table;
#define KF_ENTRY(group, lanes, kind, quantity, black76, bsm, bs)                                                      \
    {#black76, &loop<table::black76>, table::black76::avx2_lanes}, {#bsm, &loop<table::bsm>, table::bsm::avx2_lanes}, \
        {#bs, &loop<table::bs>, table::bs::avx2_lanes},
constexpr Entry entries[] = {KESTRELFIN_FUNCTIONS(KF_ENTRY)};
#undef KF_ENTRY

constexpr int entry_count = static_cast<int>(sizeof(entries) / sizeof(entries[0]));

bool run_entry(int id, int put, const double* a, const double* b, const double* c, const double* d, double r, double q,
               double* out, std::size_t n) {
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
__attribute__((visibility("default"))) int kf_count() {
    return entry_count;
}

__attribute__((visibility("default"))) const char* kf_name(int id) {
    return id >= 0 && id < entry_count ? entries[id].name : nullptr;
}

// Runs function `id` over n options into out; 0 on success, -1 for an
// unknown id.
__attribute__((visibility("default"))) int kf_run(int id, int put, const double* a, const double* b, const double* c,
                                                  const double* d, double r, double q, double* out, std::size_t n) {
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
__attribute__((visibility("default"))) long long kf_record(int id, int put, const double* a, const double* b,
                                                           const double* c, const double* d, double r, double q,
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

namespace {

namespace kernels = kestrelfin::kernels;
using kestrelfin::core::LibmBatch;

// The batch functions of the kernel path this process runs, for exp or log,
// at the given lane width; nullptr where the kernels call the libm per lane.
LibmBatch vector_batch(bool log, int lanes) {
    switch (kernels::kernel_path()) {
        case kernels::KernelPath::Avx2Fused:
            if (lanes == 8) {
                return log ? kernels::log_batch_avx2_fused_8 : kernels::exp_batch_avx2_fused_8;
            }
            return log ? kernels::log_batch_avx2_fused_4 : kernels::exp_batch_avx2_fused_4;
        case kernels::KernelPath::Sse2Unfused:
            return log ? kernels::log_batch_sse2_unfused_2 : kernels::exp_batch_sse2_unfused_2;
        case kernels::KernelPath::Sse2Libm:
            break;
    }
    return nullptr;
}

// The lanes of one function over `count` arguments, in chunks that stay in
// the first-level cache (a multiple of 8, so chunking never splits a lane
// block). Only the arguments are read from memory; the results go to the
// chunk buffer, whose last element is summed so that no chunk can be dropped.
double replay_lanes(LibmBatch batch, const double* args, std::size_t count, double (*scalar)(double)) {
    constexpr std::size_t kChunk = 512;
    alignas(64) double results[kChunk];
    double sum = 0.0;
    for (std::size_t first = 0; first < count; first += kChunk) {
        const std::size_t n = count - first < kChunk ? count - first : kChunk;
        if (batch != nullptr) {
            batch(args + first, results, n);
        } else {
            for (std::size_t i = 0; i < n; ++i) {
                results[i] = scalar(args[first + i]);
            }
        }
        sum += results[n - 1];
    }
    return sum;
}

double libm_exp(double x) {
    return std::exp(x);
}
double libm_log(double x) {
    return std::log(x);
}

}  // namespace

// The kernel path of this process (kernels::KernelPath, as a number:
// 0 AVX2 fused, 1 SSE2 unfused, 2 SSE2 libm calls); the
// first call runs the replicas' check.
__attribute__((visibility("default"))) int kf_kernel_path() {
    return static_cast<int>(kernels::kernel_path());
}

// The lane width the array kernel of function `id` uses on this process's
// path (0 for an unknown id).
__attribute__((visibility("default"))) int kf_vector_lanes(int id) {
    if (id < 0 || id >= entry_count) {
        return 0;
    }
    switch (kernels::kernel_path()) {
        case kernels::KernelPath::Avx2Fused:
            return entries[id].avx2_lanes;
        case kernels::KernelPath::Sse2Unfused:
        case kernels::KernelPath::Sse2Libm:
            break;
    }
    return 2;
}

// The vector floor: exp of exp_args[0..n_exp) and log of log_args[0..n_log),
// each in lanes of `lanes` doubles through the replica the process's check
// accepted (the libm per element where it accepted none).
__attribute__((visibility("default"))) double kf_vector_replay(const double* exp_args, std::size_t n_exp,
                                                               const double* log_args, std::size_t n_log, int lanes) {
    return replay_lanes(vector_batch(false, lanes), exp_args, n_exp, libm_exp) +
           replay_lanes(vector_batch(true, lanes), log_args, n_log, libm_log);
}

// The memory floor of an array function: read four arrays of n doubles and
// write one, as every price and Greek does, with one addition per element
// in between (out[i] = a[i] + b[i] + c[i] + d[i]).
__attribute__((visibility("default"))) void kf_stream(const double* a, const double* b, const double* c,
                                                      const double* d, double* out, std::size_t n) {
    for (std::size_t i = 0; i < n; ++i) {
        out[i] = ((a[i] + b[i]) + c[i]) + d[i];
    }
}

// How many exp and log lanes the array kernel of a price or Greek evaluates
// per option. The kernel computes its formula on lanes of avx2_lanes
// options (or 2 on the SSE2 path), and where lanes need different branches
// (the ranges of the normal distribution function) it may evaluate an exp
// for all lanes that only some need; the scalar recording counts only the
// calls each option makes. This runs the same formula on lanes of the same
// width through a math policy that counts the lanes it is asked for (and
// computes them with the libm, so the formula takes the same branches), with
// the block's values discarded. Tail options and the normal distribution's
// far tail (per-lane scalar code, rare) are not counted.
}  // extern "C"

namespace {

struct CountingMath {
    static constexpr bool calls_per_lane = false;
    static inline long long exp_lanes = 0;
    static inline long long log_lanes = 0;
    template <class Raw>
    static Raw exp(Raw x) noexcept {
        constexpr int n = static_cast<int>(sizeof(Raw) / sizeof(double));
        exp_lanes += n;
        for (int i = 0; i < n; ++i) {
            x[i] = std::exp(x[i]);
        }
        return x;
    }
    template <class Raw>
    static Raw log(Raw x) noexcept {
        constexpr int n = static_cast<int>(sizeof(Raw) / sizeof(double));
        log_lanes += n;
        for (int i = 0; i < n; ++i) {
            x[i] = std::log(x[i]);
        }
        return x;
    }
};

template <class Function, int W>
void count_kernel_lanes(OptionKind kind, const Inputs& in, std::size_t n) {
    using V = core::Lanes<W, CountingMath>;
    const auto numbers = numbers_of<typename Function::Family>(in);
    for (std::size_t i = 0; i + W <= n; i += W) {
        V value = kestrelfin::kernels::vector_block<Function, V>(
            kind, numbers, i, std::make_index_sequence<kestrelfin::kernels::kNumberCount<Function>>{});
        asm volatile("" : : "g"(&value) : "memory");
    }
}

template <class Function>
bool count_kernel_lanes_of(OptionKind kind, const Inputs& in, std::size_t n, int lanes) {
    if constexpr (Function::Family::flag_last) {
        return false;  // the solver: see kf_iv_evaluations
    } else {
        if (lanes == 8) {
            count_kernel_lanes<Function, 8>(kind, in, n);
        } else if (lanes == 4) {
            count_kernel_lanes<Function, 4>(kind, in, n);
        } else {
            count_kernel_lanes<Function, 2>(kind, in, n);
        }
        return true;
    }
}

using LaneCounter = bool (*)(OptionKind, const Inputs&, std::size_t, int);
#define KF_COUNTER(group, lanes, kind, quantity, black76, bsm, bs) \
    &count_kernel_lanes_of<table::black76>, &count_kernel_lanes_of<table::bsm>, &count_kernel_lanes_of<table::bs>,
constexpr LaneCounter lane_counters[] = {KESTRELFIN_FUNCTIONS(KF_COUNTER)};
#undef KF_COUNTER
static_assert(sizeof(lane_counters) / sizeof(lane_counters[0]) == entry_count);

}  // namespace

extern "C" {

// Exp and log lanes per option of function `id`'s kernel over n options at
// the given width (counts[0] exp, counts[1] log, both summed over the
// options' blocks); -1 for an implied volatility or an unknown id.
__attribute__((visibility("default"))) int kf_kernel_lanes(int id, int put, const double* a, const double* b,
                                                           const double* c, const double* d, double r, double q,
                                                           std::size_t n, int lanes, long long* counts) {
    if (id < 0 || id >= entry_count) {
        return -1;
    }
    CountingMath::exp_lanes = 0;
    CountingMath::log_lanes = 0;
    const Inputs in{a, b, c, d, r, q};
    if (!lane_counters[id](put ? OptionKind::Put : OptionKind::Call, in, n, lanes)) {
        return -1;
    }
    counts[0] = CountingMath::exp_lanes;
    counts[1] = CountingMath::log_lanes;
    return 0;
}

// How many evaluations of the model price the implied-volatility solver
// makes: function `id` (an implied volatility of the table) over n options,
// stepping the core's own solver (core/implied_volatility.hpp: the same
// preparation, model and steps as implied_volatility()) and counting.
// counts[0]: Newton evaluations; [1]: bisection evaluations; [2]: options
// that went on to bisect; [3]: options decided by the bound tests alone;
// [4]: the most evaluations one option took. Returns -1 for an id that is
// not an implied volatility.
__attribute__((visibility("default"))) int kf_iv_evaluations(int id, int put, const double* price, const double* S,
                                                             const double* K, const double* t, double r, double q,
                                                             std::size_t n, long long* counts) {
    if (id < 0 || id >= entry_count) {
        return -1;
    }
    const std::string_view name = entries[id].name;
    const bool black76 = name == "black76_implied_volatility";
    const bool bs = name == "bs_implied_volatility";
    if (!black76 && !bs && name != "bsm_implied_volatility") {
        return -1;
    }
    namespace detail = core::detail;
    const OptionKind kind = put ? OptionKind::Put : OptionKind::Call;
    for (int i = 0; i < 5; ++i) {
        counts[i] = 0;
    }
    for (std::size_t i = 0; i < n; ++i) {
        // As the functions form the solver's inputs (Black-Scholes is
        // Black-Scholes-Merton with q = 0.0).
        const core::ImpliedVolInputs in =
            black76 ? core::black76_implied_volatility_inputs(price[i], S[i], K[i], r, t[i])
                    : core::bsm_implied_volatility_inputs(price[i], S[i], K[i], t[i], r, bs ? 0.0 : q);
        detail::IvProblem p;
        detail::IvSolve s;
        core::ImpliedVol outcome;
        if (!detail::iv_prepare(kind, in.price, in.F, in.K, in.t, in.r, p, s, outcome)) {
            ++counts[3];
            continue;
        }
        long long evaluations = 0;
        bool bisected = false;
        while (!s.done()) {
            const bool newton = s.phase == detail::IvSolve::Phase::Newton;
            const core::BlackPrice<double> m = detail::iv_model(p, s.point());
            detail::iv_step(p, s, m.price, [&]() { return detail::iv_vega(p.f_sqrt_t, m.d1); });
            ++counts[newton ? 0 : 1];
            bisected = bisected || !newton;
            ++evaluations;
        }
        counts[2] += bisected ? 1 : 0;
        counts[4] = evaluations > counts[4] ? evaluations : counts[4];
    }
    return 0;
}

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
