#include "ufuncs/interrupt.hpp"

#include "cpython/py_ref.hpp"
#include "cpython/python.hpp"

#include <atomic>
#include <chrono>
#include <csignal>

namespace kestrelfin::ufuncs {
namespace {

using Clock = std::chrono::steady_clock;

std::atomic<unsigned long> g_main_thread{0};

// When the main thread's loops next look for a signal. Kept across loop
// calls: NumPy calls the loop once per buffer of a buffered call, and the
// buffers together make the long call. Only the main thread uses it.
Clock::time_point g_next_check{};

// With the interpreter lock: runs the signal handlers; true when they ask
// the loop to stop.
bool handlers_ask_to_stop() noexcept {
    const PyGILState_STATE state = PyGILState_Ensure();
    bool stop = false;
    // A handler's exception stays set for NumPy to raise; an exception
    // already set is one from an earlier buffer of the same call.
    if (PyErr_Occurred() != nullptr || PyErr_CheckSignals() < 0) {
        stop = true;
        // Each later buffer of the call stops at its first look.
        g_next_check = Clock::time_point{};
    }
    PyGILState_Release(state);
    return stop;
}

}  // namespace

InterruptCheck::InterruptCheck() noexcept
        : applies_(PyThread_get_thread_ident() == g_main_thread.load(std::memory_order_relaxed)) {}

bool InterruptCheck::requested(void* /*check*/) noexcept {
    const Clock::time_point now = Clock::now();
    if (now < g_next_check) {
        return false;
    }
    g_next_check = now + kCheckEvery;
    return handlers_ask_to_stop();
}

bool record_main_thread() {
    cpython::PyRef threading = cpython::PyRef::steal(PyImport_ImportModule("threading"));
    if (!threading) {
        return false;
    }
    cpython::PyRef main = cpython::PyRef::steal(PyObject_CallMethod(threading.get(), "main_thread", nullptr));
    if (!main) {
        return false;
    }
    cpython::PyRef ident = cpython::PyRef::steal(PyObject_GetAttrString(main.get(), "ident"));
    if (!ident) {
        return false;
    }
    const unsigned long value = PyLong_AsUnsignedLong(ident.get());
    if (value == static_cast<unsigned long>(-1) && PyErr_Occurred() != nullptr) {
        return false;
    }
    g_main_thread.store(value, std::memory_order_relaxed);
    return true;
}

}  // namespace kestrelfin::ufuncs
