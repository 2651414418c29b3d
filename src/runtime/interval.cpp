// Interval tick arithmetic and the awaitable tick.
#include "runtime/interval.hpp"

#include "common/panic.hpp"

namespace velmot::runtime {

Clock::time_point next_tick_due(Clock::time_point due, Clock::time_point completed,
                                Clock::duration period) {
    if (completed - due <= k_interval_lateness_allowance) {
        return saturating_add(due, period);
    }
    // First due + k * period strictly after `completed` (k >= 1).
    const auto missed = (completed - due) / period;
    return saturating_add(due, period * (missed + 1));
}

Interval::Interval(Clock::duration period) : period_(period), next_due_(Clock::now()) {
    if (period <= Clock::duration::zero()) {
        panic("Interval period must be positive");
    }
}

asio::awaitable<Clock::time_point> Interval::tick() {
    const Clock::time_point due = next_due_;
    co_await sleep_until(due);
    next_due_ = next_tick_due(due, Clock::now(), period_);
    co_return due;
}

}  // namespace velmot::runtime
