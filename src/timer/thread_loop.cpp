// The thread loop of High and Realtime timers.
//
// Thread-safety: the loop runs on its own detached thread and shares only the atomics `running`
// and `tick_count` and the registry's shutdown flag. Per period it allocates nothing and takes no
// lock; the tick function takes the GIL itself. Nothing on the call path is noexcept and nothing
// swallows unknown exceptions: a call into a finalizing interpreter may end the thread by forced
// unwinding, which must pass through.
#include "timer/thread_loop.hpp"

#include <limits>
#include <system_error>
#include <utility>

#include "common/panic.hpp"
#include "common/realtime_mode.hpp"
#include "common/result.hpp"
#include "runtime/signal_blocked_thread.hpp"
#include "runtime/task_outcome.hpp"
#include "runtime/time.hpp"
#include "task/task_manager.hpp"
#include "timer/sleep_until.hpp"

namespace velmot::timer {

namespace {

using runtime::Clock;

// The OS keeps 15 bytes of a thread name (16 with the terminating NUL).
constexpr std::size_t k_thread_name_bytes = 15;

// One call through the gate. A Panic ends this call only (its notice was printed when it was
// raised). Any other exception is a broken invariant of the tick function: reported like a
// panic, then ignored too.
void call_once(TickFunction& tick, TickGate&& gate) {
    try {
        tick.call(gate);
    } catch (const Panic&) {
    } catch (const std::exception& e) {
        (void)runtime::escaped_as_panic(e);
    }
}

struct ThreadLoop {
    TimerPrecision precision;
    std::chrono::nanoseconds period;
    RealtimeSettings realtime;
    SharedTickFunction tick;
    RunningFlag running;
    TickCounter tick_count;
    task::SharedCallTracker calls;

    void run() {
        // A thread the real-time policy was refused to waits exactly as one that never asked.
        const auto margin = enter_realtime(realtime)
                                ? realtime_policy_spin_margin(precision, period)
                                : spin_margin(precision);
        const task::TaskManager& registry = task::task_manager();
        auto deadline = runtime::saturating_add(Clock::now(), period);
        while (running->load(std::memory_order_acquire)) {
            if (registry.shutdown_requested()) {
                running->store(false, std::memory_order_release);
                break;
            }
            call_once(*tick, TickGate(*calls, *running, *tick_count));
            precision_sleep_until_sync(deadline, margin);
            deadline = next_grid_deadline(deadline, Clock::now(), period);
        }
    }
};

}  // namespace

Clock::time_point next_grid_deadline(Clock::time_point deadline, Clock::time_point now,
                                     std::chrono::nanoseconds period) noexcept {
    const auto next = runtime::saturating_add(deadline, period);
    if (next >= now) {
        return next;
    }
    // Behind by more than a period: skip to the first grid point after `now`. missed * period is
    // at most now - next, so only the final period can leave the clock's range.
    const auto missed = (now - next) / period;
    return runtime::saturating_add(next + missed * period, period);
}

std::string thread_name(std::uint64_t task_id, TimerPrecision precision) {
    std::string name =
        "timer-" + std::to_string(task_id) + "-" + std::string(capitalised_name(precision));
    if (name.size() > k_thread_name_bytes) {
        name.resize(k_thread_name_bytes);
    }
    return name;
}

pthread_t start_thread_loop(std::uint64_t task_id, TimerPrecision precision,
                            std::chrono::nanoseconds period, SharedTickFunction tick,
                            RunningFlag running, TickCounter tick_count,
                            task::SharedCallTracker calls) {
    ThreadLoop loop{precision,           period,
                    realtime_settings(), std::move(tick),
                    std::move(running),  std::move(tick_count),
                    std::move(calls)};
    std::thread thread;
    try {
        thread = runtime::start_signal_blocked_thread(
            [loop = std::move(loop)]() mutable { loop.run(); });
    } catch (const std::system_error& e) {
        panic("Failed to spawn timer thread: " + Error::from_errno(e.code().value()).message);
    }
    const pthread_t handle = thread.native_handle();
    // Named before it is detached, while the handle is certainly valid. A thread that already
    // ended (shutdown requested) cannot be named; that is harmless.
    (void)pthread_setname_np(handle, thread_name(task_id, precision).c_str());
    thread.detach();
    return handle;
}

}  // namespace velmot::timer
