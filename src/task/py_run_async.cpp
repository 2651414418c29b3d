// The RunAsync class (constructor, __call__, __repr__), the run_async function, and the Python
// call a background task makes.
//
// Start sequence, all with the GIL held: id -> references -> flags and slots -> job ->
// registration -> handle. The task is started before it is registered, so a very short call may
// already have ended when it is registered; it cannot have started its Python call, which needs
// the GIL the caller holds.
//
// Thread-safety: entry points run with the GIL held; the call runs on a blocking-pool thread and
// takes the GIL itself.
#include "task/py_run_async.hpp"

#include <memory>
#include <optional>
#include <string>
#include <utility>

#include "binding/class_def.hpp"
#include "binding/exception_text.hpp"
#include "binding/gil.hpp"
#include "binding/panic_exception.hpp"
#include "task/background_task.hpp"
#include "task/py_async_handle.hpp"
#include "task/task_id.hpp"
#include "task/task_manager.hpp"

namespace velmot::task {
namespace {

using namespace binding;

struct RunAsyncState {
    Ref func;  // any object; a non-callable fails inside the task
};

// Calls `func(*args)` under the GIL unless the task was cancelled or stopped by then, then stores
// the return value or the exception's text into the outcome slots without the GIL (so a handle
// reading a slot under the GIL never waits for a thread that waits for the GIL). A PanicException
// of the callee ends the call with a Panic, storing nothing.
class PythonBackgroundCall final : public BackgroundCall {
public:
    PythonBackgroundCall(Ref func, Ref args, std::shared_ptr<AsyncOutcome> outcome)
        : func_(std::move(func)), args_(std::move(args)), outcome_(std::move(outcome)) {}

    void call(const CallPermission& permission) override {
        std::optional<Ref> result;
        std::optional<std::string> error;
        {
            GilGuard gil;
            if (!permission.granted()) {
                return;
            }
            Ref value = call_python(func_.get(), args_.get());
            if (value) {
                result.emplace(std::move(value));
            } else {
                error.emplace(take_exception_text());
            }
            func_.reset();  // released now, while the GIL is held
            args_.reset();
        }
        if (result) {
            auto guard = outcome_->result_mutex.lock_in_place();
            outcome_->result = std::move(result);
        } else {
            auto guard = outcome_->error_mutex.lock_in_place();
            outcome_->error = std::move(error);
        }
    }

private:
    Ref func_;
    Ref args_;  // a tuple
    std::shared_ptr<AsyncOutcome> outcome_;
};

constexpr const char* k_call_name = "RunAsync.__call__";

Ref start_task(const RunAsyncState& decorator, PyObject* args) {
    const std::uint64_t id = next_task_id();
    auto completion = std::make_shared<TaskCompletion>();
    auto outcome = std::make_shared<AsyncOutcome>();
    RunningFlag running = make_running_flag();
    auto call = std::make_unique<PythonBackgroundCall>(Ref::new_ref(decorator.func.get()),
                                                       Ref::new_ref(args), outcome);
    start_background_task(completion, running, std::move(call));
    TaskSlot slot = make_task_slot();
    task_manager().register_task(id, std::move(running), slot, TaskKind::async);
    return new_async_handle(
        AsyncHandleState(id, std::move(completion), std::move(outcome), std::move(slot)));
}

PyObject* call(PyObject* self, PyObject* args, PyObject* kwargs) {
    return call_slot_positional<RunAsyncState>(k_call_name, self, args, kwargs, start_task);
}

PyObject* repr(PyObject* self) {
    return call_repr<RunAsyncState>(self, [](RunAsyncState&) { return "RunAsync(...)"; });
}

constexpr Signature<Object> k_new{"RunAsync", {arg("func")}};
constexpr Signature<Object> k_function{"run_async", {arg("func")}};

RunAsyncState make_decorator(Ref func) {
    return RunAsyncState{std::move(func)};
}

PyObject* construct_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    return construct<RunAsyncState>(k_new, type, args, kwargs, make_decorator);
}

PyObject* run_async(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return call_function(k_function, args, nargs, kwnames,
                         [](Ref func) { return new_instance(make_decorator(std::move(func))); });
}

const ClassDef k_class{
    "velmot.RunAsync",
    "RunAsync(func)\n--\n\n"
    "后台任务装饰器：在独立的异步任务中运行被装饰的函数。\n\n"
    "每次调用被装饰的函数都会立即返回一个 AsyncHandle，函数在后台运行一次；只接受位置参数。\n\n"
    "示例:\n"
    "    @RunAsync\n"
    "    def heavy_computation(x):\n"
    "        time.sleep(1)\n"
    "        return x * 2\n\n"
    "    handle = heavy_computation(21)  # 立即返回\n"
    "    result = handle.wait()          # 42",
    nullptr,
    nullptr,
    repr,
    call,
    construct_new,
};

PyMethodDef g_run_async =
    fastcall_def("run_async", run_async,
                 "run_async(func)\n--\n\n"
                 "创建后台任务装饰器的便捷函数；它本身就是装饰器，直接应用于函数。\n\n"
                 "示例:\n"
                 "    @run_async\n"
                 "    def heavy_computation(x):\n"
                 "        time.sleep(1)\n"
                 "        return x * 2\n\n"
                 "    handle = heavy_computation(21)  # 立即返回\n"
                 "    result = handle.wait()          # 42");

}  // namespace

void register_run_async_items(ItemCatalog& catalog) {
    catalog.add("RunAsync", class_item<RunAsyncState, k_class>);
    catalog.add("run_async", function_item<g_run_async>);
}

}  // namespace velmot::task
