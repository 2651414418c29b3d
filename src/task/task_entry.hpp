// What the task registry records of one activity (a timer or a background task), and the shared
// objects an activity and its registry entry hold in common.
//
// Ownership: `RunningFlag` and `TaskSlot` are reference-counted; the activity, its Python handle
// and its registry entry each hold one reference. A runtime task left in a TaskSlot when the last
// reference goes is detached, never aborted.
//
// Thread-safety: the running flag is an atomic (written with release or sequentially consistent
// stores, read with acquire loads); a TaskSlot's handle is read and written only under its mutex.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "runtime/async_mutex.hpp"
#include "runtime/task_handle.hpp"
#include "task/call_tracker.hpp"

namespace velmot::task {

enum class TaskKind : std::uint8_t { timer = 0, async = 1 };

// True while the activity should go on; created true and only ever cleared.
using RunningFlag = std::shared_ptr<std::atomic<bool>>;

inline RunningFlag make_running_flag() {
    return std::make_shared<std::atomic<bool>>(true);
}

// A lockable slot for the handle of one task on the shared runtime. The lock is the runtime's
// asynchronous mutex, so a task may hold it across a co_await.
struct TaskSlotState {
    runtime::AsyncMutex mutex;
    std::optional<runtime::TaskHandle<void>> handle;  // guarded by `mutex`
};
using TaskSlot = std::shared_ptr<TaskSlotState>;

inline TaskSlot make_task_slot() {
    return std::make_shared<TaskSlotState>();
}

struct TaskEntry {
    std::optional<std::string> name;  // a label; nothing reads it
    RunningFlag running;
    TaskSlot task_slot;
    TaskKind kind;
    SharedCallTracker calls;  // a timer's calls in flight; null for background tasks
};

}  // namespace velmot::task
