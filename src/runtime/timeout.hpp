// timeout: bounds an operation by a deadline without losing its result. The operation runs as a
// child coroutine on the caller's executor with its own cancellation signal; when the deadline
// passes first the child is cancelled and awaited to its end, and a value it produced anyway is
// returned instead of the timeout. With a cancellation-safe inner operation (one that completes
// exactly once, with a value or with operation_aborted) nothing is lost. (This is why the
// awaitable `||` operator is not used: it drops a completed result of the losing side.)
//
// The caller's cancellation (task abort) reaches the child the same way and ends the timeout with
// operation_aborted once the child has ended (a value the child produced anyway is returned).
//
// Thread-safety: the caller's executor must serialise its handlers (a strand, as every runtime
// task has, or a single-threaded context): parent and child share state on it without a lock.
#pragma once

#include <asio.hpp>

#include <exception>
#include <memory>
#include <optional>
#include <system_error>
#include <type_traits>
#include <utility>

#include "common/result.hpp"
#include "runtime/operation_aborted.hpp"
#include "runtime/time.hpp"

namespace velmot::runtime {

// The error of an operation that did not finish in time.
Error deadline_elapsed_error();

// True when `error` holds a std::system_error with asio::error::operation_aborted.
bool is_operation_aborted(const std::exception_ptr& error);

namespace detail {

// Shared by the timeout and its child; used only on the caller's (serialising) executor.
template <class T>
struct TimeoutRace {
    explicit TimeoutRace(const asio::any_io_executor& ex) : wake(ex) {}

    void finish() {
        finished = true;
        wake.cancel();  // wakes the timeout if it waits for the deadline or for the child's end
    }

    asio::cancellation_signal child_cancel;
    asio::steady_timer wake;
    std::optional<std::conditional_t<std::is_void_v<T>, bool, T>> value;
    std::exception_ptr error;
    bool finished = false;
};

template <class T>
asio::awaitable<void> timeout_child(asio::awaitable<T> op, std::shared_ptr<TimeoutRace<T>> race) {
    if constexpr (std::is_void_v<T>) {
        co_await std::move(op);
        race->value.emplace(true);
    } else {
        race->value.emplace(co_await std::move(op));
    }
    race->finish();
}

// co_spawn completion of the child; only exceptions are left to record here.
template <class T>
struct TimeoutChildCompletion {
    std::shared_ptr<TimeoutRace<T>> race;

    void operator()(const std::exception_ptr& error) {
        if (error) {
            race->error = error;
            race->finish();
        }
        // May run inside the finishing child, whose cancellation state lives in memory owned by
        // race->child_cancel: keep the race alive until that coroutine is gone.
        auto executor = race->wake.get_executor();
        asio::post(executor, [keep = std::move(race)] {});
    }
};

// Waits for the child's end, ignoring further cancellation of the caller: the child's state must
// not be abandoned while it runs.
template <class T>
asio::awaitable<void> await_child_end(TimeoutRace<T>& race) {
    while (!race.finished) {
        race.wake.expires_at(Clock::time_point::max());
        std::error_code ignored;
        co_await race.wake.async_wait(asio::bind_cancellation_slot(
            asio::cancellation_slot(), asio::redirect_error(asio::use_awaitable, ignored)));
    }
}

// Waits until the deadline or the child's end; returns true when the caller was cancelled.
template <class T>
asio::awaitable<bool> await_deadline(TimeoutRace<T>& race, Clock::time_point deadline) {
    auto state = co_await asio::this_coro::cancellation_state;
    if (state.cancelled() != asio::cancellation_type::none) {
        co_return true;
    }
    race.wake.expires_at(deadline);
    std::error_code ec;
    co_await race.wake.async_wait(asio::redirect_error(asio::use_awaitable, ec));
    // The timer ends early only by the child's finish() or by the caller's cancellation.
    co_return !race.finished && is_operation_aborted(ec);
}

}  // namespace detail

template <class T>
asio::awaitable<Result<T>> timeout(Clock::duration d, asio::awaitable<T> op) {
    const Clock::time_point deadline = saturating_add(Clock::now(), d);
    // Until the child has ended, the caller's cancellation must not throw out of a co_await here
    // (asio's default), or the child would be abandoned while running; it is handled explicitly.
    const bool throw_if_cancelled = co_await asio::this_coro::throw_if_cancelled();
    co_await asio::this_coro::throw_if_cancelled(false);
    auto executor = co_await asio::this_coro::executor;
    auto race = std::make_shared<detail::TimeoutRace<T>>(executor);
    asio::co_spawn(executor, detail::timeout_child<T>(std::move(op), race),
                   asio::bind_cancellation_slot(race->child_cancel.slot(),
                                                detail::TimeoutChildCompletion<T>{race}));

    bool caller_cancelled = false;
    if (!race->finished) {
        caller_cancelled = co_await detail::await_deadline(*race, deadline);
    }
    const bool child_cancelled = !race->finished;
    if (child_cancelled) {
        race->child_cancel.emit(asio::cancellation_type::terminal);
        co_await detail::await_child_end(*race);
    }
    co_await asio::this_coro::throw_if_cancelled(throw_if_cancelled);

    if (auto& value = race->value) {
        if constexpr (std::is_void_v<T>) {
            co_return Result<void>{};
        } else {
            co_return Result<T>(std::move(*value));
        }
    }
    if (caller_cancelled) {
        throw std::system_error(asio::error::operation_aborted);
    }
    if (child_cancelled && is_operation_aborted(race->error)) {
        co_return Result<T>(deadline_elapsed_error());
    }
    std::rethrow_exception(race->error);
}

}  // namespace velmot::runtime
