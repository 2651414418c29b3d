// InterruptPoll: how the caller of a long wait can end it early. A wait that takes one calls it on
// the waiting thread at least every k_interrupt_poll_period for as long as it waits, never while it
// holds a lock of its own; when the poll answers true the wait undoes what it started (a child
// process is killed and reaped, a lock is let go, a frame not yet taken stays queued) and returns
// interrupted_error(). An empty poll is never called: the wait then runs to its normal end.
//
// The binding layer uses it to run the interpreter's signal check while a wait has released the GIL
// (binding/interruptible_wait.hpp); core code only calls it.
//
// Thread-safety: a poll is called only from the thread that runs the wait it was given to.
#pragma once

#include <chrono>
#include <functional>

#include "common/result.hpp"

namespace velmot {

using InterruptPoll = std::function<bool()>;

// The longest a wait that takes an InterruptPoll goes without calling it.
inline constexpr std::chrono::milliseconds k_interrupt_poll_period{50};

// The error of a wait its poll ended.
inline Error interrupted_error() {
    return Error{ErrorKind::interrupted, "wait interrupted"};
}

// True when `result` failed because its wait was interrupted.
template <class T>
bool was_interrupted(const Result<T>& result) {
    return !result.ok() && result.error().kind == ErrorKind::interrupted;
}

}  // namespace velmot
