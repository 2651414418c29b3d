// AsyncMutex: a FIFO-fair mutex for runtime tasks that also serves synchronous callers.
//
// The lock is granted in arrival order: unlocking hands it directly to the oldest waiter (a task or
// a blocked thread), so nobody can overtake a queued waiter. A waiting lock() that is cancelled
// leaves the queue and keeps nothing; a lock handed to a completion that is destroyed unrun is
// released by the Guard it carries.
//
// Thread-safety: all members may be called from any thread. The mutex state is shared with the
// guards, so a Guard may outlive the AsyncMutex it came from.
#pragma once

#include <cstddef>
#include <memory>
#include <optional>
#include <system_error>

#include <asio/async_result.hpp>
#include <asio/awaitable.hpp>

#include "runtime/detail/waiter_queue.hpp"

namespace velmot::runtime {

class AsyncMutex {
    struct State;

public:
    // Move-only ownership of the lock; releases it on destruction.
    class Guard {
    public:
        Guard() noexcept = default;  // owns nothing
        Guard(Guard&& other) noexcept = default;
        Guard& operator=(Guard&& other) noexcept;
        ~Guard();

        bool owns_lock() const noexcept { return state_ != nullptr; }
        explicit operator bool() const noexcept { return owns_lock(); }
        // Releases the lock early; the guard then owns nothing.
        void unlock() noexcept;

    private:
        friend class AsyncMutex;
        explicit Guard(std::shared_ptr<State> state) noexcept : state_(std::move(state)) {}
        std::shared_ptr<State> state_;
    };

    AsyncMutex();
    AsyncMutex(const AsyncMutex&) = delete;
    AsyncMutex& operator=(const AsyncMutex&) = delete;

    // Completion signature void(std::error_code, Guard); operation_aborted (with an empty Guard)
    // when the operation's cancellation slot fires before the lock was handed over.
    template <class CompletionToken>
    auto async_lock(CompletionToken&& token) {
        return asio::async_initiate<CompletionToken, void(std::error_code, Guard)>(
            [](auto handler, const std::shared_ptr<State>& state) {
                start_lock(state, std::move(handler));
            },
            token, state_);
    }

    asio::awaitable<Guard> lock();

    // For threads that do not drive the runtime; on a driving thread it panics without waiting.
    Guard blocking_lock();

    std::optional<Guard> try_lock();

    // For synchronous callers on any thread: takes a free lock at once; otherwise waits for it on
    // the calling thread, through block_in_place when that thread drives the runtime.
    Guard lock_in_place();

    // Number of queued waiters (diagnostics).
    std::size_t waiting() const;

private:
    struct State {
        detail::WaiterQueue<Guard> waiters;  // its mutex guards `locked`
        bool locked = false;                 // invariant: waiters are queued only while locked

        // Hands the lock to the oldest waiter, or marks it free.
        static void release(std::shared_ptr<State> state) noexcept;
    };

    template <class Handler>
    static void start_lock(const std::shared_ptr<State>& state, Handler handler) {
        std::unique_lock lock(state->waiters.mutex());
        if (!state->locked) {
            state->locked = true;
            lock.unlock();
            detail::complete_now<Guard>(std::move(handler), {}, Guard(state));
            return;
        }
        detail::enqueue_handler(std::shared_ptr<detail::WaiterQueue<Guard>>(state, &state->waiters),
                                std::move(handler));
    }

    std::shared_ptr<State> state_;
};

}  // namespace velmot::runtime
