// Waits of Python-facing calls that may last: the GIL is released while waiting, and taken back at
// least every 50 ms to run the interpreter's signal check (binding/signals.hpp), so Ctrl+C raises
// KeyboardInterrupt in a script blocked there. The wait itself is a slice function that blocks
// without the GIL until its event or a given instant; it must hold no lock when it returns, since
// the signal check runs Python code.
//
// Blocks: until the slice function reports its event or the deadline passes; GIL released
// meanwhile; Ctrl+C ends it (PythonError with KeyboardInterrupt set). Abandoning the wait loses
// whatever a slice loses when it returns early (slices are chosen so that it is nothing).
// Thread-safety: on a thread that holds the GIL through an entry point.
#pragma once

#include <algorithm>
#include <chrono>

#include "binding/gil.hpp"
#include "binding/signals.hpp"
#include "runtime/time.hpp"

namespace velmot::binding {

inline constexpr std::chrono::milliseconds k_signal_check_period{50};

// Calls `wait_slice(until)` with the GIL released, `until` at most 50 ms ahead and never past
// `deadline` (Clock::time_point::max(): no limit), until it returns true (then true) or the
// deadline has passed (then false). Between slices runs the signal check, which may throw.
template <class WaitSlice>
bool wait_checking_signals(runtime::Clock::time_point deadline, WaitSlice wait_slice) {
    for (;;) {
        const auto until = std::min(deadline, runtime::saturating_add(runtime::Clock::now(), k_signal_check_period));
        bool done = false;
        {
            AllowThreads unlocked;
            done = wait_slice(until);
        }
        if (done) return true;
        if (runtime::Clock::now() >= deadline) return false;
        run_signal_handlers();
    }
}

}  // namespace velmot::binding
