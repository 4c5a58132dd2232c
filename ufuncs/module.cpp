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
// and each ufunc under its own name (bs_delta, ..., bs_greeks). For the
// package's one-option path it also offers the implied volatility that gives
// NaN and a reason instead of raising (solver_entries.hpp) and the error of a
// flag that is no flag (flag_error), each with _kestrelfin's texts, and the
// implied volatility by either solver with a reason code per option
// (solver_ufuncs.hpp: IMPLIED_VOLATILITY_METHODS, REASONS).
// Every ufunc takes the option kind as a bool `is_call` (True = call) and then
// the function's numbers, in its parameter order without `flag`, all
// float64; NumPy broadcasts and casts the operands.
#include "cpython/py_ref.hpp"
#include "kernels/functions.hpp"
#include "kernels/greeks_loops.hpp"
#include "kernels/operations.hpp"
#include "kernels/strided_loops.hpp"
#include "pool/thread_pool.hpp"
#include "ufuncs/flags.hpp"
#include "ufuncs/interrupt.hpp"
#include "ufuncs/numpy_headers.hpp"
#include "ufuncs/shared_loops.hpp"
#include "ufuncs/solver_entries.hpp"
#include "ufuncs/solver_ufuncs.hpp"

#include <array>
#include <cfenv>
#include <cstddef>
#include <cstdint>
#include <new>
#include <span>
#include <string_view>
#include <type_traits>
#include <utility>

namespace kestrelfin::ufuncs {
namespace {

using cpython::PyRef;
using kernels::FunctionAt;
using kernels::kGreekCount;
using kernels::kNumberCount;
using kernels::kRowCount;
using kernels::Model;

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

// Far beyond any machine's cores: a limit above it is a mistake.
constexpr long kMaxThreads = 4096;

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
    constexpr int inputs = static_cast<int>(1 + kNumberCount<Function>);
    constexpr std::size_t share_from =
        kernels::SolvesImpliedVolatility<Function> ? kShareImpliedVolatilityFrom : kShareFunctionFrom;
    static PyUFuncGenericFunction loops[] = {
        &without_status_flags<&shared_loop<&kernels::ufunc_loop<Function>, inputs, 1, share_from>>};
    static constexpr auto types = operand_types<kNumberCount<Function>, 1>();
    return PyUFunc_FromFuncAndData(loops, kNoData, types.data(), 1, static_cast<int>(1 + kNumberCount<Function>), 1,
                                   PyUFunc_None, Function::name, kUfuncDoc, 0);
}

template <class AllGreeks>
PyObject* make_greeks_ufunc() {
    constexpr std::size_t numbers = kNumberCount<typename AllGreeks::Price>;
    static PyUFuncGenericFunction loops[] = {
        &without_status_flags<&shared_loop<&kernels::greeks_loop<AllGreeks>, static_cast<int>(1 + numbers),
                                           static_cast<int>(kGreekCount), kShareGreeksFrom>>};
    static constexpr auto types = operand_types<numbers, kGreekCount>();
    return PyUFunc_FromFuncAndData(loops, kNoData, types.data(), 1, static_cast<int>(1 + numbers),
                                   static_cast<int>(kGreekCount), PyUFunc_None, AllGreeks::name,
                                   "The price and the fifteen Greeks of each option in one pass.", 0);
}

// One function of the table in one model.
struct Entry {
    std::string_view name;
    std::string_view quantity;
    std::span<const std::string_view> parameters;
    bool solves_implied_volatility;
    PyObject* (*make)();
};

template <class Function>
constexpr Entry entry_of() {
    return {Function::name, Function::quantity, Function::Family::parameters,
            kernels::SolvesImpliedVolatility<Function>, &make_ufunc<Function>};
}

template <Model M, std::size_t... Rows>
constexpr std::array<Entry, kRowCount> column_of(std::index_sequence<Rows...>) {
    return {entry_of<FunctionAt<M, Rows>>()...};
}

// A model's column of the table, and its greeks pass.
struct ModelEntries {
    Model model;
    std::array<Entry, kRowCount> functions;
    std::span<const std::string_view> greeks_parameters;  // the price function's
    PyObject* (*make_greeks)();
};

template <Model M>
constexpr ModelEntries model_entries() {
    using AllGreeks = kernels::AllGreeksOf<M>;
    return {M, column_of<M>(std::make_index_sequence<kRowCount>{}), AllGreeks::Price::Family::parameters,
            &make_greeks_ufunc<AllGreeks>};
}

// In the order of the models' registration.
constexpr std::array<ModelEntries, 3> kModels = {model_entries<kernels::kModelOrder[0]>(),
                                                 model_entries<kernels::kModelOrder[1]>(),
                                                 model_entries<kernels::kModelOrder[2]>()};

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

bool add_tuple(PyObject* module, const char* name, PyObject* list) {
    PyRef frozen = PyRef::steal(PyList_AsTuple(list));
    return frozen && PyModule_AddObjectRef(module, name, frozen.get()) == 0;
}

bool add_functions(PyObject* module) {
    PyRef functions = PyRef::steal(PyList_New(0));
    if (!functions) {
        return false;
    }
    for (const ModelEntries& model : kModels) {
        for (const Entry& entry : model.functions) {
            PyRef ufunc = PyRef::steal(entry.make());
            if (!ufunc || !add_ufunc(module, ufunc.get())) {
                return false;
            }
            PyRef record = tuple_of(text(kernels::names_of(model.model).name), text(entry.quantity), text(entry.name),
                                    parameter_tuple(entry.parameters), PyRef::borrow(ufunc.get()));
            if (!record || PyList_Append(functions.get(), record.get()) < 0) {
                return false;
            }
        }
    }
    return add_tuple(module, "FUNCTIONS", functions.get());
}

bool add_greeks(PyObject* module) {
    PyRef greeks = PyRef::steal(PyList_New(0));
    if (!greeks) {
        return false;
    }
    for (const ModelEntries& model : kModels) {
        PyRef ufunc = PyRef::steal(model.make_greeks());
        if (!ufunc || !add_ufunc(module, ufunc.get())) {
            return false;
        }
        PyRef record = tuple_of(text(kernels::names_of(model.model).name), parameter_tuple(model.greeks_parameters),
                                std::move(ufunc));
        if (!record || PyList_Append(greeks.get(), record.get()) < 0) {
            return false;
        }
    }
    // The quantities of the Greeks rows, in the table's order: the order of
    // the greeks ufuncs' outputs.
    PyRef names = PyRef::steal(PyList_New(0));
    if (!names) {
        return false;
    }
    for (const Entry& entry : kModels[0].functions) {
        if (entry.solves_implied_volatility) {
            continue;
        }
        PyRef name = text(entry.quantity);
        if (!name || PyList_Append(names.get(), name.get()) < 0) {
            return false;
        }
    }
    return add_tuple(module, "GREEKS", greeks.get()) && add_tuple(module, "GREEK_NAMES", names.get());
}

// The kernel path this process runs (kernels/kernel_paths.hpp), chosen while
// the module is imported: "avx2/fused", "sse2/unfused" or "sse2/libm".
PyObject* kernel_path(PyObject* /*module*/, PyObject* /*unused*/) {
    switch (kernels::kernel_path()) {
        case kernels::KernelPath::Avx2Fused:
            return PyUnicode_FromString("avx2/fused");
        case kernels::KernelPath::Sse2Unfused:
            return PyUnicode_FromString("sse2/unfused");
        case kernels::KernelPath::Sse2Libm:
            break;
    }
    return PyUnicode_FromString("sse2/libm");
}

// The limit of the threads that work on the ufuncs' loops at once: the
// package's set_num_threads and get_num_threads stand on these.
PyObject* set_num_threads(PyObject* /*module*/, PyObject* argument) {
    const long limit = PyLong_AsLong(argument);
    if (limit == -1 && PyErr_Occurred() != nullptr) {
        return nullptr;
    }
    if (limit < 1 || limit > kMaxThreads) {
        PyErr_Format(PyExc_ValueError, "the number of threads must be from 1 to %d, not %ld", kMaxThreads, limit);
        return nullptr;
    }
    return PyLong_FromUnsignedLong(pool::set_thread_limit(static_cast<unsigned>(limit)));
}

PyObject* get_num_threads(PyObject* /*module*/, PyObject* /*unused*/) {
    return PyLong_FromUnsignedLong(pool::thread_limit());
}

PyObject* affinity_cpu_count(PyObject* /*module*/, PyObject* /*unused*/) {
    return PyLong_FromUnsignedLong(pool::affinity_cpu_count());
}

PyObject* pool_threads(PyObject* /*module*/, PyObject* /*unused*/) {
    return PyLong_FromUnsignedLong(pool::started_threads());
}

PyMethodDef kMethods[] = {
    {"set_num_threads", &set_num_threads, METH_O,
     "set_num_threads(n) -> int\n\nLets at most n threads (the callers' own included) work on the ufuncs' loops "
     "at once, from the next call on; returns the previous limit."},
    {"get_num_threads", &get_num_threads, METH_NOARGS,
     "get_num_threads() -> int\n\nThe limit of the threads that work on the ufuncs' loops at once."},
    {"affinity_cpu_count", &affinity_cpu_count, METH_NOARGS,
     "affinity_cpu_count() -> int\n\nThe CPUs in this process's affinity mask."},
    {"pool_threads", &pool_threads, METH_NOARGS,
     "pool_threads() -> int\n\nThe threads the pool has started so far (none before the first long loop)."},
    {"kernel_path", &kernel_path, METH_NOARGS,
     "kernel_path() -> str\n\nHow this process computes whole arrays: \"avx2/fused\" (AVX2 lanes with the replica "
     "of glibc's exp and log built with FMA), \"sse2/unfused\" (SSE2 lanes with the replica of the build without "
     "FMA) or \"sse2/libm\" (SSE2 lanes calling the C library's exp and log, when no replica gives this process's "
     "own bits). Every path gives the same results."},
    {"first_characters", reinterpret_cast<PyCFunction>(reinterpret_cast<void*>(&first_characters)), METH_VARARGS,
     "first_characters(flags, is_call) -> int\n\nReads the option kinds of a contiguous object vector of "
     "flags into a bool vector; returns the index of the first element that is no flag, or -1."},
    {"flag_error", &flag_error, METH_O,
     "flag_error(flag) -> ValueError\n\nThe error _kestrelfin raises for a str flag that does not start with c, C, "
     "p or P, with its text."},
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
    (void)kernels::kernel_path();
    if (!record_main_thread()) {
        return nullptr;
    }
    PyRef module = PyRef::steal(PyModule_Create(&kModule));
    if (!module || !add_functions(module.get()) || !add_greeks(module.get()) || !add_solver_entries(module.get()) ||
        !add_solver_ufuncs(module.get())) {
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
