// The process-wide asynchronous runtime: one asio::io_context run by a fixed set of worker threads
// (one per available CPU), an elastic pool for blocking jobs and stand-in threads that keep the
// workers' number up while a worker blocks in place. Built lazily by the first `get_runtime()`
// call (importing the module starts no thread) and never destroyed: threads may still use it while
// the process exits, so no static destructor may tear it down.
//
// Including this header brings the whole runtime API: spawn / TaskHandle, spawn_blocking,
// block_on and block_in_place (their templates live in the headers included at the end).
//
// Thread-safety: every member may be called from any thread.
#pragma once

#include <asio.hpp>

#include <chrono>
#include <cstddef>
#include <memory>
#include <thread>
#include <type_traits>
#include <vector>

#include "runtime/parallelism.hpp"
#include "runtime/serving_threads.hpp"

namespace velmot::runtime {

template <class T>
class TaskHandle;
template <class T>
class BlockingHandle;
class BlockingPool;
class StandInPool;

class Runtime {
public:
    // Starts `worker_count` workers (at least 1). The process-wide runtime uses
    // available_parallelism(); tests may build small private ones. Throws std::system_error when a
    // thread cannot be created (no thread is left running then).
    explicit Runtime(std::size_t worker_count);
    // Only private runtimes (tests) are destroyed: stops the context and joins its threads. Tasks
    // still pending are dropped.
    ~Runtime();
    Runtime(const Runtime&) = delete;
    Runtime& operator=(const Runtime&) = delete;

    std::size_t worker_count() const noexcept { return workers_.size(); }
    asio::io_context& context() noexcept { return io_; }
    BlockingPool& blocking_pool() noexcept { return *blocking_pool_; }
    StandInPool& stand_ins() noexcept { return *stand_ins_; }

    // Runs `task` on its own strand; the handle joins, waits for or aborts it (task_handle.hpp).
    template <class T>
    TaskHandle<T> spawn(asio::awaitable<T> task);

    // Runs `fn` on a thread of the blocking pool (blocking_pool.hpp).
    template <class F>
    BlockingHandle<std::invoke_result_t<F&>> spawn_blocking(F fn);

    // Runs `op` on the runtime and blocks the calling thread until it ends (block_on.hpp).
    template <class T>
    T block_on(asio::awaitable<T> op);

    // Runs blocking `fn` on the calling thread without starving the runtime (block_in_place.hpp).
    template <class F>
    std::invoke_result_t<F&> block_in_place(F fn);

    // Stops the context (pending tasks are dropped, nothing is joined) and waits, at most `bound`,
    // until no worker or stand-in is inside one of its handlers; returns whether none is. The
    // process-wide runtime does this at exit (get_runtime).
    bool stop_and_wait_for(std::chrono::milliseconds bound) noexcept;

    // The process-wide runtime is never destroyed, so its workers are never joined: they are
    // detached, like the blocking pool's threads, and end at exit (or once stop_and_wait_for
    // stopped them) without leaving a thread that nobody joins.
    void detach_workers() noexcept;

private:
    void start_workers(std::size_t count);
    void stop_and_join() noexcept;
    void run_worker();  // not noexcept: see BlockingPool::Job

    asio::io_context io_;
    ServingThreads serving_;  // workers while they run, stand-ins while leased
    asio::executor_work_guard<asio::io_context::executor_type> work_;
    std::vector<std::thread> workers_;
    BlockingPool* blocking_pool_;             // leaked on purpose: its threads are detached
    std::unique_ptr<StandInPool> stand_ins_;  // joined when a private runtime is destroyed
};

// The process-wide runtime, built by the first caller (concurrent first callers wait for it).
// A failed build is fatal (Panic) and poisons the runtime: every later call panics as well.
// At exit, before Asio's error categories (function-local statics) are destroyed, the runtime is
// stopped and its serving threads are given a short while to leave their handlers: a worker that
// completes an aborted wait builds a std::system_error, which reads the category.
Runtime& get_runtime();

// True once the process-wide runtime exists; never builds it.
bool runtime_started() noexcept;

}  // namespace velmot::runtime

#include "runtime/block_in_place.hpp"
#include "runtime/block_on.hpp"
#include "runtime/blocking_pool.hpp"
#include "runtime/task_handle.hpp"
