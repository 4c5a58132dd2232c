// The module's functions in registration order, generated from the table.
#pragma once

#include "binding/array_call.hpp"
#include "binding/operations.hpp"
#include "binding/python.hpp"
#include "binding/scalar_call.hpp"

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

template <class Function>
constexpr FunctionSpec scalar_spec() {
    using Family = typename Function::Family;
    return {Function::name, Family::parameters, &scalar_entry<Function>, Family::model, Function::group, false};
}

template <class Function>
constexpr FunctionSpec array_spec() {
    using Family = typename Function::Family;
    return {Function::array_name, Family::parameters, &array_entry<Function>, Family::model, Function::group, true};
}

// Two records per row of the table, the scalar function and its array twin,
// in the table's order.
inline constexpr std::array kFunctions = {
#define KESTRELFIN_SPECS(group_, name_, family_, twin_) scalar_spec<table::name_>(), array_spec<table::name_>(),
    KESTRELFIN_FUNCTIONS(KESTRELFIN_SPECS)
#undef KESTRELFIN_SPECS
};

// All functions in registration order: per model and group, the scalar
// functions and then the array ones.
constexpr auto registration_order() {
    std::array<FunctionSpec, kFunctions.size()> ordered{};
    std::size_t next = 0;
    for (Model model : {Model::Black76, Model::BlackScholesMerton, Model::BlackScholes}) {
        for (int group : {1, 2}) {
            for (bool is_array : {false, true}) {
                for (const FunctionSpec& spec : kFunctions) {
                    if (spec.model == model && spec.group == group && spec.is_array == is_array) {
                        ordered[next++] = spec;
                    }
                }
            }
        }
    }
    return ordered;
}

inline constexpr auto kRegistrationOrder = registration_order();

}  // namespace kestrelfin::binding
