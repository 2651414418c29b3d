// Sleeping on asio::steady_timer (same clock as Clock).
#include "runtime/time.hpp"

#include <limits>

namespace velmot::runtime {

static_assert(std::is_same_v<asio::steady_timer::clock_type, Clock>);

Clock::time_point saturating_add(Clock::time_point start, Clock::duration d) noexcept {
    using Rep = Clock::duration::rep;
    const Rep base = start.time_since_epoch().count();
    const Rep step = d.count();
    if (step > 0 && base > std::numeric_limits<Rep>::max() - step) {
        return Clock::time_point::max();
    }
    if (step < 0 && base < std::numeric_limits<Rep>::min() - step) {
        return Clock::time_point::min();
    }
    return start + d;
}

Clock::duration millis_to_duration(std::uint64_t ms) noexcept {
    using Rep = Clock::duration::rep;
    static_assert(std::is_same_v<Clock::duration, std::chrono::nanoseconds>);
    constexpr std::uint64_t k_max_millis =
        static_cast<std::uint64_t>(std::numeric_limits<Rep>::max()) / 1'000'000;
    if (ms > k_max_millis) {
        return Clock::duration::max();
    }
    return std::chrono::seconds(ms / 1000) + std::chrono::nanoseconds((ms % 1000) * 1'000'000);
}

asio::awaitable<void> sleep_until(Clock::time_point deadline) {
    asio::steady_timer timer(co_await asio::this_coro::executor, deadline);
    co_await timer.async_wait(asio::use_awaitable);
}

asio::awaitable<void> sleep(Clock::duration d) {
    // A coroutine, so that "now" is taken when the sleep starts, not when it is created.
    co_await sleep_until(saturating_add(Clock::now(), d));
}

}  // namespace velmot::runtime
