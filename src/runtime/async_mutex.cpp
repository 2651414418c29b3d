// AsyncMutex: lock hand-over, the synchronous entry points and the Guard.
#include "runtime/async_mutex.hpp"

#include <asio/use_awaitable.hpp>

#include "common/panic.hpp"
#include "runtime/driving.hpp"
#include "runtime/runtime.hpp"

namespace velmot::runtime {

namespace {
constexpr const char* k_blocking_on_driving_thread =
    "Cannot block the current thread from within a runtime. This happens because a function "
    "attempted to block the current thread while the thread is being used to drive asynchronous "
    "tasks.";
}  // namespace

AsyncMutex::Guard& AsyncMutex::Guard::operator=(Guard&& other) noexcept {
    if (this != &other) {
        unlock();
        state_ = std::move(other.state_);
    }
    return *this;
}

AsyncMutex::Guard::~Guard() {
    unlock();
}

void AsyncMutex::Guard::unlock() noexcept {
    if (state_) {
        State::release(std::move(state_));
    }
}

void AsyncMutex::State::release(std::shared_ptr<State> state) noexcept {
    std::unique_lock lock(state->waiters.mutex());
    auto next = state->waiters.pop_front();
    if (!next) {
        state->locked = false;
        return;
    }
    lock.unlock();
    // `locked` stays true: ownership passes straight to the oldest waiter.
    next->complete({}, Guard(std::move(state)));
}

AsyncMutex::AsyncMutex() : state_(std::make_shared<State>()) {}

asio::awaitable<AsyncMutex::Guard> AsyncMutex::lock() {
    return async_lock(asio::use_awaitable);
}

AsyncMutex::Guard AsyncMutex::blocking_lock() {
    if (current_thread_drives_runtime()) {
        panic(k_blocking_on_driving_thread);
    }
    std::unique_lock lock(state_->waiters.mutex());
    if (!state_->locked) {
        state_->locked = true;
        return Guard(state_);
    }
    return detail::wait_in_queue(lock, state_->waiters);
}

std::optional<AsyncMutex::Guard> AsyncMutex::try_lock() {
    std::lock_guard lock(state_->waiters.mutex());
    if (state_->locked) {
        return std::nullopt;
    }
    state_->locked = true;
    return Guard(state_);
}

AsyncMutex::Guard AsyncMutex::lock_in_place() {
    if (auto guard = try_lock()) {
        return std::move(*guard);
    }
    return get_runtime().block_in_place([this] { return blocking_lock(); });
}

std::size_t AsyncMutex::waiting() const {
    std::lock_guard lock(state_->waiters.mutex());
    return state_->waiters.size();
}

}  // namespace velmot::runtime
