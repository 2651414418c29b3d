// Handle of a job running on the blocking pool: its outcome can be awaited from a task or waited
// for synchronously. A job that ended with a Panic delivers it (rethrown in the joiner); dropping
// or detaching the handle lets the job run on.
//
// Thread-safety: the handle may be moved between threads; the outcome is taken once.
#pragma once

#include <asio.hpp>

#include <memory>
#include <utility>

#include "common/panic.hpp"
#include "common/result.hpp"
#include "runtime/blocking_wait.hpp"
#include "runtime/oneshot.hpp"

namespace velmot::runtime {

template <class R>
class BlockingHandle {
public:
    explicit BlockingHandle(std::shared_ptr<OneShot<Result<R>>> outcome)
        : outcome_(std::move(outcome)) {}
    BlockingHandle(BlockingHandle&&) noexcept = default;
    BlockingHandle& operator=(BlockingHandle&&) noexcept = default;
    BlockingHandle(const BlockingHandle&) = delete;
    BlockingHandle& operator=(const BlockingHandle&) = delete;

    // Awaits the outcome from a task. An abandoned (cancelled) join leaves it in place.
    asio::awaitable<Result<R>> join() {
        auto outcome = checked();
        auto result = co_await outcome->async_wait(asio::use_awaitable);
        // NOLINTNEXTLINE(bugprone-unchecked-optional-access): without an exception it holds a value
        co_return std::move(*result);
    }

    // Blocks until the job ended; refused (Panic) on a thread that drives the runtime.
    Result<R> wait() {
        refuse_blocking_on_driving_thread();
        return checked()->wait();
    }

    bool is_finished() const { return outcome_ && outcome_->is_ready(); }

    void detach() { outcome_.reset(); }

private:
    const std::shared_ptr<OneShot<Result<R>>>& checked() const {
        if (!outcome_) {
            panic("the blocking job handle was detached");
        }
        return outcome_;
    }

    std::shared_ptr<OneShot<Result<R>>> outcome_;
};

}  // namespace velmot::runtime
