// The process-wide pool behind run_chunks (thread_pool.hpp).
#include "pool/thread_pool.hpp"

#include <pthread.h>
#include <sched.h>
#include <signal.h>

#include <algorithm>
#include <atomic>
#include <cfenv>
#include <condition_variable>
#include <cstddef>
#include <mutex>
#include <new>
#include <system_error>
#include <thread>

namespace kestrelfin::pool {
namespace {

// One call in progress. It lives on the caller's stack; the pool's mutex
// guards the fields below `next` (the queue link and the helper counts),
// and the caller leaves only once no helper can still reach it.
struct Job {
    const Work* work;
    std::size_t chunk;
    // The next chunk's first element, on a cache line of its own: every
    // thread of the call updates it, and nothing else should move with it.
    alignas(64) std::atomic<std::size_t> next{0};
    std::atomic<bool> stopped{false};
    alignas(64) Job* next_in_queue = nullptr;
    bool queued = false;        // in the queue of calls that take helpers
    bool closed = false;        // the caller has taken its last chunk: no helper may join
    unsigned most_helpers = 0;  // more would find no chunk, or too little work
    unsigned running = 0;       // helpers working on it

    bool has_chunks_left() const noexcept {
        return !stopped.load(std::memory_order_relaxed) && next.load(std::memory_order_relaxed) < work->n;
    }
};

// Takes the job's chunks until none is left, the call stops, or `leave`
// (asked before each chunk) says this thread should go; true in that last
// case. The caller leaves when it is asked to stop, a helper to make room.
template <class Leave>
bool take_chunks(Job& job, Leave&& leave) noexcept {
    const Work& work = *job.work;
    while (!job.stopped.load(std::memory_order_relaxed)) {
        if (leave()) {
            return true;
        }
        const std::size_t begin = job.next.fetch_add(job.chunk, std::memory_order_relaxed);
        if (begin >= work.n) {
            break;
        }
        work.run_chunk(work.context, begin, std::min(work.n, begin + job.chunk));
    }
    return false;
}

// The caller's chunks: until none is left or the call stops.
void work_on(Job& job) noexcept {
    const Work& work = *job.work;
    const bool asked_to_stop =
        take_chunks(job, [&] { return work.should_stop != nullptr && work.should_stop(work.stop_context); });
    if (asked_to_stop) {
        job.stopped.store(true, std::memory_order_relaxed);
    }
}

std::atomic<unsigned> g_limit{0};  // 0: not yet set, affinity_cpu_count() then

// The threads working on kestrelfin's loops are the callers (each works on
// its own call) and the pool's helpers; together they stay within the limit:
//   - a call joins at once, whatever the others do: it is never queued;
//   - an idle helper joins the oldest call that takes helpers only while
//     callers + helpers are fewer than the limit;
//   - a helper whose call is still running leaves it, between two chunks,
//     when a newly arrived caller has taken the machine over the limit (the
//     call takes helpers again once a thread is free);
//   - a caller or helper that finishes frees its place for a queued call.
// So calls made from several threads at once (Dask's workers) each run on
// about their share of the CPUs, and a call left alone at the end takes
// the CPUs the others freed.
class Pool {
public:
    // The calling thread's part of run_chunks.
    bool run(const Work& work, unsigned limit) noexcept {
        Job job;
        job.work = &work;
        const std::size_t chunk = chunk_size(work.n, limit, work.grain);
        job.chunk = chunk;
        const std::size_t chunks = (work.n + chunk - 1) / chunk;
        const std::size_t worth = work.n / std::max<std::size_t>(work.min_per_thread, 1);
        std::size_t helpers = std::min<std::size_t>({limit - 1, chunks - 1, worth > 0 ? worth - 1 : 0});
        std::unique_lock lock(mutex_);
        limit_ = limit;
        ++callers_;
        update_excess();
        if (helpers > 0) {
            job.most_helpers = static_cast<unsigned>(helpers);
            enqueue(job);
            invite_helpers(std::min<std::size_t>(helpers, free_places()));
        }
        lock.unlock();
        work_on(job);
        lock.lock();
        job.closed = true;
        if (job.queued) {
            remove(job);  // no helper joins it from now on
        }
        job_done_.wait(lock, [&] { return job.running == 0; });
        --callers_;
        update_excess();
        if (head_ != nullptr && free_places() > 0) {
            invite_helpers(1);  // this thread's place, to a call still running
        }
        return !job.stopped.load(std::memory_order_relaxed);
    }

    unsigned started() {
        std::lock_guard lock(mutex_);
        return threads_;
    }

    // Held across fork() so that the child never inherits it locked by a
    // thread that does not exist there.
    std::mutex& mutex() { return mutex_; }

private:
    // Places left under the limit (callers and helpers at work counted).
    unsigned free_places() const noexcept {
        const unsigned busy = callers_ + helpers_;
        return busy < limit_ ? limit_ - busy : 0;
    }

    // Helpers read this between chunks without the mutex: a hint that
    // someone may have to leave, confirmed under the mutex.
    void update_excess() noexcept { over_limit_.store(callers_ + helpers_ > limit_, std::memory_order_relaxed); }

    // Wakes `count` idle helpers for the queued calls, starting threads where
    // too few are idle. Called with the mutex held.
    void invite_helpers(std::size_t count) noexcept {
        if (count == 0) {
            return;
        }
        const unsigned wanted = helpers_ + static_cast<unsigned>(count);
        const unsigned idle = start_threads(wanted) - helpers_;
        if (std::min<std::size_t>(count, idle) == 1) {
            work_ready_.notify_one();
        } else {
            work_ready_.notify_all();
        }
    }

    void enqueue(Job& job) noexcept {
        job.next_in_queue = nullptr;
        job.queued = true;
        if (tail_ == nullptr) {
            head_ = &job;
        } else {
            tail_->next_in_queue = &job;
        }
        tail_ = &job;
    }

    void remove(Job& job) noexcept {
        Job* previous = nullptr;
        for (Job* j = head_; j != nullptr; previous = j, j = j->next_in_queue) {
            if (j == &job) {
                (previous == nullptr ? head_ : previous->next_in_queue) = j->next_in_queue;
                if (tail_ == j) {
                    tail_ = previous;
                }
                break;
            }
        }
        job.queued = false;
    }

    // Starts threads until `wanted` exist, as far as the system allows;
    // returns how many exist. Called with the mutex held.
    unsigned start_threads(unsigned wanted) noexcept {
        if (threads_ >= wanted) {
            return threads_;
        }
        // The new threads block every signal, so that a signal is handled
        // on a thread of the program's own (Python runs its handlers on the
        // main thread in any case).
        sigset_t all;
        sigset_t previous;
        sigfillset(&all);
        pthread_sigmask(SIG_SETMASK, &all, &previous);
        try {
            while (threads_ < wanted) {
                std::thread(&Pool::serve, this).detach();
                ++threads_;
            }
        } catch (const std::system_error&) {  // no more threads: use those there are
        } catch (const std::bad_alloc&) {
        }
        pthread_sigmask(SIG_SETMASK, &previous, nullptr);
        return threads_;
    }

    // A helper's chunks of one call: until none is left, or until it must
    // make room for a caller (then it returns true).
    bool help(Job& job) noexcept {
        return take_chunks(job, [&] {
            if (!over_limit_.load(std::memory_order_relaxed)) {
                return false;
            }
            std::lock_guard lock(mutex_);
            return callers_ + helpers_ > limit_;
        });
    }

    // A pool thread: joins the oldest call that takes helpers while the
    // limit leaves a place, works on it, and sleeps while there is none.
    void serve() noexcept {
        std::unique_lock lock(mutex_);
        for (;;) {
            work_ready_.wait(lock, [&] { return head_ != nullptr && free_places() > 0; });
            Job& job = *head_;
            if (++job.running == job.most_helpers) {
                remove(job);
            }
            ++helpers_;
            update_excess();
            lock.unlock();
            const bool made_room = help(job);
            // The floating-point status flags this thread raised are read
            // by nobody; start the next call with them clear.
            std::feclearexcept(FE_ALL_EXCEPT);
            lock.lock();
            --helpers_;
            update_excess();
            --job.running;
            if (made_room && !job.closed && !job.queued && job.has_chunks_left()) {
                enqueue(job);  // it takes a helper again when a place frees
            }
            if (job.running == 0) {
                job_done_.notify_all();
            }
        }
    }

    std::mutex mutex_;
    std::condition_variable work_ready_;
    std::condition_variable job_done_;
    Job* head_ = nullptr;  // the calls that take helpers, oldest first
    Job* tail_ = nullptr;
    unsigned threads_ = 0;
    unsigned callers_ = 0;  // calls in progress
    unsigned helpers_ = 0;  // pool threads working on a call
    unsigned limit_ = 1;    // the limit of the latest call
    std::atomic<bool> over_limit_{false};
};

std::atomic<Pool*> g_pool{nullptr};
Pool* g_locked_for_fork = nullptr;

void before_fork() noexcept {
    g_locked_for_fork = g_pool.load(std::memory_order_acquire);
    if (g_locked_for_fork != nullptr) {
        g_locked_for_fork->mutex().lock();
    }
}
void after_fork_in_parent() noexcept {
    if (g_locked_for_fork != nullptr) {
        g_locked_for_fork->mutex().unlock();
    }
}
// The child has none of the pool's threads: it forgets the pool (whose
// memory stays, unused) and builds a new one when it needs it.
void after_fork_in_child() noexcept {
    g_pool.store(nullptr, std::memory_order_release);
    g_locked_for_fork = nullptr;
}

Pool* the_pool() noexcept {
    Pool* pool = g_pool.load(std::memory_order_acquire);
    if (pool != nullptr) {
        return pool;
    }
    static std::atomic<bool> fork_handlers{false};
    if (!fork_handlers.exchange(true)) {
        pthread_atfork(&before_fork, &after_fork_in_parent, &after_fork_in_child);
    }
    Pool* made = new (std::nothrow) Pool();
    if (made == nullptr) {
        return nullptr;
    }
    if (!g_pool.compare_exchange_strong(pool, made, std::memory_order_acq_rel)) {
        delete made;  // another thread's pool was first
        return pool;
    }
    return made;
}

}  // namespace

std::size_t chunk_size(std::size_t n, unsigned threads, std::size_t grain) noexcept {
    grain = std::max<std::size_t>(grain, 1);
    const std::size_t pieces = std::size_t{8} * std::max(threads, 1u);
    std::size_t chunk = (n + pieces - 1) / pieces;
    chunk = std::min(chunk, kMaxChunk);
    chunk = (chunk + grain - 1) / grain * grain;
    return std::max(chunk, grain);
}

unsigned affinity_cpu_count() noexcept {
    cpu_set_t set;
    if (sched_getaffinity(0, sizeof(set), &set) == 0) {
        const int count = CPU_COUNT(&set);
        if (count > 0) {
            return static_cast<unsigned>(count);
        }
    }
    const unsigned hardware = std::thread::hardware_concurrency();
    return hardware > 0 ? hardware : 1;
}

unsigned thread_limit() noexcept {
    unsigned limit = g_limit.load(std::memory_order_relaxed);
    if (limit == 0) {
        unsigned unset = 0;
        limit = affinity_cpu_count();
        if (!g_limit.compare_exchange_strong(unset, limit, std::memory_order_relaxed)) {
            limit = unset;
        }
    }
    return limit;
}

unsigned set_thread_limit(unsigned limit) noexcept {
    const unsigned previous = thread_limit();
    g_limit.store(std::max(limit, 1u), std::memory_order_relaxed);
    return previous;
}

unsigned started_threads() noexcept {
    Pool* pool = g_pool.load(std::memory_order_acquire);
    return pool == nullptr ? 0 : pool->started();
}

bool run_chunks(const Work& work) noexcept {
    if (work.n == 0) {
        return true;
    }
    const unsigned limit = thread_limit();
    Pool* pool = limit > 1 ? the_pool() : nullptr;
    if (pool != nullptr) {
        return pool->run(work, limit);
    }
    // One thread: the caller takes every chunk, still stopping on request.
    Job job;
    job.work = &work;
    job.chunk = chunk_size(work.n, 1, work.grain);
    work_on(job);
    return !job.stopped.load(std::memory_order_relaxed);
}

}  // namespace kestrelfin::pool
