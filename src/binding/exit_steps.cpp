// The exit steps and their atexit callable.
//
// Thread-safety: see exit_steps.hpp; the callable runs on the exiting thread with the GIL held on
// entry and releases it while the steps run.
#include "binding/exit_steps.hpp"

#include <pthread.h>

#include <algorithm>
#include <atomic>
#include <utility>
#include <vector>

#include "binding/entry.hpp"
#include "binding/function_def.hpp"
#include "binding/gil.hpp"
#include "binding/panic_exception.hpp"
#include "binding/ref.hpp"
#include "common/console.hpp"

namespace velmot::binding {

namespace {

struct Steps {
    std::vector<std::pair<ExitStage, ExitStep>> steps;  // kept in stage order
    bool registered = false;
};

// Set in the child by fork() (a pthread_atfork handler), so the check costs no system call.
std::atomic<bool> g_forked_child{false};

void mark_forked_child() {
    g_forked_child.store(true, std::memory_order_relaxed);
}

Steps& steps() {
    static Steps& instance = *new Steps();  // leaked: used at exit
    return instance;
}

void run_steps() {
    static std::atomic<bool> ran{false};
    if (forked_after_import() || ran.exchange(true)) {
        return;
    }
    const auto deadline = runtime::saturating_add(runtime::Clock::now(), k_exit_bound);
    for (const auto& [stage, step] : steps().steps) {
        step(deadline);
    }
    (void)flush_console(deadline);  // lines that cannot be written in time are dropped
}

PyObject* at_exit(PyObject*, PyObject*) {
    return call_function_noargs([] {
        AllowThreads unlocked;
        run_steps();
    });
}

PyMethodDef g_at_exit =
    noargs_def("_velmot_at_exit", at_exit,
               "Stops timers and writes queued CAN frames before the interpreter exits.");

#ifdef PYPY_VERSION
// PyPy leaves out atexit when a script ends with an uncaught KeyboardInterrupt, but it does call
// sys.excepthook first: for that ending the steps run from a wrapper around the hook that was
// installed at import (a script that replaces sys.excepthook later loses this).
PyObject* g_previous_excepthook = nullptr;  // leaked, like the class objects

PyObject* excepthook(PyObject*, PyObject* args) {
    return entry([&]() -> PyObject* {
        PyObject* type = PyTuple_Size(args) > 0 ? PyTuple_GetItem(args, 0) : nullptr;
        if (type != nullptr && PyType_Check(type) &&
            PyObject_IsSubclass(type, PyExc_KeyboardInterrupt) == 1) {
            AllowThreads unlocked;
            run_steps();
        }
        return call_python(g_previous_excepthook, args).release();
    });
}

PyMethodDef g_excepthook = {
    "_velmot_excepthook", excepthook, METH_VARARGS,
    "Runs velmot's exit steps when the script ends with KeyboardInterrupt."};

void wrap_excepthook() {
    PyObject* previous = PySys_GetObject("excepthook");  // borrowed
    if (previous == nullptr) {
        return;
    }
    Ref wrapper = Ref::steal(check(PyCFunction_NewEx(&g_excepthook, nullptr, nullptr)));
    g_previous_excepthook = Ref::new_ref(previous).release();
    check_status(PySys_SetObject("excepthook", wrapper.get()));
}
#endif

}  // namespace

void add_exit_step(ExitStage stage, ExitStep step) {
    auto& list = steps().steps;
    if (std::find(list.begin(), list.end(), std::pair{stage, step}) != list.end()) {
        return;
    }
    const auto at =
        std::upper_bound(list.begin(), list.end(), stage,
                         [](ExitStage s, const auto& entry) { return s < entry.first; });
    list.insert(at, {stage, step});
}

bool forked_after_import() noexcept {
    return g_forked_child.load(std::memory_order_relaxed);
}

void register_exit_hook() {
    if (steps().registered) {
        return;
    }
    Ref atexit = Ref::steal(check(PyImport_ImportModule("atexit")));
    Ref callable = Ref::steal(check(PyCFunction_NewEx(&g_at_exit, nullptr, nullptr)));
    Ref result =
        Ref::steal(check(PyObject_CallMethod(atexit.get(), "register", "O", callable.get())));
#ifdef PYPY_VERSION
    wrap_excepthook();
#endif
    (void)::pthread_atfork(nullptr, nullptr, &mark_forked_child);
    steps().registered = true;
}

}  // namespace velmot::binding
