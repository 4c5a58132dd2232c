// Exhausted memory in an array call, driven from an embedded interpreter with
// NumPy: the result buffer's allocation is made to fail (NumPy inputs large
// enough to exhaust memory for real cannot be built safely on a test
// machine). The module is linked into this binary and imported through the
// interpreter's table of built-in modules, so the calls go through its real
// entry points and its real allocator hook.

#include "lowlevel/borrow_registry.hpp"
#include "lowlevel/numpy_access.hpp"

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <vector>

extern "C" PyObject* PyInit__kestrelfin();

namespace {

using kestrelfin::cpython::PyRef;
using kestrelfin::lowlevel::g_result_allocator;
using kestrelfin::lowlevel::SharedBorrowRecord;

PyObject* main_dict() {
    return PyModule_GetDict(PyImport_AddModule("__main__"));  // both borrowed
}

// eval() or exec() of the built-ins on __main__'s namespace: the stable API
// has no PyRun_String.
PyRef run(const char* builtin, const std::string& code) {
    PyObject* function = PyDict_GetItemString(PyEval_GetBuiltins(), builtin);  // borrowed
    PyRef text = PyRef::steal(PyUnicode_FromString(code.c_str()));
    PyRef value;
    if (function != nullptr && text) {
        value = PyRef::steal(PyObject_CallFunctionObjArgs(function, text.get(), main_dict(), nullptr));
    }
    if (!value) {
        PyErr_Print();
    }
    return value;
}

PyRef evaluate(const std::string& expression) {
    return run("eval", expression);
}

void execute(const std::string& code) {
    ASSERT_TRUE(run("exec", code));
}

Py_ssize_t allocated_blocks() {
    PyRef blocks = evaluate("__import__('gc').collect() * 0 + __import__('sys').getallocatedblocks()");
    return blocks ? PyLong_AsSsize_t(blocks.get()) : -1;
}

class EmbeddedNumPy : public testing::Environment {
public:
    void SetUp() override {
        ASSERT_EQ(PyImport_AppendInittab("_kestrelfin", &PyInit__kestrelfin), 0);
        Py_InitializeEx(0);
        // NumPy lives in the site-packages of the interpreter the build was
        // configured with (a virtual environment, typically).
        execute(std::string("import sys\nsys.path.insert(0, r'") + KESTRELFIN_NUMPY_SITE +
                "')\nimport numpy, _kestrelfin\n");
    }
};
const testing::Environment* const kPython = testing::AddGlobalTestEnvironment(new EmbeddedNumPy);

// The registry record as another extension module sharing it would find it.
const SharedBorrowRecord* shared_record() {
    PyRef capsule = evaluate(
        "getattr(__import__('importlib').import_module('numpy._core.multiarray' if "
        "numpy.lib.NumpyVersion(numpy.__version__).major >= 2 else 'numpy.core.multiarray'), "
        "'_RUST_NUMPY_BORROW_CHECKING_API')");
    if (!capsule) {
        return nullptr;
    }
    return static_cast<const SharedBorrowRecord*>(
        PyCapsule_GetPointer(capsule.get(), PyCapsule_GetName(capsule.get())));
}

// Every array can be held for writing at once: no read borrow was left.
void expect_no_borrow_left(const std::vector<PyObject*>& arrays) {
    const SharedBorrowRecord* record = shared_record();
    ASSERT_NE(record, nullptr);
    for (PyObject* array : arrays) {
        EXPECT_EQ(record->acquire_write(record->registry, array), 0);
        record->release_write(record->registry, array);
    }
}

void* refuse(std::size_t) {
    return nullptr;
}

std::size_t g_requests = 0;
std::size_t g_requested_bytes = 0;
void* counting(std::size_t bytes) {
    ++g_requests;
    g_requested_bytes += bytes;
    return std::malloc(bytes);
}

class AllocatorSwap {
public:
    explicit AllocatorSwap(kestrelfin::lowlevel::RawAllocator allocator) : saved_(g_result_allocator) {
        g_result_allocator = allocator;
    }
    AllocatorSwap(const AllocatorSwap&) = delete;
    AllocatorSwap& operator=(const AllocatorSwap&) = delete;
    ~AllocatorSwap() { g_result_allocator = saved_; }

private:
    kestrelfin::lowlevel::RawAllocator saved_;
};

struct Call {
    const char* function;
    const char* arguments;  // a Python argument tuple over S, K, t, sigma, price, r, q
};

// One function of each parameter family.
const Call kCalls[] = {
    {"bs_delta_array", "('c', S, K, t, r, sigma)"},
    {"bsm_vanna_array", "('p', S, K, t, r, sigma, q)"},
    {"black76_black_array", "('c', S, K, t, r, sigma)"},
    {"bs_implied_volatility_array", "(price, S, K, t, r, 'c')"},
    {"bsm_implied_volatility_array", "(price, S, K, t, r, q, 'p')"},
    {"black76_implied_volatility_array", "(price, S, K, r, t, 'c')"},
};
constexpr std::size_t kCallCount = sizeof kCalls / sizeof kCalls[0];

class ExhaustedMemory : public testing::Test {
protected:
    void SetUp() override {
        execute(
            "n = 1000\n"
            "S = numpy.linspace(50.0, 150.0, n)\n"
            "K = numpy.full(n, 100.0)\n"
            "t = numpy.linspace(0.1, 2.0, n)\n"
            "sigma = numpy.full(n, 0.3)\n"
            "price = numpy.full(n, 12.0)\n"
            "r = 0.01 + 0.02\n"
            "q = 0.005 + 0.005\n");
        collect_inputs();
    }

    void collect_inputs() {
        inputs_.clear();
        for (const char* name : {"S", "K", "t", "sigma", "price", "r", "q"}) {
            inputs_.push_back(PyDict_GetItemString(main_dict(), name));  // borrowed, kept by __main__
        }
    }

    std::vector<Py_ssize_t> reference_counts() const {
        std::vector<Py_ssize_t> counts;
        for (PyObject* input : inputs_) {
            counts.push_back(Py_REFCNT(input));
        }
        return counts;
    }

    std::vector<PyObject*> arrays() const { return {inputs_.begin(), inputs_.begin() + 5}; }

    // Calls through the interpreter, as Python code would: the result, or
    // null with the exception set.
    static PyRef call(const Call& c) {
        PyRef function = PyRef::steal(PyObject_GetAttrString(PyImport_AddModule("_kestrelfin"), c.function));
        PyRef args = evaluate(c.arguments);
        return call(function, args);
    }
    static PyRef call(const PyRef& function, const PyRef& args) {
        if (!function || !args) {
            return PyRef();
        }
        return PyRef::steal(PyObject_Call(function.get(), args.get(), nullptr));
    }

    std::vector<PyObject*> inputs_;
};

TEST_F(ExhaustedMemory, ResultAllocationFailureIsMemoryErrorAndLeavesNothingBehind) {
    for (const Call& c : kCalls) {
        SCOPED_TRACE(c.function);
        const std::vector<Py_ssize_t> before = reference_counts();
        Py_ssize_t blocks = 0;
        {
            PyRef function = PyRef::steal(PyObject_GetAttrString(PyImport_AddModule("_kestrelfin"), c.function));
            PyRef args = evaluate(c.arguments);
            AllocatorSwap swap(&refuse);
            // The first rounds fill the interpreter's caches (MemoryError
            // keeps freed instances for reuse, and so on); the last must not
            // grow: a leak of one object per call would be 500 blocks.
            for (int round = 0; round < 3; ++round) {
                blocks = allocated_blocks();
                for (int i = 0; i < 500; ++i) {
                    PyRef result = call(function, args);
                    ASSERT_FALSE(result);
                    PyRef error = PyRef::steal(PyErr_GetRaisedException());
                    ASSERT_TRUE(error);
                    EXPECT_EQ(Py_TYPE(error.get()), reinterpret_cast<PyTypeObject*>(PyExc_MemoryError));
                }
            }
        }
        // Nothing the failed calls took is still held: no reference to an
        // input, no interpreter object, no borrow.
        EXPECT_EQ(reference_counts(), before);
        EXPECT_LE(allocated_blocks() - blocks, 50);
        expect_no_borrow_left(arrays());
        // And the next call works.
        PyRef result = call(c);
        ASSERT_TRUE(result);
        EXPECT_EQ(PyObject_Length(result.get()), 1000);
        result = PyRef();
        EXPECT_EQ(reference_counts(), before);
    }
}

TEST_F(ExhaustedMemory, ResultIsAllocatedOnceWithExactlyItsSize) {
    g_requests = 0;
    g_requested_bytes = 0;
    AllocatorSwap swap(&counting);
    for (const Call& c : kCalls) {
        PyRef result = call(c);
        ASSERT_TRUE(result) << c.function;
    }
    EXPECT_EQ(g_requests, kCallCount);
    EXPECT_EQ(g_requested_bytes, kCallCount * 1000 * sizeof(double));
}

TEST_F(ExhaustedMemory, EmptyArraysNeedNoAllocation) {
    execute("S, K, t, sigma, price = (numpy.empty(0) for _ in range(5))\n");
    collect_inputs();
    AllocatorSwap swap(&refuse);
    const std::vector<Py_ssize_t> before = reference_counts();
    for (const Call& c : kCalls) {
        PyRef result = call(c);
        ASSERT_TRUE(result) << c.function;
        EXPECT_EQ(PyObject_Length(result.get()), 0);
    }
    EXPECT_EQ(reference_counts(), before);
}

}  // namespace
