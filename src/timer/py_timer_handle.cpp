// The TimerHandle class: task_id, stop, is_running, frequency, precision_mode, tick_count,
// actual_frequency, elapsed_secs, __repr__ and the destruction sequence.
//
// Thread-safety: every entry point runs with the GIL held; `running` is read with acquire loads
// and written with release stores, `tick_count` read with relaxed loads.
#include "timer/py_timer_handle.hpp"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <string>

#include "binding/class_def.hpp"
#include "binding/signal_checked_wait.hpp"
#include "common/console.hpp"
#include "task/task_manager.hpp"
#include "timer/py_number_text.hpp"

namespace velmot::timer {
namespace {

using namespace binding;
using Parts = TimerHandleState::Parts;

constexpr ConsoleKind k_dropped_handle_kind{"timer: handle dropped while running"};

bool is_running(const Parts& parts) {
    return parts.running->load(std::memory_order_acquire);
}

std::uint64_t ticks(const Parts& parts) {
    return parts.tick_count->load(std::memory_order_relaxed);
}

double elapsed_secs(const Parts& parts) {
    const auto elapsed =
        std::max(runtime::Clock::now() - parts.start_time, runtime::Clock::duration::zero());
    const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(elapsed);
    const auto nanos = std::chrono::duration_cast<std::chrono::nanoseconds>(elapsed - seconds);
    return static_cast<double>(seconds.count()) + static_cast<double>(nanos.count()) / 1e9;
}

double actual_frequency(const Parts& parts) {
    const double elapsed = elapsed_secs(parts);
    const double count = static_cast<double>(ticks(parts));
    return elapsed > 0.0 ? count / elapsed : 0.0;
}

std::string handle_repr(const Parts& parts) {
    // actual_frequency reads tick_count before the ticks field does: under a running timer the
    // two may differ by the ticks made in between.
    const std::string actual = one_decimal(actual_frequency(parts));
    return "TimerHandle(id=" + std::to_string(parts.task_id) +
           ", freq=" + one_decimal(parts.frequency) + "Hz, actual=" + actual +
           "Hz, mode=" + std::string(lower_name(parts.precision)) +
           ", ticks=" + std::to_string(ticks(parts)) +
           ", running=" + (is_running(parts) ? "true" : "false") + ")";
}

template <class Body>
PyObject* handle_method(const char* function, PyObject* self, Body body) {
    return call_method_noargs<TimerHandleState, Access::shared>(
        function, self, [&](TimerHandleState& handle) { return body(handle.parts()); });
}

PyObject* task_id(PyObject* self, void*) {
    return call_getter<TimerHandleState>("TimerHandle.task_id", self, [](TimerHandleState& handle) {
        return handle.parts().task_id;
    });
}

// Clears `running`, then waits until no call is in flight (see task::CallTracker).
void stop_and_wait(const Parts& parts) {
    parts.running->store(false, std::memory_order_seq_cst);
    task::CallTracker& calls = *parts.calls;
    wait_checking_signals(runtime::Clock::time_point::max(),
                          [&calls](runtime::Clock::time_point until) {
                              task::BlockedInWait blocked;
                              return task::call_waits::wait_for_change(
                                  until, [&calls] { return calls.settled_for_this_thread(); });
                          });
}

PyObject* stop(PyObject* self, PyObject*) {
    return handle_method("TimerHandle.stop", self, stop_and_wait);
}

PyObject* is_running_method(PyObject* self, PyObject*) {
    return handle_method("TimerHandle.is_running", self,
                         [](const Parts& parts) { return is_running(parts); });
}

PyObject* frequency(PyObject* self, PyObject*) {
    return handle_method("TimerHandle.frequency", self,
                         [](const Parts& parts) { return parts.frequency; });
}

PyObject* precision_mode(PyObject* self, PyObject*) {
    return handle_method("TimerHandle.precision_mode", self,
                         [](const Parts& parts) { return lower_name(parts.precision); });
}

PyObject* tick_count(PyObject* self, PyObject*) {
    return handle_method("TimerHandle.tick_count", self,
                         [](const Parts& parts) { return ticks(parts); });
}

PyObject* actual_frequency_method(PyObject* self, PyObject*) {
    return handle_method("TimerHandle.actual_frequency", self,
                         [](const Parts& parts) { return actual_frequency(parts); });
}

PyObject* elapsed_secs_method(PyObject* self, PyObject*) {
    return handle_method("TimerHandle.elapsed_secs", self,
                         [](const Parts& parts) { return elapsed_secs(parts); });
}

PyObject* repr(PyObject* self) {
    return call_repr<TimerHandleState>(
        self, [](TimerHandleState& handle) { return handle_repr(handle.parts()); });
}

PyMethodDef g_methods[] = {
    noargs_def("stop", stop,
               "stop($self)\n--\n\n停止定时器。返回时正在执行的回调已经结束，之后不会再调用；"
               "在定时器自己的回调中调用时不会等待该回调。"),
    noargs_def("is_running", is_running_method,
               "is_running($self)\n--\n\n检查定时器是否正在运行。"),
    noargs_def("frequency", frequency, "frequency($self)\n--\n\n获取执行频率（Hz）。"),
    noargs_def("precision_mode", precision_mode,
               "precision_mode($self)\n--\n\n获取精度模式：\"normal\"、\"high\" 或 \"realtime\"。"),
    noargs_def("tick_count", tick_count, "tick_count($self)\n--\n\n获取已执行的次数。"),
    noargs_def("actual_frequency", actual_frequency_method,
               "actual_frequency($self)\n--\n\n获取实际平均频率（Hz）。"),
    noargs_def("elapsed_secs", elapsed_secs_method,
               "elapsed_secs($self)\n--\n\n获取运行时间（秒）。"),
    k_end_of_methods,
};

PyGetSetDef g_getters[] = {
    getter_def("task_id", task_id, "获取任务 ID。"),
    k_end_of_getters,
};

const ClassDef k_class{
    "velmot.TimerHandle",
    "定时器任务句柄，用于控制周期执行的函数。\n\n"
    "由定时器装饰后的函数调用时返回。请保存此句柄：句柄被销毁时定时器也会停止。",
    g_methods,
    g_getters,
    repr,
};

}  // namespace

TimerHandleState::~TimerHandleState() {
    if (!parts_.running) {
        return;  // moved from
    }
    if (parts_.running->load(std::memory_order_acquire)) {
        write_stderr(k_dropped_handle_kind,
                     "Warning: TimerHandle(id=" + std::to_string(parts_.task_id) +
                         ") dropped while still running. Make sure to save the handle returned by "
                         "timer-decorated functions.\n");
    }
    parts_.running->store(false, std::memory_order_release);
    task::task_manager().unregister(parts_.task_id);
}

Ref new_timer_handle(TimerHandleState::Parts parts) {
    return new_instance(TimerHandleState(std::move(parts)));
}

Ref timer_handle_class_item(PyObject* module) {
    return class_item<TimerHandleState, k_class>(module);
}

}  // namespace velmot::timer
