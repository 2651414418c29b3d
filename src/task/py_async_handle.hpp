// AsyncHandle: the Python handle of one background task started through RunAsync. It waits for
// the task (GIL released, Ctrl+C checked every 50 ms), polls for its result, marks it cancelled
// and shows its state; when the Python object is destroyed it warns if the task still runs and
// removes the task from the registry.
//
// Ownership: the handle shares the completion flags and the outcome slots with the task's call,
// and the task slot with the registry entry. The task's `running` flag is not the handle's.
// Thread-safety: used under the GIL. The outcome slots are each guarded by their own AsyncMutex,
// held by the call only while it stores (without the GIL) and by the handle only while it reads.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "binding/module_items.hpp"
#include "binding/ref.hpp"
#include "runtime/async_mutex.hpp"
#include "task/task_completion.hpp"
#include "task/task_entry.hpp"

namespace velmot::task {

// What one background call leaves behind: its return value or the text of its exception.
struct AsyncOutcome {
    runtime::AsyncMutex result_mutex;
    std::optional<binding::Ref> result;  // guarded by result_mutex
    runtime::AsyncMutex error_mutex;
    std::optional<std::string> error;  // "TypeName: message"; guarded by error_mutex
};

struct AsyncHandleState {
    std::uint64_t id;
    std::shared_ptr<TaskCompletion> completion;
    std::shared_ptr<AsyncOutcome> outcome;
    TaskSlot task_slot;

    AsyncHandleState(std::uint64_t task_id, std::shared_ptr<TaskCompletion> flags,
                     std::shared_ptr<AsyncOutcome> slots, TaskSlot slot);
    AsyncHandleState(AsyncHandleState&&) noexcept = default;
    AsyncHandleState& operator=(AsyncHandleState&&) = delete;
    // The destruction sequence (warning, unregister); nothing for a moved-from value.
    ~AsyncHandleState();
};

// A new AsyncHandle object (the class must be built). Throws PythonError.
binding::Ref new_async_handle(AsyncHandleState state);

// Module item factory of the AsyncHandle class.
binding::Ref async_handle_class_item(PyObject* module);

}  // namespace velmot::task
