// Completion flags of a background task and the wait for them.
//
// Thread-safety: see task_completion.hpp.
#include "task/task_completion.hpp"

#include "task/call_tracker.hpp"

namespace velmot::task {

void TaskCompletion::set_and_wake(std::atomic<bool>& flag) {
    {
        std::lock_guard lock(mutex_);
        flag.store(true, std::memory_order_seq_cst);
    }
    changed_.notify_all();
}

bool TaskCompletion::wait_until(runtime::Clock::time_point deadline) {
    BlockedInWait blocked;  // a timer call waiting here is not waited for by a stop it causes
    std::unique_lock lock(mutex_);
    return changed_.wait_until(lock, deadline, [this] { return either_set(); });
}

}  // namespace velmot::task
