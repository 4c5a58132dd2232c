// Blocks of lanes that mix calls and puts: every lane equals the scalar
// function for its own kind, bit for bit (NaN results compared as NaN), for
// every closed-form function of the table, whatever the pattern of kinds.
#include <array>
#include <cmath>
#include <cstring>
#include <random>

#include "kernels/operations.hpp"
#include "test_support.hpp"

namespace {

using kestrelfin::core::LaneKinds;
using kestrelfin::core::Lanes;
using kestrelfin::core::OptionKind;
using kestrelfin::core::RawMask;
using kestrelfin::test::bits;

constexpr int W = 4;
using V = Lanes<W>;

template <class Function, std::size_t... J>
void expect_lanes_follow_their_kinds(std::index_sequence<J...>) {
    std::mt19937_64 rng(11);
    std::uniform_real_distribution<double> underlying(40.0, 250.0), time(0.002, 4.0), rate(-0.02, 0.1), vol(0.03, 1.6);
    const auto draw = [&](std::size_t j) {
        const auto parameter = Function::Family::parameters[j + 1];
        if (parameter == "t")
            return time(rng);
        if (parameter == "r" || parameter == "q")
            return rate(rng);
        if (parameter == "sigma")
            return vol(rng);
        return underlying(rng);
    };
    for (int pattern = 0; pattern < (1 << W); ++pattern) {
        for (int trial = 0; trial < 50; ++trial) {
            std::array<std::array<double, W>, sizeof...(J)> numbers;
            for (auto& lanes : numbers) {
                for (double& x : lanes)
                    x = 0.0;
            }
            for (int lane = 0; lane < W; ++lane) {
                ((numbers[J][lane] = draw(J)), ...);
            }
            LaneKinds<W> kinds;
            for (int lane = 0; lane < W; ++lane) {
                kinds.is_call[lane] = (pattern >> lane) & 1 ? -1 : 0;
            }
            const auto as_lanes = [](const std::array<double, W>& x) {
                V v;
                std::memcpy(&v.v, x.data(), sizeof v.v);
                return v;
            };
            const V block = Function::operation(kinds, as_lanes(numbers[J])...);
            for (int lane = 0; lane < W; ++lane) {
                const OptionKind kind = (pattern >> lane) & 1 ? OptionKind::Call : OptionKind::Put;
                const double expected = Function::operation(kind, numbers[J][lane]...);
                if (std::isnan(expected)) {
                    EXPECT_TRUE(std::isnan(block[lane])) << Function::name;
                } else {
                    ASSERT_EQ(bits(block[lane]), bits(expected)) << Function::name << " pattern " << pattern;
                }
            }
        }
    }
}

template <class Function>
void expect_lanes_follow_their_kinds() {
    if constexpr (!Function::Family::flag_last) {
        expect_lanes_follow_their_kinds<Function>(std::make_index_sequence<Function::Family::arity - 1>{});
    }
}

TEST(LaneKinds, EachLaneIsTheScalarFunctionOfItsOwnKind) {
    kestrelfin::kernels::for_each_function([]<class Function>() { expect_lanes_follow_their_kinds<Function>(); });
}

}  // namespace
