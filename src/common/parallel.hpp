// Runs independent tasks on a few threads. Each task writes only its own output slot, so
// results are identical whatever the number of threads. The first exception a task
// throws is rethrown on the calling thread after every thread has stopped.
#pragma once

#include <sched.h>

#include <algorithm>
#include <atomic>
#include <cstddef>
#include <exception>
#include <mutex>
#include <thread>
#include <vector>

namespace larkspur {

// Threads to use for a request: 0 means one per available core.
// "Every core" is the CPUs this process may run on (its affinity, which a container or a
// job scheduler narrows), not every CPU of the machine.
inline std::size_t resolve_threads(std::size_t requested) {
    if (requested != 0) return requested;
    cpu_set_t set;
    if (sched_getaffinity(0, sizeof set, &set) == 0 && CPU_COUNT(&set) > 0) {
        return static_cast<std::size_t>(CPU_COUNT(&set));
    }
    const unsigned hw = std::thread::hardware_concurrency();
    return hw ? hw : 1;
}

// Calls task(i, worker) for i in [0, n), worker in [0, threads); tasks are taken in
// order from a shared counter. With one thread (or one task) everything runs inline.
template <class Task>
void parallel_for(std::size_t n, std::size_t threads, Task&& task) {
    threads = std::min(std::max<std::size_t>(threads, 1), std::max<std::size_t>(n, 1));
    if (threads == 1) {
        for (std::size_t i = 0; i < n; ++i) task(i, std::size_t{0});
        return;
    }
    std::atomic<std::size_t> next{0};
    std::atomic<bool> failed{false};
    std::exception_ptr error;
    std::mutex error_mu;
    auto work = [&](std::size_t worker) {
        for (;;) {
            const std::size_t i = next.fetch_add(1, std::memory_order_relaxed);
            if (i >= n || failed.load(std::memory_order_relaxed)) return;
            try {
                task(i, worker);
            } catch (...) {
                std::lock_guard<std::mutex> lock(error_mu);
                if (!error) error = std::current_exception();
                failed.store(true, std::memory_order_relaxed);
                return;
            }
        }
    };
    std::vector<std::thread> pool;
    pool.reserve(threads - 1);
    try {
        for (std::size_t w = 1; w < threads; ++w) pool.emplace_back(work, w);
    } catch (...) {
        // Could not start a thread: the ones running and this one finish the work.
    }
    work(0);
    for (auto& t : pool) t.join();
    if (error) std::rethrow_exception(error);
}

}  // namespace larkspur
