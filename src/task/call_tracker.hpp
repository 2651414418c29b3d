// CallTracker: whether one timer's call is in flight, so that stopping the timer (and shutting
// everything down) can wait until that call has returned.
//
// A call begins only through try_begin, made by the thread about to call, at the last moment
// (with the GIL held): it marks the call in flight, then reads `running`. A stop clears `running`,
// then waits until the tracker is settled. Both sides use sequentially consistent operations, so
// either the call sees the stop and is not made, or the stop sees the call and waits for its end:
// no call is made after a stop returned.
//
// A wait never waits for the waiting thread's own call (a callback stopping its own timer), nor
// for a call whose thread is itself blocked in one of the module's waits (two callbacks stopping
// each other, or one waiting for a background task that stops the other): such waits end instead
// of deadlocking. Every call end and every such blocked wait wakes the waits (CallWaits).
//
// Thread-safety: every member may be called from any thread; the current call is thread-local.
#pragma once

#include <atomic>
#include <memory>

#include "runtime/time.hpp"

namespace velmot::task {

class CallTracker {
public:
    // Marks a call of this activity as made by the calling thread, if `running` is still set;
    // returns false (nothing marked) when the activity was stopped. Pair with end().
    bool try_begin(const std::atomic<bool>& running);
    // Ends the call begun on this thread.
    void end();

    // Whether a wait made by the calling thread may stop waiting for this activity: no call in
    // flight, the call in flight is the calling thread's own, or its thread is blocked in a wait.
    bool settled_for_this_thread() const;

private:
    friend class BlockedInWait;

    std::atomic<bool> in_flight_{false};
    std::atomic<bool> caller_blocked_{false};  // the thread making the call is in one of our waits
};

using SharedCallTracker = std::shared_ptr<CallTracker>;

inline SharedCallTracker make_call_tracker() {
    return std::make_shared<CallTracker>();
}

// Marks the calling thread's call in flight (if it is making one) as blocked in a wait, for the
// scope's lifetime. Every wait of the module that a callback may make holds one.
class BlockedInWait {
public:
    BlockedInWait();
    ~BlockedInWait();
    BlockedInWait(const BlockedInWait&) = delete;
    BlockedInWait& operator=(const BlockedInWait&) = delete;

private:
    CallTracker* call_;
};

// The process-wide wake-up of waits for calls. Cheap when nobody waits (one atomic load).
namespace call_waits {

// Wakes every wait_for_change now waiting.
void notify_change();

// Returns when `done()` is true (checked first and after every change) or at `until`; returns
// done()'s last value. `done` must not block.
template <class Done>
bool wait_for_change(runtime::Clock::time_point until, Done done);

}  // namespace call_waits

}  // namespace velmot::task

#include "task/detail/call_waits.hpp"
