// The task registry: counts under the shared lock, edits under the exclusive one, and polling.
//
// Thread-safety: see task_manager.hpp. The registry writes running flags and the shutdown flag with
// sequentially consistent stores and reads them with acquire loads. Entries are moved out of the
// map and released after the lock is dropped, so no entry's destructor runs under the lock.
#include "task/task_manager.hpp"

#include <algorithm>
#include <mutex>
#include <utility>
#include <vector>

#include "runtime/time.hpp"

namespace velmot::task {

namespace {

constexpr std::chrono::milliseconds k_wait_poll_period{10};

bool is_running(const TaskEntry& entry) {
    return entry.running->load(std::memory_order_acquire);
}

}  // namespace

void TaskManager::register_task(std::uint64_t id, RunningFlag running, TaskSlot task_slot,
                                TaskKind kind, SharedCallTracker calls,
                                std::optional<std::string> name) {
    TaskEntry entry{std::move(name), std::move(running), std::move(task_slot), kind,
                    std::move(calls)};
    {
        std::unique_lock lock(mutex_);
        auto [it, inserted] = tasks_.try_emplace(id, std::move(entry));
        if (!inserted) {
            std::swap(it->second, entry);  // the replaced entry is released below
        }
    }
}

void TaskManager::unregister(std::uint64_t id) {
    std::optional<TaskEntry> removed;
    {
        std::unique_lock lock(mutex_);
        auto it = tasks_.find(id);
        if (it == tasks_.end()) {
            return;
        }
        removed.emplace(std::move(it->second));
        tasks_.erase(it);
    }
}

std::size_t TaskManager::running_count() const {
    std::shared_lock lock(mutex_);
    std::size_t count = 0;
    for (const auto& [id, entry] : tasks_) {
        count += is_running(entry) ? 1 : 0;
    }
    return count;
}

std::size_t TaskManager::count_running_of_kind(TaskKind kind) const {
    std::shared_lock lock(mutex_);
    std::size_t count = 0;
    for (const auto& [id, entry] : tasks_) {
        count += (entry.kind == kind && is_running(entry)) ? 1 : 0;
    }
    return count;
}

std::size_t TaskManager::total() const {
    std::shared_lock lock(mutex_);
    return tasks_.size();
}

StatusSummary TaskManager::status_summary() const {
    std::shared_lock lock(mutex_);
    StatusSummary summary;
    for (const auto& [id, entry] : tasks_) {
        if (!is_running(entry)) {
            ++summary.stopped;
        } else if (entry.kind == TaskKind::timer) {
            ++summary.running_timers;
        } else {
            ++summary.running_tasks;
        }
    }
    summary.total = tasks_.size();
    return summary;
}

void TaskManager::stop_all() {
    // Raised before the lock: an activity registered after this point still sees the request.
    shutdown_.store(true, std::memory_order_seq_cst);
    std::shared_lock lock(mutex_);
    for (auto& [id, entry] : tasks_) {
        entry.running->store(false, std::memory_order_seq_cst);
    }
}

void TaskManager::cleanup() {
    std::vector<TaskEntry> removed;
    {
        std::unique_lock lock(mutex_);
        for (auto it = tasks_.begin(); it != tasks_.end();) {
            if (is_running(it->second)) {
                ++it;
                continue;
            }
            removed.push_back(std::move(it->second));
            it = tasks_.erase(it);
        }
    }
}

bool TaskManager::all_settled() const {
    std::shared_lock lock(mutex_);
    for (const auto& [id, entry] : tasks_) {
        if (is_running(entry) || (entry.calls && !entry.calls->settled_for_this_thread())) {
            return false;
        }
    }
    return true;
}

bool TaskManager::wait_all_until(runtime::Clock::time_point deadline) {
    BlockedInWait blocked;
    if (all_settled()) {
        return true;
    }
    for (;;) {
        const auto now = runtime::Clock::now();
        if (now >= deadline) {
            return false;
        }
        // Running flags change without a notification: look again at least every poll period.
        const auto until = std::min(deadline, runtime::saturating_add(now, k_wait_poll_period));
        if (call_waits::wait_for_change(until, [this] { return all_settled(); })) {
            return true;
        }
    }
}

bool TaskManager::wait_all(std::optional<std::chrono::nanoseconds> timeout) {
    const auto start = runtime::Clock::now();
    return wait_all_until(timeout ? runtime::saturating_add(start, *timeout)
                                  : runtime::Clock::time_point::max());
}

TaskManager& task_manager() {
    // TASK_MANAGER: leaked on purpose, so that no static destructor tears it down while runtime or
    // timer threads still use it at exit.
    static TaskManager& TASK_MANAGER = *new TaskManager();
    return TASK_MANAGER;
}

}  // namespace velmot::task
