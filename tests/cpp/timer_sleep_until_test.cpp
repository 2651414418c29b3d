// precision_sleep_until_sync: never early, not much late, and not shortened by signals.
#include <gtest/gtest.h>

#include <pthread.h>
#include <signal.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "timer/sleep_until.hpp"

namespace velmot::timer {
namespace {

using namespace std::chrono_literals;
using runtime::Clock;

// Generous: the VM may deschedule the thread for a while after the deadline.
constexpr auto k_late_bound = 50ms;

TEST(TimerSleepUntil, PastOrPresentDeadlineReturnsAtOnce) {
    for (const auto deadline : {Clock::time_point{}, Clock::now() - 1s, Clock::now()}) {
        const auto before = Clock::now();
        precision_sleep_until_sync(deadline, 3ms);
        EXPECT_LT(Clock::now() - before, 5ms);
    }
}

struct SleepCase {
    std::chrono::nanoseconds wait;
    std::chrono::nanoseconds margin;
};

class TimerSleepUntilAccuracy : public ::testing::TestWithParam<SleepCase> {};

// Covers a sleep followed by a spin, a wait spun throughout (remaining <= margin) and a zero
// margin.
TEST_P(TimerSleepUntilAccuracy, ReturnsAtOrJustAfterTheDeadline) {
    for (int round = 0; round < 5; ++round) {
        const auto deadline = Clock::now() + GetParam().wait;
        precision_sleep_until_sync(deadline, GetParam().margin);
        const auto now = Clock::now();
        EXPECT_GE(now, deadline);
        EXPECT_LT(now - deadline, k_late_bound);
    }
}

INSTANTIATE_TEST_SUITE_P(Waits, TimerSleepUntilAccuracy,
                         ::testing::Values(SleepCase{20ms, 800us}, SleepCase{5ms, 3ms},
                                           SleepCase{2ms, 3ms}, SleepCase{3ms, 3ms},
                                           SleepCase{10ms, 0ns}, SleepCase{1ms, 800us}));

std::atomic<int> g_handled{0};
void count_signal(int) {
    g_handled.fetch_add(1);
}

// Signals interrupt the coarse clock_nanosleep with EINTR; the wait must resume, not return.
TEST(TimerSleepUntil, SignalsDuringTheSleepDoNotShortenIt) {
    struct sigaction action {};
    action.sa_handler = count_signal;
    sigemptyset(&action.sa_mask);
    struct sigaction previous {};
    ASSERT_EQ(sigaction(SIGUSR1, &action, &previous), 0);
    g_handled = 0;

    std::atomic<bool> sleeping{false};
    Clock::time_point deadline;
    Clock::time_point returned;
    std::thread sleeper([&] {
        sigset_t usr1;
        sigemptyset(&usr1);
        sigaddset(&usr1, SIGUSR1);
        pthread_sigmask(SIG_UNBLOCK, &usr1, nullptr);
        deadline = Clock::now() + 300ms;
        sleeping = true;
        precision_sleep_until_sync(deadline, 1ms);
        returned = Clock::now();
    });
    while (!sleeping) {
        std::this_thread::yield();
    }
    for (int i = 0; i < 5; ++i) {
        std::this_thread::sleep_for(20ms);
        pthread_kill(sleeper.native_handle(), SIGUSR1);
    }
    sleeper.join();
    sigaction(SIGUSR1, &previous, nullptr);

    EXPECT_GE(g_handled.load(), 1);
    EXPECT_GE(returned, deadline);
    EXPECT_LT(returned - deadline, k_late_bound);
}

}  // namespace
}  // namespace velmot::timer
