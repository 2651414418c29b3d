// Sleep-then-spin wait on the monotonic clock. Clock (std::chrono::steady_clock) reads
// CLOCK_MONOTONIC, the clock clock_nanosleep sleeps on, so deadlines and sleeps agree.
//
// Thread-safety: touches no shared state; no allocation or lock anywhere on this path.
#include "timer/sleep_until.hpp"

#include <algorithm>
#include <cerrno>
#include <ctime>

namespace velmot::timer {

namespace {

using runtime::Clock;

// One relative sleep is kept below a day so that its seconds fit every time_t (32-bit ARM too);
// longer waits are made of several.
constexpr std::chrono::nanoseconds k_longest_single_sleep = std::chrono::hours(24);

inline void spin_wait_hint() noexcept {
#if defined(__x86_64__) || defined(__i386__)
    __builtin_ia32_pause();
#elif defined(__aarch64__) || defined(__arm__)
    asm volatile("yield" ::: "memory");
#endif
}

// Sleeps `d` (positive, below a day) on the monotonic clock; a signal handler that interrupts the
// sleep does not shorten it: the sleep resumes with the time the kernel reports as left.
void sleep_relative(std::chrono::nanoseconds d) noexcept {
    const auto secs = std::chrono::duration_cast<std::chrono::seconds>(d);
    timespec request{static_cast<time_t>(secs.count()), static_cast<long>((d - secs).count())};
    timespec left{};
    while (clock_nanosleep(CLOCK_MONOTONIC, 0, &request, &left) == EINTR) {
        request = left;
    }
}

}  // namespace

void precision_sleep_until_sync(Clock::time_point deadline, std::chrono::nanoseconds spin_margin) {
    auto now = Clock::now();
    if (now >= deadline) {
        return;
    }
    for (auto remaining = deadline - now; remaining > spin_margin; remaining = deadline - now) {
        sleep_relative(
            std::min<std::chrono::nanoseconds>(remaining - spin_margin, k_longest_single_sleep));
        now = Clock::now();
        if (now >= deadline) {
            return;
        }
    }
    while (Clock::now() < deadline) {
        spin_wait_hint();
    }
}

}  // namespace velmot::timer
