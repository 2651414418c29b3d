// TaskCompletion: the two flags a background task shares with its handle, `completed` (set by the
// task when its call has finished, failed or was skipped) and `cancelled` (set by the handle), and
// the wake-up of threads that wait for either. Neither flag is ever cleared.
//
// Blocks: wait_until sleeps the calling thread on a condition variable (the caller releases the
// GIL around it) until a flag is set or the deadline passes; nothing is taken, so abandoning the
// wait loses nothing.
//
// Thread-safety: every member may be called from any thread. Flags are written with sequentially
// consistent stores and read with acquire loads.
#pragma once

#include <atomic>
#include <condition_variable>
#include <mutex>

#include "runtime/time.hpp"

namespace velmot::task {

class TaskCompletion {
public:
    bool completed() const noexcept { return completed_.load(std::memory_order_acquire); }
    bool cancelled() const noexcept { return cancelled_.load(std::memory_order_acquire); }

    void mark_completed() { set_and_wake(completed_); }
    void mark_cancelled() { set_and_wake(cancelled_); }

    // Returns when either flag is set (true) or at `deadline` (false if neither is set by then).
    bool wait_until(runtime::Clock::time_point deadline);

private:
    void set_and_wake(std::atomic<bool>& flag);
    bool either_set() const noexcept { return completed() || cancelled(); }

    std::atomic<bool> completed_{false};
    std::atomic<bool> cancelled_{false};
    // Serialises a flag change with a waiter's check-then-sleep, so no wake-up is lost.
    std::mutex mutex_;
    std::condition_variable changed_;
};

}  // namespace velmot::task
