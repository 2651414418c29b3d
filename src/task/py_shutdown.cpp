// The blocking shutdown functions. block_all and block_until wait for SIGINT/SIGTERM (and
// block_until also for a time limit) with the GIL released, then stop every timer and background
// task and wait for the registry; shutdown_all stops and waits at once.
//
// A Ctrl+C also leaves a pending KeyboardInterrupt in the interpreter (its own SIGINT handler stays
// in force beside ours); after a signal ended the wait it is run and discarded here, so the caller
// gets the function's result instead of the exception, both from the call and at its next bytecode.
//
// Blocks: block_all and block_until until a signal (or the time limit), then up to their timeout;
// GIL released while waiting; the signal is the way out of the first wait (it is consumed).
// Thread-safety: entry points run with the GIL held.
#include "task/py_shutdown.hpp"

#include <cstdint>
#include <optional>
#include <string>
#include <utility>

#include "binding/class_def.hpp"
#include "binding/gil.hpp"
#include "binding/signals.hpp"
#include "task/py_registry_wait.hpp"
#include "task/shutdown.hpp"

namespace velmot::task {
namespace {

using namespace binding;

// Runs the interpreter's pending signal handlers and discards what they raised.
void consume_pending_interrupt() {
    try {
        run_signal_handlers();
    } catch (const PythonError&) {
        PyErr_Clear();
    }
}

std::string block_all(std::optional<std::uint64_t> timeout_ms) {
    std::string name;
    {
        ShutdownSignalScope requests;
        AllowThreads unlocked;
        name = await_signal_then_stop_all();
        wait_all_and_report(optional_millis(timeout_ms));
    }
    consume_pending_interrupt();
    return name;
}

std::pair<std::string, bool> block_until(std::optional<std::uint64_t> wait_ms,
                                         std::optional<std::uint64_t> shutdown_timeout_ms) {
    std::string reason;
    bool stopped = false;
    {
        ShutdownSignalScope requests;
        AllowThreads unlocked;
        reason = await_signal_or_time_then_stop_all(optional_millis(wait_ms));
        stopped = wait_all_and_report(optional_millis(shutdown_timeout_ms));
    }
    if (reason.starts_with("signal:")) {
        consume_pending_interrupt();
    }
    return {std::move(reason), stopped};
}

constexpr Signature<Opt<U64>> k_block_all{"block_all", {arg_default_none("timeout_ms")}};
constexpr Signature<Opt<U64>, Opt<U64>> k_block_until{
    "block_until", {arg_default_none("wait_ms"), arg_default_none("shutdown_timeout_ms")}};
constexpr Signature<Opt<U64>> k_shutdown_all{"shutdown_all", {arg_default_none("timeout_ms")}};

PyObject* block_all_entry(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return call_function(k_block_all, args, nargs, kwnames, block_all);
}

PyObject* block_until_entry(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return call_function(k_block_until, args, nargs, kwnames, block_until);
}

PyObject* shutdown_all_entry(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                             PyObject* kwnames) {
    return call_function(k_shutdown_all, args, nargs, kwnames, stop_all_and_wait);
}

PyMethodDef g_shutdown_all =
    fastcall_def("shutdown_all", shutdown_all_entry,
                 "shutdown_all(timeout_ms=None)\n--\n\n"
                 "优雅关闭所有任务的便捷函数：停止所有定时器和后台任务，然后等待它们结束。\n\n"
                 "参数:\n"
                 "    timeout_ms: 等待任务结束的最长时间（毫秒），None 表示无限等待。\n\n"
                 "返回:\n"
                 "    所有任务都已结束时返回 True，超时返回 False。");

PyMethodDef g_block_all =
    fastcall_def("block_all", block_all_entry,
                 "block_all(timeout_ms=None)\n--\n\n"
                 "阻塞当前线程，直到收到退出信号（SIGINT/Ctrl+C 或 "
                 "SIGTERM），然后优雅关闭：停止所有定时器和后台任务。\n\n"
                 "参数:\n"
                 "    timeout_ms: 收到信号后等待任务结束的最长时间（毫秒），None 表示无限等待。\n\n"
                 "返回:\n"
                 "    收到的信号名称：\"SIGINT\"、\"SIGTERM\" 或 \"unknown\"。");

PyMethodDef g_block_until = fastcall_def(
    "block_until", block_until_entry,
    "block_until(wait_ms=None, shutdown_timeout_ms=None)\n--\n\n"
    "阻塞直到收到退出信号或等待时间已到，两种情况下都会执行优雅关闭。\n\n"
    "参数:\n"
    "    wait_ms: 等待信号的最长时间（毫秒），None 表示只等待信号。\n"
    "    shutdown_timeout_ms: 关闭时等待任务结束的最长时间（毫秒），None 表示无限等待。\n\n"
    "返回:\n"
    "    (reason, success)：reason 为 \"signal:SIGINT\"、\"signal:SIGTERM\" 或 \"timeout\"；"
    "success 表示所有任务是否都已结束。\n\n"
    "示例:\n"
    "    reason, success = block_until(wait_ms=10000, shutdown_timeout_ms=5000)");

}  // namespace

void register_shutdown_items(ItemCatalog& catalog) {
    catalog.add("shutdown_all", function_item<g_shutdown_all>);
    catalog.add("block_all", function_item<g_block_all>);
    catalog.add("block_until", function_item<g_block_until>);
}

}  // namespace velmot::task
