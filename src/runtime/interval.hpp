// Interval: a periodic tick for control loops. The first tick completes at once; each later tick is
// due one period after the previous one. A tick that completes more than 5 ms late (the loop body
// overran) drops the ticks missed meanwhile: the next one is due at the first instant of the
// original grid after the completion, so the loop never catches up in a burst. A tick up to 5 ms
// late keeps the grid even if its successor is already due (that one then completes at once).
//
// Thread-safety: one Interval belongs to one task; not for concurrent use.
#pragma once

#include <asio.hpp>

#include <chrono>

#include "runtime/time.hpp"

namespace velmot::runtime {

// How late a tick may complete and still keep the plain "previous due + period" rule.
inline constexpr Clock::duration k_interval_lateness_allowance = std::chrono::milliseconds(5);

// When the tick after one that was due at `due` and completed at `completed` is due.
Clock::time_point next_tick_due(Clock::time_point due, Clock::time_point completed,
                                Clock::duration period);

class Interval {
public:
    // Ticks start now. `period` must be positive.
    explicit Interval(Clock::duration period);

    // Completes when the next tick is due and returns the instant it was due.
    asio::awaitable<Clock::time_point> tick();

    Clock::duration period() const noexcept { return period_; }

private:
    Clock::duration period_;
    Clock::time_point next_due_;
};

}  // namespace velmot::runtime
