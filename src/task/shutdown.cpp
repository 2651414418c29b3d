// The shutdown signal wait and the shutdown sequences.
//
// Thread-safety: see shutdown.hpp. The two listeners of one wait live in its coroutine; their
// receives complete a shared one-shot cell, first delivery wins, and destroying the listeners at
// the end aborts the receive that lost.
#include "task/shutdown.hpp"

#include <algorithm>
#include <array>
#include <chrono>
#include <csignal>
#include <random>
#include <system_error>
#include <utility>

#include <asio/bind_executor.hpp>
#include <asio/this_coro.hpp>
#include <asio/use_awaitable.hpp>

#include "common/console.hpp"
#include "common/interrupt_poll.hpp"
#include "common/panic.hpp"
#include "runtime/oneshot.hpp"
#include "runtime/operation_aborted.hpp"
#include "runtime/runtime.hpp"
#include "runtime/signal_listener.hpp"
#include "task/task_manager.hpp"

namespace velmot::task {

namespace {

// A receive that fails for another reason than being aborted completes the wait with this value.
constexpr int k_listener_failed = 0;

runtime::SignalListener make_listener(const asio::any_io_executor& executor, int signo,
                                      const char* failure) {
    auto listener = runtime::SignalListener::create(executor, signo);
    if (!listener.ok()) {
        panic(std::string(failure) + ": " + listener.error().message);
    }
    return std::move(listener).value();
}

bool coin_flip() {
    thread_local std::minstd_rand generator{std::random_device{}()};
    return (generator() & 1U) != 0;
}

constexpr ConsoleKind k_shutdown_kind{"velmot: shutdown"};

void write_line(const std::string& text) {
    write_stderr(k_shutdown_kind, text);
}

std::uint32_t shutdown_signal_count() {
    return runtime::signal_delivery_count(SIGINT) + runtime::signal_delivery_count(SIGTERM);
}

}  // namespace

asio::awaitable<std::string> wait_for_shutdown_signal() {
    const auto executor = co_await asio::this_coro::executor;
    auto sigint = make_listener(executor, SIGINT, "Failed to register SIGINT handler");
    auto sigterm = make_listener(executor, SIGTERM, "Failed to register SIGTERM handler");
    auto fired = runtime::OneShot<int>::create();
    std::array<std::pair<runtime::SignalListener*, int>, 2> order{
        {{&sigint, SIGINT}, {&sigterm, SIGTERM}}};
    // The receive started first completes first when both signals are already pending.
    if (coin_flip()) {
        std::swap(order[0], order[1]);
    }
    for (auto& [listener, signo] : order) {
        listener->async_recv(
            asio::bind_executor(executor, [fired, signo = signo](std::error_code ec) {
                if (!ec) {
                    fired->set_value(signo);
                } else if (!runtime::is_operation_aborted(ec)) {
                    fired->set_value(k_listener_failed);
                }
            }));
    }
    const std::optional<int> signo = co_await fired->async_wait(asio::use_awaitable);
    if (*signo == k_listener_failed) {
        panic("the shutdown signal listener failed");
    }
    co_return *signo == SIGINT ? "SIGINT" : "SIGTERM";
}

std::string await_signal_then_stop_all() {
    std::string name = runtime::get_runtime().block_on(wait_for_shutdown_signal());
    write_line("\n[velmot] Received " + name + ", initiating graceful shutdown...\n");
    task_manager().stop_all();
    return name;
}

std::string await_signal_or_time_then_stop_all(std::optional<runtime::Clock::duration> wait) {
    auto& rt = runtime::get_runtime();
    std::string reason;
    if (!wait) {
        reason = "signal:" + rt.block_on(wait_for_shutdown_signal());
    } else {
        Result<std::string> name = rt.block_on(runtime::timeout(*wait, wait_for_shutdown_signal()));
        reason = name.ok() ? "signal:" + name.value() : "timeout";
    }
    write_line("\n[velmot] Stopping (reason: " + reason + "), initiating graceful shutdown...\n");
    task_manager().stop_all();
    return reason;
}

bool wait_all_and_report(std::optional<runtime::Clock::duration> timeout) {
    const auto deadline = timeout ? runtime::saturating_add(runtime::Clock::now(), *timeout)
                                  : runtime::Clock::time_point::max();
    const std::uint32_t signals_before = shutdown_signal_count();
    bool stopped = false;
    for (;;) {
        const auto until = std::min(
            deadline, runtime::saturating_add(runtime::Clock::now(), k_interrupt_poll_period));
        stopped = task_manager().wait_all_until(until);
        // A second SIGINT or SIGTERM ends the wait as its timeout would: the way out of a stuck
        // call.
        if (stopped || runtime::Clock::now() >= deadline ||
            shutdown_signal_count() != signals_before) {
            break;
        }
    }
    write_line(stopped ? "[velmot] All tasks stopped successfully\n"
                       : "[velmot] Shutdown timed out, some tasks may still be running\n");
    return stopped;
}

}  // namespace velmot::task
