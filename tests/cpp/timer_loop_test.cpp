// The two timer loops (interval loop for Normal, thread loop for High and Realtime) driven with a
// recording tick function: first call, schedules with overrunning calls, stop semantics, the
// shutdown flag, failing calls and thread names. Timing checks have generous bounds; a schedule
// check that a noisy machine can spoil (a preempted thread) is retried a few times.
#include <gtest/gtest.h>

#include <dirent.h>
#include <sys/resource.h>

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <mutex>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "common/panic.hpp"
#include "runtime/driving.hpp"
#include "runtime/runtime.hpp"
#include "task/task_id.hpp"
#include "task/task_manager.hpp"
#include "timer/interval_loop.hpp"
#include "timer/sleep_until.hpp"
#include "timer/thread_loop.hpp"

namespace velmot::timer {
namespace {

using namespace std::chrono_literals;
using runtime::Clock;
using Millis = std::chrono::duration<double, std::milli>;

// Records when each call started and makes call i last durations[i] (0 past the end).
class RecordingTick final : public TickFunction {
public:
    explicit RecordingTick(std::vector<std::chrono::nanoseconds> durations = {},
                           std::function<void(std::size_t)> hook = nullptr)
        : durations_(std::move(durations)), hook_(std::move(hook)) {}

    void call(TickGate& gate) override {
        if (!gate.open()) {
            return;
        }
        const auto started = Clock::now();
        std::size_t index = 0;
        {
            std::lock_guard lock(mutex_);
            index = calls_.size();
            calls_.push_back(started);
            on_runtime_worker_ = on_runtime_worker_ || runtime::current_thread_drives_runtime();
        }
        called_.notify_all();
        if (hook_) {
            hook_(index);
        }
        if (index < durations_.size()) {
            precision_sleep_until_sync(started + durations_[index], 500us);
        }
    }

    bool wait_for_calls(std::size_t n, Clock::duration limit = 5s) {
        std::unique_lock lock(mutex_);
        return called_.wait_for(lock, limit, [&] { return calls_.size() >= n; });
    }

    std::vector<Clock::time_point> calls() {
        std::lock_guard lock(mutex_);
        return calls_;
    }

    // Start times relative to the first call, in milliseconds.
    std::vector<double> offsets_ms() {
        const auto all = calls();
        std::vector<double> offsets;
        for (const auto t : all) {
            offsets.push_back(Millis(t - all.front()).count());
        }
        return offsets;
    }

    bool called_on_runtime_worker() {
        std::lock_guard lock(mutex_);
        return on_runtime_worker_;
    }

private:
    std::vector<std::chrono::nanoseconds> durations_;
    std::function<void(std::size_t)> hook_;
    std::mutex mutex_;
    std::condition_variable called_;
    std::vector<Clock::time_point> calls_;
    bool on_runtime_worker_ = false;
};

enum class Loop { interval, high, realtime };

std::string loop_name(const ::testing::TestParamInfo<Loop>& info) {
    switch (info.param) {
        case Loop::interval:
            return "Interval";
        case Loop::high:
            return "High";
        case Loop::realtime:
            return "Realtime";
    }
    return "?";
}

// The OS names of this process's threads.
std::vector<std::string> thread_names() {
    std::vector<std::string> names;
    DIR* dir = opendir("/proc/self/task");
    if (dir == nullptr) {
        return names;
    }
    while (dirent* entry = readdir(dir)) {
        if (entry->d_name[0] == '.') {
            continue;
        }
        std::ifstream comm(std::string("/proc/self/task/") + entry->d_name + "/comm");
        std::string name;
        if (std::getline(comm, name)) {
            names.push_back(name);
        }
    }
    closedir(dir);
    return names;
}

bool thread_named(const std::string& name) {
    for (const auto& n : thread_names()) {
        if (n == name) {
            return true;
        }
    }
    return false;
}

// The "SigBlk" mask of the thread named `name`, or nullopt.
std::optional<std::uint64_t> blocked_signals_of(const std::string& name) {
    DIR* dir = opendir("/proc/self/task");
    std::optional<std::uint64_t> mask;
    while (dirent* entry = dir ? readdir(dir) : nullptr) {
        const std::string base = std::string("/proc/self/task/") + entry->d_name;
        std::ifstream comm(base + "/comm");
        std::string n;
        if (!std::getline(comm, n) || n != name) {
            continue;
        }
        std::ifstream status(base + "/status");
        for (std::string line; std::getline(status, line);) {
            if (line.rfind("SigBlk:", 0) == 0) {
                mask = std::stoull(line.substr(7), nullptr, 16);
            }
        }
    }
    if (dir) {
        closedir(dir);
    }
    return mask;
}

// One started timer of any loop kind.
struct Started {
    Started(Loop l, std::uint64_t task_id, std::shared_ptr<RecordingTick> t,
            RunningFlag r = task::make_running_flag())
        : loop(l), id(task_id), tick(std::move(t)), running(std::move(r)) {}

    Loop loop;
    std::uint64_t id;
    std::shared_ptr<RecordingTick> tick;
    RunningFlag running;
    TickCounter count = make_tick_counter();
    task::SharedCallTracker calls = task::make_call_tracker();
    std::optional<runtime::TaskHandle<void>> task;

    TimerPrecision precision() const {
        return loop == Loop::realtime ? TimerPrecision::realtime : TimerPrecision::high;
    }

    // Waits until the loop has ended: its task finished, or its thread is gone.
    bool wait_ended(Clock::duration limit = 3s) {
        if (task) {
            return task->wait().ok();
        }
        const auto name = thread_name(id, precision());
        for (const auto until = Clock::now() + limit; Clock::now() < until;
             std::this_thread::sleep_for(1ms)) {
            if (!thread_named(name)) {
                return true;
            }
        }
        return false;
    }

    void stop() { running->store(false, std::memory_order_release); }
};

Started start(Loop loop, std::chrono::nanoseconds period, std::shared_ptr<RecordingTick> tick) {
    Started s{loop, task::next_task_id(), std::move(tick)};
    if (loop == Loop::interval) {
        s.task.emplace(start_interval_loop(period, s.tick, s.running, s.count, s.calls));
    } else {
        start_thread_loop(s.id, s.precision(), period, s.tick, s.running, s.count, s.calls);
    }
    return s;
}

// Runs `attempt` up to `tries` times until it returns an empty string (success); the last
// failure's description is reported.
void expect_eventually(const std::function<std::string()>& attempt, int tries = 4) {
    std::string failure;
    for (int i = 0; i < tries; ++i) {
        failure = attempt();
        if (failure.empty()) {
            return;
        }
    }
    ADD_FAILURE() << failure;
}

std::string describe(const std::vector<double>& offsets) {
    std::ostringstream out;
    out << "call offsets (ms):";
    for (double o : offsets) {
        out << ' ' << o;
    }
    return out.str();
}

// Expected call offsets (ms) and how far each may be off: lower bounds are tight (waits never end
// early; the grid may start a little before the first call), upper bounds generous.
std::string check_schedule(const std::vector<double>& got, const std::vector<double>& expected,
                           double early, double late) {
    if (got.size() < expected.size()) {
        return "too few calls; " + describe(got);
    }
    for (std::size_t i = 0; i < expected.size(); ++i) {
        if (got[i] < expected[i] - early || got[i] > expected[i] + late) {
            return "call " + std::to_string(i) + " off schedule; " + describe(got);
        }
    }
    return "";
}

class TimerLoop : public ::testing::TestWithParam<Loop> {};

INSTANTIATE_TEST_SUITE_P(Loops, TimerLoop,
                         ::testing::Values(Loop::interval, Loop::high, Loop::realtime), loop_name);

TEST_P(TimerLoop, FirstCallIsImmediateAndCallsNeverRunOnARuntimeWorker) {
    const auto before = Clock::now();
    auto s = start(GetParam(), 1s, std::make_shared<RecordingTick>());
    ASSERT_TRUE(s.tick->wait_for_calls(1));
    EXPECT_LT(s.tick->calls().front() - before, 300ms);
    EXPECT_FALSE(s.tick->called_on_runtime_worker());
    s.stop();
    if (s.task) {
        s.task->abort();  // rather than wait for the next tick
        (void)s.task->wait();
    } else {
        EXPECT_TRUE(s.wait_ended());
    }
    EXPECT_EQ(s.tick->calls().size(), 1u);
}

// 10 Hz, the first four calls take 250 ms, later ones 30 ms: late ticks follow at once, missed
// ones are not made up, and the grid (not the end of the last call) sets the time of later calls.
TEST_P(TimerLoop, TenHertzWithOverrunningCallsKeepsTheGrid) {
    expect_eventually([] {
        const std::vector<std::chrono::nanoseconds> durations{250ms, 250ms, 250ms, 250ms,
                                                              30ms,  30ms,  30ms};
        auto s = start(GetParam(), 100ms, std::make_shared<RecordingTick>(durations));
        const bool enough = s.tick->wait_for_calls(7);
        s.stop();
        s.wait_ended();
        if (!enough) {
            return std::string("too few calls");
        }
        return check_schedule(s.tick->offsets_ms(), {0, 250, 500, 750, 1000, 1100, 1200}, 3.0,
                              40.0);
    });
}

// 1000 Hz, the first call takes 3.5 ms. The interval loop makes up the ticks due at 1, 2 and 3 ms
// (late by less than 5 ms) back to back; the thread loop skips them.
TEST_P(TimerLoop, ThousandHertzAfterAShortOverrun) {
    const bool interval = GetParam() == Loop::interval;
    expect_eventually([interval] {
        auto s =
            start(GetParam(), 1ms,
                  std::make_shared<RecordingTick>(std::vector<std::chrono::nanoseconds>{3500us}));
        const bool enough = s.tick->wait_for_calls(8);
        s.stop();
        s.wait_ended();
        if (!enough) {
            return std::string("too few calls");
        }
        const auto got = s.tick->offsets_ms();
        if (interval) {
            if (auto f = check_schedule(got, {0, 3.5, 3.5, 3.5, 4, 5, 6}, 0.3, 2.0); !f.empty()) {
                return f;
            }
            if (got[3] - got[1] >= 0.4) {
                return "made-up calls are not back to back; " + describe(got);
            }
        } else {
            if (auto f = check_schedule(got, {0, 3.5, 4, 5, 6}, 0.2, 2.0); !f.empty()) {
                return f;
            }
            if (got[2] - got[1] < 0.3) {
                return "a passed grid point was made up; " + describe(got);
            }
        }
        return std::string();
    });
}

// A stop during the wait: neither loop makes another call.
TEST_P(TimerLoop, StopDuringTheWait) {
    auto s = start(GetParam(), 100ms, std::make_shared<RecordingTick>());
    ASSERT_TRUE(s.tick->wait_for_calls(1));
    std::this_thread::sleep_for(20ms);
    s.stop();
    ASSERT_TRUE(s.wait_ended());
    EXPECT_EQ(s.tick->calls().size(), 1u);
    EXPECT_EQ(s.count->load(), 1u);
    EXPECT_FALSE(s.running->load());
}

// A stop made by the call itself: no further call, and the thread loop finishes that period's
// sleep before it ends.
TEST_P(TimerLoop, StopDuringACallEndsAfterThatPeriod) {
    RunningFlag running = task::make_running_flag();
    auto tick = std::make_shared<RecordingTick>(std::vector<std::chrono::nanoseconds>{},
                                                [running](std::size_t) { running->store(false); });
    Started s{GetParam(), task::next_task_id(), tick, running};
    if (GetParam() == Loop::interval) {
        s.task.emplace(start_interval_loop(200ms, tick, running, s.count, s.calls));
    } else {
        start_thread_loop(s.id, s.precision(), 200ms, tick, running, s.count, s.calls);
    }
    ASSERT_TRUE(tick->wait_for_calls(1));
    const auto first = tick->calls().front();
    ASSERT_TRUE(s.wait_ended());
    if (GetParam() != Loop::interval) {
        EXPECT_GE(Clock::now() - first, 190ms);
    }
    EXPECT_EQ(tick->calls().size(), 1u);
    EXPECT_EQ(s.count->load(), 1u);
}

// A call that ends with a Panic is counted and the timer goes on.
TEST_P(TimerLoop, PanickingCallIsCountedAndTheTimerGoesOn) {
    auto tick = std::make_shared<RecordingTick>(std::vector<std::chrono::nanoseconds>{},
                                                [](std::size_t index) {
                                                    if (index == 0) {
                                                        panic("tick failure in a test");
                                                    }
                                                });
    auto s = start(GetParam(), 5ms, tick);
    ASSERT_TRUE(tick->wait_for_calls(3));
    s.stop();
    ASSERT_TRUE(s.wait_ended());
    EXPECT_EQ(s.count->load(), tick->calls().size());
    EXPECT_GE(s.count->load(), 3u);
}

TEST(TimerLoopShutdown, TimersStartedAfterShutdownNeverCall) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");  // a fresh process: the flag is never cleared
    EXPECT_EXIT(
        {
            task::task_manager().stop_all();
            for (Loop loop : {Loop::interval, Loop::high, Loop::realtime}) {
                auto s = start(loop, 1ms, std::make_shared<RecordingTick>());
                EXPECT_TRUE(s.wait_ended());
                EXPECT_TRUE(s.tick->calls().empty());
                EXPECT_EQ(s.count->load(), 0u);
                EXPECT_FALSE(s.running->load());
            }
            std::exit(::testing::Test::HasFailure() ? 1 : 0);
        },
        ::testing::ExitedWithCode(0), "");
}

TEST(TimerLoopThread, NamedCutAndWithSignalsBlocked) {
    std::vector<Started> started;
    for (auto precision : {Loop::high, Loop::realtime}) {
        Started s{precision, 12, std::make_shared<RecordingTick>()};
        start_thread_loop(12, s.precision(), 50ms, s.tick, s.running, s.count, s.calls);
        ASSERT_TRUE(s.tick->wait_for_calls(1));
        started.push_back(std::move(s));
    }
    for (const char* name : {"timer-12-High", "timer-12-Realti"}) {
        EXPECT_TRUE(thread_named(name)) << name;
        const auto mask = blocked_signals_of(name);
        ASSERT_TRUE(mask.has_value()) << name;
        for (int signal : {SIGINT, SIGTERM, SIGUSR1, SIGALRM}) {
            EXPECT_TRUE(*mask >> (signal - 1) & 1) << signal;
        }
    }
    for (auto& s : started) {
        s.stop();
        EXPECT_TRUE(s.wait_ended());
    }
}

// With the address space capped, the thread's stack cannot be mapped and pthread_create fails.
// Exits 0 after printing the panic's message, 1 when no panic came, 2 when the cap failed.
[[noreturn]] void start_with_capped_address_space() {
    std::ifstream status("/proc/self/status");
    std::uint64_t vm_kib = 0;
    for (std::string line; std::getline(status, line);) {
        if (line.rfind("VmSize:", 0) == 0) {
            vm_kib = std::stoull(line.substr(7));
        }
    }
    rlimit limit{};
    limit.rlim_cur = limit.rlim_max = vm_kib * 1024 + (2u << 20);
    if (vm_kib == 0 || setrlimit(RLIMIT_AS, &limit) != 0) {
        std::exit(2);
    }
    try {
        start_thread_loop(5, TimerPrecision::high, 1s, std::make_shared<RecordingTick>(),
                          task::make_running_flag(), make_tick_counter(),
                          task::make_call_tracker());
    } catch (const Panic& p) {
        std::fprintf(stderr, "message: %s\n", p.message().c_str());
        std::exit(0);
    }
    std::exit(1);
}

TEST(TimerLoopThread, CreationFailureIsAPanicWithTheSystemError) {
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
    GTEST_SKIP() << "the sanitizers' runtime cannot work in a capped address space";
#endif
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(start_with_capped_address_space(), ::testing::ExitedWithCode(0),
                "message: Failed to spawn timer thread: Resource temporarily unavailable \\(os "
                "error 11\\)");
}

TEST(TimerLoopThread, ThreadNamesKeepFifteenBytes) {
    EXPECT_EQ(thread_name(12, TimerPrecision::high), "timer-12-High");
    EXPECT_EQ(thread_name(12, TimerPrecision::realtime), "timer-12-Realti");
    EXPECT_EQ(thread_name(7, TimerPrecision::realtime), "timer-7-Realtim");
    EXPECT_EQ(thread_name(1234567890, TimerPrecision::high), "timer-123456789");
}

struct GridCase {
    std::int64_t deadline, now, period, expected;
};

class TimerLoopGrid : public ::testing::TestWithParam<GridCase> {};

TEST_P(TimerLoopGrid, NextDeadlineSkipsPassedPoints) {
    const auto at = [](std::int64_t ns) { return Clock::time_point(std::chrono::nanoseconds(ns)); };
    const auto& c = GetParam();
    EXPECT_EQ(next_grid_deadline(at(c.deadline), at(c.now), std::chrono::nanoseconds(c.period)),
              at(c.expected));
}

constexpr std::int64_t k_max = std::numeric_limits<std::int64_t>::max();

INSTANTIATE_TEST_SUITE_P(
    Cases, TimerLoopGrid,
    ::testing::Values(GridCase{1000, 1500, 1000, 2000},  // on time: plain + period
                      GridCase{1000, 2000, 1000, 2000},  // exactly at the next point: kept
                      GridCase{1000, 3500, 1000, 4000},  // two points passed: skipped
                      GridCase{1000, 4000, 1000, 5000},  // on a point that passed: the one after
                      GridCase{0, 999'999'999, 333'333'333, 1'333'333'332},
                      GridCase{k_max - 10, k_max - 5, 1000, k_max},  // saturates
                      GridCase{5, 10, k_max, k_max}));               // a period of ~292 years

// The interval loop's deadlines saturate: with the longest period it makes its first call and
// then waits (until aborted) instead of overflowing into an immediate tick.
TEST(TimerLoopInterval, LongestPeriodWaitsAfterTheFirstCall) {
    auto s =
        start(Loop::interval, std::chrono::nanoseconds::max(), std::make_shared<RecordingTick>());
    ASSERT_TRUE(s.tick->wait_for_calls(1));
    std::this_thread::sleep_for(50ms);
    s.task->abort();
    const auto outcome = s.task->wait();
    ASSERT_FALSE(outcome.ok());
    EXPECT_EQ(outcome.error().message, runtime::cancelled_error().message);
    EXPECT_EQ(s.tick->calls().size(), 1u);
}

}  // namespace
}  // namespace velmot::timer
