// Timer and PrecisionTimer (and their factory functions): the frequency checks made at
// construction, and __call__ turning a callable into a TimerWrapper.
//
// Checks at construction, in order: frequency_hz > 0; for precision timers, at most 10 kHz unless
// realtime; then the frequency must have a usable period (finite, a period of at least 1 ns that
// the clock can hold), so that every later start of the wrapper can compute it.
//
// Thread-safety: entry points run with the GIL held.
#include "timer/py_decorators.hpp"

#include <chrono>
#include <optional>
#include <utility>

#include "binding/class_def.hpp"
#include "common/result.hpp"
#include "timer/period.hpp"
#include "timer/py_timer_wrapper.hpp"

namespace velmot::timer {
namespace {

using namespace binding;

struct TimerDecorator {
    double frequency_hz;
};

struct PrecisionTimerDecorator {
    double frequency_hz;
    bool realtime;
};

constexpr double k_max_precision_hz = 10000.0;

Result<void> check_positive(double frequency_hz) {
    if (frequency_hz <= 0.0) {  // NaN passes here and is refused by the period check
        return Error{ErrorKind::value, "frequency_hz must be positive"};
    }
    return {};
}

Result<void> check_has_period(double frequency_hz) {
    Result<std::chrono::nanoseconds> period = period_from_frequency(frequency_hz);
    if (!period.ok()) {
        return std::move(period).error();
    }
    return {};
}

Result<TimerDecorator> make_timer(double frequency_hz) {
    if (Result<void> positive = check_positive(frequency_hz); !positive.ok()) {
        return std::move(positive).error();
    }
    if (Result<void> period = check_has_period(frequency_hz); !period.ok()) {
        return std::move(period).error();
    }
    return TimerDecorator{frequency_hz};
}

Result<PrecisionTimerDecorator> make_precision_timer(double frequency_hz,
                                                     std::optional<bool> realtime) {
    const bool is_realtime = realtime.value_or(false);
    if (Result<void> positive = check_positive(frequency_hz); !positive.ok()) {
        return std::move(positive).error();
    }
    if (frequency_hz > k_max_precision_hz && !is_realtime) {
        return Error{ErrorKind::value, "frequency > 10kHz requires realtime=True"};
    }
    if (Result<void> period = check_has_period(frequency_hz); !period.ok()) {
        return std::move(period).error();
    }
    return PrecisionTimerDecorator{frequency_hz, is_realtime};
}

// A TimerWrapper for `func`, or TypeError(message) when it is not callable.
Ref wrap(double frequency_hz, Ref func, TimerPrecision precision, const char* not_callable) {
    if (PyCallable_Check(func.get()) == 0) {
        PyErr_SetString(PyExc_TypeError, not_callable);
        throw_python_error();
    }
    return new_timer_wrapper(TimerWrapperState{frequency_hz, std::move(func), precision});
}

// --- Timer

constexpr Signature<F64> k_timer_new{"Timer", {arg("frequency_hz")}};
constexpr Signature<F64> k_timer_function{"timer", {arg("frequency_hz")}};
constexpr Signature<Object> k_timer_call{"Timer.__call__", {arg("func")}};

PyObject* timer_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    return construct<TimerDecorator>(k_timer_new, type, args, kwargs, make_timer);
}

PyObject* timer_call(PyObject* self, PyObject* args, PyObject* kwargs) {
    return call_slot<TimerDecorator, Access::shared>(
        k_timer_call, self, args, kwargs, [](TimerDecorator& decorator, Ref func) {
            return wrap(decorator.frequency_hz, std::move(func), TimerPrecision::normal,
                        "timer decorator requires a callable");
        });
}

PyObject* timer_function(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return call_function(k_timer_function, args, nargs, kwnames, [](double frequency_hz) {
        return new_instance(unwrap(make_timer(frequency_hz)));
    });
}

const ClassDef k_timer_class{
    "velmot.Timer",
    "Timer(frequency_hz)\n--\n\n"
    "普通定时器装饰器：以固定频率反复调用被装饰的函数，精度约 1-10 毫秒。\n\n"
    "参数:\n"
    "    frequency_hz: 调用频率（Hz），例如 10.0 表示每秒调用 10 次。\n\n"
    "示例:\n"
    "    @timer(10.0)\n"
    "    def update():\n"
    "        ...\n\n"
    "    handle = update()  # 启动定时器\n"
    "    handle.stop()      # 停止定时器",
    nullptr,
    nullptr,
    nullptr,
    timer_call,
    timer_new,
};

PyMethodDef g_timer_function = fastcall_def("timer", timer_function,
                                            "timer(frequency_hz)\n--\n\n"
                                            "普通定时器装饰器。\n\n"
                                            "参数:\n"
                                            "    frequency_hz: 调用频率（Hz）。\n\n"
                                            "示例:\n"
                                            "    @timer(10.0)\n"
                                            "    def my_func():\n"
                                            "        ...");

// --- PrecisionTimer

constexpr Signature<F64, Opt<Bool>> k_precision_new{"PrecisionTimer",
                                                    {arg("frequency_hz"), arg_default("realtime")}};
constexpr Signature<F64, Opt<Bool>> k_precision_function{
    "precision_timer", {arg("frequency_hz"), arg_default("realtime")}};
constexpr Signature<Object> k_precision_call{"PrecisionTimer.__call__", {arg("func")}};

PyObject* precision_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    return construct<PrecisionTimerDecorator>(k_precision_new, type, args, kwargs,
                                              make_precision_timer);
}

PyObject* precision_call(PyObject* self, PyObject* args, PyObject* kwargs) {
    return call_slot<PrecisionTimerDecorator, Access::shared>(
        k_precision_call, self, args, kwargs, [](PrecisionTimerDecorator& decorator, Ref func) {
            return wrap(decorator.frequency_hz, std::move(func),
                        decorator.realtime ? TimerPrecision::realtime : TimerPrecision::high,
                        "precision_timer decorator requires a callable");
        });
}

PyObject* precision_function(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                             PyObject* kwnames) {
    return call_function(
        k_precision_function, args, nargs, kwnames,
        [](double frequency_hz, std::optional<bool> realtime) {
            return new_instance(unwrap(make_precision_timer(frequency_hz, realtime)));
        });
}

const ClassDef k_precision_class{
    "velmot.PrecisionTimer",
    "PrecisionTimer(frequency_hz, realtime=False)\n--\n\n"
    "高精度定时器装饰器，精度约 10-100 微秒。\n\n"
    "参数:\n"
    "    frequency_hz: 调用频率（Hz），例如 100.0 表示每秒调用 100 次。\n"
    "    realtime: 是否使用实时模式（专用线程，精度更高，但占用较多 CPU）。\n\n"
    "示例:\n"
    "    @precision_timer(100.0)  # 100 Hz 高精度模式\n"
    "    def control():\n"
    "        ...\n\n"
    "    @precision_timer(1000.0, realtime=True)  # 1 kHz 实时模式\n"
    "    def realtime_control():\n"
    "        ...",
    nullptr,
    nullptr,
    nullptr,
    precision_call,
    precision_new,
};

PyMethodDef g_precision_function =
    fastcall_def("precision_timer", precision_function,
                 "precision_timer(frequency_hz, realtime=False)\n--\n\n"
                 "高精度定时器装饰器。\n\n"
                 "参数:\n"
                 "    frequency_hz: 调用频率（Hz）。\n"
                 "    realtime: 是否启用实时模式（专用线程，CPU 密集，精度最高）。\n\n"
                 "示例:\n"
                 "    @precision_timer(100.0)  # 高精度模式\n"
                 "    def control():\n"
                 "        ...\n\n"
                 "    @precision_timer(1000.0, realtime=True)  # 实时模式\n"
                 "    def realtime_control():\n"
                 "        ...");

}  // namespace

void register_decorator_items(ItemCatalog& catalog) {
    catalog.add("Timer", class_item<TimerDecorator, k_timer_class>);
    catalog.add("PrecisionTimer", class_item<PrecisionTimerDecorator, k_precision_class>);
    catalog.add("timer", function_item<g_timer_function>);
    catalog.add("precision_timer", function_item<g_precision_function>);
}

}  // namespace velmot::timer
