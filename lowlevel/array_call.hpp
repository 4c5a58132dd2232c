// The array call protocol: the array form of every scalar function.
//
// Arguments are matched and converted in parameter order exactly as the
// scalar call does, array parameters becoming read views; then the flag is
// parsed, contiguity and lengths are checked, one buffer of n doubles is
// allocated and filled by the element loop (kernels/element_loops.hpp),
// every element the scalar function's result. Nothing in the element loop
// can fail, so a result is either complete or not made at all.
#pragma once

#include "kernels/element_loops.hpp"
#include "lowlevel/arguments.hpp"
#include "lowlevel/numpy_access.hpp"
#include "core/implied_volatility.hpp"

#include <array>
#include <cstddef>
#include <limits>
#include <optional>
#include <utility>

namespace kestrelfin::lowlevel {

using kernels::ContiguousOutput;
using kernels::fill_all;
using kernels::UniformKind;

// The converted arguments of one array call, indexed by parameter. Views are
// destroyed (their borrows released) in reverse parameter order, the last
// acquired first.
template <class Family>
struct ArrayArguments {
    static constexpr std::size_t arity = Family::arity;
    std::array<std::optional<Float64ArrayView>, arity> views;
    std::array<double, arity> scalars{};
    std::string_view flag;

    // The numbers as the element loop reads them: the settled arrays' data
    // and the single values.
    kernels::FamilyNumbers<Family> numbers() const noexcept {
        kernels::FamilyNumbers<Family> numbers;
        for (std::size_t slot = 0; slot < arity; ++slot) {
            numbers.data[slot] = views[slot] ? views[slot]->data() : reinterpret_cast<const char*>(&scalars[slot]);
        }
        return numbers;
    }
};

template <class Function>
PyObject* call_array(PyObject* args, PyObject* kwargs) {
    using Family = typename Function::Family;
    constexpr std::size_t arity = Family::arity;

    const MatchedArguments<arity> slots(Function::array_name, Family::parameters, args, kwargs);

    ArrayArguments<Family> in;
    for (std::size_t slot = 0; slot < arity; ++slot) {
        const char* name = Family::parameters[slot].data();
        if (slot == Family::flag_index) {
            in.flag = convert_text(slots[slot], name);
        } else if (Family::is_array[slot]) {
            in.views[slot].emplace(slots[slot], name);
        } else {
            in.scalars[slot] = convert_number(slots[slot], name);
        }
    }
    const core::OptionKind kind = parse_flag(in.flag);

    // No Python code runs from here on: the arrays hold still.
    for (auto& view : in.views) {
        if (view) {
            view->settle();
        }
    }
    for (const auto& view : in.views) {
        if (view && !view->contiguous()) {
            fail(ErrorClass::TypeError, "The given array is not contiguous");
        }
    }
    std::size_t n = 0;
    bool first_array = true;
    for (const auto& view : in.views) {
        if (!view) {
            continue;
        }
        if (first_array) {
            n = view->size();
            first_array = false;
        } else if (view->size() != n) {
            fail(ErrorClass::ValueError, Family::length_error);
        }
    }

    ResultBuffer buffer = allocate_result(n);
    fill_all<Function>(UniformKind{kind}, in.numbers(), ContiguousOutput{buffer.get()}, kernels::Range{0, n});
    return new_result_array(std::move(buffer), n);
}

template <class Function>
PyObject* array_entry(PyObject* /*module*/, PyObject* args, PyObject* kwargs) noexcept {
    return contain([&] { return call_array<Function>(args, kwargs); });
}

}  // namespace kestrelfin::lowlevel
