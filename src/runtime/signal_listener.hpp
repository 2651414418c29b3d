// SignalListener: waits for deliveries of a POSIX signal (SIGINT, SIGTERM, ...) from runtime tasks.
//
// The first listener for a signal installs a process-wide handler that chains to the action that
// was installed before it (so the Python interpreter's own SIGINT handling keeps working). The
// handler counts the delivery and writes one byte to a process-wide self-pipe. Every listener
// watches a duplicate of the pipe's read end on its own executor; whichever listener reads a byte
// wakes every waiting listener whose signal was delivered. recv() completes for each delivery
// after the listener was created; a delivery while nobody waits completes the next recv() at once;
// several deliveries may coalesce into one completion. Process-wide state is leaked on purpose.
//
// A signal whose action before ours was the default one keeps its default action while nobody
// acts on it: when it arrives with no listener and no SignalInterest for it alive, the handler
// restores the default action and raises it again, so a SIGTERM outside any wait still ends the
// process as it would without velmot.
//
// Thread-safety: a SignalListener may be used from any thread; destroy it before its executor's
// execution context (as every Asio I/O object).
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <system_error>

#include <asio/any_io_executor.hpp>
#include <asio/async_result.hpp>
#include <asio/awaitable.hpp>
#include <asio/error.hpp>
#include <asio/posix/stream_descriptor.hpp>

#include "common/result.hpp"
#include "runtime/detail/waiter_queue.hpp"

namespace velmot::runtime {

namespace detail {

// One listener's state, shared with its pending pipe read and the process-wide registry.
class SignalListenerState : public std::enable_shared_from_this<SignalListenerState> {
public:
    SignalListenerState(asio::posix::stream_descriptor descriptor, int signo);

    // Its mutex guards everything below and the descriptor.
    WaiterQueue<NoValue> waiters;

    template <class Handler>
    static void start_recv(const std::shared_ptr<SignalListenerState>& self, Handler handler) {
        std::unique_lock lock(self->waiters.mutex());
        if (self->closed_ || self->take_delivery_locked()) {
            auto ec =
                self->closed_ ? std::error_code(asio::error::operation_aborted) : std::error_code();
            lock.unlock();
            return complete_now<NoValue>(std::move(handler), ec, NoValue{});
        }
        enqueue_handler(std::shared_ptr<WaiterQueue<NoValue>>(self, &self->waiters),
                        std::move(handler));
        self->arm_read_locked();
    }

    // Wakes every waiter when a delivery arrived since the last wake. Called by whichever listener
    // read the self-pipe.
    void wake_if_delivered();

    // Aborts waiting receives and closes the descriptor; the listener stays closed.
    void close();

    int signo() const noexcept { return signo_; }

private:
    bool take_delivery_locked();
    void arm_read_locked();
    void on_readable(std::error_code ec);
    void drain_locked();

    const int signo_;
    std::uint32_t seen_;  // delivery count already reported (compared with wraparound)
    bool reading_ = false;
    bool closed_ = false;
    asio::posix::stream_descriptor descriptor_;  // a duplicate of the self-pipe's read end
    std::array<char, 64> buffer_{};
};

}  // namespace detail

// Deliveries of `signo` since the first listener for it installed the handler (0 before that).
// Async-signal-safe to read; wraps around.
std::uint32_t signal_delivery_count(int signo) noexcept;

// While it lives, the process acts on `signo` itself (for instance by reading
// signal_delivery_count), so the signal does not take its default action. Nothing is installed
// by it: a listener installs the handler. Async-signal-safe bookkeeping (one atomic counter).
class SignalInterest {
public:
    explicit SignalInterest(int signo) noexcept;
    ~SignalInterest();
    SignalInterest(const SignalInterest&) = delete;
    SignalInterest& operator=(const SignalInterest&) = delete;

private:
    int signo_;
};

class SignalListener {
public:
    // Installs the signal's handler on first use. Fails when the self-pipe cannot be created or
    // the handler cannot be installed (for example an invalid signal number).
    static Result<SignalListener> create(const asio::any_io_executor& executor, int signo);

    SignalListener(SignalListener&& other) noexcept = default;
    SignalListener& operator=(SignalListener&& other) noexcept;
    SignalListener(const SignalListener&) = delete;
    SignalListener& operator=(const SignalListener&) = delete;
    ~SignalListener();

    // Completion signature void(std::error_code): success for a delivery, operation_aborted when
    // cancelled or when the listener is destroyed while the operation waits.
    template <class CompletionToken>
    auto async_recv(CompletionToken&& token) {
        return asio::async_initiate<CompletionToken, void(std::error_code)>(
            [](auto handler, const std::shared_ptr<detail::SignalListenerState>& state) {
                if (!state) {
                    return detail::complete_now<detail::NoValue>(
                        std::move(handler), asio::error::bad_descriptor, detail::NoValue{});
                }
                detail::SignalListenerState::start_recv(state, std::move(handler));
            },
            token, state_);
    }

    asio::awaitable<void> recv();

private:
    explicit SignalListener(std::shared_ptr<detail::SignalListenerState> state)
        : state_(std::move(state)) {}
    std::shared_ptr<detail::SignalListenerState> state_;
};

}  // namespace velmot::runtime
