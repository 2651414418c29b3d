// The task registry: the one process-wide record of every timer and background task a Python
// user started. It counts them, asks them all to stop (by clearing their running flags and raising
// one shutdown flag) and waits until they have stopped: until no entry runs and no timer call is
// in flight (a background-task call that has started runs to its end unwaited). It never owns,
// cancels or joins an activity.
//
// TASK_MANAGER is built on first use and never destroyed.
//
// Thread-safety: every member may be called from any thread, with or without the GIL. One
// reader-writer lock guards the map: register, unregister and cleanup take it exclusively, the
// counts and stop_all take it shared. Nothing else is locked, and nothing waits, while it is held;
// wait_all takes it only inside each poll.
#pragma once

#include "runtime/time.hpp"

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <shared_mutex>
#include <string>
#include <unordered_map>

#include "task/task_entry.hpp"

namespace velmot::task {

struct StatusSummary {
    std::size_t running_timers = 0;
    std::size_t running_tasks = 0;
    std::size_t stopped = 0;
    std::size_t total = 0;
};

class TaskManager {
public:
    TaskManager() = default;
    TaskManager(const TaskManager&) = delete;
    TaskManager& operator=(const TaskManager&) = delete;

    // Inserts the entry under `id`, replacing (and releasing) an existing one.
    // `calls` tracks a timer's calls in flight (null for a background task).
    void register_task(std::uint64_t id, RunningFlag running, TaskSlot task_slot, TaskKind kind,
                       SharedCallTracker calls = nullptr,
                       std::optional<std::string> name = std::nullopt);
    // Removes the entry; an unknown id is ignored.
    void unregister(std::uint64_t id);

    std::size_t running_count() const;
    std::size_t count_running_of_kind(TaskKind kind) const;
    std::size_t total() const;
    StatusSummary status_summary() const;

    // Raises the shutdown flag, then clears every entry's running flag. Removes nothing.
    void stop_all();
    // Removes every entry whose running flag is clear.
    void cleanup();
    // Waits until no entry runs and no timer call is in flight (see CallTracker: never the
    // calling thread's own call): true when that happened, false when `timeout` ran out first.
    // Looks again at every call end and at least every 10 ms. Blocks the calling thread; callers
    // holding the GIL release it around this call.
    bool wait_all(std::optional<std::chrono::nanoseconds> timeout);
    // The same wait, until a deadline (Clock::time_point::max(): no limit).
    bool wait_all_until(runtime::Clock::time_point deadline);
    // Whether nothing runs and no timer call is in flight, for the calling thread.
    bool all_settled() const;

    // The shutdown flag: set by the first stop_all and never cleared.
    bool shutdown_requested() const noexcept { return shutdown_.load(std::memory_order_acquire); }

private:
    mutable std::shared_mutex mutex_;
    std::unordered_map<std::uint64_t, TaskEntry> tasks_;  // guarded by mutex_
    std::atomic<bool> shutdown_{false};
};

// TASK_MANAGER: the process-wide registry (built on first use, thread-safe, never destroyed).
TaskManager& task_manager();

using runtime::millis_to_duration;

}  // namespace velmot::task
