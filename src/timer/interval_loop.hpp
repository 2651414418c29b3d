// The interval loop of a Normal timer: one task on the shared runtime that waits for the ticks of
// a runtime Interval (missed-tick rule of runtime/interval.hpp, nanosecond timers) and runs each
// call as one job on the blocking pool, waiting for it before the next tick. It checks `running`
// before each wait and the registry's shutdown flag after it; the job makes the call only through
// the timer's TickGate, so a stop that arrives during a wait (or while the job waits for the GIL)
// means no further call.
//
// Thread-safety: start_interval_loop may be called from any thread; the loop shares only atomics.
#pragma once

#include <chrono>

#include "runtime/task_handle.hpp"
#include "timer/tick_function.hpp"
#include "timer/timer_state.hpp"

namespace velmot::timer {

// Spawns the loop on the shared runtime (building it if needed) and returns its task handle.
// Never fails. `period` must be positive.
runtime::TaskHandle<void> start_interval_loop(std::chrono::nanoseconds period,
                                              SharedTickFunction tick, RunningFlag running,
                                              TickCounter tick_count,
                                              task::SharedCallTracker calls);

}  // namespace velmot::timer
