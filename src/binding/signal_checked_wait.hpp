// Waits of Python-facing calls made of slices: the caller gives a slice function that blocks,
// without the GIL and holding no lock when it returns, until its event or a given instant. The
// slices run with the GIL released, each ending at most 50 ms ahead, and between two of them the
// interpreter's signal check runs (interruptible_wait.hpp), so Ctrl+C raises KeyboardInterrupt in
// a script blocked there.
//
// Blocks: until the slice function reports its event or the deadline passes; GIL released
// meanwhile; Ctrl+C ends it (PythonError with KeyboardInterrupt set). Abandoning the wait loses
// whatever a slice loses when it returns early (slices are chosen so that it is nothing).
// Thread-safety: on a thread that holds the GIL through an entry point.
#pragma once

#include <algorithm>

#include "binding/interruptible_wait.hpp"
#include "runtime/time.hpp"

namespace velmot::binding {

// Calls `wait_slice(until)` until it returns true (then true) or `deadline` has passed (then false;
// Clock::time_point::max(): no limit). Throws when a signal handler raised.
template <class WaitSlice>
bool wait_checking_signals(runtime::Clock::time_point deadline, WaitSlice wait_slice) {
    return wait_without_gil([&](const InterruptPoll& interrupted) {
        for (;;) {
            const auto until = std::min(
                deadline, runtime::saturating_add(runtime::Clock::now(), k_interrupt_poll_period));
            if (wait_slice(until)) {
                return true;
            }
            if (runtime::Clock::now() >= deadline || interrupted()) {
                return false;
            }
        }
    });
}

}  // namespace velmot::binding
