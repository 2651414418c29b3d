// A background task: one call made once, off the caller's thread, with the outcome reported
// through the TaskCompletion it shares with its handle.
//
// The call runs as one job on the runtime's blocking pool, handed over directly by the starting
// thread, so a long call never occupies a runtime worker and cannot stall CAN I/O, motor feedback
// or Normal timers. No runtime task awaits the job: nothing needs its outcome (the handle waits
// on the TaskCompletion), and a coroutine per call would cost two more thread wake-ups in every
// round trip (measured: about 5.8 instead of 3 thread sleeps per call and wait, and several times
// the time). Like the thread of a High or Realtime timer, the job is in nobody's task slot.
//
// The call is made only if the task was neither cancelled nor stopped (`running` cleared) before
// it started (CallPermission); in every case the job then sets `completed` and clears `running`,
// in that order.
//
// Ownership: the pool owns the job, which owns the BackgroundCall and destroys it on the pool
// thread when it ends; the flags are shared with the handle and the registry entry.
// Thread-safety: start_background_task may be called from any thread.
#pragma once

#include <atomic>
#include <memory>

#include "task/task_completion.hpp"
#include "task/task_entry.hpp"

namespace velmot::task {

// Whether a background task may still make its call: it was neither cancelled nor stopped.
class CallPermission {
public:
    CallPermission(const TaskCompletion& completion, const std::atomic<bool>& running)
        : completion_(completion), running_(running) {}

    bool granted() const noexcept {
        return !completion_.cancelled() && running_.load(std::memory_order_acquire);
    }

private:
    const TaskCompletion& completion_;
    const std::atomic<bool>& running_;
};

// What a background task calls. The Python side supplies it: take the GIL, ask `permission` (at
// the last moment, so that a cancel() made while the starter still holds the GIL always wins),
// call the function, store its result or error text. Not noexcept: a call into a finalizing
// interpreter may end the thread by forced unwinding.
class BackgroundCall {
public:
    virtual ~BackgroundCall() = default;
    virtual void call(const CallPermission& permission) = 0;
};

// Starts the task. Panics when the pool cannot start a thread.
void start_background_task(std::shared_ptr<TaskCompletion> completion, RunningFlag running,
                           std::unique_ptr<BackgroundCall> call);

}  // namespace velmot::task
