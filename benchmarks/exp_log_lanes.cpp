// ns per element of exp and log over 10^6 doubles: the scalar libm against
// the lane replicas (core/vector_exp_log.hpp) through the batch functions the
// tests use, plus the floor of reading and writing the arrays, the table
// lookup done by loads or by gathers, and the run-time check's cost.
//
//   exp_log_lanes_benchmark        (built by tests/core/CMakeLists.txt)
//
// Each figure is the fastest of 15 passes over the array (the machine is
// shared: the fastest pass is the one least disturbed), with the median
// beside it. Only instances this CPU can run are timed; the others are
// listed as not run.
#include <immintrin.h>
#include <math.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <vector>

#include "core/exp_log_self_check.hpp"
#include "core/libm_exp_log_data.hpp"
#include "core/raw_lanes.hpp"
#include "exp_log_batches.hpp"

namespace {

using kestrelfin::core::LibmBatch;
using kestrelfin::test::ReplicaInstance;

constexpr std::size_t kElements = 1'000'000;
constexpr int kPasses = 15;

struct Timing {
    double fastest;  // ns per element
    double median;
};

template <class Run>
Timing ns_per_element(Run run) {
    std::vector<double> ns;
    for (int pass = 0; pass < kPasses; ++pass) {
        const auto t0 = std::chrono::steady_clock::now();
        run();
        const auto t1 = std::chrono::steady_clock::now();
        ns.push_back(std::chrono::duration<double, std::nano>(t1 - t0).count() / kElements);
    }
    std::sort(ns.begin(), ns.end());
    return {ns.front(), ns[ns.size() / 2]};
}

std::uint64_t state = 42;
std::uint64_t random_bits() {
    std::uint64_t z = (state += 0x9e3779b97f4a7c15);
    z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9;
    z = (z ^ (z >> 27)) * 0x94d049bb133111eb;
    return z ^ (z >> 31);
}
double uniform(double low, double high) {
    return low + (high - low) * static_cast<double>(random_bits() >> 11) * 0x1p-53;
}

void scalar_exp(const double* in, double* out, std::size_t n) {
    for (std::size_t i = 0; i < n; ++i)
        out[i] = ::exp(in[i]);
}
void scalar_log(const double* in, double* out, std::size_t n) {
    for (std::size_t i = 0; i < n; ++i)
        out[i] = ::log(in[i]);
}

// The exp table lookup alone for n indices, by 16-byte loads and a
// transpose (what the replicas do) or by two gathers.
__attribute__((target("avx2,fma"))) double lookup_by_loads(const std::uint64_t* index, std::size_t n) {
    typedef double V4 __attribute__((vector_size(32)));
    typedef std::uint64_t B4 __attribute__((vector_size(32)));
    V4 sum = {0, 0, 0, 0};
    const double* table = reinterpret_cast<const double*>(kestrelfin::core::libm_exp_log::exp_table);
    for (std::size_t i = 0; i < n; i += 4) {
        B4 idx;
        std::memcpy(&idx, index + i, sizeof idx);
        V4 tail, base;
        kestrelfin::core::load_pairs(table, idx, tail, base);
        sum += tail + base;
    }
    return sum[0] + sum[1] + sum[2] + sum[3];
}

__attribute__((target("avx2,fma"))) double lookup_by_gathers(const std::uint64_t* index, std::size_t n) {
    __m256d sum = _mm256_setzero_pd();
    const double* table = reinterpret_cast<const double*>(kestrelfin::core::libm_exp_log::exp_table);
    for (std::size_t i = 0; i < n; i += 4) {
        const __m256i idx = _mm256_slli_epi64(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(index + i)), 1);
        const __m256d tail = _mm256_i64gather_pd(table, idx, 8);
        const __m256d base = _mm256_i64gather_pd(table + 1, idx, 8);
        sum = _mm256_add_pd(sum, _mm256_add_pd(tail, base));
    }
    alignas(32) double lanes[4];
    _mm256_store_pd(lanes, sum);
    return lanes[0] + lanes[1] + lanes[2] + lanes[3];
}

void report(const char* what, const char* inputs, Timing t, Timing scalar) {
    std::printf("  %-28s %-22s %6.2f ns/element (median %6.2f)  %4.1fx the scalar libm\n", what, inputs, t.fastest,
                t.median, scalar.fastest / t.fastest);
}

}  // namespace

int main() {
    char cpu[64] = "?";
    if (FILE* info = std::fopen("/proc/cpuinfo", "r")) {
        char line[256];
        while (std::fgets(line, sizeof line, info)) {
            if (std::strncmp(line, "model name", 10) == 0) {
                std::snprintf(cpu, sizeof cpu, "%s", std::strchr(line, ':') + 2);
                cpu[std::strcspn(cpu, "\n")] = 0;
                break;
            }
        }
        std::fclose(info);
    }
    std::printf("CPU: %s; %zu elements, fastest and median of %d passes\n", cpu, kElements, kPasses);

    std::vector<double> exp_in(kElements), log_in(kElements), near_one_in(kElements), out(kElements);
    for (double& x : exp_in)
        x = uniform(-50.0, 5.0);
    for (double& x : log_in)
        x = std::exp(uniform(std::log(0.01), std::log(100.0)));
    for (double& x : near_one_in)
        x = uniform(0.8, 1.25);

    const Timing copy = ns_per_element([&] {
        std::memcpy(out.data(), exp_in.data(), kElements * sizeof(double));
        asm volatile("" ::"r"(out.data()) : "memory");
    });
    std::printf("  %-51s %6.2f ns/element (median %6.2f)\n", "reading and writing the arrays", copy.fastest,
                copy.median);

    struct Case {
        const char* function;
        const char* inputs;
        const std::vector<double>* data;
        LibmBatch scalar;
        bool is_exp;
    };
    const Case cases[] = {
        {"exp", "x in [-50, 5]", &exp_in, scalar_exp, true},
        {"log", "x in [0.01, 100], log", &log_in, scalar_log, false},
        {"log", "x in [0.8, 1.25]", &near_one_in, scalar_log, false},
    };
    for (const Case& c : cases) {
        std::printf("%s\n", c.function);
        const Timing scalar = ns_per_element([&] { c.scalar(c.data->data(), out.data(), kElements); });
        report("scalar libm", c.inputs, scalar, scalar);
        for (const ReplicaInstance& r : kestrelfin::test::replica_instances()) {
            char what[64];
            std::snprintf(what, sizeof what, "replica %s", r.name);
            if (!r.runs_here()) {
                std::printf("  %-28s not run: this CPU lacks target(\"%s\")\n", what, r.target);
                continue;
            }
            const LibmBatch batch = c.is_exp ? r.exp : r.log;
            report(what, c.inputs, ns_per_element([&] { batch(c.data->data(), out.data(), kElements); }), scalar);
        }
    }

    std::printf("exp table lookup alone (AVX2, 4 lanes)\n");
    std::vector<std::uint64_t> index(kElements);
    for (std::uint64_t& i : index)
        i = random_bits() & 127;
    volatile double sink = 0;
    const Timing loads = ns_per_element([&] { sink = sink + lookup_by_loads(index.data(), kElements); });
    const Timing gathers = ns_per_element([&] { sink = sink + lookup_by_gathers(index.data(), kElements); });
    std::printf("  %-51s %6.2f ns/element (median %6.2f)\n", "16-byte loads and a transpose", loads.fastest,
                loads.median);
    std::printf("  %-51s %6.2f ns/element (median %6.2f)\n", "two vgatherqpd", gathers.fastest, gathers.median);

    std::printf("run-time check (exp and log, 16384 inputs each)\n");
    {
        const auto t0 = std::chrono::steady_clock::now();
        sink =
            sink + kestrelfin::core::exp_log_check::exp_inputs()[0] + kestrelfin::core::exp_log_check::log_inputs()[0];
        const auto t1 = std::chrono::steady_clock::now();
        std::printf("  %-28s built in %.2f ms (once per process)\n", "the inputs",
                    std::chrono::duration<double, std::milli>(t1 - t0).count());
    }
    for (const ReplicaInstance& r : kestrelfin::test::replica_instances()) {
        if (!r.runs_here())
            continue;
        const auto t0 = std::chrono::steady_clock::now();
        const bool verdict = kestrelfin::core::exp_log_replica_matches(r.exp, r.log);
        const auto t1 = std::chrono::steady_clock::now();
        std::printf("  %-28s %s in %.2f ms\n", r.name, verdict ? "accepted" : "rejected",
                    std::chrono::duration<double, std::milli>(t1 - t0).count());
    }
    return 0;
}
