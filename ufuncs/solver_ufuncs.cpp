// The implied-volatility ufuncs with a choice of solver (solver_ufuncs.hpp).
#include "ufuncs/solver_ufuncs.hpp"

#include "cpython/py_ref.hpp"
#include "kernels/operations.hpp"
#include "kernels/solver_loops.hpp"
#include "ufuncs/numpy_headers.hpp"
#include "ufuncs/shared_loops.hpp"

#include <array>
#include <cfenv>
#include <cstddef>
#include <string>
#include <string_view>

namespace kestrelfin::ufuncs {
namespace {

using cpython::PyRef;

void* kNoData[] = {nullptr};

// As every ufunc of the module: the status flags the solver raised on the way
// to ordinary results are cleared before NumPy reads them.
template <class Function, class Solver, bool WithReason>
void loop(char** args, const npy_intp* dimensions, const npy_intp* steps, void* data) {
    kernels::solver_ufunc_loop<Function, Solver, WithReason>(args, dimensions, steps, data);
    std::feclearexcept(FE_ALL_EXCEPT);
}

// NumPy keeps the name, loop, data and type arrays for the life of the ufunc.
template <class Function, class Solver, bool WithReason>
PyObject* make_ufunc() {
    constexpr std::size_t numbers = kernels::kNumberCount<Function>;
    constexpr std::size_t outputs = WithReason ? 2 : 1;
    // Long loops are shared with the pool as every other ufunc's: each
    // option is solved on its own, whatever chunk or lane it falls in.
    static PyUFuncGenericFunction loops[] = {
        &shared_loop<&loop<Function, Solver, WithReason>, static_cast<int>(1 + numbers), static_cast<int>(outputs),
                     kShareImpliedVolatilityFrom>};
    static constexpr auto types = [] {
        std::array<char, 1 + numbers + outputs> made{};
        made[0] = NPY_BOOL;
        for (std::size_t i = 1; i <= numbers; ++i) {
            made[i] = NPY_DOUBLE;
        }
        made[1 + numbers] = NPY_DOUBLE;
        if constexpr (WithReason) {
            made[2 + numbers] = NPY_INT8;
        }
        return made;
    }();
    static const std::string name = std::string(Function::name) + Solver::suffix + (WithReason ? "_reason" : "");
    return PyUFunc_FromFuncAndData(
        loops, kNoData, types.data(), 1, static_cast<int>(1 + numbers), static_cast<int>(outputs), PyUFunc_None,
        name.c_str(),
        WithReason ? "The implied volatility of each option (float64) and its reason code (int8, kestrelfin.IVReason)."
                   : "The implied volatility of each option by \"Let's Be Rational\" (float64).",
        0);
}

// Each ufunc is also an attribute of the module under its own name (NumPy
// pickles a ufunc by name: how Dask sends it to other processes).
PyRef added(PyObject* module, PyObject* made) {
    PyRef ufunc = PyRef::steal(made);
    if (!ufunc) {
        return ufunc;
    }
    PyRef name = PyRef::steal(PyObject_GetAttrString(ufunc.get(), "__name__"));
    if (!name || PyObject_SetAttr(module, name.get(), ufunc.get()) < 0) {
        return PyRef();
    }
    return ufunc;
}

PyRef attribute(PyObject* module, const std::string& name) {
    return PyRef::steal(PyObject_GetAttrString(module, name.c_str()));
}

bool append_record(PyObject* records, const char* name, const char* method, PyRef ufunc, PyRef reason_ufunc,
                   PyRef one_option) {
    if (!ufunc || !reason_ufunc || !one_option) {
        return false;
    }
    PyRef record =
        PyRef::steal(Py_BuildValue("(ssOOO)", name, method, ufunc.get(), reason_ufunc.get(), one_option.get()));
    return record && PyList_Append(records, record.get()) == 0;
}

template <class Function>
bool add_function(PyObject* module, PyObject* records) {
    using kernels::NewtonSolver;
    using kernels::RationalSolver;
    const std::string name = Function::name;
    return append_record(records, Function::name, "rational",
                         added(module, make_ufunc<Function, RationalSolver, false>()),
                         added(module, make_ufunc<Function, RationalSolver, true>()),
                         attribute(module, name + "_rational_or_nan")) &&
           append_record(records, Function::name, "newton", attribute(module, name),
                         added(module, make_ufunc<Function, NewtonSolver, true>()),
                         attribute(module, name + "_or_nan"));
}

constexpr const char* kReasonNames[] = {
    "OK", "AT_INTRINSIC", "BELOW_INTRINSIC", "AT_OR_ABOVE_MAXIMUM", "INVALID_INPUT", "NOT_CONVERGED"};
static_assert(std::size(kReasonNames) == static_cast<std::size_t>(kernels::IVReason::NotConverged) + 1);

}  // namespace

bool add_solver_ufuncs(PyObject* module) {
    PyRef records = PyRef::steal(PyList_New(0));
    if (!records) {
        return false;
    }
    bool ok = true;
    kernels::for_each_function([&]<class Function>() {
        if constexpr (kernels::SolvesImpliedVolatility<Function>) {
            ok = ok && add_function<Function>(module, records.get());
        }
    });
    if (!ok) {
        return false;
    }
    PyRef frozen = PyRef::steal(PyList_AsTuple(records.get()));
    if (!frozen || PyModule_AddObjectRef(module, "IMPLIED_VOLATILITY_METHODS", frozen.get()) < 0) {
        return false;
    }
    PyRef reasons = PyRef::steal(PyTuple_New(std::size(kReasonNames)));
    if (!reasons) {
        return false;
    }
    for (std::size_t code = 0; code < std::size(kReasonNames); ++code) {
        PyObject* item = PyUnicode_FromString(kReasonNames[code]);
        if (item == nullptr || PyTuple_SetItem(reasons.get(), static_cast<Py_ssize_t>(code), item) < 0) {
            return false;
        }
    }
    return PyModule_AddObjectRef(module, "REASONS", reasons.get()) == 0;
}

}  // namespace kestrelfin::ufuncs
