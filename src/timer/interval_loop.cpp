// The interval loop of Normal timers.
//
// Thread-safety: the loop runs as one runtime task; it shares only the atomics `running` and
// `tick_count` and the registry's shutdown flag. Each tick call runs on a blocking-pool thread.
#include "timer/interval_loop.hpp"

#include <utility>

#include "common/panic.hpp"
#include "runtime/runtime.hpp"
#include "runtime/time.hpp"
#include "task/task_manager.hpp"

namespace velmot::timer {

namespace {

// Runs one call on the blocking pool and waits for it. The job holds its own reference to the
// function, so it stays valid if the loop ends first. A job that ended with a Panic (already
// reported by whoever raised it) is ignored: the timer goes on.
asio::awaitable<void> run_tick_job(const SharedTickFunction& tick, const RunningFlag& running,
                                   const TickCounter& tick_count,
                                   const task::SharedCallTracker& calls) {
    auto job = runtime::get_runtime().spawn_blocking([tick, running, tick_count, calls] {
        TickGate gate(*calls, *running, *tick_count);
        tick->call(gate);
    });
    try {
        (void)co_await job.join();
    } catch (const Panic&) {
    }
}

asio::awaitable<void> interval_loop(std::chrono::nanoseconds period, SharedTickFunction tick,
                                    RunningFlag running, TickCounter tick_count,
                                    task::SharedCallTracker calls) {
    // Created when the task first runs, so the first tick (immediate) is measured from then.
    runtime::Interval interval(period);
    while (running->load(std::memory_order_acquire)) {
        co_await interval.tick();
        if (task::task_manager().shutdown_requested()) {
            running->store(false, std::memory_order_release);
            break;
        }
        co_await run_tick_job(tick, running, tick_count, calls);
    }
}

}  // namespace

runtime::TaskHandle<void> start_interval_loop(std::chrono::nanoseconds period,
                                              SharedTickFunction tick, RunningFlag running,
                                              TickCounter tick_count,
                                              task::SharedCallTracker calls) {
    return runtime::get_runtime().spawn(interval_loop(period, std::move(tick), std::move(running),
                                                      std::move(tick_count), std::move(calls)));
}

}  // namespace velmot::timer
