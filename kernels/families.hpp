// The six parameter families. A family fixes a function's parameter names
// and order, where `flag` stands, which parameters are per-option arrays in
// the vectorised form, and what an unequal-length error says.
#pragma once

#include "kernels/functions.hpp"

#include <array>
#include <cstddef>
#include <string_view>

namespace kestrelfin::kernels {

template <Model ModelOf, bool FlagLast, std::size_t Arity>
struct FamilyTraits {
    static constexpr Model model = ModelOf;
    // The implied-volatility functions take `flag` last and convert it last.
    static constexpr bool flag_last = FlagLast;
    static constexpr std::size_t arity = Arity;
    static constexpr std::size_t flag_index = FlagLast ? Arity - 1 : 0;
    static constexpr std::size_t first_number = FlagLast ? 0 : 1;
};

struct Black76Greeks : FamilyTraits<Model::Black76, false, 6> {
    static constexpr std::array<std::string_view, arity> parameters{"flag", "F", "K", "t", "r", "sigma"};
    static constexpr std::array<bool, arity> is_array{false, true, true, true, false, true};
    static constexpr const char* length_error = "F, K, t, sigma arrays must have equal length";
};

struct BlackScholesMertonGreeks : FamilyTraits<Model::BlackScholesMerton, false, 7> {
    static constexpr std::array<std::string_view, arity> parameters{"flag", "S", "K", "t", "r", "sigma", "q"};
    static constexpr std::array<bool, arity> is_array{false, true, true, true, false, true, false};
    static constexpr const char* length_error = "S, K, t, sigma arrays must have equal length";
};

struct BlackScholesGreeks : FamilyTraits<Model::BlackScholes, false, 6> {
    static constexpr std::array<std::string_view, arity> parameters{"flag", "S", "K", "t", "r", "sigma"};
    static constexpr std::array<bool, arity> is_array{false, true, true, true, false, true};
    static constexpr const char* length_error = "S, K, t, sigma arrays must have equal length";
};

struct Black76ImpliedVolatility : FamilyTraits<Model::Black76, true, 6> {
    // `r` before `t`, unlike every other Black-76 function.
    static constexpr std::array<std::string_view, arity> parameters{"price", "F", "K", "r", "t", "flag"};
    static constexpr std::array<bool, arity> is_array{true, true, true, false, true, false};
    static constexpr const char* length_error = "price, F, K, t arrays must have equal length";
};

struct BlackScholesMertonImpliedVolatility : FamilyTraits<Model::BlackScholesMerton, true, 7> {
    static constexpr std::array<std::string_view, arity> parameters{"price", "S", "K", "t", "r", "q", "flag"};
    static constexpr std::array<bool, arity> is_array{true, true, true, true, false, false, false};
    static constexpr const char* length_error = "price, S, K, t arrays must have equal length";
};

struct BlackScholesImpliedVolatility : FamilyTraits<Model::BlackScholes, true, 6> {
    static constexpr std::array<std::string_view, arity> parameters{"price", "S", "K", "t", "r", "flag"};
    static constexpr std::array<bool, arity> is_array{true, true, true, true, false, false};
    static constexpr const char* length_error = "price, S, K, t arrays must have equal length";
};

}  // namespace kestrelfin::kernels
