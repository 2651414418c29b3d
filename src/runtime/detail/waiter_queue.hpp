// Cancellation-safe waiters shared by the runtime's synchronisation primitives (AsyncMutex, the
// channel, SignalListener).
//
// A primitive keeps its waiting operations in a FIFO `WaiterQueue`, whose mutex also guards the
// primitive's own state. Every waiter leaves the queue exactly once, under that mutex: either the
// primitive pops it to hand it a value (a message, the lock), or its cancellation slot fires and
// removes it. Whoever unlinked it then completes it, after releasing the mutex. A waiter that was
// cancelled therefore never took anything, and a value handed to a waiter is owned by its
// completion (destroying the completion unposted destroys the value, whose RAII releases what it
// holds).
//
// Completion handlers are always posted to their associated executor (system_executor when they
// have none), never run inside the primitive's call. A cancellation signal must be emitted on the
// executor the operation completes on (for example its strand), as Asio requires of every
// cancellable operation; the race this file resolves is between that emit and a value arriving from
// any other thread.
//
// Thread-safety: every WaiterQueue member except mutex() requires mutex() to be held.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <memory>
#include <mutex>
#include <optional>
#include <system_error>
#include <type_traits>
#include <utility>
#include <vector>

#include <asio/associated_cancellation_slot.hpp>
#include <asio/associated_executor.hpp>
#include <asio/cancellation_type.hpp>
#include <asio/error.hpp>
#include <asio/executor_work_guard.hpp>
#include <asio/post.hpp>
#include <asio/system_executor.hpp>

namespace velmot::runtime::detail {

// The value of waits whose completion signature is `void(std::error_code)`.
struct NoValue {};

template <class Value>
class WaiterQueue;

// One waiting operation. Value must be default-constructible: a cancelled waiter completes with
// `operation_aborted` and `Value{}`.
template <class Value>
class Waiter {
public:
    virtual ~Waiter() = default;

    // Delivers the outcome. Called exactly once, by whoever unlinked the waiter, with no lock held.
    virtual void complete(std::error_code ec, Value value) = 0;

private:
    friend class WaiterQueue<Value>;
    Waiter* prev_ = nullptr;
    Waiter* next_ = nullptr;
    std::shared_ptr<Waiter> self_;  // the queue's ownership while linked; empty when not queued
};

// Intrusive FIFO of waiters plus the mutex that decides how each of them ends.
template <class Value>
class WaiterQueue {
public:
    using WaiterPtr = std::shared_ptr<Waiter<Value>>;

    WaiterQueue() = default;
    WaiterQueue(const WaiterQueue&) = delete;
    WaiterQueue& operator=(const WaiterQueue&) = delete;

    // Owners abort their waiters before dropping the queue; whatever is left is aborted here so
    // that no handler is lost silently.
    ~WaiterQueue() {
        for (auto& waiter : take_all()) {
            waiter->complete(asio::error::operation_aborted, Value{});
        }
    }

    std::mutex& mutex() const noexcept { return mutex_; }
    bool empty() const noexcept { return head_ == nullptr; }
    std::size_t size() const noexcept { return size_; }

    void push_back(WaiterPtr waiter) {
        Waiter<Value>& node = *waiter;
        node.self_ = std::move(waiter);
        node.prev_ = tail_;
        node.next_ = nullptr;
        (tail_ ? tail_->next_ : head_) = &node;
        tail_ = &node;
        ++size_;
    }

    // The oldest waiter, now owned by the caller; null when nobody waits.
    WaiterPtr pop_front() { return head_ ? unlink(*head_) : nullptr; }

    // Takes `waiter` out of the queue; null when it is not queued (already handed a value).
    WaiterPtr remove(Waiter<Value>& waiter) { return waiter.self_ ? unlink(waiter) : nullptr; }

    std::vector<WaiterPtr> take_all() {
        std::vector<WaiterPtr> all;
        all.reserve(size_);
        while (head_) {
            all.push_back(unlink(*head_));
        }
        return all;
    }

private:
    WaiterPtr unlink(Waiter<Value>& node) {
        (node.prev_ ? node.prev_->next_ : head_) = node.next_;
        (node.next_ ? node.next_->prev_ : tail_) = node.prev_;
        node.prev_ = node.next_ = nullptr;
        --size_;
        return std::move(node.self_);
    }

    mutable std::mutex mutex_;
    Waiter<Value>* head_ = nullptr;
    Waiter<Value>* tail_ = nullptr;
    std::size_t size_ = 0;
};

// Installed in a waiter's cancellation slot. Holds only weak references: a handler left in a slot
// after its operation ended keeps nothing alive and finds nothing to cancel.
template <class Value>
class CancelWaiter {
public:
    CancelWaiter(std::weak_ptr<WaiterQueue<Value>> queue, std::weak_ptr<Waiter<Value>> waiter)
        : queue_(std::move(queue)), waiter_(std::move(waiter)) {}

    void operator()(asio::cancellation_type_t type) {
        constexpr auto k_handled = asio::cancellation_type::terminal |
                                   asio::cancellation_type::partial |
                                   asio::cancellation_type::total;
        if ((type & k_handled) == asio::cancellation_type::none) {
            return;
        }
        auto queue = queue_.lock();
        auto waiter = waiter_.lock();
        if (!queue || !waiter) {
            return;
        }
        typename WaiterQueue<Value>::WaiterPtr owned;
        {
            std::lock_guard lock(queue->mutex());
            owned = queue->remove(*waiter);
        }
        if (owned) {
            owned->complete(asio::error::operation_aborted, Value{});
        }
    }

private:
    std::weak_ptr<WaiterQueue<Value>> queue_;
    std::weak_ptr<Waiter<Value>> waiter_;
};

template <class Value, class Handler>
void invoke_completion(Handler& handler, std::error_code ec, Value&& value) {
    if constexpr (std::is_same_v<Value, NoValue>) {
        std::move(handler)(ec);
    } else {
        std::move(handler)(ec, std::forward<Value>(value));
    }
}

// Posts `handler(ec, value)` to the handler's associated executor. `clear_slot` detaches our
// CancelWaiter from the handler's slot first, on that executor, so that the slot is free before the
// handler (a coroutine, say) reuses it for its next operation.
template <class Value, class Handler>
void post_completion(Handler handler, std::error_code ec, Value value, bool clear_slot) {
    auto executor = asio::get_associated_executor(handler, asio::system_executor());
    asio::post(executor,
               [handler = std::move(handler), ec, value = std::move(value), clear_slot]() mutable {
                   if (clear_slot) {
                       asio::get_associated_cancellation_slot(handler).clear();
                   }
                   invoke_completion<Value>(handler, ec, std::move(value));
               });
}

// A waiter that completes an Asio completion handler.
template <class Value, class Handler>
class HandlerWaiter final : public Waiter<Value> {
public:
    explicit HandlerWaiter(Handler handler)
        : handler_(std::move(handler)),
          work_(asio::make_work_guard(
              asio::get_associated_executor(handler_, asio::system_executor()))) {}

    // Connects the handler's cancellation slot, if it has one, to this waiter.
    void connect(const std::shared_ptr<WaiterQueue<Value>>& queue,
                 const std::shared_ptr<Waiter<Value>>& self) {
        auto slot = asio::get_associated_cancellation_slot(handler_);
        if (!slot.is_connected()) {
            return;
        }
        slot.template emplace<CancelWaiter<Value>>(queue, self);
        slot_connected_ = true;
    }

    void complete(std::error_code ec, Value value) override {
        post_completion<Value>(std::move(handler_), ec, std::move(value), slot_connected_);
        work_.reset();
    }

private:
    Handler handler_;
    // While the operation is pending it counts as work of the handler's executor, as Asio's own
    // operations do, so that a run() loop does not return under a waiting task.
    asio::executor_work_guard<asio::associated_executor_t<Handler, asio::system_executor>> work_;
    bool slot_connected_ = false;
};

// Queues a waiter for `handler` and connects its cancellation slot. Requires queue->mutex() held.
// `queue` is normally an aliasing pointer into the primitive's shared state.
template <class Value, class Handler>
void enqueue_handler(const std::shared_ptr<WaiterQueue<Value>>& queue, Handler&& handler) {
    auto waiter = std::make_shared<HandlerWaiter<Value, std::decay_t<Handler>>>(
        std::forward<Handler>(handler));
    waiter->connect(queue, waiter);
    queue->push_back(std::move(waiter));
}

// Completes an operation that did not need to wait. Never invokes the handler inline.
template <class Value, class Handler>
void complete_now(Handler&& handler, std::error_code ec, Value value) {
    post_completion<Value>(std::forward<Handler>(handler), ec, std::move(value), false);
}

// A waiter for a thread that blocks until it is handed a value. Not cancellable.
template <class Value>
class BlockingWaiter final : public Waiter<Value> {
public:
    void complete(std::error_code, Value value) override {
        std::lock_guard lock(mutex_);
        value_.emplace(std::move(value));
        ready_.notify_one();
    }

    Value wait() {
        std::unique_lock lock(mutex_);
        while (!value_) {
            ready_.wait(lock);
        }
        return std::move(*value_);
    }

private:
    std::mutex mutex_;
    std::condition_variable ready_;
    std::optional<Value> value_;
};

// Queues the calling thread behind the current waiters and blocks until it is handed a value.
// `lock` must hold queue.mutex(); it is released while waiting.
template <class Value>
Value wait_in_queue(std::unique_lock<std::mutex>& lock, WaiterQueue<Value>& queue) {
    auto waiter = std::make_shared<BlockingWaiter<Value>>();
    queue.push_back(waiter);
    lock.unlock();
    return waiter->wait();
}

}  // namespace velmot::runtime::detail
