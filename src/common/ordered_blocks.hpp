// The scheduler of every batch call: items in blocks on several threads, each finished
// block handed to the calling thread in order.
//
// The calling thread is worker 0: while the next block in order is not finished it takes
// blocks of its own, and when none is left to take it waits in short slices, asking
// `interrupted` after each block of its own and between the slices, so that a caller can stop a long call (Ctrl-C) within a
// fraction of a second. The results depend only on the items, never on the thread count:
// `work` writes only the slots of its own block, and `consume` sees the blocks in order.
#pragma once

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <exception>
#include <mutex>
#include <thread>
#include <vector>

#include "common/errors.hpp"
#include "common/parallel.hpp"

namespace larkspur {

// Calls work(first, last, worker) for the blocks [first, last) of [0, n) on up to
// `threads` threads (0: every core), and consume(first, last) on the calling thread for
// each block in order as soon as it and the blocks before it are done. The first exception
// of `work` or `consume` is rethrown on the calling thread after every worker has
// stopped; `Interrupted` when `interrupted()` returned true while the call waited.
template <class Work, class Consume, class Poll>
void run_ordered_blocks(std::size_t n, std::size_t block, std::size_t threads, Work&& work, Consume&& consume,
                        Poll&& interrupted) {
    block = std::max<std::size_t>(block, 1);
    const std::size_t blocks = (n + block - 1) / block;
    threads = std::min(resolve_threads(threads), std::max<std::size_t>(blocks, 1));
    std::vector<std::atomic<bool>> done(blocks);
    std::atomic<std::size_t> next{0};
    std::atomic<bool> stop{false};
    std::exception_ptr error;
    std::mutex mu;
    std::condition_variable finished;
    auto run_block = [&](std::size_t b, std::size_t worker) {
        try {
            if (!stop.load(std::memory_order_relaxed)) work(b * block, std::min(n, (b + 1) * block), worker);
        } catch (...) {
            std::lock_guard<std::mutex> g(mu);
            if (!error) error = std::current_exception();
            stop.store(true, std::memory_order_relaxed);
        }
        {
            std::lock_guard<std::mutex> g(mu);
            done[b].store(true, std::memory_order_release);
        }
        finished.notify_all();
    };
    auto take = [&](std::size_t worker) {
        const std::size_t b = next.fetch_add(1, std::memory_order_relaxed);
        if (b >= blocks) return false;
        run_block(b, worker);
        return true;
    };
    std::vector<std::thread> pool;
    for (std::size_t w = 1; w < threads; ++w) {
        try {
            pool.emplace_back([&take, w] {
                while (take(w)) {
                }
            });
        } catch (...) {
            break;  // fewer threads: the ones running and this one do the rest
        }
    }
    // Waits until block b is done, working meanwhile; false when asked to stop.
    auto await = [&](std::size_t b) {
        while (!done[b].load(std::memory_order_acquire)) {
            if (take(0)) {
                // Between its own blocks too: with every worker busy, it may not wait at all.
                if (interrupted()) return false;
                continue;
            }
            std::unique_lock<std::mutex> lock(mu);
            if (finished.wait_for(lock, std::chrono::milliseconds(50),
                                  [&] { return done[b].load(std::memory_order_acquire); })) {
                break;
            }
            lock.unlock();
            if (interrupted()) return false;
        }
        return true;
    };
    bool cut_short = false;
    try {
        for (std::size_t b = 0; b < blocks; ++b) {
            if (!await(b)) {
                cut_short = true;
                break;
            }
            if (stop.load(std::memory_order_relaxed)) break;
            consume(b * block, std::min(n, (b + 1) * block));
        }
    } catch (...) {
        std::lock_guard<std::mutex> g(mu);
        if (!error) error = std::current_exception();
    }
    // Nothing more is worth doing: let the workers run out of blocks, then join them.
    stop.store(true, std::memory_order_relaxed);
    next.store(blocks, std::memory_order_relaxed);
    for (auto& t : pool) t.join();
    if (error) std::rethrow_exception(error);
    if (cut_short) throw Interrupted();
}

}  // namespace larkspur
