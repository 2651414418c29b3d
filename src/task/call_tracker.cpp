// Calls in flight and the waits for them.
//
// Thread-safety: see call_tracker.hpp.
#include "task/call_tracker.hpp"

namespace velmot::task {

namespace {

// The call the current thread is making (set between try_begin and end).
thread_local CallTracker* t_current_call = nullptr;

}  // namespace

bool CallTracker::try_begin(const std::atomic<bool>& running) {
    in_flight_.store(true, std::memory_order_seq_cst);
    if (!running.load(std::memory_order_seq_cst)) {
        in_flight_.store(false, std::memory_order_seq_cst);
        call_waits::notify_change();
        return false;
    }
    t_current_call = this;
    return true;
}

void CallTracker::end() {
    t_current_call = nullptr;
    in_flight_.store(false, std::memory_order_seq_cst);
    call_waits::notify_change();
}

bool CallTracker::settled_for_this_thread() const {
    return !in_flight_.load(std::memory_order_seq_cst) || t_current_call == this ||
           caller_blocked_.load(std::memory_order_seq_cst);
}

BlockedInWait::BlockedInWait() : call_(t_current_call) {
    if (call_ == nullptr) {
        return;
    }
    call_->caller_blocked_.store(true, std::memory_order_seq_cst);
    call_waits::notify_change();
}

BlockedInWait::~BlockedInWait() {
    if (call_ != nullptr) {
        call_->caller_blocked_.store(false, std::memory_order_seq_cst);
    }
}

namespace call_waits {

detail::Hub& detail::hub() {
    static Hub& instance = *new Hub();
    return instance;
}

void notify_change() {
    auto& hub = detail::hub();
    if (hub.waiters.load(std::memory_order_seq_cst) == 0) {
        return;
    }
    std::lock_guard lock(hub.mutex);
    hub.changed.notify_all();
}

}  // namespace call_waits

}  // namespace velmot::task
