// The `velmot` extension module's entry point: creates the module, adds the classes and functions
// of every subsystem in the fixed order of the name table below, and registers the exit steps
// the subsystems added (binding/exit_steps.hpp).
//
// Thread-safety: the interpreter calls PyInit_velmot once, with the GIL held.
#include <Python.h>

#include <array>

#include "binding/entry.hpp"
#include "binding/exit_steps.hpp"
#include "binding/module_items.hpp"
#include "binding/python_items.hpp"

namespace {

using velmot::binding::RegisterHook;

PyModuleDef g_definition = {
    PyModuleDef_HEAD_INIT,
    "velmot",
    "Motor control over SocketCAN: CAN devices, FOC motor groups, timers and background tasks.",
    0,        // no per-module state: process-wide state lives in the subsystems
    nullptr,  // functions are added one by one from the name table
    nullptr,
    nullptr,
    nullptr,
    nullptr,
};

// Classes first, then functions; __all__ lists them in this order.
constexpr std::array<const char*, 18> k_item_names = {
    "AsyncHandle",     "CanDevice",      "CanDeviceNonBlocking", "Device",
    "Motor",           "PrecisionTimer", "TaskManager",          "RunAsync",
    "Timer",           "TimerHandle",    "TimerWrapper",         "timer",
    "precision_timer", "run_async",      "get_task_manager",     "shutdown_all",
    "block_all",       "block_until",
};

constexpr std::array<RegisterHook, 4> k_hooks = {
    &velmot::comm::can::register_python_items,
    &velmot::motor::register_python_items,
    &velmot::task::register_python_items,
    &velmot::timer::register_python_items,
};

}  // namespace

PyMODINIT_FUNC PyInit_velmot() {
    return velmot::binding::entry([]() -> PyObject* {
#ifdef PYPY_VERSION
        PyEval_InitThreads();  // lets threads the interpreter did not create take the GIL
#endif
        PyObject* module = velmot::binding::build_module(g_definition, k_item_names, k_hooks);
        if (module != nullptr) {
            velmot::binding::Ref owned = velmot::binding::Ref::steal(module);
            velmot::binding::register_exit_hook();  // runs the exit steps the hooks added
            return owned.release();
        }
        return module;
    });
}
