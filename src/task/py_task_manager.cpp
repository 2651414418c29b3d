// The TaskManager class (counts, status, stop_all, wait_all, shutdown, cleanup, __repr__) and
// get_task_manager.
//
// Blocks: wait_all and shutdown wait for the registry with the GIL released and Ctrl+C checked
// every 50 ms (py_registry_wait.hpp).
// Thread-safety: entry points run with the GIL held.
#include "task/py_task_manager.hpp"

#include <cstdint>
#include <optional>
#include <string>

#include "binding/class_def.hpp"
#include "runtime/time.hpp"
#include "task/py_registry_wait.hpp"
#include "task/task_manager.hpp"

namespace velmot::task {
namespace {

using namespace binding;

// The Python object's value: the registry is process-wide, so there is nothing to hold.
struct TaskManagerView {};

template <class Body>
PyObject* view_getter(const char* function, PyObject* self, Body body) {
    return call_getter<TaskManagerView>(function, self,
                                        [&](TaskManagerView&) { return body(task_manager()); });
}

template <class Body>
PyObject* view_method(const char* function, PyObject* self, Body body) {
    return call_method_noargs<TaskManagerView, Access::shared>(
        function, self, [&](TaskManagerView&) { return body(task_manager()); });
}

PyObject* running_count(PyObject* self, void*) {
    return view_getter("TaskManager.running_count", self,
                       [](TaskManager& m) { return m.running_count(); });
}

PyObject* total_count(PyObject* self, void*) {
    return view_getter("TaskManager.total_count", self, [](TaskManager& m) { return m.total(); });
}

PyObject* timer_count(PyObject* self, void*) {
    return view_getter("TaskManager.timer_count", self,
                       [](TaskManager& m) { return m.count_running_of_kind(TaskKind::timer); });
}

PyObject* async_task_count(PyObject* self, void*) {
    return view_getter("TaskManager.async_task_count", self,
                       [](TaskManager& m) { return m.count_running_of_kind(TaskKind::async); });
}

// The four counts as a dict, keys in this order.
Ref status_dict(const StatusSummary& summary) {
    Ref dict = Ref::steal(check(PyDict_New()));
    const std::pair<const char*, std::size_t> items[] = {
        {"running_timers", summary.running_timers},
        {"running_tasks", summary.running_tasks},
        {"stopped", summary.stopped},
        {"total", summary.total},
    };
    for (const auto& [key, count] : items) {
        Ref value = Ref::steal(to_python(count));
        check_status(PyDict_SetItemString(dict.get(), key, value.get()));
    }
    return dict;
}

PyObject* status(PyObject* self, PyObject*) {
    return view_method("TaskManager.status", self,
                       [](TaskManager& m) { return status_dict(m.status_summary()); });
}

PyObject* stop_all(PyObject* self, PyObject*) {
    return view_method("TaskManager.stop_all", self, [](TaskManager& m) { m.stop_all(); });
}

PyObject* cleanup(PyObject* self, PyObject*) {
    return view_method("TaskManager.cleanup", self, [](TaskManager& m) { m.cleanup(); });
}

constexpr Signature<Opt<U64>> k_wait_all{"TaskManager.wait_all", {arg_default_none("timeout_ms")}};
constexpr Signature<Opt<U64>> k_shutdown{"TaskManager.shutdown", {arg_default_none("timeout_ms")}};

PyObject* wait_all(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return call_method<TaskManagerView, Access::shared>(
        k_wait_all, self, args, nargs, kwnames,
        [](TaskManagerView&, std::optional<std::uint64_t> timeout_ms) {
            return wait_all_checking_signals(timeout_ms);
        });
}

PyObject* shutdown(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return call_method<TaskManagerView, Access::shared>(
        k_shutdown, self, args, nargs, kwnames,
        [](TaskManagerView&, std::optional<std::uint64_t> timeout_ms) {
            return stop_all_and_wait(timeout_ms);
        });
}

PyObject* repr(PyObject* self) {
    return call_repr<TaskManagerView>(self, [](TaskManagerView&) {
        const StatusSummary s = task_manager().status_summary();
        return "TaskManager(timers=" + std::to_string(s.running_timers) +
               ", tasks=" + std::to_string(s.running_tasks) +
               ", stopped=" + std::to_string(s.stopped) + ", total=" + std::to_string(s.total) +
               ")";
    });
}

constexpr Signature<> k_new{"TaskManager", {}};

PyObject* construct_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    return construct<TaskManagerView>(k_new, type, args, kwargs, [] { return TaskManagerView{}; });
}

PyObject* get_task_manager(PyObject*, PyObject*) {
    return call_function_noargs([] { return new_instance(TaskManagerView{}); });
}

PyMethodDef g_methods[] = {
    noargs_def("status", status,
               "status($self)\n--\n\n"
               "Returns a dict with the keys running_timers, running_tasks, stopped and total."),
    noargs_def("stop_all", stop_all, "stop_all($self)\n--\n\nStops all tasks."),
    fastcall_def(
        "wait_all", wait_all,
        "wait_all($self, timeout_ms=None)\n--\n\n"
        "Waits for all tasks to complete.\n\n"
        "Args:\n"
        "    timeout_ms: the longest time to wait in milliseconds; None waits without limit.\n\n"
        "Returns:\n"
        "    True if all tasks completed, False on timeout.\n\n"
        "Example:\n"
        "    success = manager.wait_all(timeout_ms=5000)"),
    fastcall_def(
        "shutdown", shutdown,
        "shutdown($self, timeout_ms=None)\n--\n\n"
        "Shuts all tasks down gracefully: stops them first, then waits for them.\n\n"
        "Args:\n"
        "    timeout_ms: the longest time to wait in milliseconds; None waits without limit.\n\n"
        "Returns:\n"
        "    True if all tasks completed, False on timeout.\n\n"
        "Example:\n"
        "    success = manager.shutdown(timeout_ms=5000)"),
    noargs_def("cleanup", cleanup, "cleanup($self)\n--\n\nRemoves finished tasks."),
    k_end_of_methods,
};

PyGetSetDef g_getters[] = {
    getter_def("running_count", running_count, "The number of running tasks."),
    getter_def("total_count", total_count, "The number of all tasks."),
    getter_def("timer_count", timer_count, "The number of running timers."),
    getter_def("async_task_count", async_task_count, "The number of running background tasks."),
    k_end_of_getters,
};

const ClassDef k_class{
    "velmot.TaskManager",
    "TaskManager()\n--\n\n"
    "The task manager accessible from Python: counts, stops and waits for every timer and "
    "background task of the process.",
    g_methods,
    g_getters,
    repr,
    nullptr,
    construct_new,
};

PyMethodDef g_get_task_manager = noargs_def("get_task_manager", get_task_manager,
                                            "get_task_manager()\n--\n\n"
                                            "Returns the global task manager instance.\n\n"
                                            "Example:\n"
                                            "    manager = get_task_manager()\n"
                                            "    print(manager.running_count)");

}  // namespace

void register_task_manager_items(ItemCatalog& catalog) {
    catalog.add("TaskManager", class_item<TaskManagerView, k_class>);
    catalog.add("get_task_manager", function_item<g_get_task_manager>);
}

}  // namespace velmot::task
