// ns per option of the "Let's Be Rational" implied-volatility solver
// (core/rational_implied_volatility.hpp): its scalar instance and each lane
// flavour of the kernel paths, next to the Newton solver of
// core/implied_volatility.hpp, on four sets of options; and the operations
// one option costs (exp, log, the C library's log1p and cbrt, Cody's erfc and
// erfcx rationals, AS 241, divisions), counted by running the scalar instance
// on a counting arithmetic.
//
//   mkdir -p build/benchmarks
//   g++ -O3 -DNDEBUG -ffp-contract=off -fno-fast-math -std=c++20 -Wno-psabi -I. benchmarks/rational_iv.cpp
//       -o build/benchmarks/rational_iv
//   build/benchmarks/rational_iv [n [passes]] [--dump DIR] [--stages]
//
// (also built by the C++ test build as rational_iv_benchmark). Sets, n options
// each (default 100,000; prices from the core's own Black price or, for the
// wide set, from its accurate normalised Black function):
//   random  like benchmarks/inputs.py's: S 20-500, K/S 0.5-2, t 1 day-5 years,
//           sigma 0.05-1.5, r = 0.03, q = 0.015 (the forward S e^((r-q)t) is
//           formed beforehand), calls;
//   ordered the random set ordered by h = x/s at the solution and then s, so
//           that neighbouring options take the same regions (ordered_set);
//   chain   one underlying at 100, 20 expiries from a week to 5 years, strikes
//           50-200, inputs.py's smile, calls;
//   lbr     inputs.py's "lbr" set: F = 100, K/F 0.5-2, t 1 day-5 years,
//           sigma 0.05-1.5, r = 0, calls and puts;
//   wide    |ln(F/K)| log-uniform on [1e-8, 700] and s = sigma sqrt(t) on
//           [1e-4, 80], every price in (1e-300, max), calls and puts.
// Each figure is the best of 9 passes over the set (or of `passes`).
#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "kernels/kernel_paths.hpp"
#include "core/black76.hpp"
#include "core/implied_volatility.hpp"
#include "core/normalised_black.hpp"
#include "core/rational_implied_volatility.hpp"

using namespace kestrelfin;
using core::ImpliedVolInputs;
using core::OptionKind;

namespace counting {

// A double that counts what is done with it.
struct Tally {
    long exp = 0, log = 0, libm_scalar = 0, cody = 0, inverse_normal = 0, division = 0;
};
inline Tally tally;

struct Counted {
    double v = 0.0;
    Counted() = default;
    Counted(double x) : v(x) {}
    friend Counted operator+(Counted a, Counted b) { return a.v + b.v; }
    friend Counted operator-(Counted a, Counted b) { return a.v - b.v; }
    friend Counted operator*(Counted a, Counted b) { return a.v * b.v; }
    friend Counted operator/(Counted a, Counted b) {
        ++tally.division;
        return a.v / b.v;
    }
    friend Counted operator-(Counted a) { return -a.v; }
    friend bool operator<(Counted a, Counted b) { return a.v < b.v; }
    friend bool operator<=(Counted a, Counted b) { return a.v <= b.v; }
    friend bool operator>(Counted a, Counted b) { return a.v > b.v; }
    friend bool operator>=(Counted a, Counted b) { return a.v >= b.v; }
    friend bool operator==(Counted a, Counted b) { return a.v == b.v; }
};

inline Counted exp_of(Counted x) {
    ++tally.exp;
    return std::exp(x.v);
}
inline Counted exp_of_shared(Counted x) {
    ++tally.exp;
    return std::exp(x.v);
}
inline Counted log_of(Counted x) {
    ++tally.log;
    return std::log(x.v);
}
inline Counted sqrt_of(Counted x) {
    return std::sqrt(x.v);
}
inline Counted abs_of(Counted x) {
    return std::fabs(x.v);
}
inline Counted select(bool c, Counted a, Counted b) {
    return c ? a : b;
}
template <class Scalar>
Counted each_lane_where(bool c, Counted x, Counted otherwise, Scalar scalar) {
    if (!c) {
        return otherwise;
    }
    ++tally.libm_scalar;
    return scalar(x.v);
}
// The ratios of Cody's intervals (one per erfc/erfcx argument), the one of
// Y'(h), and AS 241, counted and then evaluated by the core's own templates.
inline auto cody_parts(Counted u) {
    ++tally.cody;
    return core::cody_parts<Counted>(u);
}
inline Counted normal_ratio_slope(Counted h) {
    ++tally.cody;
    return core::normal_ratio_slope<Counted>(h);
}
inline Counted inverse_normal_central(Counted q) {
    ++tally.inverse_normal;
    return core::inverse_normal_central<Counted>(q);
}
inline Counted inverse_normal_tail_of_root(Counted r) {
    ++tally.inverse_normal;
    return core::inverse_normal_tail_of_root<Counted>(r);
}

}  // namespace counting

namespace {

struct Option {
    OptionKind kind;
    ImpliedVolInputs in;
};

struct Set {
    const char* name;
    std::vector<Option> options;
};

double uniform(std::mt19937_64& rng, double lo, double hi) {
    return std::uniform_real_distribution<double>(lo, hi)(rng);
}

Option priced(OptionKind kind, double F, double K, double t, double r, double sigma) {
    return {kind, {core::black76_black(kind, F, K, t, r, sigma), F, K, t, r}};
}

Set random_set(std::size_t n) {
    std::mt19937_64 rng(20240611);
    Set s{"random", {}};
    for (std::size_t i = 0; i < n; ++i) {
        const double S = uniform(rng, 20, 500), K = S * uniform(rng, 0.5, 2), t = uniform(rng, 1 / 365.0, 5);
        const double sigma = uniform(rng, 0.05, 1.5), r = 0.03, q = 0.015;
        s.options.push_back(priced(OptionKind::Call, S * std::exp(t * (r - q)), K, t, r, sigma));
    }
    return s;
}

Set chain_set(std::size_t n) {
    static constexpr int days[20] = {7,   14,  21,  30,  45,  60,  91,   121,  152,  182,
                                     273, 365, 456, 547, 730, 913, 1095, 1277, 1460, 1825};
    std::mt19937_64 rng(20240612);
    std::normal_distribution<double> noise(0.0, 0.002);
    Set s{"chain", {}};
    const std::size_t per = n / 20;
    for (int e = 0; e < 20; ++e) {
        const double t = days[e] / 365.0;
        for (std::size_t j = 0; j < per; ++j) {
            const double K = 50.0 + 150.0 * j / (per - 1);
            const double x = std::log(K / 100.0);
            double sigma = 0.18 + 0.06 * std::exp(-2 * t) - 0.12 * x / std::pow(t, 0.25) + 0.35 * x * x / std::sqrt(t);
            sigma = std::clamp(sigma + noise(rng), 0.05, 1.5);
            s.options.push_back(priced(OptionKind::Call, 100.0, K, t, 0.03, sigma));
        }
    }
    return s;
}

Set lbr_set(std::size_t n) {
    std::mt19937_64 rng(20240613);
    Set s{"lbr", {}};
    for (std::size_t i = 0; i < n; ++i) {
        const double K = 100 * uniform(rng, 0.5, 2), t = uniform(rng, 1 / 365.0, 5), sigma = uniform(rng, 0.05, 1.5);
        s.options.push_back(priced(i % 2 ? OptionKind::Put : OptionKind::Call, 100.0, K, t, 0.0, sigma));
    }
    return s;
}

Set wide_set(std::size_t n) {
    std::mt19937_64 rng(20240614);
    Set s{"wide", {}};
    while (s.options.size() < n) {
        const double ax = std::pow(10.0, uniform(rng, -8, std::log10(700.0)));
        const double total = std::pow(10.0, uniform(rng, -4, std::log10(80.0)));
        const double F = std::pow(10.0, uniform(rng, -1, 1)), t = std::pow(10.0, uniform(rng, -2, 1));
        const bool otm_call_side = uniform(rng, 0, 1) < 0.5;  // F < K
        const double K = otm_call_side ? F * std::exp(ax) : F * std::exp(-ax);
        const double x = -std::fabs(std::log(F / K));
        const double time_value = std::sqrt(F) * std::sqrt(K) * core::normalised_black(x, total);
        // The out-of-the-money option: its price is the time value.
        const OptionKind kind = otm_call_side ? OptionKind::Call : OptionKind::Put;
        const double upper = otm_call_side ? F : K;
        if (!(time_value > 1e-300 && time_value < upper)) {
            continue;
        }
        s.options.push_back({kind, {time_value, F, K, t, 0.0}});
    }
    return s;
}

// The random set again, its options ordered so that neighbours share the
// regions of the Black function and the ranges of Cody's functions in their
// steps: by h = x/s at the solution (in quarters) and then by s. Not an order
// any caller could give (it takes the solution), but what a block of lanes
// costs when its lanes agree: the gain from grouping options by region.
Set ordered_set(Set s) {
    auto key = [](const Option& o) {
        const double v = core::rational_implied_volatility(o.kind, o.in).volatility * std::sqrt(o.in.t);
        const double x = -std::fabs(std::log(o.in.F / o.in.K));
        return std::pair<double, double>(std::round(4.0 * x / v), v);
    };
    std::stable_sort(s.options.begin(), s.options.end(),
                     [&](const Option& a, const Option& b) { return key(a) < key(b); });
    s.name = "ordered";
    return s;
}

using Clock = std::chrono::steady_clock;

int passes = 9;

template <class Run>
double best_ns_per_option(const Set& s, Run&& run) {
    double best = 1e300;
    for (int pass = 0; pass < passes; ++pass) {
        const auto start = Clock::now();
        run();
        const double ns = std::chrono::duration<double, std::nano>(Clock::now() - start).count();
        best = std::min(best, ns / s.options.size());
    }
    return best;
}

std::vector<double> results;
volatile double sink;

__attribute__((noinline)) void rational_scalar(const Set& s) {
    for (std::size_t i = 0; i < s.options.size(); ++i) {
        results[i] = core::rational_implied_volatility(s.options[i].kind, s.options[i].in).volatility;
    }
}

template <class V>
KESTRELFIN_LANE_INLINE void rational_lanes(const Set& s) {
    core::rational_implied_volatility_lanes<V>(
        s.options.size(), [&](std::size_t i) KESTRELFIN_LANE_LAMBDA { return s.options[i].kind; },
        [&](std::size_t i) KESTRELFIN_LANE_LAMBDA { return s.options[i].in; },
        [&](std::size_t i, core::RationalImpliedVol r) KESTRELFIN_LANE_LAMBDA { results[i] = r.volatility; });
}

__attribute__((noinline)) KESTRELFIN_AVX2_KERNEL void rational_avx2_fused(const Set& s) {
    rational_lanes<core::Lanes<4, kernels::Avx2FusedMath>>(s);
}
__attribute__((noinline)) KESTRELFIN_AVX2_KERNEL void rational_avx2_libm(const Set& s) {
    rational_lanes<core::Lanes<4, core::LibmCalls>>(s);
}
__attribute__((noinline)) KESTRELFIN_SSE2_KERNEL void rational_sse2_unfused(const Set& s) {
    rational_lanes<core::Lanes<2, kernels::Sse2UnfusedMath>>(s);
}
__attribute__((noinline)) KESTRELFIN_SSE2_KERNEL void rational_sse2_libm(const Set& s) {
    rational_lanes<core::Lanes<2, core::LibmCalls>>(s);
}

__attribute__((noinline)) void newton_scalar(const Set& s) {
    for (std::size_t i = 0; i < s.options.size(); ++i) {
        results[i] = core::implied_volatility(s.options[i].kind, s.options[i].in).volatility;
    }
}
__attribute__((noinline)) KESTRELFIN_AVX2_KERNEL void newton_avx2_fused(const Set& s) {
    core::implied_volatility_lanes<core::Lanes<4, kernels::Avx2FusedMath>>(
        s.options.size(), [&](std::size_t i) KESTRELFIN_LANE_LAMBDA { return s.options[i].kind; },
        [&](std::size_t i) KESTRELFIN_LANE_LAMBDA { return s.options[i].in; },
        [&](std::size_t i, const core::ImpliedVol& r) KESTRELFIN_LANE_LAMBDA { results[i] = r.volatility; });
}

// The operations per option of the scalar instance, on average over the set
// and per branch of the guess ("no guess": at the money, or decided by the
// bounds).
void count_operations(const Set& s) {
    using counting::Counted;
    using counting::tally;
    struct Sum {
        counting::Tally total;
        long options = 0;
    };
    Sum by_branch[4];
    for (const Option& o : s.options) {
        const int route =
            static_cast<int>(core::classify_option<Counted>(o.kind, Counted(o.in.price), Counted(o.in.F),
                                                            Counted(o.in.K), Counted(o.in.t), Counted(o.in.r))
                                 .route.v);
        tally = {};
        const auto out = core::rational_implied_volatility_of<Counted>(
            o.kind, Counted(o.in.price), Counted(o.in.F), Counted(o.in.K), Counted(o.in.t), Counted(o.in.r));
        sink = out.volatility.v;
        Sum& sum = by_branch[route < 3 ? route + 1 : 0];
        sum.total.exp += tally.exp;
        sum.total.log += tally.log;
        sum.total.libm_scalar += tally.libm_scalar;
        sum.total.cody += tally.cody;
        sum.total.inverse_normal += tally.inverse_normal;
        sum.total.division += tally.division;
        ++sum.options;
    }
    static const char* names[4] = {"no guess", "lowest", "middle", "highest"};
    for (int b = 0; b < 4; ++b) {
        const Sum& sum = by_branch[b];
        if (sum.options == 0) {
            continue;
        }
        const double n = static_cast<double>(sum.options);
        std::printf(
            "  %-7s %-11s %5.1f%% of options: exp %4.1f  log %4.1f  libm calls %3.1f  erfc/erfcx %4.1f  "
            "AS241 %3.1f  divisions %4.1f\n",
            s.name, names[b], 100.0 * n / s.options.size(), sum.total.exp / n, sum.total.log / n,
            sum.total.libm_scalar / n, sum.total.cody / n, sum.total.inverse_normal / n, sum.total.division / n);
    }
}

// The share of the set with a volatility (status Ok: finite and positive).
double solved_share(const std::vector<double>& volatility) {
    std::size_t solved = 0;
    for (double v : volatility) {
        solved += std::isfinite(v) && v > 0;
    }
    return 100.0 * solved / volatility.size();
}

// Where the time of the AVX2 (fused) instance goes, stage by stage: the
// classification of every option, then, on the options of each branch
// gathered beforehand two blocks at a time as the solver does, the gathering
// alone, the guess, the guess and one step, and the whole solution (guess and
// two steps). The differences between the lines are each stage's cost per
// option; the full driver's excess over their sum is its own bookkeeping.
namespace stages {

using V = core::Lanes<4, kernels::Avx2FusedMath>;
using Pair = core::LanePair<V>;
using core::RationalBranch;
constexpr int pair_width = core::lane_count<Pair>;

std::vector<core::ClassifiedOption<double>> by_branch[3];

// Stage 0: gather only; 1: the guess; 2: the guess and one step; 3: the
// solution.
template <int Stage, RationalBranch B>
KESTRELFIN_LANE_INLINE double run_branch(const std::vector<core::ClassifiedOption<double>>& group) {
    Pair total(0.0);
    for (std::size_t k = 0; k + pair_width <= group.size(); k += pair_width) {
        core::ClassifiedOption<Pair> block;
        core::detail::each_field([&](auto of) KESTRELFIN_LANE_LAMBDA {
            of(block) = core::lanes_from<Pair>([&](int lane) KESTRELFIN_LANE_LAMBDA { return of(group[k + lane]); });
        });
        if constexpr (Stage == 0) {
            total = total + block.problem.beta;
        } else if constexpr (Stage == 1) {
            total = total + core::rational_guess<B>(block.problem);
        } else if constexpr (Stage == 2) {
            const auto data = core::detail::step_data<B>(block.problem);
            const Pair s = core::rational_guess<B>(block.problem);
            total = total + s + core::detail::householder_step<B>(block.problem, data, s);
        } else {
            total = total + core::detail::normalised_implied_volatility<B>(block.problem);
        }
    }
    double sum = 0.0;
    for (int lane = 0; lane < pair_width; ++lane) {
        sum += total[lane];
    }
    return sum;
}

template <int Stage>
__attribute__((noinline)) KESTRELFIN_AVX2_KERNEL double run_stage() {
    return run_branch<Stage, RationalBranch::Lowest>(by_branch[0]) +
           run_branch<Stage, RationalBranch::Middle>(by_branch[1]) +
           run_branch<Stage, RationalBranch::Highest>(by_branch[2]);
}

__attribute__((noinline)) KESTRELFIN_AVX2_KERNEL double classify_only(const Set& s) {
    double total = 0.0;
    // Two blocks at a time, assembled in registers, as the driver does.
    constexpr int width = core::lane_count<Pair>;
    for (std::size_t i = 0; i + width <= s.options.size(); i += width) {
        core::LaneKinds<width> kinds{};
        for (int lane = 0; lane < width; ++lane) {
            kinds.is_call[lane] = s.options[i + lane].kind == OptionKind::Call ? -1 : 0;
        }
        const auto field = [&](double ImpliedVolInputs::*member) KESTRELFIN_LANE_LAMBDA {
            return core::lanes_from<Pair>([&](int lane)
                                              KESTRELFIN_LANE_LAMBDA { return s.options[i + lane].in.*member; });
        };
        const auto c = core::classify_option(kinds, field(&ImpliedVolInputs::price), field(&ImpliedVolInputs::F),
                                             field(&ImpliedVolInputs::K), field(&ImpliedVolInputs::t),
                                             field(&ImpliedVolInputs::r));
        total += c.problem.b_ref[0] + c.route[1];
    }
    return total;
}

void report(const Set& s) {
    for (auto& group : by_branch) {
        group.clear();
    }
    for (const Option& o : s.options) {
        const auto c = core::classify_option<double>(o.kind, o.in.price, o.in.F, o.in.K, o.in.t, o.in.r);
        const int route = static_cast<int>(c.route);
        if (route < 3) {
            by_branch[route].push_back(c);
        }
    }
    results.assign(s.options.size(), 0.0);
    const double full = best_ns_per_option(s, [&] { rational_avx2_fused(s); });
    const double classify = best_ns_per_option(s, [&] { sink = classify_only(s); });
    const double gather = best_ns_per_option(s, [&] { sink = run_stage<0>(); });
    const double guess = best_ns_per_option(s, [&] { sink = run_stage<1>(); });
    const double one_step = best_ns_per_option(s, [&] { sink = run_stage<2>(); });
    const double two_steps = best_ns_per_option(s, [&] { sink = run_stage<3>(); });
    std::printf("%-8s %8.1f %9.1f %7.1f %7.1f %9.1f %10.1f\n", s.name, full, classify, gather, guess - gather,
                one_step - guess, two_steps - one_step);
}

}  // namespace stages

// Writes each set to DIR/NAME.bin for a peer timed on the same options
// (benchmarks/rational_iv_peers.py): the count as an int64, then six float64
// arrays of it: kind (1 call, -1 put), price, F, K, t, r.
void dump_set(const char* directory, const Set& s) {
    const std::string path = std::string(directory) + "/" + s.name + ".bin";
    std::FILE* file = std::fopen(path.c_str(), "wb");
    if (file == nullptr) {
        std::perror(path.c_str());
        std::exit(1);
    }
    const std::int64_t n = static_cast<std::int64_t>(s.options.size());
    std::fwrite(&n, sizeof n, 1, file);
    auto column = [&](auto field) {
        std::vector<double> values;
        for (const Option& o : s.options) {
            values.push_back(field(o));
        }
        std::fwrite(values.data(), sizeof(double), values.size(), file);
    };
    column([](const Option& o) { return o.kind == OptionKind::Call ? 1.0 : -1.0; });
    column([](const Option& o) { return o.in.price; });
    column([](const Option& o) { return o.in.F; });
    column([](const Option& o) { return o.in.K; });
    column([](const Option& o) { return o.in.t; });
    column([](const Option& o) { return o.in.r; });
    std::fclose(file);
}

}  // namespace

int main(int argc, char** argv) {
    const char* dump_directory = nullptr;
    bool stage_times = false;
    std::vector<const char*> positional;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--dump") == 0 && i + 1 < argc) {
            dump_directory = argv[++i];
        } else if (std::strcmp(argv[i], "--stages") == 0) {
            stage_times = true;
        } else {
            positional.push_back(argv[i]);
        }
    }
    const std::size_t n = positional.size() > 0 ? std::strtoul(positional[0], nullptr, 10) : 100000;
    passes = positional.size() > 1 ? std::atoi(positional[1]) : 9;
    __builtin_cpu_init();
    const bool avx2 = __builtin_cpu_supports("avx2") && __builtin_cpu_supports("fma");
    const bool fused =
        avx2 && core::exp_log_replica_verified<kernels::exp_batch_avx2_fused_4, kernels::log_batch_avx2_fused_4>();
    const bool unfused =
        core::exp_log_replica_verified<kernels::exp_batch_sse2_unfused_2, kernels::log_batch_sse2_unfused_2>();

    const Set sets[] = {random_set(n), ordered_set(random_set(n)), chain_set(n), lbr_set(n), wide_set(n)};
    if (dump_directory != nullptr) {
        for (const Set& s : sets) {
            dump_set(dump_directory, s);
        }
    }
    if (stage_times) {
        if (!fused) {
            std::printf("--stages times the AVX2 instance with the replicas, which this process cannot run\n");
            return 1;
        }
        std::printf("ns per option of the AVX2 (fused) instance by stage, best of %d passes over %zu options\n", passes,
                    n);
        std::printf("%-8s %8s %9s %7s %7s %9s %10s\n", "set", "driver", "classify", "gather", "guess", "1st step",
                    "2nd step");
        for (const Set& s : sets) {
            stages::report(s);
        }
        return 0;
    }
    std::printf("ns per option, best of %d passes over %zu options (-1: a flavour this process cannot run)\n", passes,
                n);
    std::printf("%-8s %9s %11s %10s %13s %10s | %13s %12s\n", "set", "scalar", "avx2/fused", "avx2/libm",
                "sse2/unfused", "sse2/libm", "newton scalar", "newton avx2");
    for (const Set& s : sets) {
        results.assign(s.options.size(), 0.0);
        const double scalar = best_ns_per_option(s, [&] { rational_scalar(s); });
        const std::vector<double> reference = results;
        auto lanes = [&](bool runnable, void (*run)(const Set&)) {
            if (!runnable) {
                return -1.0;
            }
            const double ns = best_ns_per_option(s, [&] { run(s); });
            for (std::size_t i = 0; i < s.options.size(); ++i) {
                if (std::memcmp(&results[i], &reference[i], sizeof(double)) != 0) {
                    std::printf("  (lanes differ from the scalar instance at option %zu)\n", i);
                    break;
                }
            }
            return ns;
        };
        const double a_fused = lanes(fused, rational_avx2_fused);
        const double a_libm = lanes(avx2, rational_avx2_libm);
        const double s_unfused = lanes(unfused, rational_sse2_unfused);
        const double s_libm = lanes(true, rational_sse2_libm);
        const double newton = best_ns_per_option(s, [&] { newton_scalar(s); });
        const double newton_lanes = fused ? best_ns_per_option(s, [&] { newton_avx2_fused(s); }) : -1.0;
        std::printf("%-8s %9.1f %11.1f %10.1f %13.1f %10.1f | %13.1f %12.1f   (%.1f%% solved)\n", s.name, scalar,
                    a_fused, a_libm, s_unfused, s_libm, newton, newton_lanes, solved_share(reference));
    }
    std::printf("\noperations per option (scalar instance):\n");
    for (const Set& s : sets) {
        count_operations(s);
    }
    return 0;
}
