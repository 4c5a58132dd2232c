// Ctrl-C during a long ufunc call.
//
// NumPy runs the module's loops with the interpreter lock released, and a
// signal's Python handler runs only when the main thread gets back to the
// interpreter: without help, Ctrl-C would wait for the whole call. So a
// shared loop on the main thread (shared_loops.hpp) looks, between its
// chunks and at most every kCheckEvery, for a pending signal: it takes the
// lock and runs the handlers (PyErr_CheckSignals). When a handler raises
// (KeyboardInterrupt, by default), the loop hands out no further chunk, lets
// the chunks in progress finish, and returns with the exception set. NumPy
// (1.26 and 2.x) looks for a set exception once the loops of a call are
// done and raises it instead of returning the result. NumPy calls the loop
// once per buffer of a buffered call (inputs it casts): each later buffer
// finds the exception set at its first look and stops at once.
//
// A handler that raises nothing lets the loop go on. Loops on other threads
// never look: Python runs signal handlers on the main thread only.
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
