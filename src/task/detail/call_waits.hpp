// The template part of call_waits: one process-wide mutex and condition variable, and a count of
// waiters so that notify_change costs one atomic load when nobody waits.
//
// Thread-safety: see call_tracker.hpp.
#pragma once

#include <atomic>
#include <condition_variable>
#include <mutex>

#include "runtime/time.hpp"

namespace velmot::task::call_waits {

namespace detail {

struct Hub {
    std::atomic<int> waiters{0};
    std::mutex mutex;
    std::condition_variable changed;
};

// Leaked on purpose: timer threads may notify while the process exits.
Hub& hub();

}  // namespace detail

template <class Done>
bool wait_for_change(runtime::Clock::time_point until, Done done) {
    auto& hub = detail::hub();
    // Registered before the first check: a change made after it either is seen by that check or
    // finds the waiter count raised and notifies under the mutex.
    hub.waiters.fetch_add(1, std::memory_order_seq_cst);
    std::unique_lock lock(hub.mutex);
    const bool result = hub.changed.wait_until(lock, until, done);
    lock.unlock();
    hub.waiters.fetch_sub(1, std::memory_order_seq_cst);
    return result;
}

}  // namespace velmot::task::call_waits
