// A one-shot result cell: a producer completes it once with a value or an exception; one consumer
// takes the outcome, either by awaiting it (`async_wait`, any Asio completion token) or by blocking
// (`wait`). Task handles, blocking-job handles and block_on are built on it.
//
// Cancellation safety: an asynchronous wait whose cancellation slot fires before the outcome was
// handed to it completes with operation_aborted and takes nothing: the outcome stays in the cell
// for a later wait. Exactly one of "outcome" and "aborted" reaches each wait, and always through a
// post to the handler's associated executor, never inline and never under the cell's lock.
//
// Thread-safety: every member may be called from any thread. At most one consumer at a time.
#pragma once

#include <asio.hpp>

#include <condition_variable>
#include <cstdint>
#include <exception>
#include <memory>
#include <mutex>
#include <optional>
#include <system_error>
#include <utility>

#include "common/panic.hpp"

namespace velmot::runtime {

template <class V>
class OneShot : public std::enable_shared_from_this<OneShot<V>> {
public:
    // Completion of `async_wait`: the exception (the producer's, or operation_aborted) or the
    // value.
    using Signature = void(std::exception_ptr, std::optional<V>);

    static std::shared_ptr<OneShot> create() { return std::shared_ptr<OneShot>(new OneShot()); }

    // The first completion wins; later ones are ignored and return false.
    bool set_value(V value) { return complete(nullptr, std::move(value)); }
    bool set_exception(std::exception_ptr error) {
        return complete(std::move(error), std::nullopt);
    }

    // True once the producer completed the cell (whether or not the outcome was taken since).
    bool is_ready() const {
        std::lock_guard lock(mutex_);
        return ready_;
    }

    // Blocks until the outcome is there and takes it (rethrows the producer's exception).
    V wait() {
        std::unique_lock lock(mutex_);
        cv_.wait(lock, [&] { return ready_; });
        return take_locked();
    }

    // Takes the outcome without waiting; nullopt when the producer has not completed the cell.
    std::optional<V> try_take() {
        std::lock_guard lock(mutex_);
        if (!ready_) {
            return std::nullopt;
        }
        return take_locked();
    }

    template <class Token>
    auto async_wait(Token&& token) {
        return asio::async_initiate<Token, Signature>(
            [self = this->shared_from_this()](auto handler) {
                self->start_wait(std::move(handler));
            },
            token);
    }

private:
    // A registered asynchronous wait, type-erased so that the cell does not depend on the token.
    struct Waiter {
        virtual ~Waiter() = default;
        virtual void complete(std::exception_ptr error, std::optional<V> value) = 0;
    };

    template <class Handler>
    struct HandlerWaiter final : Waiter {
        explicit HandlerWaiter(Handler&& h)
            : handler(std::move(h)),
              work(asio::make_work_guard(asio::get_associated_executor(handler))) {}

        void complete(std::exception_ptr error, std::optional<V> value) override {
            auto executor = work.get_executor();
            asio::post(executor, [h = std::move(handler), work = std::move(work),
                                  error = std::move(error), value = std::move(value)]() mutable {
                std::move(h)(std::move(error), std::move(value));
            });
        }

        Handler handler;
        asio::executor_work_guard<asio::associated_executor_t<Handler>> work;
    };

    // Installed in the wait's cancellation slot. It may outlive the wait (asio keeps a slot's
    // handler until the slot is reused), so it holds the cell weakly and names its wait by id: a
    // stale handler finds no matching waiter and does nothing.
    struct CancelHandler {
        std::weak_ptr<OneShot> cell;
        std::uint64_t id;

        void operator()(asio::cancellation_type type) {
            if (type == asio::cancellation_type::none) {
                return;
            }
            if (auto self = cell.lock()) {
                self->cancel_wait(id);
            }
        }
    };

    OneShot() = default;

    template <class Handler>
    void start_wait(Handler handler) {
        auto slot = asio::get_associated_cancellation_slot(handler);
        auto waiter = std::make_unique<HandlerWaiter<Handler>>(std::move(handler));
        std::unique_lock lock(mutex_);
        if (ready_) {
            auto [error, value] = take_outcome_locked();
            lock.unlock();
            waiter->complete(std::move(error), std::move(value));
            return;
        }
        if (waiter_) {
            lock.unlock();
            panic("a one-shot result was awaited by two consumers at once");
        }
        const std::uint64_t id = ++waiter_id_;
        // Before the waiter is visible to a producer: once it is, the completion may resume the
        // awaiting coroutine on another thread, whose next operation then uses the same slot.
        if (slot.is_connected()) {
            slot.template emplace<CancelHandler>(CancelHandler{this->weak_from_this(), id});
        }
        waiter_ = std::move(waiter);
    }

    void cancel_wait(std::uint64_t id) {
        std::unique_ptr<Waiter> waiter;
        {
            std::lock_guard lock(mutex_);
            if (!waiter_ || waiter_id_ != id) {
                return;
            }
            waiter = std::move(waiter_);
        }
        waiter->complete(std::make_exception_ptr(std::system_error(asio::error::operation_aborted)),
                         std::nullopt);
    }

    bool complete(std::exception_ptr error, std::optional<V> value) {
        std::unique_ptr<Waiter> waiter;
        {
            std::lock_guard lock(mutex_);
            if (ready_) {
                return false;
            }
            ready_ = true;
            if (waiter_) {
                waiter = std::move(waiter_);
                taken_ = true;
            } else {
                error_ = std::move(error);
                value_ = std::move(value);
            }
        }
        cv_.notify_all();
        if (waiter) {
            // NOLINTNEXTLINE(bugprone-use-after-move): moved above only when there was no waiter
            waiter->complete(std::move(error), std::move(value));
        }
        return true;
    }

    std::pair<std::exception_ptr, std::optional<V>> take_outcome_locked() {
        if (taken_) {
            panic("a one-shot result was taken twice");
        }
        taken_ = true;
        return {std::exchange(error_, nullptr), std::exchange(value_, std::nullopt)};
    }

    V take_locked() {
        auto [error, value] = take_outcome_locked();
        if (!value) {  // a completed cell holds exactly one of the two
            std::rethrow_exception(error);
        }
        return std::move(*value);
    }

    mutable std::mutex mutex_;
    std::condition_variable cv_;
    bool ready_ = false;  // the producer has completed the cell
    bool taken_ = false;  // the outcome has been handed to a consumer
    std::exception_ptr error_;
    std::optional<V> value_;
    std::unique_ptr<Waiter> waiter_;  // the pending asynchronous wait, if any
    std::uint64_t waiter_id_ = 0;
};

}  // namespace velmot::runtime
