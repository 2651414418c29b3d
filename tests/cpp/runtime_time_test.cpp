// sleep, timeout and Interval.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

#include "common/panic.hpp"
#include "runtime/runtime.hpp"
#include "runtime/time.hpp"

namespace velmot::runtime {
namespace {

using namespace std::chrono_literals;

asio::awaitable<int> value_after(Clock::duration d, int v) {
    co_await sleep(d);
    co_return v;
}

asio::awaitable<int> take(std::shared_ptr<OneShot<int>> cell) {
    auto value = co_await cell->async_wait(asio::use_awaitable);
    co_return *value;
}

TEST(RuntimeTimeout, ExpiresAndValuesInTimeWin) {
    auto& rt = get_runtime();
    auto expired = rt.block_on(timeout(2ms, value_after(10s, 1)));
    ASSERT_FALSE(expired.ok());
    EXPECT_EQ(expired.error().kind, ErrorKind::timeout);
    EXPECT_EQ(expired.error().message, "deadline has elapsed");

    EXPECT_EQ(rt.block_on(timeout(0ns, []() -> asio::awaitable<int> { co_return 5; }())).value(),
              5);
    EXPECT_EQ(rt.block_on(timeout(-1s, []() -> asio::awaitable<int> { co_return 6; }())).value(),
              6);
    EXPECT_EQ(rt.block_on(timeout(5s, value_after(1ms, 7))).value(), 7);
    EXPECT_TRUE(rt.block_on(timeout(5s, sleep(1ms))).ok());
}

TEST(RuntimeTimeout, DeadlineOverflowMeansNever) {
    auto& rt = get_runtime();
    EXPECT_EQ(saturating_add(Clock::now(), Clock::duration::max()), Clock::time_point::max());
    EXPECT_EQ(rt.block_on(timeout(Clock::duration::max(), value_after(2ms, 8))).value(), 8);
}

TEST(RuntimeTimeout, PanicInsideIsRethrown) {
    EXPECT_THROW(get_runtime().block_on(timeout(1s,
                                                []() -> asio::awaitable<int> {
                                                    panic("inner failure");
                                                    co_return 0;
                                                }())),
                 Panic);
}

// A producer completes a one-shot at about the deadline: the value is either returned by the
// timeout or still in the cell afterwards, never lost.
TEST(RuntimeTimeout, RacingValueIsNeverLost) {
    auto& rt = get_runtime();
    int returned = 0, kept = 0;
    for (int i = 0; i < 400; ++i) {
        auto cell = OneShot<int>::create();
        const auto d = std::chrono::microseconds(50 + (i % 7) * 25);
        std::thread producer([cell, d, i] {
            std::this_thread::sleep_for(d);
            cell->set_value(i);
        });
        auto result = rt.block_on(timeout(d, take(cell)));
        producer.join();
        if (result.ok()) {
            EXPECT_EQ(result.value(), i);
            ++returned;
        } else {
            EXPECT_EQ(result.error().kind, ErrorKind::timeout);
            auto left = cell->try_take();
            ASSERT_TRUE(left.has_value()) << "value lost in round " << i;
            EXPECT_EQ(*left, i);
            ++kept;
        }
    }
    EXPECT_EQ(returned + kept, 400);
}

TEST(RuntimeTimeout, AbortOfTheCallerEndsTimeoutAndChild) {
    auto& rt = get_runtime();
    auto child_ended = OneShot<bool>::create();
    auto task = rt.spawn([](std::shared_ptr<OneShot<bool>> ended) -> asio::awaitable<void> {
        struct Mark {
            std::shared_ptr<OneShot<bool>> cell;
            ~Mark() { cell->set_value(true); }
        };
        auto r =
            co_await timeout(60s, [](std::shared_ptr<OneShot<bool>> c) -> asio::awaitable<int> {
                Mark mark{c};
                co_await sleep(60s);
                co_return 1;
            }(ended));
        (void)r;
    }(child_ended));
    std::this_thread::sleep_for(5ms);
    const auto start = Clock::now();
    task.abort();
    auto result = task.wait();
    EXPECT_LT(Clock::now() - start, 5s);
    ASSERT_FALSE(result.ok());
    EXPECT_EQ(result.error().message, "task was cancelled");
    EXPECT_TRUE(child_ended->is_ready());
}

// The loop of the examples: await tick(), then call a function taking durations[n].
std::vector<double> simulated_call_times_ms(Clock::duration period,
                                            const std::vector<double>& durations_ms,
                                            std::size_t calls) {
    const Clock::time_point t0{};
    auto ms = [](double v) {
        return std::chrono::duration_cast<Clock::duration>(
            std::chrono::duration<double, std::milli>(v));
    };
    Clock::time_point now = t0, due = t0;
    std::vector<double> out;
    for (std::size_t n = 0; n < calls; ++n) {
        const Clock::time_point completed =
            std::max(now, due);  // tick completes when due or at once
        const Clock::time_point next = next_tick_due(due, completed, period);
        out.push_back(std::chrono::duration<double, std::milli>(completed - t0).count());
        now = completed + ms(n < durations_ms.size() ? durations_ms[n] : 0.0);
        due = next;
    }
    return out;
}

TEST(RuntimeInterval, TickArithmeticExamples) {
    EXPECT_EQ(simulated_call_times_ms(100ms, {250, 250, 250, 250}, 7),
              (std::vector<double>{0, 250, 500, 750, 1000, 1100, 1200}));
    EXPECT_EQ(simulated_call_times_ms(1ms, {3.5}, 7),
              (std::vector<double>{0, 3.5, 3.5, 3.5, 4, 5, 6}));
    // Exactly 5 ms late keeps the grid; later than that skips to the first instant after
    // completion.
    const Clock::time_point d{};
    EXPECT_EQ(next_tick_due(d, d + 5ms, 2ms), d + 2ms);
    EXPECT_EQ(next_tick_due(d, d + 5ms + 1ns, 2ms), d + 6ms);
    EXPECT_EQ(next_tick_due(d, d + 6ms, 2ms), d + 8ms);
}

TEST(RuntimeInterval, RealTicksFollowThePeriod) {
    auto& rt = get_runtime();
    auto elapsed = rt.block_on([]() -> asio::awaitable<std::vector<Clock::duration>> {
        Interval interval(3ms);
        const auto start = Clock::now();
        std::vector<Clock::duration> dues;
        for (int i = 0; i < 6; ++i) {
            dues.push_back(co_await interval.tick() - start);
        }
        dues.push_back(Clock::now() - start);
        co_return dues;
    }());
    ASSERT_EQ(elapsed.size(), 7u);
    EXPECT_LE(elapsed[0], 1ms);  // the first tick is due at once
    for (int i = 1; i < 6; ++i) {
        EXPECT_GE(elapsed[i] - elapsed[i - 1], 3ms);  // due instants on the grid or later
    }
    EXPECT_GE(elapsed[6], 15ms - 1ms);
    EXPECT_LT(elapsed[6], 2s);
}

}  // namespace
}  // namespace velmot::runtime
