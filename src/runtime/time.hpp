// Time on the runtime: the monotonic clock, saturating deadlines and sleeping. Timers keep the
// clock's nanosecond durations (never rounded to milliseconds). `timeout` and `Interval` live in
// timeout.hpp and interval.hpp, included here.
//
// Thread-safety: plain functions; a sleep belongs to the awaiting coroutine.
#pragma once

#include <asio.hpp>

#include <chrono>
#include <cstdint>

namespace velmot::runtime {

using Clock = std::chrono::steady_clock;  // CLOCK_MONOTONIC

// `start + d`, clamped to the clock's range instead of overflowing; Clock::time_point::max()
// means "never".
Clock::time_point saturating_add(Clock::time_point start, Clock::duration d) noexcept;

// Exact conversion of a millisecond count from Python (u64) to a duration; saturates at the
// duration's range instead of overflowing.
Clock::duration millis_to_duration(std::uint64_t ms) noexcept;

// Suspends the calling coroutine until `deadline` (at once when it has passed, still through the
// executor). Aborting the task ends the sleep with operation_aborted.
asio::awaitable<void> sleep_until(Clock::time_point deadline);

// Suspends the calling coroutine for `d` from now (saturating).
asio::awaitable<void> sleep(Clock::duration d);

}  // namespace velmot::runtime

#include "runtime/interval.hpp"
#include "runtime/timeout.hpp"
