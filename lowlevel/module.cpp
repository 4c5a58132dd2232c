// Module initialisation: the one exported symbol, the interpreter check, and
// the module body that registers every function of the table.
#include "lowlevel/compatibility_texts.hpp"
#include "lowlevel/function_specs.hpp"

#include <atomic>
#include <cstdint>
#include <string>

namespace kestrelfin::lowlevel {
namespace {

// __version__: the distribution's version, from pyproject.toml (CMakeLists.txt).
constexpr const char* kVersion = KESTRELFIN_VERSION;

PyModuleDef g_module_definition = {
    PyModuleDef_HEAD_INIT,
    "_kestrelfin",  // m_name
    "",             // m_doc
    0,              // m_size
    nullptr,        // m_methods: functions are added one by one
    nullptr,        // m_slots
    nullptr,        // m_traverse
    nullptr,        // m_clear
    nullptr,        // m_free
};

// The interpreter that first imported the module; the only one it serves.
std::atomic<std::int64_t> g_interpreter_id{-1};
// The module object, created once and kept until the process ends.
PyObject* g_module = nullptr;

// Method records and their text signatures live as long as the functions
// that point at them: for the rest of the process.
std::array<PyMethodDef, kRegistrationOrder.size()> g_method_records{};
std::array<std::string, kRegistrationOrder.size()> g_text_signatures{};

PyObject* interned(PyObject*& slot, std::string_view text) {
    if (slot == nullptr) {
        PyObject* name = PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size()));
        if (name == nullptr) {
            fail_with_raised_exception();
        }
        PyUnicode_InternInPlace(&name);
        slot = name;
    }
    return slot;
}

PyObject* name_attribute() {
    static PyObject* name = nullptr;
    return interned(name, "__name__");
}

PyObject* all_attribute() {
    static PyObject* name = nullptr;
    return interned(name, "__all__");
}

// "bs_delta(flag, S, K, t, r, sigma)\n--\n\n": the interpreter derives
// __text_signature__ from it and leaves __doc__ None.
std::string text_signature(const FunctionSpec& spec) {
    std::string text = spec.name;
    text += '(';
    for (std::size_t i = 0; i < spec.parameters.size(); ++i) {
        if (i > 0) {
            text += ", ";
        }
        text += spec.parameters[i];
    }
    text += ")\n--\n\n";
    return text;
}

PyRef new_text(std::string_view text) {
    PyRef object = PyRef::steal(PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size())));
    if (!object) {
        fault_python_api_call_failed();
    }
    return object;
}

// Appends the name to __all__ (creating the list when absent), then binds it.
void add_to_module(PyObject* module, PyObject* name, PyObject* value) {
    PyRef all = PyRef::steal(PyObject_GetAttr(module, all_attribute()));
    if (!all) {
        PyRef error = take_raised_exception();
        if (!error) {
            fail(ErrorClass::SystemError, texts::kNoExceptionSet);
        }
        if (!PyErr_GivenExceptionMatches(error.get(), PyExc_AttributeError)) {
            throw PendingError(std::move(error));
        }
        all = PyRef::steal(PyList_New(0));
        if (!all || PyObject_SetAttr(module, all_attribute(), all.get()) < 0) {
            fail_with_raised_exception();
        }
    }
    if (!PyList_Check(all.get())) {
        fail(ErrorClass::TypeError, texts::cannot_convert(type_name_of(all.get()), texts::kPyList));
    }
    if (PyList_Append(all.get(), name) < 0) {
        PyRef error = take_raised_exception();
        std::string message = texts::kAppendToAllFailed;
        message += ": ";
        message += error ? describe_exception(error.get()) : std::string("no exception was set");
        fault(std::move(message));
    }
    if (PyObject_SetAttr(module, name, value) < 0) {
        fail_with_raised_exception();
    }
}

void add_function(PyObject* module, std::size_t index) {
    const FunctionSpec& spec = kRegistrationOrder[index];
    PyRef module_name = PyRef::steal(PyModule_GetNameObject(module));
    if (!module_name) {
        fail_with_raised_exception();
    }
    g_text_signatures[index] = text_signature(spec);
    PyMethodDef& record = g_method_records[index];
    record.ml_name = spec.name;
    record.ml_meth = reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(spec.entry));
    record.ml_flags = METH_VARARGS | METH_KEYWORDS;
    record.ml_doc = g_text_signatures[index].c_str();

    PyRef function = PyRef::steal(PyCMethod_New(&record, module, module_name.get(), nullptr));
    if (!function) {
        fail_with_raised_exception();
    }
    PyRef name = PyRef::steal(PyObject_GetAttr(function.get(), name_attribute()));
    if (!name) {
        fail_with_raised_exception();
    }
    if (!PyUnicode_Check(name.get())) {
        fail(ErrorClass::TypeError, texts::cannot_convert(type_name_of(name.get()), texts::kPyString));
    }
    add_to_module(module, name.get(), function.get());
}

void run_module_body(PyObject* module) {
    for (std::size_t i = 0; i < kRegistrationOrder.size(); ++i) {
        add_function(module, i);
    }
    PyRef name = new_text("__version__");
    PyRef version = new_text(kVersion);
    add_to_module(module, name.get(), version.get());
}

PyObject* initialise() {
    const std::int64_t id = PyInterpreterState_GetID(PyInterpreterState_Get());
    if (id == -1) {
        fail_with_raised_exception();
    }
    std::int64_t expected = -1;
    if (!g_interpreter_id.compare_exchange_strong(expected, id) && expected != id) {
        fail(ErrorClass::ImportError, texts::kSubinterpreterMessage);
    }
    if (g_module != nullptr) {
        return PyRef::borrow(g_module).release();
    }
    PyRef module = PyRef::steal(PyModule_Create2(&g_module_definition, PYTHON_ABI_VERSION));
    if (!module) {
        fail_with_raised_exception();
    }
    // A failed body drops the new module; the next import starts afresh.
    run_module_body(module.get());
    if (g_module == nullptr) {
        g_module = PyRef::borrow(module.get()).release();
    }
    return PyRef::borrow(g_module).release();
}

}  // namespace
}  // namespace kestrelfin::lowlevel

PyMODINIT_FUNC PyInit__kestrelfin() {
    return kestrelfin::lowlevel::contain([] { return kestrelfin::lowlevel::initialise(); });
}
