// Every vectorised element loop against the scalar core, bit for bit.
//
// The array functions evaluate blocks of options in vector lanes, by a
// kernel path chosen at run time (kernels/kernel_paths.hpp). Each path this
// process can run must give, for every element, exactly the scalar core
// function's result: the same double for every finite or infinite result
// and signed zero, and for a NaN result exactly the NaN the scalar
// function's own compiled instance returns.
#include <algorithm>
#include <array>
#include <cstdio>
#include <cstdint>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "test_support.hpp"

#include "kernels/element_loops.hpp"
#include "kernels/operands.hpp"

namespace {

using kestrelfin::core::Lanes;
using kestrelfin::core::OptionKind;
using kestrelfin::kernels::scalar_operation;
using kestrelfin::test::bits;
namespace kernels = kestrelfin::kernels;

// The paths the binary carries, and whether this process can run each: the
// CPU must have its instructions, and its replica must give this process's
// libm bits (the replica of the FMA build does not where the library runs
// its build without FMA, as under GLIBC_TUNABLES=glibc.cpu.hwcaps=-FMA,-AVX2,
// and the other way round). ctest runs the suite both ways, so every path is
// tested on a machine with AVX2 and FMA; one this process cannot run is
// reported once.
template <class Family>
struct KernelRun {
    const char* path;
    void (*fill)(OptionKind, const kernels::FamilyNumbers<Family>&, double*, kernels::Range);
};

bool cpu_has_avx2_fma() {
    __builtin_cpu_init();
    return __builtin_cpu_supports("avx2") && __builtin_cpu_supports("fma");
}

template <class Path, class Function>
void run_on_path(OptionKind kind, const kernels::FamilyNumbers<typename Function::Family>& in, double* out,
                 kernels::Range range) {
    kernels::run_on<Path, kernels::ElementLoop<Function>>(kernels::UniformKind{kind}, in,
                                                          kernels::ContiguousOutput{out}, range);
}

void report_once(const std::string& path, const char* why) {
    static std::vector<std::string> reported;
    if (std::find(reported.begin(), reported.end(), path) == reported.end()) {
        reported.push_back(path);
        std::printf("[ NOT RUN  ] kernel path %s: %s\n", path.c_str(), why);
    }
}

template <class Function>
std::vector<KernelRun<typename Function::Family>> runnable_kernels() {
    using namespace kestrelfin::core;
    std::vector<KernelRun<typename Function::Family>> runs = {{"sse2/libm", &run_on_path<kernels::Sse2Libm, Function>}};
    if (exp_log_replica_verified<kernels::exp_batch_sse2_unfused_2, kernels::log_batch_sse2_unfused_2>()) {
        runs.push_back({"sse2/unfused", &run_on_path<kernels::Sse2Unfused, Function>});
    } else {
        report_once("sse2/unfused", "this process's libm is not the build without FMA");
    }
    if (!cpu_has_avx2_fma()) {
        report_once("avx2", "this CPU lacks AVX2 or FMA");
        return runs;
    }
    if (exp_log_replica_verified<kernels::exp_batch_avx2_fused_4, kernels::log_batch_avx2_fused_4>()) {
        runs.push_back({"avx2/fused", &run_on_path<kernels::Avx2Fused, Function>});
    } else {
        report_once("avx2/fused", "this process's libm is not the FMA build");
    }
    return runs;
}

// Ordinary option inputs mixed with the values where formulas break down.
std::vector<double> column(std::mt19937_64& rng, double low, double high, std::size_t n) {
    static constexpr double kSpecial[] = {0.0,
                                          -0.0,
                                          1.0,
                                          -1.0,
                                          1e-300,
                                          5e-324,
                                          1e300,
                                          std::numeric_limits<double>::infinity(),
                                          -std::numeric_limits<double>::infinity(),
                                          std::numeric_limits<double>::quiet_NaN()};
    std::uniform_real_distribution<double> uniform(low, high);
    std::uniform_int_distribution<int> pick(0, 9);
    std::vector<double> values(n);
    for (std::size_t i = 0; i < n; ++i) {
        values[i] = (i % 7 == 3) ? kSpecial[pick(rng)] : uniform(rng);
    }
    return values;
}

struct Case {
    double r;
    double q;
};

constexpr Case kCases[] = {{0.05, 0.02}, {0.0, 0.0}, {-0.0, -0.0}, {-0.01, 0.07}};

// A tail shorter than one block and an odd length exercise the scalar rest.
constexpr std::size_t kLength = 1003;

template <class Function>
void expect_kernels_match_scalar(const char* name) {
    using Family = typename Function::Family;
    constexpr std::size_t arity = Family::arity;
    constexpr auto numbers = std::make_index_sequence<arity - 1>{};
    std::mt19937_64 rng(std::hash<std::string>{}(name));

    std::array<std::vector<double>, arity> storage;
    std::array<double, arity> singles{};
    kernels::FamilyNumbers<Family> in;
    for (std::size_t slot = 0; slot < arity; ++slot) {
        in.data[slot] = reinterpret_cast<const char*>(&singles[slot]);
    }
    for (std::size_t slot = 0; slot < arity; ++slot) {
        if (!Family::is_array[slot]) {
            continue;
        }
        const std::string_view parameter = Family::parameters[slot];
        // Times, volatilities, option prices (for the implied volatilities:
        // a mix of solvable prices, prices out of bounds and tiny ones) and
        // underlyings and strikes.
        const bool is_time = parameter == "t";
        const bool is_vol = parameter == "sigma";
        const bool is_price = parameter == "price";
        const double low = is_time ? 0.002 : is_vol ? 0.03 : is_price ? 1e-9 : 40.0;
        const double high = is_time ? 6.0 : is_vol ? 1.6 : is_price ? 60.0 : 250.0;
        storage[slot] = column(rng, low, high, kLength);
        in.data[slot] = reinterpret_cast<const char*>(storage[slot].data());
    }
    for (const Case& c : kCases) {
        for (std::size_t slot = 0; slot < arity; ++slot) {
            if (Family::parameters[slot] == "r")
                singles[slot] = c.r;
            if (Family::parameters[slot] == "q")
                singles[slot] = c.q;
        }
        for (OptionKind kind : {OptionKind::Call, OptionKind::Put}) {
            std::vector<double> expected(kLength);
            for (std::size_t i = 0; i < kLength; ++i) {
                expected[i] = kernels::scalar_element<Function>(kind, in, i, numbers);
            }
            for (const auto& run : runnable_kernels<Function>()) {
                std::vector<double> out(kLength);
                run.fill(kind, in, out.data(), kernels::Range{0, kLength});
                for (std::size_t i = 0; i < kLength; ++i) {
                    ASSERT_EQ(bits(out[i]), bits(expected[i])) << name << " " << run.path << " element " << i;
                }
                // A part of the call (from a multiple of every block width,
                // as a loop split into chunks is given) writes exactly its
                // own elements, each the whole call's.
                constexpr kernels::Range part{24, 611};
                std::vector<double> piece(kLength, -1.0);
                run.fill(kind, in, piece.data(), part);
                for (std::size_t i = 0; i < kLength; ++i) {
                    const bool inside = i >= part.begin && i < part.end;
                    ASSERT_EQ(bits(piece[i]), bits(inside ? expected[i] : -1.0))
                        << name << " " << run.path << " part, element " << i;
                }
            }
        }
    }
}

// The scalar instance itself is the core function (up to NaN payloads,
// which only the compiled instance fixes).
template <class Function>
void expect_scalar_instance_is_core(const char* name) {
    using Family = typename Function::Family;
    if constexpr (Family::arity == 7 && !Family::flag_last) {
        const double x = scalar_operation<Function>(OptionKind::Put, 105.0, 95.0, 0.75, 0.04, 0.3, 0.01);
        EXPECT_EQ(bits(x), bits(Function::operation(OptionKind::Put, 105.0, 95.0, 0.75, 0.04, 0.3, 0.01))) << name;
    } else if constexpr (Family::arity == 6 && !Family::flag_last) {
        const double x = scalar_operation<Function>(OptionKind::Put, 105.0, 95.0, 0.75, 0.04, 0.3);
        EXPECT_EQ(bits(x), bits(Function::operation(OptionKind::Put, 105.0, 95.0, 0.75, 0.04, 0.3))) << name;
    }
}

template <class Function>
void expect_function_is_exact() {
    expect_kernels_match_scalar<Function>(Function::name);
    expect_scalar_instance_is_core<Function>(Function::name);
}

TEST(ArrayKernels, EveryElementEqualsTheScalarFunctionOnEveryPath) {
    kernels::for_each_function([]<class Function>() { expect_function_is_exact<Function>(); });
}

// Neighbouring options that share t reuse the discount factors: a block
// whose lanes all share t, one where only some do, and one where t differs
// by the sign of zero must all match the scalar results.
TEST(ArrayKernels, SharedTimeFactorsAreReusedOnlyForIdenticalArguments) {
    using Function = kernels::table::bsm_black_scholes_merton;
    using Family = Function::Family;
    const std::vector<double> S(8, 100.0), K{90.0, 95.0, 100.0, 105.0, 110.0, 115.0, 120.0, 125.0}, sigma(8, 0.25),
        t{0.5, 0.5, 0.5, 0.5, 0.5, 1.0, 1.0, 0.5};
    const std::vector<double> zero_t{0.0, -0.0, 0.0, -0.0, 0.0, 0.0, -0.0, -0.0};
    for (const auto* times : {&t, &zero_t}) {
        const double r = 0.03;
        const double q = 0.01;
        kernels::FamilyNumbers<Family> in;
        in.data = {nullptr,
                   reinterpret_cast<const char*>(S.data()),
                   reinterpret_cast<const char*>(K.data()),
                   reinterpret_cast<const char*>(times->data()),
                   reinterpret_cast<const char*>(&r),
                   reinterpret_cast<const char*>(sigma.data()),
                   reinterpret_cast<const char*>(&q)};
        std::vector<double> out(8);
        run_on_path<kernels::Sse2Libm, Function>(OptionKind::Call, in, out.data(), kernels::Range{0, 8});
        for (std::size_t i = 0; i < 8; ++i) {
            const double expected =
                kestrelfin::core::bsm_black_scholes_merton(OptionKind::Call, S[i], K[i], (*times)[i], 0.03, 0.25, 0.01);
            EXPECT_EQ(bits(out[i]), bits(expected)) << i;
        }
    }
}

}  // namespace
