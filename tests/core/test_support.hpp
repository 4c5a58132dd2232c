// Shared helpers for the core tests: independent references, finite
// differences, bit comparison and "about" checks of quoted values.
#pragma once

#include <array>
#include <cctype>
#include <bit>
#include <cmath>
#include <cstdint>
#include <ostream>
#include <string>

#include <gtest/gtest.h>

#include "kernels/kernel_paths.hpp"
#include "core/option_kind.hpp"

namespace kestrelfin::core {
// Readable parameters in gtest's failure messages.
inline void PrintTo(OptionKind kind, std::ostream* os) {
    *os << (kind == OptionKind::Call ? "call" : "put");
}
}  // namespace kestrelfin::core

namespace kestrelfin::test {

using core::OptionKind;

inline constexpr OptionKind kCall = OptionKind::Call;
inline constexpr OptionKind kPut = OptionKind::Put;
inline constexpr std::array<OptionKind, 2> kKinds = {kCall, kPut};

inline const char* kind_name(OptionKind k) {
    return k == kCall ? "call" : "put";
}

inline std::uint64_t bits(double x) {
    return std::bit_cast<std::uint64_t>(x);
}

// Which build of glibc's exp and log this process runs: the one compiled
// with FMA (chosen on CPUs with AVX2 and FMA), the one without (other CPUs,
// or GLIBC_TUNABLES=glibc.cpu.hwcaps=-FMA,-AVX2), or neither (another
// library). Told by the replica check, which distinguishes the two builds.
enum class LibmBuild { Fma, WithoutFma, Other };

inline LibmBuild process_libm_build() {
    using namespace kestrelfin::kernels;
    __builtin_cpu_init();
    if (__builtin_cpu_supports("avx2") && __builtin_cpu_supports("fma") &&
        core::exp_log_replica_verified<exp_batch_avx2_fused_4, log_batch_avx2_fused_4>()) {
        return LibmBuild::Fma;
    }
    if (core::exp_log_replica_verified<exp_batch_sse2_unfused_2, log_batch_sse2_unfused_2>()) {
        return LibmBuild::WithoutFma;
    }
    return LibmBuild::Other;
}

// A gtest-safe parameter name: "-0.0657" -> "m0_0657".
inline std::string test_name(std::string text) {
    std::string out;
    for (char c : text) {
        if (c == '-')
            out += 'm';
        else if (std::isalnum(static_cast<unsigned char>(c)))
            out += c;
        else
            out += '_';
    }
    return out;
}

// Reference normal distribution in long double through the C library's
// erfcl, independent of the code under test (a different algorithm, 64-bit
// significand).
inline long double norm_cdf_ld(long double x) {
    return 0.5L * std::erfc(-x / std::sqrt(2.0L));
}
inline long double norm_pdf_ld(long double x) {
    return std::exp(-x * x / 2.0L) / std::sqrt(2.0L * 3.14159265358979323846264338327950288L);
}

// Checks `value` against a quoted approximation such as "-0.00454" or
// "6.35e-8": it must round to the quoted digits, i.e. lie within half a unit
// of the quote's last digit.
inline ::testing::AssertionResult about(double value, const std::string& quoted) {
    const auto e_pos = quoted.find_first_of("eE");
    const std::string mantissa = quoted.substr(0, e_pos);
    const int exponent = e_pos == std::string::npos ? 0 : std::stoi(quoted.substr(e_pos + 1));
    const auto dot = mantissa.find('.');
    const int decimals = dot == std::string::npos ? 0 : static_cast<int>(mantissa.size() - dot - 1);
    const double expected = std::stod(quoted);
    const double half_unit = 0.5 * std::pow(10.0, exponent - decimals);
    if (std::fabs(value - expected) <= half_unit * (1.0 + 1e-9)) {
        return ::testing::AssertionSuccess();
    }
    return ::testing::AssertionFailure() << value << " is not about " << quoted << " (allowed +-" << half_unit << ")";
}

// Five-point central difference of f with respect to args[i]:
//   (8 (f(x+h) - f(x-h)) - (f(x+2h) - f(x-2h))) / 12h,
// with `noise` the part of it rounding may account for: each f carries a
// few ulps of error, weighted 18/12 in the sum, so about 4 eps |f| / h. The
// truncation error is O(h^4); with h = 2e-4 |x| it stays below 1e-9 relative
// at every test point.
struct Difference {
    double value;
    double noise;
};

template <class F, std::size_t N>
Difference central_difference(F&& f, std::array<double, N> args, std::size_t i) {
    const double x = args[i];
    const double h = 2e-4 * std::fabs(x);
    double largest = 0.0;
    const auto at = [&](double xi) {
        args[i] = xi;
        const double y = f(args);
        largest = std::fmax(largest, std::fabs(y));
        return y;
    };
    const double value = (8.0 * (at(x + h) - at(x - h)) - (at(x + 2 * h) - at(x - 2 * h))) / (12.0 * h);
    return {value, 4.0 * 0x1p-52 * largest / h};
}

// The Greek d.greek equals d.scale times the derivative of d.base with respect
// to argument d.input, at args, for one kind; eval(f, kind, args) calls a
// model function with an argument array.
template <class Derivative, std::size_t N, class Eval>
void expect_greek_is_derivative(const Derivative& d, const std::array<double, N>& args, OptionKind kind, Eval eval) {
    const double greek = eval(d.greek, kind, args);
    const Difference fd =
        central_difference([&](const std::array<double, N>& a) { return eval(d.base, kind, a); }, args, d.input);
    const double tolerance = 1e-9 * std::fabs(greek) + std::fabs(d.scale) * fd.noise;
    EXPECT_NEAR(greek, d.scale * fd.value, tolerance) << d.name << " " << kind_name(kind);
}

// "<greek>_point<i>_<kind>" for a suite over (derivatives, `points` points, kinds).
template <class Param>
std::string derivative_test_name(const ::testing::TestParamInfo<Param>& info, std::size_t points) {
    const auto& [d, args, kind] = info.param;
    const auto point = info.index / kKinds.size() % points;
    return std::string(d.name) + "_point" + std::to_string(point) + "_" + kind_name(kind);
}

}  // namespace kestrelfin::test
