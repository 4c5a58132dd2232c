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
    unsigned invited = 0;  // helpers invited that have not yet joined
    unsigned running = 0;  // helpers working on it
};

// Takes chunks until none is left or the call stops; returns when this
// thread has no chunk in progress.
void work_on(Job& job, bool is_caller) noexcept {
    const Work& work = *job.work;
    while (!job.stopped.load(std::memory_order_relaxed)) {
        if (is_caller && work.should_stop != nullptr && work.should_stop(work.stop_context)) {
            job.stopped.store(true, std::memory_order_relaxed);
            break;
        }
        const std::size_t begin = job.next.fetch_add(job.chunk, std::memory_order_relaxed);
        if (begin >= work.n) {
            break;
        }
        work.run_chunk(work.context, begin, std::min(work.n, begin + job.chunk));
    }
}

std::atomic<unsigned> g_limit{0};  // 0: not yet set, affinity_cpu_count() then

class Pool {
public:
    // The calling thread's part of run_chunks.
    bool run(const Work& work, unsigned limit) noexcept {
        Job job;
        job.work = &work;
        std::unique_lock lock(mutex_);
        ++callers_;
        // Threads already promised to calls (invited or running) and the
        // callers themselves all count against the limit.
        const unsigned busy = callers_ + committed_;
        const std::size_t chunks_left = (work.n + chunk_for(work, limit) - 1) / chunk_for(work, limit);
        unsigned helpers = busy < limit ? limit - busy : 0;
        helpers = static_cast<unsigned>(std::min<std::size_t>(helpers, chunks_left > 0 ? chunks_left - 1 : 0));
        const std::size_t worth = work.n / std::max<std::size_t>(work.min_per_thread, 1);
        helpers = static_cast<unsigned>(std::min<std::size_t>(helpers, worth > 0 ? worth - 1 : 0));
        helpers = std::min(helpers, start_threads(committed_ + helpers) - committed_);
        job.chunk = chunk_for(work, helpers + 1);
        if (helpers > 0) {
            job.invited = helpers;
            committed_ += helpers;
            enqueue(job);
            lock.unlock();
            if (helpers == 1) {
                work_ready_.notify_one();
            } else {
                work_ready_.notify_all();
            }
        } else {
            lock.unlock();
        }
        work_on(job, true);
        lock.lock();
        if (job.invited > 0) {
            // Helpers that have not joined yet are not waited for.
            remove(job);
            committed_ -= job.invited;
            job.invited = 0;
        }
        job_done_.wait(lock, [&] { return job.running == 0; });
        --callers_;
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
    static std::size_t chunk_for(const Work& work, unsigned threads) { return chunk_size(work.n, threads, work.grain); }

    void enqueue(Job& job) {
        job.next_in_queue = nullptr;
        if (tail_ == nullptr) {
            head_ = &job;
        } else {
            tail_->next_in_queue = &job;
        }
        tail_ = &job;
    }

    void remove(Job& job) {
        Job* previous = nullptr;
        for (Job* j = head_; j != nullptr; previous = j, j = j->next_in_queue) {
            if (j == &job) {
                (previous == nullptr ? head_ : previous->next_in_queue) = j->next_in_queue;
                if (tail_ == j) {
                    tail_ = previous;
                }
                return;
            }
        }
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

    // A pool thread: joins the first call that invited a helper, works on
    // it, and sleeps while there is none.
    void serve() noexcept {
        std::unique_lock lock(mutex_);
        for (;;) {
            work_ready_.wait(lock, [&] { return head_ != nullptr; });
            Job& job = *head_;
            if (--job.invited == 0) {
                head_ = job.next_in_queue;
                if (head_ == nullptr) {
                    tail_ = nullptr;
                }
            }
            ++job.running;
            lock.unlock();
            work_on(job, false);
            // The floating-point status flags this thread raised are read
            // by nobody; start the next call with them clear.
            std::feclearexcept(FE_ALL_EXCEPT);
            lock.lock();
            --committed_;
            if (--job.running == 0 && job.invited == 0) {
                job_done_.notify_all();
            }
        }
    }

    std::mutex mutex_;
    std::condition_variable work_ready_;
    std::condition_variable job_done_;
    Job* head_ = nullptr;  // the calls that still invite helpers
    Job* tail_ = nullptr;
    unsigned threads_ = 0;
    unsigned callers_ = 0;    // calls in progress
    unsigned committed_ = 0;  // helpers invited or running
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
    const unsigned limit = thread_limit();
    Pool* pool = limit > 1 ? the_pool() : nullptr;
    if (pool != nullptr) {
        return pool->run(work, limit);
    }
    // One thread: the caller takes every chunk, still stopping on request.
    Job job;
    job.work = &work;
    job.chunk = chunk_size(work.n, 1, work.grain);
    work_on(job, true);
    return !job.stopped.load(std::memory_order_relaxed);
}

}  // namespace kestrelfin::pool
