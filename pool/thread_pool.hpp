// A process-wide pool of native threads that share the chunks of one long
// loop with the thread that calls it. Free of Python: a pool thread never
// touches the interpreter, and the caller decides, between its own chunks,
// whether to stop (kestrelfin._ufuncs checks for Ctrl-C there).
//
// How a call runs (run_chunks):
//   - the range [0, n) is cut into chunks whose boundaries are multiples of
//     the call's grain (the lane width and a cache line of doubles), handed
//     out one at a time from an atomic counter, so a thread that finishes
//     early takes the next chunk and all threads stay busy to the end;
//   - the caller always works, at once; idle pool threads join it while the
//     callers and helpers at work are fewer than the limit, and a helper
//     leaves a call between two chunks when a newly arrived caller has taken
//     the machine over the limit. So calls made from several threads at
//     once (Dask's workers) share the CPUs instead of oversubscribing them,
//     and the call left running at the end takes the CPUs the others freed;
//   - nothing is allocated per call: the call's bookkeeping lives on the
//     caller's stack, linked into the pool's queue while helpers may join;
//   - no thread exists until the first call that can use one; the pool then
//     keeps its threads (idle ones sleep) and is never destroyed, so the
//     process exits with it alive;
//   - in a child made by fork() the pool is forgotten and rebuilt at the
//     first call that needs it; the limit carries over.
#pragma once

#include <cstddef>

namespace kestrelfin::pool {

// The work of one call. run_chunk computes elements [begin, end); it must
// not throw. should_stop, if given, is called by the calling thread alone,
// between its chunks; once it returns true no further chunk is started, the
// chunks in progress finish, and run_chunks returns false.
struct Work {
    void (*run_chunk)(void* context, std::size_t begin, std::size_t end) noexcept;
    void* context;
    std::size_t n;
    std::size_t grain;
    bool (*should_stop)(void* stop_context) noexcept;
    void* stop_context;
    // Each thread that joins should have at least this many elements to
    // compute: waking a thread for less costs more than it saves (on a
    // machine of 64 cores, a loop of 10^4 elements takes a few threads,
    // not 64).
    std::size_t min_per_thread;
};

// Runs every chunk of the work (true), or stops early at should_stop's word
// (false). Safe to call from any number of threads at once.
bool run_chunks(const Work& work) noexcept;

// The number of threads that may work on kestrelfin's loops at once, the
// callers' own threads included (at least 1). Changing it affects the calls
// that start afterwards.
unsigned thread_limit() noexcept;
unsigned set_thread_limit(unsigned limit) noexcept;  // returns the previous limit

// The CPUs this process may run on (its affinity mask), at least 1.
unsigned affinity_cpu_count() noexcept;

// The number of pool threads started so far (for the tests: none until a
// long loop needs them).
unsigned started_threads() noexcept;

// The chunk size for n elements shared by up to `threads` threads: about
// eight chunks per thread so that uneven chunks (an implied volatility takes
// a variable number of steps) even out, a multiple of the grain, and at most
// kMaxChunk elements so that the caller looks for a stop request often.
inline constexpr std::size_t kMaxChunk = 16384;
std::size_t chunk_size(std::size_t n, unsigned threads, std::size_t grain) noexcept;

}  // namespace kestrelfin::pool
