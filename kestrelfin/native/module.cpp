// kestrelfin._ufuncs: one NumPy ufunc per function of the table, made from
// the same core templates as _kestrelfin, plus one greeks ufunc per model and
// the reading of object arrays of flags.
//
// The module exposes the table itself, so that the package's Python layer
// needs no list of functions of its own:
//   FUNCTIONS    tuple of (model, quantity, name, parameters, ufunc), the
//                functions of the table model by model (black76, bsm, bs),
//                each model's rows in the table's order; `name` is the
//                _kestrelfin function's, `parameters` its parameter names;
//   GREEKS       tuple of (model, parameters, ufunc): the price and the
//                fifteen Greeks in one pass, with the price function's
//                parameters;
//   GREEK_NAMES  the sixteen quantities the greeks ufuncs return, in order;
// and each ufunc under its own name (bs_delta, ..., bs_greeks).
// Every ufunc takes the option kind as a bool `is_call` (True = call) and then
// the function's numbers, in its parameter order without `flag`, all
// float64; NumPy broadcasts and casts the operands.
#include "binding/families.hpp"
#include "binding/functions.hpp"
#include "binding/operations.hpp"
#include "binding/py_ref.hpp"
#include "binding/quantities.hpp"
#include "kestrelfin/native/flags.hpp"
#include "kestrelfin/native/greeks_loops.hpp"
#include "kestrelfin/native/numpy.hpp"
#include "kestrelfin/native/ufunc_loops.hpp"

#include <array>
#include <cfenv>
#include <cstddef>
#include <cstdint>
#include <new>
#include <span>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>

namespace kestrelfin::ufuncs {
namespace {

using binding::Model;
using binding::PyRef;

static_assert(std::is_same_v<npy_intp, std::intptr_t>, "the loops take NumPy's npy_intp as std::intptr_t");

// The operand types of a loop: the kind, the numbers, the results.
template <std::size_t Numbers, std::size_t Results>
constexpr std::array<char, 1 + Numbers + Results> operand_types() {
    std::array<char, 1 + Numbers + Results> types{};
    types[0] = NPY_BOOL;
    for (std::size_t i = 1; i < types.size(); ++i) {
        types[i] = NPY_DOUBLE;
    }
    return types;
}

void* kNoData[] = {nullptr};

// Out-of-domain inputs give the formula's IEEE-754 result (NaN, an infinity,
// a signed zero), which is the answer, as in _kestrelfin, not a condition to
// warn about; and the implied-volatility solver overflows or divides by zero
// on the way to ordinary results. So the floating-point status flags that the
// element loop raised are cleared before NumPy reads them, and no call warns.
template <PyUFuncGenericFunction Loop>
void without_status_flags(char** args, const npy_intp* dimensions, const npy_intp* steps, void* data) {
    Loop(args, dimensions, steps, data);
    std::feclearexcept(FE_ALL_EXCEPT);
}

constexpr const char* kUfuncDoc =
    "The element loop behind the kestrelfin function of this name: is_call (bool, True for a call), then "
    "the function's numbers as float64; returns float64.";

// NumPy keeps the loop, data and type arrays it is given for the life of the
// ufunc, so each lives in static storage.
template <class Function>
PyObject* make_ufunc() {
    static PyUFuncGenericFunction loops[] = {&without_status_flags<&ufunc_loop<Function>>};
    static constexpr auto types = operand_types<kNumberCount<Function>, 1>();
    return PyUFunc_FromFuncAndData(loops, kNoData, types.data(), 1, static_cast<int>(1 + kNumberCount<Function>), 1,
                                   PyUFunc_None, Function::name, kUfuncDoc, 0);
}

template <class AllGreeks>
PyObject* make_greeks_ufunc(const char* name) {
    static PyUFuncGenericFunction loops[] = {&without_status_flags<&greeks_loop<AllGreeks>>};
    static constexpr auto types = operand_types<AllGreeks::numbers, kGreekCount>();
    return PyUFunc_FromFuncAndData(loops, kNoData, types.data(), 1, static_cast<int>(1 + AllGreeks::numbers),
                                   static_cast<int>(kGreekCount), PyUFunc_None, name,
                                   "The price and the fifteen Greeks of each option in one pass.", 0);
}

// One function of the table in one model.
struct Entry {
    std::string_view name;
    std::span<const std::string_view> parameters;
    PyObject* (*make)();
};

template <class Function>
constexpr Entry entry_of() {
    return {Function::name, Function::Family::parameters, &make_ufunc<Function>};
}

// Indexed [row][model], models in the order of the Model enumeration.
constexpr std::array<std::array<Entry, 3>, binding::kRowCount> kEntries = {{
#define KESTRELFIN_UFUNC_ROW(group_, lanes_, kind_, black76_, bsm_, bs_) \
    {{entry_of<binding::table::black76_>(), entry_of<binding::table::bsm_>(), entry_of<binding::table::bs_>()}},
    KESTRELFIN_FUNCTIONS(KESTRELFIN_UFUNC_ROW)
#undef KESTRELFIN_UFUNC_ROW
}};

struct ModelName {
    Model model;
    const char* name;  // the package's namespace, and the functions' prefix
};

constexpr ModelName kModelNames[] = {
    {Model::Black76, "black76"}, {Model::BlackScholesMerton, "bsm"}, {Model::BlackScholes, "bs"}};

const char* name_of(Model model) {
    for (const ModelName& m : kModelNames) {
        if (m.model == model) {
            return m.name;
        }
    }
    return nullptr;
}

// The public quantity of a function of the model: "price" for its price.
const binding::QuantityText* quantity_of(std::string_view function, const char* model) {
    const std::string_view prefix(model);
    if (function.size() <= prefix.size() + 1 || function.substr(0, prefix.size()) != prefix) {
        return nullptr;
    }
    const std::string_view quantity = function.substr(prefix.size() + 1);
    for (const binding::QuantityText& text : binding::kQuantityTexts) {
        if (text.name == quantity) {
            return &text;
        }
    }
    return nullptr;
}

PyRef text(std::string_view value) {
    return PyRef::steal(PyUnicode_FromStringAndSize(value.data(), static_cast<Py_ssize_t>(value.size())));
}

PyRef parameter_tuple(std::span<const std::string_view> parameters) {
    PyRef tuple = PyRef::steal(PyTuple_New(static_cast<Py_ssize_t>(parameters.size())));
    if (!tuple) {
        return tuple;
    }
    for (std::size_t i = 0; i < parameters.size(); ++i) {
        PyRef name = text(parameters[i]);
        if (!name || PyTuple_SetItem(tuple.get(), static_cast<Py_ssize_t>(i), name.release()) < 0) {
            return PyRef();
        }
    }
    return tuple;
}

// A tuple from new references (all of them present), or empty on failure.
template <class... Refs>
PyRef tuple_of(Refs&&... items) {
    if ((!items || ...)) {
        return PyRef();
    }
    return PyRef::steal(PyTuple_Pack(sizeof...(items), items.get()...));
}

// Each ufunc is also an attribute of the module under its own name: NumPy
// pickles a ufunc by name (the module that holds it), which is how Dask and
// multiprocessing send it to other processes.
bool add_ufunc(PyObject* module, PyObject* ufunc) {
    PyRef name = PyRef::steal(PyObject_GetAttrString(ufunc, "__name__"));
    return name && PyObject_SetAttr(module, name.get(), ufunc) == 0;
}

bool add_functions(PyObject* module) {
    PyRef functions = PyRef::steal(PyList_New(0));
    if (!functions) {
        return false;
    }
    for (Model model : binding::kModelOrder) {
        const char* model_name = name_of(model);
        for (std::size_t row = 0; row < binding::kRowCount; ++row) {
            const Entry& entry = kEntries[row][static_cast<int>(model)];
            const binding::QuantityText* quantity = quantity_of(entry.name, model_name);
            if (quantity == nullptr) {
                PyErr_Format(PyExc_SystemError, "no quantity text for %s", std::string(entry.name).c_str());
                return false;
            }
            PyRef ufunc = PyRef::steal(entry.make());
            if (!ufunc || !add_ufunc(module, ufunc.get())) {
                return false;
            }
            PyRef record = tuple_of(text(model_name), text(quantity->public_name), text(entry.name),
                                    parameter_tuple(entry.parameters), PyRef::borrow(ufunc.get()));
            if (!record || PyList_Append(functions.get(), record.get()) < 0) {
                return false;
            }
        }
    }
    PyRef frozen = PyRef::steal(PyList_AsTuple(functions.get()));
    return frozen && PyModule_AddObjectRef(module, "FUNCTIONS", frozen.get()) == 0;
}

bool add_greeks(PyObject* module) {
    using Black76Price = binding::table::black76_black;
    using MertonPrice = binding::table::bsm_black_scholes_merton;
    using BlackScholesPrice = binding::table::bs_black_scholes;
    PyRef black76 = PyRef::steal(make_greeks_ufunc<Black76AllGreeks>("black76_greeks"));
    PyRef merton = PyRef::steal(make_greeks_ufunc<BlackScholesMertonAllGreeks>("bsm_greeks"));
    PyRef black_scholes = PyRef::steal(make_greeks_ufunc<BlackScholesAllGreeks>("bs_greeks"));
    if (!black76 || !merton || !black_scholes || !add_ufunc(module, black76.get()) ||
        !add_ufunc(module, merton.get()) || !add_ufunc(module, black_scholes.get())) {
        return false;
    }
    PyRef greeks = tuple_of(
        tuple_of(text("black76"), parameter_tuple(Black76Price::Family::parameters), std::move(black76)),
        tuple_of(text("bsm"), parameter_tuple(MertonPrice::Family::parameters), std::move(merton)),
        tuple_of(text("bs"), parameter_tuple(BlackScholesPrice::Family::parameters), std::move(black_scholes)));
    if (!greeks || PyModule_AddObjectRef(module, "GREEKS", greeks.get()) < 0) {
        return false;
    }
    // The quantities of the Greeks rows, in the table's order: the order of
    // the greeks ufuncs' outputs.
    PyRef names = PyRef::steal(PyList_New(0));
    if (!names) {
        return false;
    }
    for (std::size_t row = 0; row < binding::kRowCount; ++row) {
        const Entry& entry = kEntries[row][static_cast<int>(Model::BlackScholesMerton)];
        const binding::QuantityText* quantity = quantity_of(entry.name, "bsm");
        if (quantity == nullptr) {
            PyErr_SetString(PyExc_SystemError, "a row without a quantity text");
            return false;
        }
        if (quantity->name == "implied_volatility") {
            continue;
        }
        PyRef name = text(quantity->public_name);
        if (!name || PyList_Append(names.get(), name.get()) < 0) {
            return false;
        }
    }
    if (PyList_Size(names.get()) != static_cast<Py_ssize_t>(kGreekCount)) {
        PyErr_SetString(PyExc_SystemError, "the greeks ufuncs do not return one output per Greeks row");
        return false;
    }
    PyRef frozen = PyRef::steal(PyList_AsTuple(names.get()));
    return frozen && PyModule_AddObjectRef(module, "GREEK_NAMES", frozen.get()) == 0;
}

// The kernel path this process runs (binding/kernel_paths.hpp), chosen while
// the module is imported: "avx2/fused", "sse2/unfused" or "sse2/libm".
PyObject* kernel_path(PyObject* /*module*/, PyObject* /*unused*/) {
    switch (binding::kernel_path()) {
        case binding::KernelPath::Avx2Fused:
            return PyUnicode_FromString("avx2/fused");
        case binding::KernelPath::Sse2Unfused:
            return PyUnicode_FromString("sse2/unfused");
        case binding::KernelPath::Sse2Libm:
            break;
    }
    return PyUnicode_FromString("sse2/libm");
}

PyMethodDef kMethods[] = {
    {"kernel_path", &kernel_path, METH_NOARGS,
     "kernel_path() -> str\n\nHow this process computes whole arrays: \"avx2/fused\" (AVX2 lanes with the replica "
     "of glibc's exp and log built with FMA), \"sse2/unfused\" (SSE2 lanes with the replica of the build without "
     "FMA) or \"sse2/libm\" (SSE2 lanes calling the C library's exp and log, when no replica gives this process's "
     "own bits). Every path gives the same results."},
    {"first_characters", reinterpret_cast<PyCFunction>(reinterpret_cast<void*>(&first_characters)), METH_VARARGS,
     "first_characters(flags, is_call) -> int\n\nReads the option kinds of a contiguous object vector of "
     "flags into a bool vector; returns the index of the first element that is no flag, or -1."},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef kModule = {
    PyModuleDef_HEAD_INIT,
    "kestrelfin._ufuncs",
    "The NumPy ufuncs behind the kestrelfin package (see kestrelfin).",
    -1,
    kMethods,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
};

PyObject* create_module() {
    if (!import_numpy()) {
        return nullptr;
    }
    // The kernel path is chosen here, under the interpreter lock, so that no
    // ufunc loop (which runs without it) ever takes the one-time guard of
    // its choice: a process forked while another thread held that guard
    // would wait for it forever.
    (void)binding::kernel_path();
    PyRef module = PyRef::steal(PyModule_Create(&kModule));
    if (!module || !add_functions(module.get()) || !add_greeks(module.get())) {
        return nullptr;
    }
    return module.release();
}

}  // namespace
}  // namespace kestrelfin::ufuncs

PyMODINIT_FUNC PyInit__ufuncs() {
    // No C++ exception may reach the interpreter.
    try {
        return kestrelfin::ufuncs::create_module();
    } catch (const std::bad_alloc&) {
        return PyErr_NoMemory();
    } catch (...) {
        PyErr_SetString(PyExc_SystemError, "kestrelfin._ufuncs: unexpected failure while creating the module");
        return nullptr;
    }
}
