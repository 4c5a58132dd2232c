// The thread limit as C functions, exported from the shared object for the
// tools that find thread pools among a process's loaded libraries and set
// them through their symbols (threadpoolctl's controller of the package,
// kestrelfin/_threads.py, recognises this library by them).
#include "pool/thread_pool.hpp"

extern "C" {

__attribute__((visibility("default"))) int kestrelfin_get_num_threads(void) {
    return static_cast<int>(kestrelfin::pool::thread_limit());
}

// Returns the previous limit; a limit below 1 is taken as 1.
__attribute__((visibility("default"))) int kestrelfin_set_num_threads(int limit) {
    return static_cast<int>(kestrelfin::pool::set_thread_limit(limit < 1 ? 1u : static_cast<unsigned>(limit)));
}
}
