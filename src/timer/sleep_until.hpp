// precision_sleep_until_sync: blocks the calling thread until a monotonic-clock instant with an
// error of microseconds: a coarse relative clock_nanosleep through all but the last `spin_margin`
// (resumed with the remaining time after a signal), then a busy spin with the CPU's spin-wait hint
// (`yield` on ARM, `pause` on x86) until the deadline. Changes nothing about the thread
// (scheduling policy, priority, affinity).
//
// Thread-safety: touches no shared state. Must not be called with the GIL held.
#pragma once

#include <chrono>

#include "runtime/time.hpp"

namespace velmot::timer {

// Returns at the first clock reading at or after `deadline` (at once if it has passed). When the
// remaining time is at most `spin_margin` the whole wait is spun.
void precision_sleep_until_sync(runtime::Clock::time_point deadline,
                                std::chrono::nanoseconds spin_margin);

}  // namespace velmot::timer
