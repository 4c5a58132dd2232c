// The thread pool of the package's ufuncs (pool/thread_pool.hpp): every
// element of a call is computed exactly once whatever the limit, chunk
// boundaries fall on the grain, a stop request ends the call early, the
// limit is kept under concurrent callers, and no thread starts before a call
// that can use one.
#include "pool/thread_pool.hpp"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstddef>
#include <mutex>
#include <set>
#include <thread>
#include <vector>

namespace {

using kestrelfin::pool::chunk_size;
using kestrelfin::pool::kMaxChunk;
using kestrelfin::pool::run_chunks;
using kestrelfin::pool::set_thread_limit;
using kestrelfin::pool::Work;

struct Counting {
    std::vector<std::atomic<int>> visits;
    std::atomic<std::size_t> misaligned{0};
    std::mutex mutex;
    std::set<std::thread::id> threads;
    std::size_t grain;

    Counting(std::size_t n, std::size_t g) : visits(n), grain(g) {}

    static void run(void* context, std::size_t begin, std::size_t end) noexcept {
        auto& self = *static_cast<Counting*>(context);
        if (begin % self.grain != 0) {
            ++self.misaligned;
        }
        for (std::size_t i = begin; i < end; ++i) {
            ++self.visits[i];
        }
        std::lock_guard lock(self.mutex);
        self.threads.insert(std::this_thread::get_id());
    }
};

Work work_for(Counting& counting, bool (*stop)(void*) noexcept = nullptr, void* stop_context = nullptr) {
    return Work{&Counting::run, &counting, counting.visits.size(), counting.grain, stop, stop_context, 1};
}

class ThreadPool : public testing::Test {
protected:
    void TearDown() override { set_thread_limit(previous_); }
    unsigned previous_ = kestrelfin::pool::thread_limit();
};

TEST_F(ThreadPool, NoThreadStartsBeforeACallThatCanUseOne) {
    // Runs first in this process (gtest keeps the order of a file's tests).
    EXPECT_EQ(kestrelfin::pool::started_threads(), 0u);
    set_thread_limit(1);
    Counting counting(100'003, 64);
    ASSERT_TRUE(run_chunks(work_for(counting)));
    EXPECT_EQ(kestrelfin::pool::started_threads(), 0u);
    EXPECT_EQ(counting.threads.size(), 1u);
}

TEST_F(ThreadPool, EveryElementOnceForAnyLimit) {
    for (unsigned limit : {1u, 2u, 3u, 8u}) {
        for (std::size_t n : {std::size_t{1}, std::size_t{63}, std::size_t{64}, std::size_t{65}, std::size_t{100'003},
                              std::size_t{1'000'001}}) {
            set_thread_limit(limit);
            Counting counting(n, 64);
            ASSERT_TRUE(run_chunks(work_for(counting)));
            for (std::size_t i = 0; i < n; ++i) {
                ASSERT_EQ(counting.visits[i].load(), 1) << "limit " << limit << " n " << n << " i " << i;
            }
            EXPECT_EQ(counting.misaligned.load(), 0u);
            EXPECT_LE(counting.threads.size(), limit);
        }
    }
    // Eight threads allowed and a long call: the pool did join in.
    EXPECT_GE(kestrelfin::pool::started_threads(), 1u);
    EXPECT_LE(kestrelfin::pool::started_threads(), 7u);
}

TEST_F(ThreadPool, AShortLoopWakesNoMoreThreadsThanItIsWorth) {
    set_thread_limit(8);
    // 10'000 elements, at least 4'096 a thread: the caller and one helper.
    Counting counting(10'000, 64);
    Work work = work_for(counting);
    work.min_per_thread = 4'096;
    ASSERT_TRUE(run_chunks(work));
    EXPECT_LE(counting.threads.size(), 2u);
    // Fewer than twice the minimum: the caller alone.
    Counting alone(8'000, 64);
    work = work_for(alone);
    work.min_per_thread = 4'096;
    ASSERT_TRUE(run_chunks(work));
    EXPECT_EQ(alone.threads.size(), 1u);
    EXPECT_EQ(*alone.threads.begin(), std::this_thread::get_id());
}

TEST_F(ThreadPool, ChunkSizes) {
    // About eight chunks a thread, on the grain, at most kMaxChunk.
    EXPECT_EQ(chunk_size(16'000, 2, 64), 1'024u);
    EXPECT_EQ(chunk_size(100, 8, 64), 64u);
    EXPECT_EQ(chunk_size(10'000'000, 2, 64), kMaxChunk);
    EXPECT_EQ(kMaxChunk % 64, 0u);
    for (unsigned threads : {1u, 2u, 3u, 64u}) {
        for (std::size_t n : {std::size_t{1}, std::size_t{8193}, std::size_t{123'457}, std::size_t{99'999'999}}) {
            const std::size_t chunk = chunk_size(n, threads, 64);
            EXPECT_EQ(chunk % 64, 0u);
            EXPECT_GE(chunk, 64u);
            EXPECT_LE(chunk, kMaxChunk);
        }
    }
}

struct StopAfter {
    std::atomic<int> asked{0};
    int stop_at;
    static bool check(void* context) noexcept {
        auto& self = *static_cast<StopAfter*>(context);
        return ++self.asked > self.stop_at;
    }
};

TEST_F(ThreadPool, AStopRequestEndsTheCallEarly) {
    for (unsigned limit : {1u, 2u, 4u}) {
        set_thread_limit(limit);
        Counting counting(1'000'000, 64);
        // On one thread, after three chunks; with helpers, at the caller's
        // first look (helpers may finish everything before its second).
        StopAfter stop{.stop_at = limit == 1 ? 3 : 0};
        EXPECT_FALSE(run_chunks(work_for(counting, &StopAfter::check, &stop)));
        std::size_t done = 0;
        for (auto& v : counting.visits) {
            EXPECT_LE(v.load(), 1);
            done += static_cast<std::size_t>(v.load());
        }
        if (limit == 1) {
            // The caller alone: three chunks, then the stop.
            EXPECT_EQ(done, 3 * chunk_size(1'000'000, 1, 64));
            EXPECT_EQ(stop.asked.load(), 4);
        } else {
            // The caller asked once and took no chunk: whatever was done,
            // helpers did, before they saw the stop.
            EXPECT_EQ(stop.asked.load(), 1);
        }
    }
}

TEST_F(ThreadPool, ConcurrentCallersStayWithinTheLimit) {
    set_thread_limit(3);
    std::atomic<int> active{0};
    std::atomic<int> most{0};
    struct Context {
        std::atomic<int>* active;
        std::atomic<int>* most;
        std::vector<std::atomic<int>>* visits;
    };
    const auto run = [](void* context, std::size_t begin, std::size_t end) noexcept {
        auto& c = *static_cast<Context*>(context);
        const int now = ++*c.active;
        int seen = c.most->load();
        while (now > seen && !c.most->compare_exchange_weak(seen, now)) {
        }
        for (std::size_t i = begin; i < end; ++i) {
            ++(*c.visits)[i];
        }
        --*c.active;
    };
    const std::size_t before = kestrelfin::pool::started_threads();
    std::vector<std::thread> callers;
    std::vector<std::vector<std::atomic<int>>> visits(4);
    for (auto& v : visits) {
        v = std::vector<std::atomic<int>>(400'001);
    }
    for (int c = 0; c < 4; ++c) {
        callers.emplace_back([&, c] {
            Context context{&active, &most, &visits[static_cast<std::size_t>(c)]};
            for (int repeat = 0; repeat < 5; ++repeat) {
                run_chunks(Work{run, &context, 400'001, 64, nullptr, nullptr, 1});
            }
        });
    }
    for (auto& caller : callers) {
        caller.join();
    }
    for (auto& v : visits) {
        for (auto& count : v) {
            ASSERT_EQ(count.load(), 5);
        }
    }
    // Four callers and at most two helpers (the limit leaves the pool two
    // threads beside one caller; more callers take none).
    EXPECT_LE(most.load(), 4 + 2);
    EXPECT_LE(kestrelfin::pool::started_threads(), std::max<std::size_t>(before, 2));
}

// A call whose chunks sleep, noting the threads that ran them and, while
// `watching` is set, the chunks a thread other than the caller started.
struct Sleepy {
    Sleepy(std::thread::id caller_id, std::atomic<bool>* watched = nullptr) : caller(caller_id), watching(watched) {}
    std::chrono::microseconds nap{2'000};
    std::thread::id caller;
    std::atomic<bool>* watching;
    std::mutex mutex;
    std::set<std::thread::id> threads;
    std::atomic<int> chunks{0};
    std::atomic<int> helper_chunks_while_watching{0};

    static void run(void* context, std::size_t, std::size_t) noexcept {
        auto& self = *static_cast<Sleepy*>(context);
        if (std::this_thread::get_id() != self.caller && self.watching != nullptr && self.watching->load()) {
            ++self.helper_chunks_while_watching;
        }
        {
            std::lock_guard lock(self.mutex);
            self.threads.insert(std::this_thread::get_id());
        }
        ++self.chunks;
        std::this_thread::sleep_for(self.nap);
    }
    std::size_t thread_count() {
        std::lock_guard lock(mutex);
        return threads.size();
    }
};

TEST_F(ThreadPool, AHelperMakesRoomForANewCaller) {
    // Two threads allowed: the first call takes a helper; once a second
    // caller is at work, the helper starts at most the one chunk it may have
    // begun before it saw the newcomer, and then leaves.
    set_thread_limit(2);
    constexpr std::size_t n = 64 * 256;
    const int chunks = static_cast<int>(n / chunk_size(n, 2, 64));
    std::atomic<bool> watching{false};
    Sleepy first(std::this_thread::get_id(), &watching);
    std::thread second_caller([&] {
        while (first.thread_count() < 2) {  // the helper has joined the first call
            std::this_thread::yield();
        }
        Sleepy second(std::this_thread::get_id());
        // The watch lasts from the second call's first chunk to the start
        // of its last: the second caller is at work all along.
        struct Watched {
            Sleepy* sleepy;
            std::atomic<bool>* watching;
            int chunks;
            std::atomic<int> started{0};
            static void run(void* context, std::size_t begin, std::size_t end) noexcept {
                auto& self = *static_cast<Watched*>(context);
                self.watching->store(++self.started < self.chunks);
                Sleepy::run(self.sleepy, begin, end);
            }
        } watched{&second, &watching, chunks};
        ASSERT_TRUE(run_chunks(Work{&Watched::run, &watched, n, 64, nullptr, nullptr, 1}));
        EXPECT_EQ(second.chunks.load(), chunks);
    });
    ASSERT_TRUE(run_chunks(Work{&Sleepy::run, &first, n, 64, nullptr, nullptr, 1}));
    second_caller.join();
    EXPECT_EQ(first.chunks.load(), chunks);
    EXPECT_LE(first.helper_chunks_while_watching.load(), 1);
}

TEST_F(ThreadPool, AFreedPlaceGoesToACallStillRunning) {
    // Two threads allowed and another call at work: a new call starts alone,
    // and takes a helper as soon as the other call ends.
    set_thread_limit(2);
    std::atomic<bool> other_started{false};
    std::atomic<bool> release_other{false};
    struct Blocking {
        std::atomic<bool>* started;
        std::atomic<bool>* release;
        static void run(void* context, std::size_t, std::size_t) noexcept {
            auto& self = *static_cast<Blocking*>(context);
            self.started->store(true);
            while (!self.release->load()) {
                std::this_thread::yield();
            }
        }
    } blocking{&other_started, &release_other};
    std::thread other([&] { run_chunks(Work{&Blocking::run, &blocking, 64, 64, nullptr, nullptr, 1}); });
    while (!other_started.load()) {
        std::this_thread::yield();
    }
    struct Releasing {
        Sleepy sleepy;
        std::atomic<bool>* release;
        static void run(void* context, std::size_t begin, std::size_t end) noexcept {
            auto& self = *static_cast<Releasing*>(context);
            self.release->store(true);
            Sleepy::run(&self.sleepy, begin, end);
        }
    } call{Sleepy(std::this_thread::get_id()), &release_other};
    constexpr std::size_t n = 64 * 256;
    ASSERT_TRUE(run_chunks(Work{&Releasing::run, &call, n, 64, nullptr, nullptr, 1}));
    other.join();
    EXPECT_EQ(call.sleepy.chunks.load(), static_cast<int>(n / chunk_size(n, 2, 64)));
    EXPECT_EQ(call.sleepy.thread_count(), 2u);
}

}  // namespace
