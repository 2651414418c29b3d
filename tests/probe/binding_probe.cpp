// `_binding_probe`: a test-only extension that exercises the binding layer through the same
// helpers and module builder as `velmot`: every converter and parameter kind, binding and
// conversion errors, fatal errors, the error-kind mapping, borrow conflicts, and the release of
// references dropped without the GIL (plain thread, runtime task, GilGuard, AllowThreads).
//
// Thread-safety: entry points run with the GIL held; background threads touch Python objects only
// through Ref (drop) and GilGuard.
#include <Python.h>
#include <pthread.h>
#include <signal.h>

#include <array>
#include <chrono>
#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "binding/class_def.hpp"
#include "binding/convert.hpp"
#include "binding/entry.hpp"
#include "binding/error.hpp"
#include "binding/function_def.hpp"
#include "binding/gil.hpp"
#include "binding/module_items.hpp"
#include "binding/panic_exception.hpp"
#include "binding/pending_release.hpp"
#include "binding/ref.hpp"
#include "binding/signature.hpp"
#include "common/panic.hpp"
#include "common/result.hpp"
#include "runtime/runtime.hpp"
#include "runtime_probe.hpp"

namespace {

using namespace velmot::binding;
using velmot::Error;
using velmot::ErrorKind;

// Starts a thread with every signal blocked (signals belong to the interpreter's main thread).
template <class Body>
std::thread start_quiet_thread(Body body) {
    sigset_t all;
    sigset_t previous;
    sigfillset(&all);
    pthread_sigmask(SIG_SETMASK, &all, &previous);
    std::thread thread(std::move(body));
    pthread_sigmask(SIG_SETMASK, &previous, nullptr);
    return thread;
}

// Runs `body` on a fresh signal-quiet thread and waits for it with the GIL released, so the
// thread may take the GIL itself.
template <class Body>
void run_on_quiet_thread_without_gil(Body body) {
    std::thread worker = start_quiet_thread(std::move(body));
    AllowThreads released;
    worker.join();
}

// Drops `object` on a fresh thread that does not hold the GIL, and waits for it.
void drop_on_plain_thread(Ref object) {
    start_quiet_thread([held = std::move(object)]() mutable { held.reset(); }).join();
}

// --- functions

constexpr Signature<Str, U8, U32, U64, ByteSeq, F64, F32, Bool, Object> k_convert{
    "convert",
    {arg("text"), arg("small"), arg("word"), arg("big"), arg("data"), arg("real"), arg("single"),
     arg("flag"), arg("obj")}};

PyObject* convert(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return call_function(
        k_convert, args, nargs, kwnames,
        [](std::string text, std::uint8_t small, std::uint32_t word, std::uint64_t big,
           std::vector<std::uint8_t> data, double real, float single, bool flag, Ref obj) {
            return std::tuple(text, small, word, big, data, real, single, flag, std::move(obj));
        });
}

constexpr Signature<U32, Opt<U32>, Opt<Str>> k_defaults{
    "defaults", {arg("a"), arg_default("b"), arg_default_none("c")}};

PyObject* defaults(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return call_function(
        k_defaults, args, nargs, kwnames,
        [](std::uint32_t a, std::optional<std::uint32_t> b, std::optional<std::string> c) {
            return std::tuple(a, b.value_or(7), c);
        });
}

constexpr Signature<Str> k_panic{"panic", {arg("message")}};

PyObject* panic(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return call_function(k_panic, args, nargs, kwnames,
                         [](std::string message) { velmot::panic(std::move(message)); });
}

PyObject* throw_logic_error(PyObject*, PyObject*) {
    return call_function_noargs([] { throw std::logic_error("unexpected internal exception"); });
}

std::optional<ErrorKind> kind_named(const std::string& name) {
    static const std::array<std::pair<const char*, ErrorKind>, 9> kinds = {{
        {"os", ErrorKind::os},
        {"not_found", ErrorKind::not_found},
        {"permission", ErrorKind::permission},
        {"invalid_input", ErrorKind::invalid_input},
        {"broken_pipe", ErrorKind::broken_pipe},
        {"value", ErrorKind::value},
        {"type", ErrorKind::type},
        {"timeout", ErrorKind::timeout},
        {"runtime", ErrorKind::runtime},
    }};
    for (const auto& [known, kind] : kinds) {
        if (name == known) {
            return kind;
        }
    }
    return std::nullopt;
}

constexpr Signature<Str, Str> k_raise_error{"raise_error", {arg("kind"), arg("text")}};

PyObject* raise_error(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return call_function(k_raise_error, args, nargs, kwnames,
                         [](std::string kind, std::string text) -> velmot::Result<void> {
                             std::optional<ErrorKind> found = kind_named(kind);
                             if (!found) {
                                 return Error{ErrorKind::value, "unknown kind " + kind};
                             }
                             return Error{*found, std::move(text)};
                         });
}

PyObject* noop(PyObject*, PyObject*) {
    return call_function_noargs([] {});
}

constexpr Signature<Object> k_call_back{"call_back", {arg("callback")}};

PyObject* call_back(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return call_function(k_call_back, args, nargs, kwnames, [](Ref callback) {
        Ref result = call_python(callback.get());
        return check(result.get()) != nullptr ? std::move(result) : Ref();
    });
}

constexpr Signature<Object> k_drop_off_gil{"drop_off_gil", {arg("obj")}};

PyObject* drop_off_gil(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return call_function(k_drop_off_gil, args, nargs, kwnames,
                         [](Ref obj) { drop_on_plain_thread(std::move(obj)); });
}

// One object held by the probe between calls, so that no caller frame keeps it alive.
Ref g_kept;

constexpr Signature<Object> k_keep{"keep", {arg("obj")}};

PyObject* keep(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return call_function(k_keep, args, nargs, kwnames, [](Ref obj) { g_kept = std::move(obj); });
}

// Calls `callback` from a background thread under GilGuard; its exception, if any, goes to the
// unraisable-exception hook (there is no caller to hand it to).
void call_under_gil_guard(const Ref& callback) {
    GilGuard gil;
    if (!call_python(callback.get())) {
        PyErr_WriteUnraisable(callback.get());
    }
}

constexpr Signature<Object> k_drop_kept_then_acquire{"drop_kept_then_acquire", {arg("callback")}};

// A background thread drops the kept object without the GIL, then takes the GIL through GilGuard
// and calls `callback` (that acquisition has released the object by then). The caller waits with
// the GIL released.
PyObject* drop_kept_then_acquire(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                                 PyObject* kwnames) {
    return call_function(k_drop_kept_then_acquire, args, nargs, kwnames, [](Ref callback) {
        run_on_quiet_thread_without_gil([kept = std::move(g_kept), &callback]() mutable {
            kept.reset();
            call_under_gil_guard(callback);
        });
    });
}

constexpr Signature<Object> k_drop_in_allow_threads{"drop_in_allow_threads", {arg("obj")}};

PyObject* drop_in_allow_threads(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                                PyObject* kwnames) {
    return call_function(k_drop_in_allow_threads, args, nargs, kwnames, [](Ref obj) {
        AllowThreads released;
        drop_on_plain_thread(std::move(obj));
    });
}

constexpr Signature<Object> k_drop_from_runtime{"drop_from_runtime", {arg("obj")}};

asio::awaitable<void> drop_in_task(Ref obj) {
    obj.reset();
    co_return;
}

// A runtime task owns `obj` and drops it on a worker thread (which never holds the GIL). The
// caller waits with the GIL held, so nothing drains the pending list before the next entry.
PyObject* drop_from_runtime(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return call_function(k_drop_from_runtime, args, nargs, kwnames, [](Ref obj) {
        return velmot::runtime::get_runtime().spawn(drop_in_task(std::move(obj))).wait();
    });
}

constexpr Signature<Object, U32> k_call_from_thread{"call_from_thread",
                                                    {arg("callback"), arg("times")}};

// One background thread calls `callback` `times` times, each under its own GilGuard.
PyObject* call_from_thread(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return call_function(k_call_from_thread, args, nargs, kwnames,
                         [](Ref callback, std::uint32_t times) {
                             run_on_quiet_thread_without_gil([&callback, times] {
                                 for (std::uint32_t i = 0; i < times; ++i) {
                                     call_under_gil_guard(callback);
                                 }
                             });
                         });
}

constexpr Signature<Object> k_spin_in_background{"spin_in_background", {arg("callback")}};

// Starts a detached thread that keeps calling `callback` under GilGuard until the process ends
// (used to show that interpreter shutdown with such a thread does not crash).
PyObject* spin_in_background(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                             PyObject* kwnames) {
    return call_function(k_spin_in_background, args, nargs, kwnames, [](Ref callback) {
        start_quiet_thread([held = std::move(callback)] {
            for (;;) {
                {
                    GilGuard gil;
                    if (!call_python(held.get())) {
                        PyErr_Clear();
                    }
                }
                std::this_thread::sleep_for(std::chrono::milliseconds(1));
            }
        }).detach();
    });
}

constexpr Signature<Object> k_error_survives_drain{"error_survives_drain", {arg("obj")}};

// Queues `obj` for release, sets ValueError, drains the queue (running `obj`'s finalizer) and
// returns with the ValueError still set.
PyObject* error_survives_drain(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                               PyObject* kwnames) {
    return call_function(k_error_survives_drain, args, nargs, kwnames, [](Ref obj) {
        drop_on_plain_thread(std::move(obj));
        PyErr_SetString(PyExc_ValueError, "set before draining");
        pending_release::drain();
        throw_python_error();
    });
}

PyObject* pending_count(PyObject*, PyObject*) {
    return call_function_noargs([] { return pending_release::size(); });
}

// --- class Probe: one counter

struct Counter {
    std::uint64_t value;
};

constexpr Signature<U64> k_probe_new{"Probe", {arg("start")}};

PyObject* probe_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    return construct<Counter>(k_probe_new, type, args, kwargs,
                              [](std::uint64_t start) { return Counter{start}; });
}

PyObject* probe_get(PyObject* self, PyObject*) {
    return call_method_noargs<Counter, Access::shared>(
        "Probe.get", self, [](Counter& counter) { return counter.value; });
}

// Calls `callback` (when given) while the borrow of the calling method is held.
void call_while_borrowed(const std::optional<Ref>& callback) {
    if (callback && !call_python(callback->get())) {
        throw_python_error();
    }
}

constexpr Signature<U64, Opt<Object>> k_probe_add{"Probe.add",
                                                  {arg("amount"), arg_default_none("callback")}};

PyObject* probe_add(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return call_method<Counter, Access::shared>(
        k_probe_add, self, args, nargs, kwnames,
        [](Counter& counter, std::uint64_t amount, std::optional<Ref> callback) {
            call_while_borrowed(callback);
            return counter.value + amount;
        });
}

constexpr Signature<U64, Opt<Object>> k_probe_store{"Probe.store",
                                                    {arg("value"), arg_default_none("callback")}};

PyObject* probe_store(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return call_method<Counter, Access::exclusive>(
        k_probe_store, self, args, nargs, kwnames,
        [](Counter& counter, std::uint64_t value, std::optional<Ref> callback) {
            call_while_borrowed(callback);
            counter.value = value;
        });
}

PyObject* probe_fail(PyObject* self, PyObject*) {
    return call_method_noargs<Counter, Access::shared>(
        "Probe.fail", self, [](Counter&) { velmot::panic("method failed"); });
}

PyObject* probe_value(PyObject* self, void*) {
    return call_getter<Counter>("Probe.value", self,
                                [](Counter& counter) { return counter.value; });
}

PyObject* probe_repr(PyObject* self) {
    return call_repr<Counter>(self, [](Counter& counter) {
        return "Probe(value=" + std::to_string(counter.value) + ")";
    });
}

constexpr Signature<U64> k_probe_call{"Probe.__call__", {arg("extra")}};

PyObject* probe_call(PyObject* self, PyObject* args, PyObject* kwargs) {
    return call_slot<Counter, Access::shared>(
        k_probe_call, self, args, kwargs,
        [](Counter& counter, std::uint64_t extra) { return counter.value + extra; });
}

PyMethodDef g_probe_methods[] = {
    noargs_def("get", probe_get, "get($self)\n--\n\nThe counter's value."),
    fastcall_def("add", probe_add,
                 "add($self, amount, callback=None)\n--\n\nValue plus amount (shared access); "
                 "calls callback while borrowed."),
    fastcall_def("store", probe_store,
                 "store($self, value, callback=None)\n--\n\nSets the value (exclusive access); "
                 "calls callback while borrowed."),
    noargs_def("fail", probe_fail, "fail($self)\n--\n\nRaises a fatal error."),
    k_end_of_methods,
};

PyGetSetDef g_probe_getters[] = {
    getter_def("value", probe_value, "The counter's value."),
    k_end_of_getters,
};

const ClassDef k_probe_class{
    "_binding_probe.Probe",
    "Probe(start)\n--\n\nA counter exercising methods, getters, repr, call and borrows.",
    g_probe_methods,
    g_probe_getters,
    probe_repr,
    probe_call,
    probe_new,
};

// --- class Sealed: no constructor, instances made by make_sealed()

struct Sealed {
    std::string label;
};

PyObject* sealed_label(PyObject* self, void*) {
    return call_getter<Sealed>("Sealed.label", self, [](Sealed& sealed) { return sealed.label; });
}

PyGetSetDef g_sealed_getters[] = {
    getter_def("label", sealed_label, "The label given to make_sealed()."),
    k_end_of_getters,
};

const ClassDef k_sealed_class{
    "_binding_probe.Sealed",
    "A class Python code cannot instantiate.",
    nullptr,
    g_sealed_getters,
};

constexpr Signature<Str> k_make_sealed{"make_sealed", {arg("label")}};

PyObject* make_sealed(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return call_function(k_make_sealed, args, nargs, kwnames,
                         [](std::string label) { return new_instance(Sealed{std::move(label)}); });
}

// --- module

PyMethodDef g_convert = fastcall_def(
    "convert", convert,
    "convert(text, small, word, big, data, real, single, flag, obj)\n--\n\nConverted values.");
PyMethodDef g_defaults =
    fastcall_def("defaults", defaults, "defaults(a, b=7, c=None)\n--\n\nThe bound values.");
PyMethodDef g_panic = fastcall_def("panic", panic, "panic(message)\n--\n\nRaises a fatal error.");
PyMethodDef g_throw_logic_error = noargs_def(
    "throw_logic_error", throw_logic_error,
    "throw_logic_error()\n--\n\nLets an unexpected C++ exception reach the entry point.");
PyMethodDef g_raise_error = fastcall_def("raise_error", raise_error,
                                         "raise_error(kind, text)\n--\n\nRaises the error kind.");
PyMethodDef g_noop = noargs_def("noop", noop, "noop()\n--\n\nDoes nothing.");
PyMethodDef g_call_back =
    fastcall_def("call_back", call_back, "call_back(callback)\n--\n\nReturns callback().");
PyMethodDef g_drop_off_gil = fastcall_def(
    "drop_off_gil", drop_off_gil, "drop_off_gil(obj)\n--\n\nDrops obj on a thread without GIL.");
PyMethodDef g_keep = fastcall_def("keep", keep, "keep(obj)\n--\n\nHolds obj in the probe.");
PyMethodDef g_drop_kept_then_acquire =
    fastcall_def("drop_kept_then_acquire", drop_kept_then_acquire,
                 "drop_kept_then_acquire(callback)\n--\n\nDrops the kept object without the GIL "
                 "on a thread that then calls callback under GilGuard.");
PyMethodDef g_drop_in_allow_threads =
    fastcall_def("drop_in_allow_threads", drop_in_allow_threads,
                 "drop_in_allow_threads(obj)\n--\n\nDrops obj while the GIL is released.");
PyMethodDef g_drop_from_runtime =
    fastcall_def("drop_from_runtime", drop_from_runtime,
                 "drop_from_runtime(obj)\n--\n\nDrops obj in a runtime task.");
PyMethodDef g_call_from_thread =
    fastcall_def("call_from_thread", call_from_thread,
                 "call_from_thread(callback, times)\n--\n\nCalls callback from one background "
                 "thread, times times.");
PyMethodDef g_spin_in_background =
    fastcall_def("spin_in_background", spin_in_background,
                 "spin_in_background(callback)\n--\n\nCalls callback from a detached thread "
                 "until the process ends.");
PyMethodDef g_error_survives_drain =
    fastcall_def("error_survives_drain", error_survives_drain,
                 "error_survives_drain(obj)\n--\n\nRaises ValueError set before draining obj.");
PyMethodDef g_pending_count = noargs_def(
    "pending_count", pending_count, "pending_count()\n--\n\nQueued references after draining.");
PyMethodDef g_make_sealed =
    fastcall_def("make_sealed", make_sealed, "make_sealed(label)\n--\n\nA new Sealed object.");

constexpr std::array<const char*, 22> k_item_names = {
    "Probe",
    "Sealed",
    "convert",
    "defaults",
    "panic",
    "throw_logic_error",
    "raise_error",
    "noop",
    "call_back",
    "drop_off_gil",
    "keep",
    "drop_kept_then_acquire",
    "drop_in_allow_threads",
    "drop_from_runtime",
    "call_from_thread",
    "spin_in_background",
    "error_survives_drain",
    "pending_count",
    "make_sealed",
    "start_runtime",
    "wait_for_signal",
    "not_registered",
};

// Registered by the hook that runs last, so table order has to win over registration order.
void register_classes(ItemCatalog& catalog) {
    catalog.add("Sealed", class_item<Sealed, k_sealed_class>);
    catalog.add("Probe", class_item<Counter, k_probe_class>);
}

void register_functions(ItemCatalog& catalog) {
    catalog.add("make_sealed", function_item<g_make_sealed>);
    catalog.add("pending_count", function_item<g_pending_count>);
    catalog.add("error_survives_drain", function_item<g_error_survives_drain>);
    catalog.add("spin_in_background", function_item<g_spin_in_background>);
    catalog.add("call_from_thread", function_item<g_call_from_thread>);
    catalog.add("drop_from_runtime", function_item<g_drop_from_runtime>);
    catalog.add("drop_in_allow_threads", function_item<g_drop_in_allow_threads>);
    catalog.add("drop_kept_then_acquire", function_item<g_drop_kept_then_acquire>);
    catalog.add("keep", function_item<g_keep>);
    catalog.add("drop_off_gil", function_item<g_drop_off_gil>);
    catalog.add("call_back", function_item<g_call_back>);
    catalog.add("noop", function_item<g_noop>);
    catalog.add("raise_error", function_item<g_raise_error>);
    catalog.add("throw_logic_error", function_item<g_throw_logic_error>);
    catalog.add("panic", function_item<g_panic>);
    catalog.add("defaults", function_item<g_defaults>);
    catalog.add("convert", function_item<g_convert>);
}

constexpr std::array<RegisterHook, 3> k_hooks = {&probe::register_runtime_functions,
                                                 &register_functions, &register_classes};

PyModuleDef g_definition = {
    PyModuleDef_HEAD_INIT,
    "_binding_probe",
    "Test-only probe of the velmot binding layer.",
    0,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace

PyMODINIT_FUNC PyInit__binding_probe() {
    return entry([]() -> PyObject* {
#ifdef PYPY_VERSION
        PyEval_InitThreads();
#endif
        return build_module(g_definition, k_item_names, k_hooks);
    });
}
