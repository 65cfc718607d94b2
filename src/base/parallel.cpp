#include "base/parallel.h"

#include <sched.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <condition_variable>
#include <cstdlib>
#include <deque>
#include <exception>
#include <mutex>
#include <new>
#include <string_view>
#include <system_error>
#include <thread>

namespace kwivel {

namespace {

// Upper bound on KWIVEL_NUM_THREADS, so that a typo cannot ask for millions
// of threads.
constexpr std::size_t kMaxThreads = 4096;

// KWIVEL_NUM_THREADS as a positive integer, or 0 when unset or not one.
std::size_t env_threads() {
    const char* s = std::getenv("KWIVEL_NUM_THREADS");
    if (s == nullptr) return 0;
    std::string_view v(s);
    std::size_t n = 0;
    auto [end, ec] = std::from_chars(v.data(), v.data() + v.size(), n);
    if (ec == std::errc::result_out_of_range) return kMaxThreads;
    if (ec != std::errc() || end != v.data() + v.size() || n == 0) return 0;
    return std::min(n, kMaxThreads);
}

// CPUs in this process's affinity mask, or 0 when it cannot be read.
std::size_t affinity_cpus() {
    // The mask may be wider than cpu_set_t on very large machines: grow the
    // buffer until the kernel accepts it.
    for (int ncpus = CPU_SETSIZE; ncpus <= (1 << 16); ncpus *= 2) {
        cpu_set_t* set = CPU_ALLOC(ncpus);
        if (set == nullptr) return 0;
        std::size_t size = CPU_ALLOC_SIZE(ncpus);
        CPU_ZERO_S(size, set);
        int rc = sched_getaffinity(0, size, set);
        int err = errno;
        std::size_t count = rc == 0 ? static_cast<std::size_t>(CPU_COUNT_S(size, set)) : 0;
        CPU_FREE(set);
        if (rc == 0) return count;
        if (err != EINVAL) return 0;
    }
    return 0;
}

std::size_t wanted_threads() {
    if (std::size_t n = env_threads()) return n;
    if (std::size_t n = affinity_cpus()) return n;
    return std::max<std::size_t>(1, std::thread::hardware_concurrency());
}

// One parallel_for call.  Lives on the caller's stack; everything but `body`
// is guarded by the pool mutex.
struct Loop {
    const std::function<void(std::size_t, std::size_t)>* body;
    std::size_t pending = 0;    // queued or running tasks of this loop
    std::exception_ptr error;   // first exception caught in a piece
};

// A piece [lo, hi) waiting to be run, with the number of threads it may
// still be spread over.
struct Task {
    Loop* loop;
    std::size_t lo;
    std::size_t hi;
    std::size_t budget;
};

class Pool {
public:
    explicit Pool(std::size_t wanted) {
        std::size_t started = 0;
        for (; started + 1 < wanted; ++started) {
            try {
                std::thread([this] { wait_and_help(nullptr); }).detach();
            } catch (const std::system_error&) {
                break;  // fewer workers than asked for; the loops still work
            }
        }
        threads_ = started + 1;
    }

    std::size_t threads() const { return threads_; }

    // Splits [lo, hi) in two while the budget allows: the right part goes to
    // the queue, this thread carries on with the left part and finally runs
    // what is left of it.  Each part's share of the items follows its share
    // of the budget, so n items over b threads make min(n, b) pieces of
    // nearly equal size.
    void run_range(Loop& loop, std::size_t lo, std::size_t hi, std::size_t budget) {
        while (budget > 1 && hi - lo > 1) {
            std::size_t n = hi - lo;
            std::size_t right_budget = budget / 2;
            std::size_t left_budget = budget - right_budget;
            // n * left_budget / budget without overflow.
            std::size_t left_n = n / budget * left_budget + n % budget * left_budget / budget;
            std::size_t mid = lo + left_n;
            if (!push(Task{&loop, mid, hi, right_budget})) break;
            hi = mid;
            budget = left_budget;
        }
        (*loop.body)(lo, hi);
    }

    // Runs queued tasks until `loop` has no pending task left; with a null
    // loop (a worker) never returns.  `first_error` is the caller's own
    // exception, recorded before any that a task may still report.
    void wait_and_help(Loop* loop, std::exception_ptr first_error = nullptr) {
        std::unique_lock<std::mutex> lock(mutex_);
        if (loop != nullptr && first_error && !loop->error) loop->error = first_error;
        for (;;) {
            if (loop != nullptr && loop->pending == 0) {
                // A push may have woken this thread rather than an idle one:
                // hand the wake-up on.
                if (!queue_.empty()) wake_.notify_one();
                return;
            }
            if (queue_.empty()) {
                wake_.wait(lock);
                continue;
            }
            Task task = queue_.front();
            queue_.pop_front();
            lock.unlock();
            std::exception_ptr error;
            try {
                run_range(*task.loop, task.lo, task.hi, task.budget);
            } catch (...) {
                error = std::current_exception();
            }
            lock.lock();
            if (error && !task.loop->error) task.loop->error = error;
            // The loop's caller may destroy it as soon as pending reaches
            // zero and the lock is released: do not touch it afterwards.
            if (--task.loop->pending == 0) wake_.notify_all();
        }
    }

private:
    bool push(const Task& task) {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            try {
                queue_.push_back(task);
            } catch (const std::bad_alloc&) {
                return false;  // the caller runs the range itself
            }
            ++task.loop->pending;
        }
        wake_.notify_one();
        return true;
    }

    std::size_t threads_ = 1;
    std::mutex mutex_;
    std::condition_variable wake_;  // a task was queued or a loop finished
    std::deque<Task> queue_;
};

// Created on first use and never destroyed: the workers sleep on its mutex
// and condition variable until the process ends.
Pool& pool() {
    static Pool* const p = new Pool(wanted_threads());
    return *p;
}

}  // namespace

std::size_t pool_threads() { return pool().threads(); }

void parallel_for(std::size_t begin, std::size_t end,
                  const std::function<void(std::size_t, std::size_t)>& body) {
    if (begin >= end) return;
    if (end - begin == 1) {
        body(begin, end);
        return;
    }
    Pool& p = pool();
    if (p.threads() == 1) {
        body(begin, end);
        return;
    }
    Loop loop{&body, 0, nullptr};
    std::exception_ptr error;
    try {
        p.run_range(loop, begin, end, p.threads());
    } catch (...) {
        error = std::current_exception();
    }
    p.wait_and_help(&loop, error);
    if (loop.error) std::rethrow_exception(loop.error);
}

}  // namespace kwivel
