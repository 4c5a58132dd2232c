// The static record of every Python function, in registration order,
// generated from the function table.
#pragma once

#include "lowlevel/array_call.hpp"
#include "kernels/functions.hpp"
#include "kernels/operations.hpp"
#include "cpython/python.hpp"
#include "lowlevel/scalar_call.hpp"

#include <array>
#include <span>
#include <string_view>

namespace kestrelfin::lowlevel {

using kernels::for_each_in_registration_order;
using kernels::FunctionIndex;
using kernels::kRowCount;
namespace table = kernels::table;

// The static record of one Python function.
struct FunctionSpec {
    const char* name;
    std::span<const std::string_view> parameters;
    PyCFunctionWithKeywords entry;
};

template <class Function>
constexpr FunctionSpec scalar_spec() {
    return {Function::name, Function::Family::parameters, &scalar_entry<Function>};
}

template <class Function>
constexpr FunctionSpec array_spec() {
    return {Function::array_name, Function::Family::parameters, &array_entry<Function>};
}

// The record of each row's function in each model and form, indexed
// [model][row][is_array], models in the order of the Model enumeration.
struct RowSpecs {
    FunctionSpec of[3][2];
};

inline constexpr std::array<RowSpecs, kRowCount> kRowSpecs = {
#define KESTRELFIN_ROW_SPECS(group_, lanes_, kind_, quantity_, black76_, bsm_, bs_) \
    RowSpecs{{{scalar_spec<table::black76_>(), array_spec<table::black76_>()},      \
              {scalar_spec<table::bsm_>(), array_spec<table::bsm_>()},              \
              {scalar_spec<table::bs_>(), array_spec<table::bs_>()}}},
    KESTRELFIN_FUNCTIONS(KESTRELFIN_ROW_SPECS)
#undef KESTRELFIN_ROW_SPECS
};

// All 102 functions in registration order.
constexpr auto registration_order() {
    std::array<FunctionSpec, 3 * 2 * kRowCount> ordered{};
    std::size_t next = 0;
    for_each_in_registration_order(
        [&](FunctionIndex f) { ordered[next++] = kRowSpecs[f.row].of[static_cast<int>(f.model)][f.is_array ? 1 : 0]; });
    return ordered;
}

inline constexpr auto kRegistrationOrder = registration_order();

}  // namespace kestrelfin::lowlevel
