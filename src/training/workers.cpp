#include "training/workers.hpp"

#include <pthread.h>
#include <sched.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <exception>
#include <mutex>
#include <new>
#include <system_error>
#include <thread>
#include <vector>

namespace tessavo {

namespace {

std::atomic<int32_t> worker_limit{0};
std::atomic<bool> pool_clock_on{false};
std::atomic<int64_t> pool_cpu_ns{0};

int64_t thread_cpu_ns() {
    timespec t{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
    return static_cast<int64_t>(t.tv_sec) * 1000000000 + t.tv_nsec;
}

// Adds the calling thread's CPU time while alive, once counting is on.
class PoolClock {
public:
    PoolClock() : start_(pool_clock_on.load(std::memory_order_relaxed) ? thread_cpu_ns() : -1) {}
    ~PoolClock() {
        if (start_ >= 0) pool_cpu_ns.fetch_add(thread_cpu_ns() - start_, std::memory_order_relaxed);
    }
    PoolClock(const PoolClock&) = delete;
    PoolClock& operator=(const PoolClock&) = delete;

private:
    int64_t start_;
};

int32_t allowed_cpus() {
    cpu_set_t set;
    CPU_ZERO(&set);
    if (sched_getaffinity(0, sizeof set, &set) != 0) return 1;
    return std::max(1, CPU_COUNT(&set));
}

class Pool {
public:
    explicit Pool(int32_t helpers) { grow(helpers); }
    // Never destroyed: threads of a pool that a fork left behind do not exist
    // in the child, and live ones may be blocked when the process ends.
    Pool(const Pool&) = delete;
    Pool& operator=(const Pool&) = delete;

    int32_t helpers() const { return helpers_.load(std::memory_order_acquire); }

    // Starts threads until there are helpers of them, after any running job.
    void grow(int32_t helpers) {
        std::lock_guard<std::mutex> job_lock(job_mutex_);
        try {
            for (auto i = static_cast<int32_t>(threads_.size()); i < helpers; ++i) {
                threads_.emplace_back([this, i] { serve(i); });
                helpers_.store(i + 1, std::memory_order_release);
            }
        } catch (const std::system_error&) {
            // Fewer threads, possibly none: the caller still does the work.
        }
    }

    // False when another caller's job is running.
    bool run(std::size_t count, std::size_t chunk,
             const std::function<void(std::size_t, std::size_t)>& work, int32_t limit) {
        std::unique_lock<std::mutex> job_lock(job_mutex_, std::try_to_lock);
        if (!job_lock.owns_lock()) return false;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            work_ = &work;
            count_ = count;
            chunk_ = chunk;
            next_.store(0, std::memory_order_relaxed);
            failure_ = nullptr;
            joiners_ = limit - 1;
            ++generation_;
        }
        wake_.notify_all();
        take_chunks(work);
        std::unique_lock<std::mutex> lock(mutex_);
        // Late wakers find no job; the caller waits for those inside one.
        work_ = nullptr;
        done_.wait(lock, [this] { return running_ == 0; });
        if (failure_) {
            std::exception_ptr failure = failure_;
            failure_ = nullptr;
            std::rethrow_exception(failure);
        }
        return true;
    }

private:
    void take_chunks(const std::function<void(std::size_t, std::size_t)>& work) {
        for (;;) {
            const std::size_t begin = next_.fetch_add(chunk_, std::memory_order_relaxed);
            if (begin >= count_) return;
            try {
                work(begin, std::min(count_, begin + chunk_));
            } catch (...) {
                std::lock_guard<std::mutex> lock(mutex_);
                if (!failure_) failure_ = std::current_exception();
                // The remaining chunks are skipped.
                next_.store(count_, std::memory_order_relaxed);
                return;
            }
        }
    }

    void serve(int32_t) {
        uint64_t seen = 0;
        std::unique_lock<std::mutex> lock(mutex_);
        for (;;) {
            wake_.wait(lock, [&] { return generation_ != seen; });
            seen = generation_;
            if (work_ == nullptr || joiners_ <= 0) continue;
            --joiners_;
            const auto* work = work_;
            ++running_;
            lock.unlock();
            take_chunks(*work);
            lock.lock();
            if (--running_ == 0) done_.notify_one();
        }
    }

    std::vector<std::thread> threads_;
    std::atomic<int32_t> helpers_{0};
    std::mutex job_mutex_;  // one job at a time
    std::mutex mutex_;
    std::condition_variable wake_;
    std::condition_variable done_;
    uint64_t generation_ = 0;
    const std::function<void(std::size_t, std::size_t)>* work_ = nullptr;
    std::size_t count_ = 0;
    std::size_t chunk_ = 1;
    std::atomic<std::size_t> next_{0};
    std::exception_ptr failure_;
    int32_t joiners_ = 0;
    int32_t running_ = 0;
};

std::mutex pool_mutex;
Pool* pool = nullptr;
pid_t pool_pid = 0;

// Threads wanted: the limit when one is set, otherwise the CPUs this process
// may run on, as counted at first use.
int32_t wanted_threads() {
    static const int32_t cpus = allowed_cpus();
    const int32_t limit = worker_limit.load(std::memory_order_relaxed);
    return limit > 0 ? limit : cpus;
}

// The process's pool, started on first use and grown to what is wanted. A
// forked child has none of its parent's threads: it leaves the parent's
// pool alone and starts its own.
Pool* current_pool(int32_t helpers) {
    const pid_t pid = getpid();
    Pool* current;
    {
        std::lock_guard<std::mutex> lock(pool_mutex);
        if (pool == nullptr || pool_pid != pid) {
            pool = new Pool(helpers);
            pool_pid = pid;
        }
        current = pool;
    }
    if (current->helpers() < helpers) current->grow(helpers);
    return current;
}

// After a fork the mutex may have been held by a thread the child lacks.
void reset_in_child() { new (&pool_mutex) std::mutex(); }

[[maybe_unused]] const int registered = pthread_atfork(nullptr, nullptr, reset_in_child);

}  // namespace

void parallel_chunks(std::size_t count, std::size_t chunk,
                     const std::function<void(std::size_t, std::size_t)>& work) {
    const PoolClock clock;
    chunk = std::max<std::size_t>(chunk, 1);
    const int32_t threads = worker_threads();
    if (threads > 1 && count > chunk && current_pool(threads - 1)->run(count, chunk, work, threads))
        return;
    for (std::size_t begin = 0; begin < count; begin += chunk) {
        work(begin, std::min(count, begin + chunk));
    }
}

int32_t worker_threads() {
    const int32_t wanted = wanted_threads();
    if (wanted <= 1) return 1;
    return std::min(wanted, current_pool(wanted - 1)->helpers() + 1);
}

int32_t threads_in_use() {
    const int32_t wanted = wanted_threads();
    std::lock_guard<std::mutex> lock(pool_mutex);
    if (wanted <= 1 || pool == nullptr || pool_pid != getpid()) return wanted;
    // A pool that could not start every thread it was asked for.
    return std::min(wanted, pool->helpers() + 1);
}

double pool_cpu_seconds() {
    pool_clock_on.store(true, std::memory_order_relaxed);
    return static_cast<double>(pool_cpu_ns.load(std::memory_order_relaxed)) * 1e-9;
}

void set_worker_limit(int32_t limit) { worker_limit.store(limit, std::memory_order_relaxed); }

}  // namespace tessavo
