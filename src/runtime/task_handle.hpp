// Spawned tasks and their handles. Each task runs on its own strand of the runtime's io_context
// with a cancellation signal bound to it; `abort()` emits a terminal cancellation on that strand
// (a cancellation_signal is not thread-safe), so the task ends at its next suspension point, where
// asio's awaitable frames throw operation_aborted.
//
// Outcome: the task's value; Error{runtime, "task was cancelled"} when it ended by abort; or the
// Panic it ended with, rethrown in whoever joins (lost, harmlessly, when nobody joins).
//
// Ownership: the handle and the running task share a TaskState; dropping or detaching the handle
// lets the task run on to its end.
// Thread-safety: a handle may be moved between threads; abort() and is_finished() may be called
// from any thread; join()/wait() take the outcome once.
#pragma once

#include <asio.hpp>

#include <atomic>
#include <memory>
#include <system_error>
#include <type_traits>
#include <utility>

#include "common/panic.hpp"
#include "common/result.hpp"
#include "runtime/blocking_wait.hpp"
#include "runtime/oneshot.hpp"
#include "runtime/operation_aborted.hpp"
#include "runtime/runtime.hpp"
#include "runtime/task_outcome.hpp"

namespace velmot::runtime {

namespace detail {

template <class T>
struct TaskState {
    explicit TaskState(asio::io_context& io) : strand(asio::make_strand(io)) {}

    asio::strand<asio::io_context::executor_type> strand;
    asio::cancellation_signal cancel;  // used on `strand` only
    std::atomic<bool> abort_requested{false};
    std::shared_ptr<OneShot<Result<T>>> outcome = OneShot<Result<T>>::create();
};

// Runs the task and records how it ended. Exceptions of types other than std::exception reach
// the co_spawn completion handler instead (see TaskCompletion).
template <class T>
asio::awaitable<void> run_task(asio::awaitable<T> task, std::shared_ptr<TaskState<T>> state) {
    auto& outcome = *state->outcome;
    try {
        if constexpr (std::is_void_v<T>) {
            co_await std::move(task);
            outcome.set_value(Result<void>{});
        } else {
            outcome.set_value(Result<T>(co_await std::move(task)));
        }
    } catch (const Panic&) {
        outcome.set_exception(std::current_exception());
    } catch (const std::system_error& e) {
        if (is_operation_aborted(e.code()) && state->abort_requested.load()) {
            outcome.set_value(Result<T>(cancelled_error()));
        } else {
            outcome.set_exception(escaped_as_panic(e));
        }
    } catch (const std::exception& e) {
        outcome.set_exception(escaped_as_panic(e));
    }
}

// co_spawn completion handler of a task.
template <class T>
struct TaskCompletion {
    std::shared_ptr<TaskState<T>> state;

    void operator()(const std::exception_ptr& unknown) {
        if (unknown) {
            print_panic_notice("a task ended with an exception of unknown type",
                               std::source_location::current());
            state->outcome->set_exception(
                std::make_exception_ptr(Panic("a task ended with an exception of unknown type")));
        }
        // This may run inside the finishing coroutine, whose cancellation state lives in memory
        // owned by `state->cancel`; release our reference only after that coroutine is gone.
        auto strand = state->strand;
        asio::post(strand, [keep = std::move(state)] {});
    }
};

}  // namespace detail

template <class T>
class TaskHandle {
public:
    explicit TaskHandle(std::shared_ptr<detail::TaskState<T>> state) : state_(std::move(state)) {}
    TaskHandle(TaskHandle&&) noexcept = default;
    TaskHandle& operator=(TaskHandle&&) noexcept = default;
    TaskHandle(const TaskHandle&) = delete;
    TaskHandle& operator=(const TaskHandle&) = delete;
    ~TaskHandle() = default;  // detaches

    // Requests cancellation; harmless when the task already ended.
    void abort() {
        auto& state = checked();
        state.abort_requested.store(true);
        asio::post(state.strand,
                   [keep = state_] { keep->cancel.emit(asio::cancellation_type::terminal); });
    }

    // Awaits the outcome from another task. An abandoned (cancelled) join leaves it in place.
    asio::awaitable<Result<T>> join() {
        auto outcome = checked().outcome;
        auto result = co_await outcome->async_wait(asio::use_awaitable);
        co_return std::move(*result);
    }

    // Blocks until the outcome is there; refused (Panic) on a thread that drives the runtime.
    Result<T> wait() {
        refuse_blocking_on_driving_thread();
        return checked().outcome->wait();
    }

    bool is_finished() const { return state_ && state_->outcome->is_ready(); }

    // Lets the task run on without a handle.
    void detach() { state_.reset(); }

private:
    detail::TaskState<T>& checked() const {
        if (!state_) {
            panic("the task handle was detached");
        }
        return *state_;
    }

    std::shared_ptr<detail::TaskState<T>> state_;
};

template <class T>
TaskHandle<T> Runtime::spawn(asio::awaitable<T> task) {
    auto state = std::make_shared<detail::TaskState<T>>(io_);
    asio::co_spawn(
        state->strand, detail::run_task<T>(std::move(task), state),
        asio::bind_cancellation_slot(state->cancel.slot(), detail::TaskCompletion<T>{state}));
    return TaskHandle<T>(std::move(state));
}

}  // namespace velmot::runtime
