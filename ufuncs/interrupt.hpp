// Ctrl-C during a long ufunc call.
//
// NumPy runs the module's loops with the interpreter lock released, and a
// signal's Python handler runs only when the main thread gets back to the
// interpreter: without help, Ctrl-C would wait for the whole call. So a
// shared loop on the main thread (shared_loops.hpp) looks, between its
// chunks and at most every kCheckEvery, for a pending signal: it takes the
// lock and runs the handlers (PyErr_CheckSignals). When they raise
// KeyboardInterrupt, the loop hands out no further chunk, lets the chunks in
// progress finish and returns. A loop has no way to report an error to NumPy
// through the limited API (a legacy loop returns nothing, and NumPy does not
// look for a set exception after one), so the exception is not left set:
// the interrupt is made pending again (PyErr_SetInterrupt), and the
// interpreter raises KeyboardInterrupt as soon as NumPy returns. The rest of
// the call's elements are skipped: NumPy calls the loop once per buffer of
// a buffered call, and each of these calls stops at its first check.
//
// A handler that raises anything else (a handler of the program's own for
// another signal) leaves that exception set; the ufunc then raises
// SystemError caused by it. A handler that raises nothing lets the loop go
// on. Loops on other threads never check: Python runs signal handlers on
// the main thread only.
#pragma once

#include <chrono>

namespace kestrelfin::ufuncs {

inline constexpr std::chrono::milliseconds kCheckEvery{20};

class InterruptCheck {
public:
    InterruptCheck() noexcept;

    // Whether this loop runs on the thread that handles signals.
    bool applies() const noexcept { return applies_; }

    // pool::Work's should_stop: whether a signal handler asked to stop.
    static bool requested(void* check) noexcept;

private:
    bool applies_;
};

// Records the thread that handles signals; called while the module is
// created, with the interpreter lock held. Returns false with an exception
// set on failure.
bool record_main_thread();

}  // namespace kestrelfin::ufuncs
