// The thread loop of High and Realtime timers: one detached OS thread per timer, named
// "timer-<id>-High" / "timer-<id>-Realtime" (cut to the 15 bytes the OS keeps), with all signals
// blocked. It calls at once, then on the grid start + k*period using precision_sleep_until_sync;
// grid points that have passed are skipped, never made up. It checks the registry's shutdown flag
// before each call and `running` after each sleep, and makes each call through the timer's
// TickGate. It never uses the shared runtime. Under the opt-in real-time mode
// (realtime_mode.hpp) the thread first sets its affinity and SCHED_FIFO policy, and then, when
// the policy is in force, waits with the short real-time spin margin.
//
// Thread-safety: start_thread_loop may be called from any thread; the loop shares only atomics.
#pragma once

#include <pthread.h>

#include <chrono>
#include <cstdint>
#include <string>

#include "runtime/time.hpp"
#include "timer/precision.hpp"
#include "timer/tick_function.hpp"
#include "timer/timer_state.hpp"

namespace velmot::timer {

// The OS name of a timer thread: "timer-" + id + "-" + capitalised precision, cut to 15 bytes.
std::string thread_name(std::uint64_t task_id, TimerPrecision precision);

// The deadline after `deadline` on the grid deadline + k*period: deadline + period, or, when that
// is before `now`, the first grid point after `now` (passed points are skipped, never made
// up). Computed on whole nanoseconds; saturates at the clock's range.
runtime::Clock::time_point next_grid_deadline(runtime::Clock::time_point deadline,
                                              runtime::Clock::time_point now,
                                              std::chrono::nanoseconds period) noexcept;

// Starts the thread (precision High or Realtime) and returns it, detached. When the thread cannot
// be created: panic("Failed to spawn timer thread: <system error>"). `period` must be positive.
pthread_t start_thread_loop(std::uint64_t task_id, TimerPrecision precision,
                            std::chrono::nanoseconds period, SharedTickFunction tick,
                            RunningFlag running, TickCounter tick_count,
                            task::SharedCallTracker calls);

}  // namespace velmot::timer
