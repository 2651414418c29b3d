// Runtime probe functions: `start_runtime()` builds the process-wide runtime and runs one
// blocking-pool job (so worker and pool threads exist for inspection); `wait_for_signal(signo,
// timeout_ms)` waits on the runtime, GIL released, for the next delivery of `signo` and returns
// whether it came in time. The interpreter's own handler for the signal runs as well, so a SIGINT
// also raises KeyboardInterrupt once the call returns.
#include "runtime_probe.hpp"

#include <chrono>
#include <cstdint>

#include "binding/function_def.hpp"
#include "binding/gil.hpp"
#include "binding/signature.hpp"
#include "runtime/runtime.hpp"
#include "runtime/signal_listener.hpp"
#include "runtime/timeout.hpp"

namespace probe {
namespace {

using namespace velmot::binding;
namespace rt = velmot::runtime;

PyObject* start_runtime(PyObject*, PyObject*) {
    return call_function_noargs([] {
        rt::Runtime& runtime = rt::get_runtime();
        AllowThreads released;
        (void)runtime.spawn_blocking([] {}).wait();
        return static_cast<std::uint64_t>(runtime.worker_count());
    });
}

constexpr Signature<U32, U64> k_wait_for_signal{"wait_for_signal",
                                                {arg("signo"), arg("timeout_ms")}};

asio::awaitable<bool> next_delivery(rt::SignalListener listener, std::uint64_t timeout_ms) {
    auto delivered = co_await rt::timeout(std::chrono::milliseconds(timeout_ms), listener.recv());
    co_return delivered.ok();
}

PyObject* wait_for_signal(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return call_function(
        k_wait_for_signal, args, nargs, kwnames, [](std::uint32_t signo, std::uint64_t timeout_ms) {
            rt::Runtime& runtime = rt::get_runtime();
            rt::SignalListener listener = unwrap(rt::SignalListener::create(
                runtime.context().get_executor(), static_cast<int>(signo)));
            AllowThreads released;
            return runtime.block_on(next_delivery(std::move(listener), timeout_ms));
        });
}

PyMethodDef g_start_runtime = noargs_def(
    "start_runtime", start_runtime,
    "start_runtime()\n--\n\nBuilds the runtime, runs one blocking job, returns the worker count.");
PyMethodDef g_wait_for_signal =
    fastcall_def("wait_for_signal", wait_for_signal,
                 "wait_for_signal(signo, timeout_ms)\n--\n\nWaits for the next delivery of signo.");

}  // namespace

void register_runtime_functions(ItemCatalog& catalog) {
    catalog.add("start_runtime", function_item<g_start_runtime>);
    catalog.add("wait_for_signal", function_item<g_wait_for_signal>);
}

}  // namespace probe
