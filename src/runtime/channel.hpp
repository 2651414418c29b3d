// Unbounded multi-producer single-consumer channel between threads and runtime tasks.
//
// `make_channel<T>()` returns the two ends. Sender is copyable (each copy counts as a sender) and
// `send` never waits; Receiver is move-only. Messages from one sender arrive in the order sent.
// Once every sender is gone and the queue is drained, receiving yields nullopt; once the receiver
// is gone, sending fails with "channel closed" and queued messages are destroyed.
//
// `send` is the hot path: one mutex, no allocation beyond the queue's own, and at most one wake-up
// (only when the receiver waits: the message is then handed straight to it). A waiting receive
// that is cancelled takes no message.
//
// Thread-safety: any end may be used from any thread; distinct Sender copies concurrently. A
// Receiver is one consumer: concurrent receives on it are served in FIFO order but are not its
// intended use.
#pragma once

#include <cstddef>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <system_error>
#include <utility>

#include <asio/async_result.hpp>
#include <asio/awaitable.hpp>
#include <asio/error.hpp>
#include <asio/use_awaitable.hpp>

#include "common/panic.hpp"
#include "common/result.hpp"
#include "runtime/detail/waiter_queue.hpp"
#include "runtime/driving.hpp"

namespace velmot::runtime {

enum class TryRecvStatus {
    received,      // `value` holds the next message
    empty,         // no message now; senders remain
    disconnected,  // no message and no sender: none will ever come
};

template <class T>
struct TryRecv {
    TryRecvStatus status;
    std::optional<T> value;  // engaged exactly when status == received
};

template <class T>
class Sender;
template <class T>
class Receiver;
template <class T>
std::pair<Sender<T>, Receiver<T>> make_channel();

namespace detail {

inline constexpr const char* k_blocking_recv_on_driving_thread =
    "Cannot start a runtime from within a runtime. This happens because a function (like "
    "`block_on`) attempted to block the current thread while the thread is being used to drive "
    "asynchronous tasks.";

template <class T>
struct ChannelState {
    // Its mutex guards everything below. Invariant: receivers wait only while `messages` is empty.
    WaiterQueue<std::optional<T>> receivers;
    std::deque<T> messages;
    std::size_t senders = 1;
    bool receiver_alive = true;

    std::shared_ptr<WaiterQueue<std::optional<T>>> receiver_queue(
        const std::shared_ptr<ChannelState>& self) {
        return {self, &self->receivers};
    }
};

inline Error channel_closed() {
    return Error{ErrorKind::broken_pipe, "channel closed"};
}

}  // namespace detail

template <class T>
class Sender {
public:
    Sender(const Sender& other) : state_(other.state_) {
        if (!state_) {
            return;
        }
        std::lock_guard lock(state_->receivers.mutex());
        ++state_->senders;
    }
    Sender(Sender&& other) noexcept = default;
    Sender& operator=(const Sender& other) {
        Sender copy(other);
        return *this = std::move(copy);
    }
    Sender& operator=(Sender&& other) noexcept {
        if (this != &other) {
            release();
            state_ = std::move(other.state_);
        }
        return *this;
    }
    ~Sender() { release(); }

    // Queues `value` (or hands it to the waiting receiver). Fails once the receiver is gone.
    Result<void> send(T value) const {
        if (!state_) {
            return detail::channel_closed();
        }
        std::unique_lock lock(state_->receivers.mutex());
        if (!state_->receiver_alive) {
            return detail::channel_closed();
        }
        auto waiter = state_->receivers.pop_front();
        if (!waiter) {
            state_->messages.push_back(std::move(value));
            return {};
        }
        lock.unlock();
        waiter->complete({}, std::optional<T>(std::move(value)));
        return {};
    }

    // True once the receiver is gone.
    bool is_closed() const {
        if (!state_) {
            return true;
        }
        std::lock_guard lock(state_->receivers.mutex());
        return !state_->receiver_alive;
    }

private:
    friend std::pair<Sender<T>, Receiver<T>> make_channel<T>();
    explicit Sender(std::shared_ptr<detail::ChannelState<T>> state) : state_(std::move(state)) {}

    // The last sender wakes a waiting receiver with nullopt.
    void release() noexcept {
        if (!state_) {
            return;
        }
        auto state = std::move(state_);
        std::unique_lock lock(state->receivers.mutex());
        if (--state->senders != 0) {
            return;
        }
        auto waiters = state->receivers.take_all();
        lock.unlock();
        for (auto& waiter : waiters) {
            waiter->complete({}, std::nullopt);
        }
    }

    std::shared_ptr<detail::ChannelState<T>> state_;
};

template <class T>
class Receiver {
public:
    Receiver(Receiver&& other) noexcept = default;
    Receiver& operator=(Receiver&& other) noexcept {
        if (this != &other) {
            close();
            state_ = std::move(other.state_);
        }
        return *this;
    }
    Receiver(const Receiver&) = delete;
    Receiver& operator=(const Receiver&) = delete;
    ~Receiver() { close(); }

    // Completion signature void(std::error_code, std::optional<T>): the next message, nullopt
    // once every sender is gone and the queue is drained, or operation_aborted (taking nothing)
    // when the operation's cancellation slot fires first.
    template <class CompletionToken>
    auto async_recv(CompletionToken&& token) {
        return asio::async_initiate<CompletionToken, void(std::error_code, std::optional<T>)>(
            [](auto handler, const std::shared_ptr<detail::ChannelState<T>>& state) {
                start_recv(state, std::move(handler));
            },
            token, state_);
    }

    asio::awaitable<std::optional<T>> recv() { return async_recv(asio::use_awaitable); }

    TryRecv<T> try_recv() {
        if (!state_) {
            return {TryRecvStatus::disconnected, std::nullopt};
        }
        std::lock_guard lock(state_->receivers.mutex());
        if (auto value = take_locked(*state_)) {
            return {TryRecvStatus::received, std::move(value)};
        }
        return {state_->senders == 0 ? TryRecvStatus::disconnected : TryRecvStatus::empty,
                std::nullopt};
    }

    // For threads that do not drive the runtime; on a driving thread it panics without waiting.
    std::optional<T> blocking_recv() {
        if (current_thread_drives_runtime()) {
            panic(detail::k_blocking_recv_on_driving_thread);
        }
        if (!state_) {
            return std::nullopt;
        }
        std::unique_lock lock(state_->receivers.mutex());
        if (auto value = take_locked(*state_)) {
            return value;
        }
        if (state_->senders == 0) {
            return std::nullopt;
        }
        return detail::wait_in_queue(lock, state_->receivers);
    }

private:
    friend std::pair<Sender<T>, Receiver<T>> make_channel<T>();
    explicit Receiver(std::shared_ptr<detail::ChannelState<T>> state) : state_(std::move(state)) {}

    static std::optional<T> take_locked(detail::ChannelState<T>& state) {
        if (state.messages.empty()) {
            return std::nullopt;
        }
        std::optional<T> value(std::move(state.messages.front()));
        state.messages.pop_front();
        return value;
    }

    template <class Handler>
    static void start_recv(const std::shared_ptr<detail::ChannelState<T>>& state, Handler handler) {
        if (!state) {
            return detail::complete_now<std::optional<T>>(std::move(handler), {}, std::nullopt);
        }
        std::unique_lock lock(state->receivers.mutex());
        std::optional<T> value = take_locked(*state);
        if (value || state->senders == 0) {
            lock.unlock();
            return detail::complete_now<std::optional<T>>(std::move(handler), {}, std::move(value));
        }
        detail::enqueue_handler(state->receiver_queue(state), std::move(handler));
    }

    // Closing drops the queued messages (outside the lock: their destructors may do anything)
    // and aborts receives still waiting.
    void close() noexcept {
        if (!state_) {
            return;
        }
        auto state = std::move(state_);
        std::deque<T> dropped;
        std::unique_lock lock(state->receivers.mutex());
        state->receiver_alive = false;
        dropped.swap(state->messages);
        auto waiters = state->receivers.take_all();
        lock.unlock();
        for (auto& waiter : waiters) {
            waiter->complete(asio::error::operation_aborted, std::nullopt);
        }
    }

    std::shared_ptr<detail::ChannelState<T>> state_;
};

template <class T>
std::pair<Sender<T>, Receiver<T>> make_channel() {
    auto state = std::make_shared<detail::ChannelState<T>>();
    return {Sender<T>(state), Receiver<T>(std::move(state))};
}

}  // namespace velmot::runtime
