// Fault containment at the extension boundary, driven from an embedded
// interpreter: Python code cannot provoke an internal fault on purpose, so the
// bodies here fault, fail and throw directly inside contain().

#include "lowlevel/errors.hpp"

#include <gtest/gtest.h>

#include <sys/resource.h>

#include <cstdio>
#include <cstdlib>
#include <new>
#include <stdexcept>
#include <string>

namespace {

using namespace kestrelfin::lowlevel;

// One interpreter for the whole binary. It is never finalised: the
// PanicException class lives in a process-wide slot, like in the module.
class EmbeddedPython : public testing::Environment {
public:
    void SetUp() override {
        if (!Py_IsInitialized()) {
            Py_InitializeEx(0);
        }
    }
};
const testing::Environment* const kPython = testing::AddGlobalTestEnvironment(new EmbeddedPython);

std::string text_of(PyObject* object) {
    PyRef text = PyRef::steal(PyObject_Str(object));
    EXPECT_TRUE(text);
    Py_ssize_t size = 0;
    const char* utf8 = text ? PyUnicode_AsUTF8AndSize(text.get(), &size) : nullptr;
    return utf8 ? std::string(utf8, static_cast<size_t>(size)) : std::string("<no text>");
}

// Takes the pending exception and checks its exact class and that its args
// are the one-element tuple of the message.
PyRef expect_raised(PyObject* expected_class, const std::string& message) {
    PyRef error = PyRef::steal(PyErr_GetRaisedException());
    EXPECT_TRUE(error) << "no exception was set";
    if (!error) {
        return error;
    }
    EXPECT_EQ(reinterpret_cast<PyObject*>(Py_TYPE(error.get())), expected_class)
        << "raised " << text_of(reinterpret_cast<PyObject*>(Py_TYPE(error.get())));
    PyRef args = PyRef::steal(PyObject_GetAttrString(error.get(), "args"));
    EXPECT_TRUE(args && PyTuple_Check(args.get()) && PyTuple_Size(args.get()) == 1);
    if (args && PyTuple_Check(args.get()) && PyTuple_Size(args.get()) == 1) {
        PyObject* only = PyTuple_GetItem(args.get(), 0);
        EXPECT_TRUE(PyUnicode_Check(only));
        EXPECT_EQ(text_of(only), message);
    }
    EXPECT_EQ(text_of(error.get()), message);
    return error;
}

// Runs one body through the containment, capturing what it writes to stderr.
template <class Body>
std::string run_contained(Body body) {
    testing::internal::CaptureStderr();
    PyObject* result = contain(body);
    std::string err = testing::internal::GetCapturedStderr();
    EXPECT_EQ(result, nullptr);
    Py_XDECREF(result);
    return err;
}

void expect_next_call_works() {
    PyObject* result = contain([] { return PyFloat_FromDouble(2.5); });
    ASSERT_NE(result, nullptr);
    EXPECT_EQ(PyErr_Occurred(), nullptr);
    EXPECT_EQ(PyFloat_AsDouble(result), 2.5);
    Py_DECREF(result);
}

TEST(Containment, FaultBecomesPanicException) {
    const std::string err = run_contained([]() -> PyObject* { fault("the result float was lost"); });
    expect_raised(panic_exception_type(), "the result float was lost");
    // The fault report names the fault when it starts.
    EXPECT_NE(err.find("the result float was lost"), std::string::npos) << err;
    expect_next_call_works();
}

TEST(Containment, PanicExceptionClass) {
    PyObject* panic = panic_exception_type();
    ASSERT_NE(panic, nullptr);
    EXPECT_EQ(panic_exception_type(), panic);  // one class per process
    EXPECT_TRUE(PyType_Check(panic));
    EXPECT_TRUE(PyObject_IsSubclass(panic, PyExc_BaseException) == 1);
    EXPECT_TRUE(PyObject_IsSubclass(panic, PyExc_Exception) == 0);
    PyRef module = PyRef::steal(PyObject_GetAttrString(panic, "__module__"));
    PyRef name = PyRef::steal(PyObject_GetAttrString(panic, "__name__"));
    EXPECT_EQ(text_of(module.get()), "pyo3_runtime");
    EXPECT_EQ(text_of(name.get()), "PanicException");
}

TEST(Containment, PendingErrorsRaiseTheirClass) {
    const std::pair<ErrorClass, PyObject*> classes[] = {
        {ErrorClass::TypeError, PyExc_TypeError},       {ErrorClass::ValueError, PyExc_ValueError},
        {ErrorClass::RuntimeError, PyExc_RuntimeError}, {ErrorClass::ImportError, PyExc_ImportError},
        {ErrorClass::SystemError, PyExc_SystemError},   {ErrorClass::Panic, panic_exception_type()},
    };
    for (const auto& [error_class, expected] : classes) {
        const std::string err =
            run_contained([&]() -> PyObject* { fail(error_class, "price is below intrinsic value"); });
        expect_raised(expected, "price is below intrinsic value");
        EXPECT_EQ(err, "");  // an ordinary error is not a fault: no report
    }
    expect_next_call_works();
}

TEST(Containment, ExceptionObjectPassesUnchanged) {
    PyRef original = PyRef::steal(PyObject_CallFunction(PyExc_KeyError, "s", "key"));
    ASSERT_TRUE(original);
    PyObject* expected = original.get();
    run_contained([&]() -> PyObject* { throw PendingError(PyRef::borrow(expected)); });
    PyRef raised = PyRef::steal(PyErr_GetRaisedException());
    EXPECT_EQ(raised.get(), expected);
}

TEST(Containment, UnrelatedCppExceptionsBecomeGenericPanic) {
    std::string err = run_contained([]() -> PyObject* { throw std::runtime_error("detail"); });
    expect_raised(panic_exception_type(), kGenericFaultMessage);
    EXPECT_NE(err.find(kGenericFaultMessage), std::string::npos) << err;
    err = run_contained([]() -> PyObject* { throw 42; });
    expect_raised(panic_exception_type(), kGenericFaultMessage);
    EXPECT_NE(err.find(kGenericFaultMessage), std::string::npos) << err;
    expect_next_call_works();
}

TEST(Containment, BadAllocBecomesMemoryError) {
    run_contained([]() -> PyObject* { throw std::bad_alloc(); });
    PyRef raised = PyRef::steal(PyErr_GetRaisedException());
    ASSERT_TRUE(raised);
    EXPECT_EQ(reinterpret_cast<PyObject*>(Py_TYPE(raised.get())), PyExc_MemoryError);
    expect_next_call_works();
}

TEST(Containment, MissingExceptionIsReportedAsSystemError) {
    ASSERT_EQ(PyErr_Occurred(), nullptr);
    EXPECT_FALSE(take_raised_exception());
    run_contained([]() -> PyObject* { fail_with_raised_exception(); });
    expect_raised(PyExc_SystemError, "attempted to fetch exception but none was set");
}

TEST(Containment, PanicExceptionFromPythonResumes) {
    testing::internal::CaptureStderr();
    detail::report_fault("boom");
    const std::string report = testing::internal::GetCapturedStderr();
    ASSERT_NE(report, "");

    PyRef original = PyRef::steal(PyObject_CallFunction(panic_exception_type(), "s", "boom"));
    ASSERT_TRUE(original);
    PyErr_SetRaisedException(PyRef::borrow(original.get()).release());
    const std::string err = run_contained([]() -> PyObject* { fail_with_raised_exception(); });
    PyRef raised = expect_raised(panic_exception_type(), "boom");
    EXPECT_NE(raised.get(), original.get());  // a new exception, same message
    EXPECT_EQ(err.rfind("--- PyO3 is resuming a panic after fetching a PanicException from Python. ---\n"
                        "Python stack trace below:\n",
                        0),
              0u)
        << err;
    EXPECT_NE(err.find("pyo3_runtime.PanicException: boom"), std::string::npos) << err;
    EXPECT_EQ(err.find(report), std::string::npos) << "a resumed panic writes no new report: " << err;
    expect_next_call_works();
}

// A message the interpreter refuses as text (not UTF-8) is a fault of the
// module's own: the interpreter's error is printed and the call raises
// PanicException "Python API call failed" instead; the process lives on.
TEST(Containment, MessageTheInterpreterRefusesBecomesPanic) {
    std::string err = run_contained([]() -> PyObject* { fail(ErrorClass::ValueError, "flag \xff"); });
    expect_raised(panic_exception_type(), "Python API call failed");
    EXPECT_NE(err.find("UnicodeDecodeError"), std::string::npos) << err;
    EXPECT_NE(err.find("Python API call failed"), std::string::npos) << err;
    err = run_contained([]() -> PyObject* { fault("bad \xfe message"); });
    expect_raised(panic_exception_type(), "Python API call failed");
    EXPECT_NE(err.find("UnicodeDecodeError"), std::string::npos) << err;
    expect_next_call_works();
}

// Raises an error whose 64 MiB message was made before the address space
// was capped 16 MiB above what the process uses: the interpreter cannot copy
// it into a str. Returns the exit status for the death test below: 0 when
// the call failed with MemoryError and the next call works.
int raise_unmakeable_message(ErrorClass error_class) {
    panic_exception_type();  // the class itself is not what runs short here
    std::string message(64u << 20, 'x');
    std::FILE* status = std::fopen("/proc/self/status", "r");
    if (status == nullptr) {
        return 2;
    }
    char line[256];
    unsigned long long used_kib = 0;
    while (std::fgets(line, sizeof line, status) != nullptr) {
        if (std::sscanf(line, "VmSize: %llu kB", &used_kib) == 1) {
            break;
        }
    }
    std::fclose(status);
    if (used_kib == 0) {
        return 3;
    }
    rlimit capped{(used_kib << 10) + (16ull << 20), RLIM_INFINITY};
    if (setrlimit(RLIMIT_AS, &capped) != 0) {
        return 4;
    }
    PyObject* result = contain([&]() -> PyObject* {
        if (error_class == ErrorClass::Panic) {
            throw InternalFault{std::move(message)};  // no fault report of 64 MiB
        }
        fail(error_class, std::move(message));
    });
    const rlimit unlimited{RLIM_INFINITY, RLIM_INFINITY};
    setrlimit(RLIMIT_AS, &unlimited);
    PyRef raised = PyRef::steal(PyErr_GetRaisedException());
    if (result != nullptr || !raised || Py_TYPE(raised.get()) != reinterpret_cast<PyTypeObject*>(PyExc_MemoryError)) {
        return 5;
    }
    PyObject* next = contain([] { return PyFloat_FromDouble(2.5); });
    const bool works = next != nullptr && PyFloat_AsDouble(next) == 2.5;
    Py_XDECREF(next);
    return works ? 0 : 6;
}

TEST(ContainmentDeathTest, MessageThatCannotBeCreatedRaisesMemoryError) {
    for (ErrorClass error_class : {ErrorClass::ValueError, ErrorClass::TypeError, ErrorClass::Panic}) {
        EXPECT_EXIT(std::exit(raise_unmakeable_message(error_class)), testing::ExitedWithCode(0), "")
            << "error class " << static_cast<int>(error_class);
    }
}

TEST(ContainmentDeathTest, UncaughtFaultAborts) {
    EXPECT_DEATH(detail::abort_uncaught_fault(), "uncaught panic at ffi boundary");
}

}  // namespace
