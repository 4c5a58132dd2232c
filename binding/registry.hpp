// The module's functions in registration order, generated from the table.
#pragma once

#include "binding/families.hpp"
#include "binding/functions.hpp"
#include "binding/python.hpp"
#include "binding/scalar_call.hpp"
#include "core/black76.hpp"
#include "core/black_scholes_merton.hpp"
#include "core/implied_volatility.hpp"

#include <array>
#include <span>
#include <string_view>

namespace kestrelfin::binding {

// The static record of one Python function.
struct FunctionSpec {
    const char* name;
    std::span<const std::string_view> parameters;
    PyCFunctionWithKeywords entry;
    Model model;
    int group;
    bool is_array;
};

namespace table {

#define KESTRELFIN_DEFINE_FUNCTION(group_, name_, family_)      \
    struct name_ {                                              \
        using Family = family_;                                 \
        static constexpr int group = group_;                    \
        static constexpr const char* name = #name_;             \
        static constexpr const char* array_name = #name_ "_array"; \
        static constexpr auto operation = &core::name_;         \
    };
KESTRELFIN_FUNCTIONS(KESTRELFIN_DEFINE_FUNCTION)
#undef KESTRELFIN_DEFINE_FUNCTION

}  // namespace table

template <class Function>
constexpr FunctionSpec scalar_spec() {
    using Family = typename Function::Family;
    return {Function::name, Family::parameters, &scalar_entry<Function>, Family::model, Function::group, false};
}

// One record per row of the table, in the table's order.
inline constexpr std::array kScalarFunctions = {
#define KESTRELFIN_SCALAR_SPEC(group_, name_, family_) scalar_spec<table::name_>(),
    KESTRELFIN_FUNCTIONS(KESTRELFIN_SCALAR_SPEC)
#undef KESTRELFIN_SCALAR_SPEC
};

// All functions in registration order: per model and group, the scalar
// functions and then the array ones.
constexpr auto registration_order() {
    constexpr std::size_t count = kScalarFunctions.size();
    std::array<FunctionSpec, count> ordered{};
    std::size_t next = 0;
    for (Model model : {Model::Black76, Model::BlackScholesMerton, Model::BlackScholes}) {
        for (int group : {1, 2}) {
            for (const FunctionSpec& spec : kScalarFunctions) {
                if (spec.model == model && spec.group == group) {
                    ordered[next++] = spec;
                }
            }
        }
    }
    return ordered;
}

inline constexpr auto kRegistrationOrder = registration_order();

}  // namespace kestrelfin::binding
