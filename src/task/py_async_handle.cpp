// The AsyncHandle class: task_id, wait, try_result, cancel, is_done, is_completed, is_cancelled,
// __repr__ and the destruction sequence.
//
// wait() sleeps on the task's TaskCompletion with the GIL released, so it returns as soon as the
// call has ended or cancel() was called; it wakes at least every 50 ms to run the interpreter's
// signal check, so Ctrl+C raises KeyboardInterrupt there.
//
// Thread-safety: every entry point runs with the GIL held; flags are atomics.
#include "task/py_async_handle.hpp"

#include <utility>

#include "binding/class_def.hpp"
#include "binding/signal_checked_wait.hpp"
#include "common/console.hpp"
#include "runtime/time.hpp"
#include "task/task_manager.hpp"

namespace velmot::task {
namespace {

using namespace binding;
using runtime::Clock;

constexpr ConsoleKind k_drop_warning_kind{"task: handle dropped while running"};

// Retrieval: the stored error raises RuntimeError (the text stays stored), else the stored value
// or None. Each slot is locked on its own, for the moment of reading.
Ref retrieve(AsyncOutcome& outcome) {
    {
        auto guard = outcome.error_mutex.lock_in_place();
        if (outcome.error) {
            raise(Error{ErrorKind::runtime, *outcome.error});
        }
    }
    auto guard = outcome.result_mutex.lock_in_place();
    return Ref::new_ref(outcome.result ? outcome.result->get() : Py_None);
}

Ref wait_for_task(AsyncHandleState& handle, std::optional<std::uint64_t> timeout_ms) {
    const Clock::time_point deadline =
        timeout_ms ? runtime::saturating_add(Clock::now(), runtime::millis_to_duration(*timeout_ms))
                   : Clock::time_point::max();
    TaskCompletion& completion = *handle.completion;
    const bool ended = wait_checking_signals(
        deadline, [&completion](Clock::time_point until) { return completion.wait_until(until); });
    if (!ended) {
        raise(Error{ErrorKind::timeout, "Async task wait timed out"});
    }
    return retrieve(*handle.outcome);
}

std::string status_word(const TaskCompletion& completion) {
    if (completion.cancelled()) {
        return "cancelled";
    }
    return completion.completed() ? "completed" : "running";
}

template <class Body>
PyObject* handle_method(const char* function, PyObject* self, Body body) {
    return call_method_noargs<AsyncHandleState, Access::shared>(function, self, body);
}

PyObject* task_id(PyObject* self, void*) {
    return call_getter<AsyncHandleState>("AsyncHandle.task_id", self,
                                         [](AsyncHandleState& handle) { return handle.id; });
}

constexpr Signature<Opt<U64>> k_wait{"AsyncHandle.wait", {arg_default_none("timeout_ms")}};

PyObject* wait_method(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return call_method<AsyncHandleState, Access::shared>(k_wait, self, args, nargs, kwnames,
                                                         wait_for_task);
}

PyObject* try_result(PyObject* self, PyObject*) {
    return handle_method("AsyncHandle.try_result", self,
                         [](AsyncHandleState& handle) { return retrieve(*handle.outcome); });
}

PyObject* cancel(PyObject* self, PyObject*) {
    return handle_method("AsyncHandle.cancel", self,
                         [](AsyncHandleState& handle) { handle.completion->mark_cancelled(); });
}

PyObject* is_done(PyObject* self, PyObject*) {
    return handle_method("AsyncHandle.is_done", self, [](AsyncHandleState& handle) {
        return handle.completion->completed() || handle.completion->cancelled();
    });
}

PyObject* is_completed(PyObject* self, PyObject*) {
    return handle_method("AsyncHandle.is_completed", self,
                         [](AsyncHandleState& handle) { return handle.completion->completed(); });
}

PyObject* is_cancelled(PyObject* self, PyObject*) {
    return handle_method("AsyncHandle.is_cancelled", self,
                         [](AsyncHandleState& handle) { return handle.completion->cancelled(); });
}

PyObject* repr(PyObject* self) {
    return call_repr<AsyncHandleState>(self, [](AsyncHandleState& handle) {
        return "AsyncHandle(id=" + std::to_string(handle.id) +
               ", status=" + status_word(*handle.completion) + ")";
    });
}

PyMethodDef g_methods[] = {
    fastcall_def("wait", wait_method,
                 "wait($self, timeout_ms=None)\n--\n\n"
                 "阻塞等待任务结束，返回函数的返回值。\n\n"
                 "参数:\n"
                 "    timeout_ms: 超时时间（毫秒），None 表示无限等待。\n\n"
                 "异常:\n"
                 "    TimeoutError: 等待超时。\n"
                 "    RuntimeError: 任务执行失败（消息为“异常类型: 异常信息”）。"),
    noargs_def("try_result", try_result,
               "try_result($self)\n--\n\n"
               "非阻塞地获取结果：任务尚未结束时返回 None；任务失败时抛出 RuntimeError。"),
    noargs_def("cancel", cancel,
               "cancel($self)\n--\n\n将任务标记为已取消。只做标记：正在执行的代码不会被中断。"),
    noargs_def("is_done", is_done, "is_done($self)\n--\n\n任务是否已结束（无论成功与否）。"),
    noargs_def("is_completed", is_completed, "is_completed($self)\n--\n\n任务是否已成功完成。"),
    noargs_def("is_cancelled", is_cancelled, "is_cancelled($self)\n--\n\n是否已调用 cancel()。"),
    k_end_of_methods,
};

PyGetSetDef g_getters[] = {
    getter_def("task_id", task_id, "任务的唯一 ID。"),
    k_end_of_getters,
};

const ClassDef k_class{
    "velmot.AsyncHandle",
    "异步任务句柄，用于查询和控制在后台执行的函数。\n\n"
    "由 run_async 装饰后的函数调用时返回。",
    g_methods,
    g_getters,
    repr,
};

}  // namespace

AsyncHandleState::AsyncHandleState(std::uint64_t task_id, std::shared_ptr<TaskCompletion> flags,
                                   std::shared_ptr<AsyncOutcome> slots, TaskSlot slot)
    : id(task_id),
      completion(std::move(flags)),
      outcome(std::move(slots)),
      task_slot(std::move(slot)) {}

AsyncHandleState::~AsyncHandleState() {
    if (!completion) {
        return;  // moved from
    }
    if (!completion->completed() && !completion->cancelled()) {
        write_stderr(k_drop_warning_kind,
                     "Warning: AsyncHandle(id=" + std::to_string(id) +
                         ") dropped while task still running. Consider calling handle.cancel() or "
                         "handle.wait() before dropping.\n");
    }
    task_manager().unregister(id);
}

Ref new_async_handle(AsyncHandleState state) {
    return new_instance(std::move(state));
}

Ref async_handle_class_item(PyObject* module) {
    return class_item<AsyncHandleState, k_class>(module);
}

}  // namespace velmot::task
