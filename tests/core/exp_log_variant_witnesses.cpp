// Finds inputs on which the two builds of the libm's exp and log (with and
// without FMA) return different bits: the witnesses that let the run-time
// check tell a Fused replica from an Unfused one
// (core/exp_log_check_inputs.hpp lists some). Both builds cannot run in one
// process, so the program runs twice over the same seeded inputs:
//
//   exp_log_variant_witnesses dump results.bin
//   GLIBC_TUNABLES=glibc.cpu.hwcaps=-FMA,-AVX2 exp_log_variant_witnesses compare results.bin
//
// The second run prints, as C++ hex literals, the inputs whose results differ
// from the first run's, and how many there were. Nothing here uses the
// replicas: the witnesses come from the libm alone.
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <vector>

#include "core/libm_branch_bounds.hpp"

namespace {

constexpr std::size_t kCount = 4'000'000;

std::uint64_t next(std::uint64_t& state) {  // splitmix64
    std::uint64_t z = (state += 0x9e3779b97f4a7c15);
    z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9;
    z = (z ^ (z >> 27)) * 0x94d049bb133111eb;
    return z ^ (z >> 31);
}

double from_bits(std::uint64_t b) {
    double x;
    std::memcpy(&x, &b, sizeof x);
    return x;
}

std::uint64_t to_bits(double x) {
    std::uint64_t b;
    std::memcpy(&b, &x, sizeof b);
    return b;
}

// exp over [-40, 5] (where pricing spends its exponentials), then log over
// [0.01, 100] in bit space (log-uniform), half of it near 1.
void inputs(std::vector<double>& exp_in, std::vector<double>& log_in) {
    std::uint64_t state = 20240611;
    for (std::size_t i = 0; i < kCount; ++i) {
        const std::int64_t m = static_cast<std::int64_t>(next(state) % (45ULL << 52)) - (40LL << 52);
        exp_in.push_back(static_cast<double>(m) * 0x1p-52);
    }
    const std::uint64_t lo = to_bits(0.01), hi = to_bits(100.0);
    const std::uint64_t near_lo = to_bits(kestrelfin::core::libm_bounds::kLogNearOneLow),
                        near_hi = to_bits(kestrelfin::core::libm_bounds::kLogNearOneHigh);
    for (std::size_t i = 0; i < kCount; ++i) {
        if (i % 2 == 0) {
            log_in.push_back(from_bits(lo + next(state) % (hi - lo)));
        } else {
            log_in.push_back(from_bits(near_lo + next(state) % (near_hi - near_lo)));
        }
    }
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 3 || (std::strcmp(argv[1], "dump") != 0 && std::strcmp(argv[1], "compare") != 0)) {
        std::fprintf(stderr, "usage: %s dump|compare FILE\n", argv[0]);
        return 2;
    }
    double (*volatile libm_exp)(double) = &::exp;
    double (*volatile libm_log)(double) = &::log;
    std::vector<double> exp_in, log_in;
    inputs(exp_in, log_in);
    std::vector<std::uint64_t> results;
    for (double x : exp_in)
        results.push_back(to_bits(libm_exp(x)));
    for (double x : log_in)
        results.push_back(to_bits(libm_log(x)));

    if (std::strcmp(argv[1], "dump") == 0) {
        FILE* file = std::fopen(argv[2], "wb");
        if (!file || std::fwrite(results.data(), 8, results.size(), file) != results.size()) {
            std::perror(argv[2]);
            return 1;
        }
        std::fclose(file);
        return 0;
    }
    std::vector<std::uint64_t> other(results.size());
    FILE* file = std::fopen(argv[2], "rb");
    if (!file || std::fread(other.data(), 8, other.size(), file) != other.size()) {
        std::perror(argv[2]);
        return 1;
    }
    std::fclose(file);
    std::size_t exp_differ = 0, log_differ = 0, log_differ_near_one = 0;
    for (std::size_t i = 0; i < results.size(); ++i) {
        if (results[i] == other[i])
            continue;
        const bool is_exp = i < kCount;
        const double x = is_exp ? exp_in[i] : log_in[i - kCount];
        const bool near_one = !is_exp && x >= kestrelfin::core::libm_bounds::kLogNearOneLow &&
                              x < kestrelfin::core::libm_bounds::kLogNearOneHigh;
        (is_exp ? exp_differ : near_one ? log_differ_near_one : log_differ) += 1;
        std::printf("%s %s %a\n", is_exp ? "exp" : "log", near_one ? "near-one" : "main", x);
    }
    std::printf("# differing: exp %zu of %zu, log %zu of %zu (main path), %zu of %zu (near 1)\n", exp_differ, kCount,
                log_differ, kCount / 2, log_differ_near_one, kCount / 2);
    return 0;
}
