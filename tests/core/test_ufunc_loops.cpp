// The inner loops of the kestrelfin package's ufuncs against the scalar
// functions, bit for bit, for every function of the table.
//
// NumPy hands a loop operands of any layout: contiguous, with gaps, broadcast
// (stride 0), reversed (negative stride) or at odd byte offsets, and a kind
// operand of bools in which any nonzero byte is a call. Whatever the loop's
// body does, every element must be the _kestrelfin scalar function's result
// (scalar_operation, an unsolvable implied volatility as the quiet NaN), and
// every output of a greeks loop the separate function's, NaN payloads
// included.
#include <array>
#include <cstdint>
#include <cstring>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "test_support.hpp"

#include "kernels/element_loops.hpp"
#include "kernels/greeks_loops.hpp"
#include "kernels/strided_loops.hpp"

namespace {

using kestrelfin::core::OptionKind;
using kestrelfin::test::bits;
namespace kernels = kestrelfin::kernels;

constexpr std::intptr_t kCount = 203;  // not a multiple of any block width

double nan_with_payload(std::uint64_t payload) {
    const std::uint64_t pattern = 0x7FF8000000000000ULL | payload;
    double value;
    std::memcpy(&value, &pattern, sizeof value);
    return value;
}

// One operand in a buffer of its own, laid out as NumPy might hand it over.
struct Operand {
    enum class Layout { Contiguous, Gapped, Broadcast, Reversed, Unaligned };
    std::vector<char> storage;
    char* start = nullptr;
    std::intptr_t step = 0;

    Operand(Layout layout, std::size_t item, std::intptr_t n) {
        storage.assign(static_cast<std::size_t>(n) * item * 3 + 16, 0);
        switch (layout) {
            case Layout::Contiguous:
                start = storage.data();
                step = static_cast<std::intptr_t>(item);
                break;
            case Layout::Gapped:
                start = storage.data();
                step = static_cast<std::intptr_t>(3 * item);
                break;
            case Layout::Broadcast:
                start = storage.data();
                step = 0;
                break;
            case Layout::Reversed:
                start = storage.data() + (n - 1) * static_cast<std::intptr_t>(item);
                step = -static_cast<std::intptr_t>(item);
                break;
            case Layout::Unaligned:
                start = storage.data() + 1;
                step = static_cast<std::intptr_t>(item);
                break;
        }
    }
    char* at(std::intptr_t i) { return start + i * step; }
};

constexpr Operand::Layout kLayouts[] = {Operand::Layout::Contiguous, Operand::Layout::Gapped,
                                        Operand::Layout::Broadcast, Operand::Layout::Reversed,
                                        Operand::Layout::Unaligned};

// Ordinary values of the parameter, one in five a value where a formula
// breaks down (a NaN with a payload of its own among them).
double draw(std::mt19937_64& rng, std::size_t parameter) {
    static const double kSpecial[] = {
        0.0, -0.0, 1e-300, 1e300, -1.0, std::numeric_limits<double>::infinity(), nan_with_payload(0x123)};
    std::uniform_real_distribution<double> uniform(0.01, 1.5);
    if (rng() % 5 == 0) {
        return kSpecial[rng() % std::size(kSpecial)];
    }
    // Prices, underlyings and strikes around 100; times, rates, volatilities small.
    return parameter < 3 ? 60.0 + 60.0 * uniform(rng) : uniform(rng) * (parameter == 3 ? 2.0 : 0.3);
}

// The operands of one ufunc call: kinds, numbers, results in the given
// layouts; returns the numbers and kinds it wrote, element by element.
struct Call {
    std::vector<Operand> operands;
    std::vector<std::vector<double>> numbers;  // [element][number]
    std::vector<OptionKind> kinds;

    Call(std::size_t number_count, std::size_t result_count, unsigned seed) {
        std::mt19937_64 rng(seed);
        for (std::size_t k = 0; k < 1 + number_count + result_count; ++k) {
            const std::size_t item = k == 0 ? 1 : sizeof(double);
            operands.emplace_back(kLayouts[(seed + k) % std::size(kLayouts)], item, kCount);
        }
        numbers.assign(kCount, std::vector<double>(number_count));
        kinds.resize(kCount);
        for (std::intptr_t i = 0; i < kCount; ++i) {
            // A bool byte: 0 a put, any other value a call.
            const unsigned char kind = static_cast<unsigned char>(rng() % 3);
            *reinterpret_cast<unsigned char*>(operands[0].at(i)) = kind;
            for (std::size_t j = 0; j < number_count; ++j) {
                const double value = draw(rng, j);
                std::memcpy(operands[1 + j].at(i), &value, sizeof value);
            }
        }
        // Read back what the layouts hold (a broadcast operand holds its last write).
        for (std::intptr_t i = 0; i < kCount; ++i) {
            kinds[i] = *reinterpret_cast<unsigned char*>(operands[0].at(i)) != 0 ? OptionKind::Call : OptionKind::Put;
            for (std::size_t j = 0; j < number_count; ++j) {
                std::memcpy(&numbers[i][j], operands[1 + j].at(i), sizeof(double));
            }
        }
    }

    template <class Loop>
    void run(Loop loop) {
        std::vector<char*> args;
        std::vector<std::intptr_t> steps;
        for (Operand& operand : operands) {
            args.push_back(operand.start);
            steps.push_back(operand.step);
        }
        const std::intptr_t dimensions[1] = {kCount};
        loop(args.data(), dimensions, steps.data(), nullptr);
    }

    double result(std::size_t k, std::intptr_t i) {
        double value;
        std::memcpy(&value, operands[k].at(i), sizeof value);
        return value;
    }
};

template <class Function, std::size_t... J>
double expected_of(OptionKind kind, const std::vector<double>& x, std::index_sequence<J...>) {
    return kernels::element_value(kernels::scalar_operation<Function>(kind, x[J]...));
}

template <class Function>
void check_function(unsigned seed) {
    constexpr std::size_t numbers = kernels::kNumberCount<Function>;
    Call call(numbers, 1, seed);
    call.run(&kernels::ufunc_loop<Function>);
    // A broadcast result operand holds the last element only.
    const bool broadcast_result = call.operands[1 + numbers].step == 0;
    for (std::intptr_t i = broadcast_result ? kCount - 1 : 0; i < kCount; ++i) {
        const double expected =
            expected_of<Function>(call.kinds[i], call.numbers[i], std::make_index_sequence<numbers>{});
        ASSERT_EQ(bits(call.result(1 + numbers, i)), bits(expected))
            << Function::name << " element " << i << " seed " << seed;
    }
}

TEST(UfuncLoops, EveryFunctionEqualsItsScalarFunctionInEveryLayout) {
    for (unsigned seed = 0; seed < 10; ++seed) {
        kernels::for_each_function([seed]<class Function>() { check_function<Function>(seed); });
    }
}

// The separate functions' results for one option, in the table's order of
// the model's Greeks rows (every row but the implied volatility).
template <kernels::Model M, std::size_t... Rows>
std::vector<double> separate_results(OptionKind kind, const std::vector<double>& x, std::index_sequence<Rows...>) {
    std::vector<double> results;
    (
        [&] {
            using Function = kernels::FunctionAt<M, Rows>;
            if constexpr (!kernels::SolvesImpliedVolatility<Function>) {
                results.push_back(
                    expected_of<Function>(kind, x, std::make_index_sequence<kernels::kNumberCount<Function>>{}));
            }
        }(),
        ...);
    return results;
}

template <kernels::Model M>
std::vector<double> separate_results(OptionKind kind, const std::vector<double>& x) {
    return separate_results<M>(kind, x, std::make_index_sequence<kernels::kRowCount>{});
}

template <kernels::Model M>
void check_greeks(unsigned seed) {
    using AllGreeks = kernels::AllGreeksOf<M>;
    constexpr std::size_t numbers = kernels::kNumberCount<typename AllGreeks::Price>;
    Call call(numbers, kernels::kGreekCount, seed);
    call.run(&kernels::greeks_loop<AllGreeks>);
    for (std::intptr_t i = 0; i < kCount; ++i) {
        const std::vector<double> expected = separate_results<M>(call.kinds[i], call.numbers[i]);
        ASSERT_EQ(expected.size(), kernels::kGreekCount);
        for (std::size_t g = 0; g < kernels::kGreekCount; ++g) {
            const std::size_t k = 1 + numbers + g;
            // A broadcast result operand holds the last element only.
            if (call.operands[k].step == 0 && i != kCount - 1) {
                continue;
            }
            ASSERT_EQ(bits(call.result(k, i)), bits(expected[g]))
                << AllGreeks::name << " output " << g << " element " << i << " seed " << seed;
        }
    }
}

TEST(UfuncLoops, EveryGreeksOutputEqualsTheSeparateFunction) {
    for (unsigned seed = 0; seed < 10; ++seed) {
        check_greeks<kernels::Model::Black76>(seed);
        check_greeks<kernels::Model::BlackScholesMerton>(seed);
        check_greeks<kernels::Model::BlackScholes>(seed);
    }
}

// The greeks pass's results come in the order of the model's Greeks rows:
// the price first, then delta, ..., dual gamma, as core::Greeks has them.
TEST(UfuncLoops, GreeksOutputsAreInTheOrderOfTheGreeksStruct) {
    const std::vector<double> x = {101.0, 95.0, 0.5, 0.03, 0.25, 0.01};
    const auto all = kestrelfin::core::bsm_greeks(OptionKind::Put, x[0], x[1], x[2], x[3], x[4], x[5]);
    std::array<double, kernels::kGreekCount> fields;
    std::memcpy(fields.data(), &all, sizeof all);
    const std::vector<double> separate = separate_results<kernels::Model::BlackScholesMerton>(OptionKind::Put, x);
    for (std::size_t g = 0; g < kernels::kGreekCount; ++g) {
        EXPECT_EQ(bits(fields[g]), bits(separate[g])) << "output " << g;
    }
}

}  // namespace
