// The one table of the module's functions.
//
// One row per quantity, with, in order:
//   group      1 for the price, the implied volatility and the first-order
//              Greeks, 2 for the higher-order and strike Greeks;
//   avx2_lanes how many options one AVX2 block of the array function
//              evaluates together: 8 for the formulas built on the density
//              alone (a wider block hides more latency), 4 for those that
//              evaluate the normal distribution function (whose ranges a
//              wider block would more often have to evaluate all together)
//              and for the implied-volatility solver;
//   kind       Greeks (parameters flag, S or F, K, t, r, sigma[, q]) or
//              ImpliedVolatility (price, S or F, K, t or r ..., flag): with
//              the model it names the parameter family (families.hpp);
//   quantity   what the row computes, the same in every model: the name of
//              the kestrelfin package's function (bs.price, bsm.delta) and
//              the key of the quantity's texts (texts/quantities.py);
//   and the function of each model: Black-76, Black-Scholes-Merton,
//   Black-Scholes.
// Each Black-76 and Black-Scholes-Merton function calls the pricing-core
// operation of its own name. Every Black-Scholes function is its
// Black-Scholes-Merton counterpart (same row) called with q = 0.0, so that
// the two agree to the last bit (operations.hpp applies this rule). Every
// function also has an array form, named with the suffix "_array".
//
// Registration order (the order of the module's __all__, and of the stub):
// model by model in the order of kModelOrder; within a model group 1, then
// group 2; within a group the scalar functions, then their array forms;
// each in the order of the rows below. for_each_in_registration_order()
// states it in code for every place that needs it.
#pragma once

#include <array>
#include <cstddef>
#include <string_view>

// clang-format off: one row per line, in columns
#define KESTRELFIN_FUNCTIONS(X)                                                                                     \
    /* group lanes kind      quantity            Black-76                    Black-Scholes-Merton  Black-Scholes */ \
    X(1, 4, Greeks, price, black76_black, bsm_black_scholes_merton, bs_black_scholes)                               \
    X(1, 4, ImpliedVolatility, implied_volatility, black76_implied_volatility, bsm_implied_volatility,              \
      bs_implied_volatility)                                                                                        \
    X(1, 4, Greeks, delta, black76_delta, bsm_delta, bs_delta)                                                      \
    X(1, 8, Greeks, gamma, black76_gamma, bsm_gamma, bs_gamma)                                                      \
    X(1, 8, Greeks, vega, black76_vega, bsm_vega, bs_vega)                                                          \
    X(1, 4, Greeks, theta, black76_theta, bsm_theta, bs_theta)                                                      \
    X(1, 4, Greeks, rho, black76_rho, bsm_rho, bs_rho)                                                              \
    X(2, 8, Greeks, vanna, black76_vanna, bsm_vanna, bs_vanna)                                                      \
    X(2, 4, Greeks, charm, black76_charm, bsm_charm, bs_charm)                                                      \
    X(2, 8, Greeks, vomma, black76_vomma, bsm_vomma, bs_vomma)                                                      \
    X(2, 8, Greeks, speed, black76_speed, bsm_speed, bs_speed)                                                      \
    X(2, 8, Greeks, zomma, black76_zomma, bsm_zomma, bs_zomma)                                                      \
    X(2, 8, Greeks, color, black76_color, bsm_color, bs_color)                                                      \
    X(2, 8, Greeks, veta, black76_veta, bsm_veta, bs_veta)                                                          \
    X(2, 8, Greeks, ultima, black76_ultima, bsm_ultima, bs_ultima)                                                  \
    X(2, 4, Greeks, dual_delta, black76_dual_delta, bsm_dual_delta, bs_dual_delta)                                  \
    X(2, 8, Greeks, dual_gamma, black76_dual_gamma, bsm_dual_gamma, bs_dual_gamma)
// clang-format on

namespace kestrelfin::kernels {

enum class Model : unsigned char { Black76, BlackScholesMerton, BlackScholes };

// The models in registration order.
inline constexpr std::array<Model, 3> kModelOrder = {Model::Black76, Model::BlackScholesMerton, Model::BlackScholes};

// How the functions and texts name each model: its name is the prefix of
// its functions' names (with "_") and the kestrelfin package's namespace.
struct ModelNames {
    std::string_view name;
    std::string_view title;
    std::string_view underlying;  // the parameter the model is written on
};
constexpr ModelNames names_of(Model model) {
    switch (model) {
        case Model::Black76:
            return {"black76", "Black-76", "F"};
        case Model::BlackScholesMerton:
            return {"bsm", "Black-Scholes-Merton", "S"};
        case Model::BlackScholes:
            break;
    }
    return {"bs", "Black-Scholes", "S"};
}

inline constexpr std::size_t kRowCount = 0
#define KESTRELFIN_COUNT_ROW(...) +1
    KESTRELFIN_FUNCTIONS(KESTRELFIN_COUNT_ROW)
#undef KESTRELFIN_COUNT_ROW
    ;

inline constexpr std::array<int, kRowCount> kRowGroups = {
#define KESTRELFIN_ROW_GROUP(group_, ...) group_,
    KESTRELFIN_FUNCTIONS(KESTRELFIN_ROW_GROUP)
#undef KESTRELFIN_ROW_GROUP
};

// One Python function: a row of the table in one model, in one form.
struct FunctionIndex {
    Model model;
    std::size_t row;
    bool is_array;
};

// Calls visit(FunctionIndex) for the 102 functions in registration order.
template <class Visit>
constexpr void for_each_in_registration_order(Visit&& visit) {
    for (Model model : kModelOrder) {
        for (int group : {1, 2}) {
            for (bool is_array : {false, true}) {
                for (std::size_t row = 0; row < kRowCount; ++row) {
                    if (kRowGroups[row] == group) {
                        visit(FunctionIndex{model, row, is_array});
                    }
                }
            }
        }
    }
}

}  // namespace kestrelfin::kernels
