// Shared pieces of the "Let's Be Rational" solver's tests: the reference data
// files written by make_rational_vectors.py (mpmath), worst-case bookkeeping,
// and the solver compiled for each kernel path's lanes.
#pragma once

#include <cfloat>
#include <cmath>
#include <cstdio>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "kernels/kernel_paths.hpp"
#include "core/rational_implied_volatility.hpp"
#include "test_support.hpp"

namespace kestrelfin::test {

// The whitespace-separated fields of each record of a data file
// (KESTRELFIN_RATIONAL_DATA/<name>), '#' lines skipped.
inline std::vector<std::vector<std::string>> data_records(const std::string& name) {
    const std::string path = std::string(KESTRELFIN_RATIONAL_DATA) + "/" + name;
    std::ifstream in(path);
    EXPECT_TRUE(in.good()) << "cannot read " << path;
    std::vector<std::vector<std::string>> records;
    std::string line;
    while (std::getline(in, line)) {
        if (line.empty() || line[0] == '#') {
            continue;
        }
        std::istringstream fields(line);
        std::vector<std::string> record;
        for (std::string field; fields >> field;) {
            record.push_back(field);
        }
        records.push_back(record);
    }
    EXPECT_FALSE(records.empty()) << path;
    return records;
}

inline double number(const std::string& field) {
    return std::strtod(field.c_str(), nullptr);
}

// The largest ratio of an error to its bound per group, printed at the end
// of a test: the accuracy figures the tests hold.
struct WorstRatios {
    std::map<std::string, std::pair<double, int>> by_group;  // worst ratio, cases
    void add(const std::string& group, double ratio) {
        auto& [worst, cases] = by_group[group];
        worst = std::fmax(worst, ratio);
        ++cases;
    }
    void print(const char* what) const {
        for (const auto& [group, entry] : by_group) {
            std::printf("[ WORST    ] %s %-14s %8.3g of the bound over %d cases\n", what, group.c_str(), entry.first,
                        entry.second);
        }
    }
};

// One option for the solver.
struct RationalCase {
    core::OptionKind kind;
    core::ImpliedVolInputs in;
};

// The solver over lanes, as each kernel path would run it.
using RationalLanesRun = void (*)(const std::vector<RationalCase>&, std::vector<core::RationalImpliedVol>&);

template <class V>
KESTRELFIN_LANE_INLINE void rational_lanes(const std::vector<RationalCase>& cases,
                                           std::vector<core::RationalImpliedVol>& out) {
    out.resize(cases.size());
    core::rational_implied_volatility_lanes<V>(
        cases.size(), [&](std::size_t i) KESTRELFIN_LANE_LAMBDA { return cases[i].kind; },
        [&](std::size_t i) KESTRELFIN_LANE_LAMBDA { return cases[i].in; },
        [&](std::size_t i, core::RationalImpliedVol r) KESTRELFIN_LANE_LAMBDA { out[i] = r; });
}

KESTRELFIN_AVX2_KERNEL inline void rational_avx2_fused(const std::vector<RationalCase>& c,
                                                       std::vector<core::RationalImpliedVol>& o) {
    rational_lanes<core::Lanes<4, kernels::Avx2FusedMath>>(c, o);
}
KESTRELFIN_AVX2_KERNEL inline void rational_avx2_libm(const std::vector<RationalCase>& c,
                                                      std::vector<core::RationalImpliedVol>& o) {
    rational_lanes<core::Lanes<4, core::LibmCalls>>(c, o);
}
KESTRELFIN_SSE2_KERNEL inline void rational_sse2_unfused(const std::vector<RationalCase>& c,
                                                         std::vector<core::RationalImpliedVol>& o) {
    rational_lanes<core::Lanes<2, kernels::Sse2UnfusedMath>>(c, o);
}
KESTRELFIN_SSE2_KERNEL inline void rational_sse2_libm(const std::vector<RationalCase>& c,
                                                      std::vector<core::RationalImpliedVol>& o) {
    rational_lanes<core::Lanes<2, core::LibmCalls>>(c, o);
}

struct RationalFlavour {
    const char* name;
    RationalLanesRun run;
};

// The lane flavours this process can run: each kernel path's (the replicas
// only where they give this process's libm bits) and AVX2 lanes calling the
// libm, which run wherever the CPU has AVX2 and FMA. Those it cannot run are
// reported once.
inline std::vector<RationalFlavour> find_rational_flavours() {
    std::vector<RationalFlavour> flavours = {{"sse2/libm", &rational_sse2_libm}};
    if (core::exp_log_replica_verified<kernels::exp_batch_sse2_unfused_2, kernels::log_batch_sse2_unfused_2>()) {
        flavours.push_back({"sse2/unfused", &rational_sse2_unfused});
    } else {
        std::printf("[ NOT RUN  ] sse2/unfused: this process's libm is not the build without FMA\n");
    }
    __builtin_cpu_init();
    if (__builtin_cpu_supports("avx2") && __builtin_cpu_supports("fma")) {
        flavours.push_back({"avx2/libm", &rational_avx2_libm});
        if (core::exp_log_replica_verified<kernels::exp_batch_avx2_fused_4, kernels::log_batch_avx2_fused_4>()) {
            flavours.push_back({"avx2/fused", &rational_avx2_fused});
        } else {
            std::printf("[ NOT RUN  ] avx2/fused: this process's libm is not the FMA build\n");
        }
    } else {
        std::printf("[ NOT RUN  ] avx2: this CPU lacks AVX2 or FMA\n");
    }
    return flavours;
}

inline const std::vector<RationalFlavour>& rational_flavours() {
    static const std::vector<RationalFlavour> flavours = find_rational_flavours();
    return flavours;
}

}  // namespace kestrelfin::test
