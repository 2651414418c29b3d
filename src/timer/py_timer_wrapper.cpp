// The TimerWrapper class: __call__ starts a timer, __repr__ names its frequency and mode.
//
// Start sequence, all with the GIL held: id -> references -> period -> coroutine check -> shared
// state -> loop -> registration -> handle. A failure after the id was taken leaves only that id
// consumed. A thread that cannot be created is a fatal error raised before anything is
// registered.
//
// Thread-safety: entry points run with the GIL held.
#include "timer/py_timer_wrapper.hpp"

#include <chrono>
#include <mutex>
#include <string>
#include <string_view>
#include <utility>

#include "binding/class_def.hpp"
#include "common/console.hpp"
#include "common/panic.hpp"
#include "task/task_id.hpp"
#include "task/task_manager.hpp"
#include "timer/interval_loop.hpp"
#include "timer/period.hpp"
#include "timer/py_number_text.hpp"
#include "timer/py_tick_function.hpp"
#include "timer/py_timer_handle.hpp"
#include "timer/thread_loop.hpp"

namespace velmot::timer {
namespace {

using namespace binding;

constexpr const char* k_call_name = "TimerWrapper.__call__";

constexpr ConsoleKind k_coroutine_warning_kind{"timer: coroutine function warning"};
constexpr std::string_view k_coroutine_warning =
    "Warning: Timer callback is an async function (coroutine function). It will not be awaited "
    "and will likely fail to execute properly. Please use a synchronous function.\n";

// Whether inspect.iscoroutinefunction(func) is true; any failure on the way counts as false and
// leaves no exception set.
bool is_coroutine_function(PyObject* func) {
    Ref inspect = Ref::steal(PyImport_ImportModule("inspect"));
    Ref check =
        inspect ? Ref::steal(PyObject_GetAttrString(inspect.get(), "iscoroutinefunction")) : Ref();
    Ref verdict =
        check ? Ref::steal(PyObject_CallFunctionObjArgs(check.get(), func, nullptr)) : Ref();
    const int truth = verdict ? PyObject_IsTrue(verdict.get()) : -1;
    if (truth < 0) {
        PyErr_Clear();
    }
    return truth > 0;
}

void warn_if_coroutine(PyObject* func) {
    if (is_coroutine_function(func)) {
        write_stderr(k_coroutine_warning_kind, k_coroutine_warning);
    }
}

// Stores the interval loop's task into the timer's fresh slot. Nobody else can hold the slot's
// lock yet, so try_lock always succeeds; it never blocks, which also keeps a start from a runtime
// worker thread legal.
void store_task(const task::TaskSlot& slot, runtime::TaskHandle<void> handle) {
    auto guard = slot->mutex.try_lock();
    if (!guard) {
        velmot::panic("the task slot of a timer being started is locked");
    }
    slot->handle = std::move(handle);
}

void start_loop(const TimerHandleState::Parts& parts, std::chrono::nanoseconds period,
                SharedTickFunction tick) {
    if (parts.precision == TimerPrecision::normal) {
        store_task(parts.task_slot, start_interval_loop(period, std::move(tick), parts.running,
                                                        parts.tick_count, parts.calls));
        return;
    }
    const pthread_t thread =
        start_thread_loop(parts.task_id, parts.precision, period, std::move(tick), parts.running,
                          parts.tick_count, parts.calls);
    std::lock_guard lock(parts.thread_slot->mutex);
    parts.thread_slot->thread = thread;
}

Ref start_timer(const TimerWrapperState& wrapper, PyObject* args) {
    const std::uint64_t task_id = task::next_task_id();
    auto tick =
        std::make_shared<PythonTickFunction>(Ref::new_ref(wrapper.func.get()), Ref::new_ref(args));
    const std::chrono::nanoseconds period = unwrap(period_from_frequency(wrapper.frequency));
    warn_if_coroutine(wrapper.func.get());
    TimerHandleState::Parts parts{
        runtime::Clock::now(),     task_id,
        wrapper.frequency,         task::make_running_flag(),
        task::make_task_slot(),    make_thread_slot(),
        make_tick_counter(),       wrapper.precision,
        task::make_call_tracker(),
    };
    start_loop(parts, period, std::move(tick));
    task::task_manager().register_task(task_id, parts.running, parts.task_slot,
                                       task::TaskKind::timer, parts.calls);
    return new_timer_handle(std::move(parts));
}

PyObject* call(PyObject* self, PyObject* args, PyObject* kwargs) {
    return call_slot_positional<TimerWrapperState>(k_call_name, self, args, kwargs, start_timer);
}

PyObject* repr(PyObject* self) {
    return call_repr<TimerWrapperState>(self, [](TimerWrapperState& wrapper) {
        return "TimerWrapper(frequency=" + shortest_fixed(wrapper.frequency) +
               "Hz, mode=" + std::string(lower_name(wrapper.precision)) + ")";
    });
}

const ClassDef k_class{
    "velmot.TimerWrapper",
    "定时器包装的函数。\n\n"
    "由 timer() 或 precision_timer() 装饰器生成。每次调用都会以给定的位置参数启动一个新的、"
    "独立的定时器，并返回其 TimerHandle；不接受关键字参数。",
    nullptr,
    nullptr,
    repr,
    call,
};

}  // namespace

Ref new_timer_wrapper(TimerWrapperState state) {
    return new_instance(std::move(state));
}

Ref timer_wrapper_class_item(PyObject* module) {
    return class_item<TimerWrapperState, k_class>(module);
}

}  // namespace velmot::timer
