// The one-option implied volatility of kestrelfin._ufuncs
// (solver_entries.hpp).
#include "ufuncs/solver_entries.hpp"

#include "cpython/py_ref.hpp"
#include "kernels/element_loops.hpp"
#include "kernels/flag_kind.hpp"
#include "kernels/messages.hpp"
#include "kernels/operations.hpp"
#include "kernels/solver_loops.hpp"
#include "ufuncs/flags.hpp"

#include <array>
#include <cstddef>
#include <string>
#include <utility>

namespace kestrelfin::ufuncs {
namespace {

using cpython::PyRef;

template <class Function, class Solver, std::size_t... J>
auto solve(core::OptionKind kind, const std::array<double, sizeof...(J)>& numbers, std::index_sequence<J...>) noexcept {
    return Solver::template one<Function>(kind, numbers[J]...);
}

// The reason code of an entry: the Newton solver's own (its ImpliedVolError,
// as _kestrelfin's texts are ordered), the rational solver's IVReason.
inline int code_of(const core::ImpliedVol& outcome) noexcept {
    return static_cast<int>(outcome.error);
}
inline int code_of(const core::RationalImpliedVol& outcome) noexcept {
    return static_cast<int>(kernels::reason_of(outcome));
}

// The entry of one function and solver: WithReason adds the reason code.
template <class Function, class Solver, bool WithReason>
PyObject* entry(PyObject* /*module*/, PyObject* const* args, Py_ssize_t count) noexcept {
    using Family = typename Function::Family;
    constexpr std::size_t numbers = kernels::kNumberCount<Function>;
    if (count != static_cast<Py_ssize_t>(Family::arity)) {
        PyErr_Format(PyExc_TypeError, "%s takes %d positional arguments (%zd given)", Function::name,
                     static_cast<int>(Family::arity), count);
        return nullptr;
    }
    std::array<double, numbers> x;
    for (std::size_t j = 0; j < numbers; ++j) {
        x[j] = PyFloat_AsDouble(args[Family::first_number + j]);
        if (x[j] == -1.0 && PyErr_Occurred() != nullptr) {
            return nullptr;
        }
    }
    PyObject* flag = args[Family::flag_index];
    if (!PyUnicode_Check(flag)) {
        PyErr_SetString(PyExc_TypeError, "flag must be a str");
        return nullptr;
    }
    Py_ssize_t size = 0;
    const char* text = PyUnicode_AsUTF8AndSize(flag, &size);
    if (text == nullptr) {
        return nullptr;
    }
    const auto kind = size > 0 ? kernels::kind_of_first_character(static_cast<unsigned char>(text[0])) : std::nullopt;
    if (!kind) {
        if (PyObject* error = new_flag_error({text, static_cast<std::size_t>(size)})) {
            PyErr_SetRaisedException(error);
        }
        return nullptr;
    }
    const auto outcome = solve<Function, Solver>(*kind, x, std::make_index_sequence<numbers>{});
    const double volatility = kernels::volatility_of(outcome);
    if constexpr (WithReason) {
        return Py_BuildValue("(di)", volatility, code_of(outcome));
    } else {
        return PyFloat_FromDouble(volatility);
    }
}

// The entries of every implied-volatility function of the table, for each
// solver; names and records live as long as the functions that point at them.
constexpr std::size_t kEntryCount = 2 * 2 * 3;
struct Entries {
    std::array<std::string, kEntryCount> names;
    std::array<PyMethodDef, kEntryCount + 1> methods{};
};

template <class Function, class Solver>
void add_entries_of(Entries& made, std::size_t& next, const std::string& prefix) {
    made.names[next] = prefix + "_or_nan";
    made.names[next + 1] = prefix + "_outcome";
    made.methods[next] = {made.names[next].c_str(),
                          reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&entry<Function, Solver, false>)),
                          METH_FASTCALL, "The volatility, or NaN where none gives the price."};
    made.methods[next + 1] = {
        made.names[next + 1].c_str(),
        reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&entry<Function, Solver, true>)), METH_FASTCALL,
        "The volatility (NaN where none gives the price) and the reason code."};
    next += 2;
}

Entries& entries() {
    static Entries all = [] {
        Entries made;
        std::size_t next = 0;
        kernels::for_each_function([&]<class Function>() {
            if constexpr (kernels::SolvesImpliedVolatility<Function>) {
                add_entries_of<Function, kernels::NewtonSolver>(made, next, Function::name);
                add_entries_of<Function, kernels::RationalSolver>(made, next,
                                                                  std::string(Function::name) + "_rational");
            }
        });
        return made;
    }();
    return all;
}

}  // namespace

bool add_solver_entries(PyObject* module) {
    if (PyModule_AddFunctions(module, entries().methods.data()) < 0) {
        return false;
    }
    PyRef outcomes = PyRef::steal(PyTuple_New(std::size(kernels::messages::kSolverOutcomes)));
    if (!outcomes) {
        return false;
    }
    for (std::size_t code = 0; code < std::size(kernels::messages::kSolverOutcomes); ++code) {
        const std::string_view text = kernels::messages::solver_failure(kernels::messages::kSolverOutcomes[code]);
        PyObject* item = PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size()));
        if (item == nullptr || PyTuple_SetItem(outcomes.get(), static_cast<Py_ssize_t>(code), item) < 0) {
            return false;
        }
    }
    return PyModule_AddObjectRef(module, "SOLVER_OUTCOMES", outcomes.get()) == 0;
}

}  // namespace kestrelfin::ufuncs
