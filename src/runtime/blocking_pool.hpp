// The blocking pool: an elastic set of threads for jobs that block (file and device I/O, sleeps,
// foreign calls). A job never waits for a busy thread: when no thread is idle a new one starts;
// idle threads are reused and retire after about 10 s without work. Pool threads block all signals
// and do not drive the runtime (they may call block_on).
//
// Ownership: one pool per Runtime, leaked on purpose together with its detached threads.
// Thread-safety: execute() and spawn_blocking() may be called from any thread.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <deque>
#include <memory>
#include <mutex>
#include <type_traits>
#include <utility>

#include "runtime/blocking_handle.hpp"
#include "runtime/oneshot.hpp"
#include "runtime/runtime.hpp"
#include "runtime/task_outcome.hpp"

namespace velmot::runtime {

class BlockingPool {
public:
    // A queued job; type-erased because std::function cannot hold move-only callables. `run` is
    // not noexcept: a job that calls into the interpreter while it finalizes may be ended with
    // pthread_exit, whose unwinding must pass through (a noexcept frame would abort the process).
    struct Job {
        virtual ~Job() = default;
        virtual void run() = 0;
    };

    BlockingPool() = default;
    BlockingPool(const BlockingPool&) = delete;
    BlockingPool& operator=(const BlockingPool&) = delete;

    // Runs `job` on an idle pool thread or on a new one. Panics when no thread can be started.
    void execute(std::unique_ptr<Job> job);

    // Threads currently alive in the pool (busy or idle).
    std::size_t thread_count() const;

private:
    void start_thread(std::unique_lock<std::mutex>& lock);
    void work();

    mutable std::mutex mutex_;
    std::condition_variable work_ready_;
    std::deque<std::unique_ptr<Job>> queue_;
    // Invariant (under mutex_): queue_.size() <= idle_ + starting_, i.e. every queued job has a
    // thread that is waiting for work or about to look for it, so no job waits for a busy thread.
    std::size_t idle_ = 0;      // threads blocked waiting for work
    std::size_t starting_ = 0;  // threads started that have not yet looked at the queue
    std::size_t threads_ = 0;
};

namespace detail {

template <class F, class R>
struct BlockingJob final : BlockingPool::Job {
    BlockingJob(F f, std::shared_ptr<OneShot<Result<R>>> cell)
        : fn(std::move(f)), outcome(std::move(cell)) {}
    void run() override { run_into<R>(*outcome, fn); }

    F fn;
    std::shared_ptr<OneShot<Result<R>>> outcome;
};

}  // namespace detail

template <class F>
BlockingHandle<std::invoke_result_t<F&>> Runtime::spawn_blocking(F fn) {
    using R = std::invoke_result_t<F&>;
    auto outcome = OneShot<Result<R>>::create();
    blocking_pool().execute(std::make_unique<detail::BlockingJob<F, R>>(std::move(fn), outcome));
    return BlockingHandle<R>(std::move(outcome));
}

}  // namespace velmot::runtime
