// Runtime construction, spawn / TaskHandle, block_on.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <future>
#include <string>
#include <thread>

#include "common/panic.hpp"
#include "runtime/runtime.hpp"
#include "runtime/time.hpp"
#include "runtime_sync_test_support.hpp"

namespace velmot::runtime {
namespace {

using namespace std::chrono_literals;

TEST(RuntimeGlobal, ConcurrentFirstCallersShareOneRuntime) {
    Runtime* seen[4] = {};
    std::atomic<bool> go{false};
    std::thread threads[4];
    for (int i = 0; i < 4; ++i) {
        threads[i] = std::thread([&, i] {
            while (!go.load()) {
            }
            seen[i] = &get_runtime();
        });
    }
    go.store(true);
    for (auto& t : threads) {
        t.join();
    }
    for (auto* r : seen) {
        EXPECT_EQ(r, seen[0]);
    }
    EXPECT_TRUE(runtime_started());
    EXPECT_EQ(seen[0]->worker_count(), available_parallelism());
}

TEST(RuntimeGlobal, CgroupQuotaParsing) {
    struct Case {
        const char* text;
        std::optional<std::size_t> cpus;
    };
    const Case cases[] = {
        {"max 100000", std::nullopt}, {"150000 100000", 2}, {"200000 100000\n", 2},
        {"1000 100000", 1},           {"", std::nullopt},   {"abc 100000", std::nullopt},
        {"100000 0", std::nullopt},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(cgroup_cpu_limit(c.text), c.cpus) << c.text;
    }
}

asio::awaitable<std::string> try_block_on_inside_task() {
    try {
        get_runtime().block_on([]() -> asio::awaitable<int> { co_return 1; }());
    } catch (const Panic& p) {
        co_return p.message();
    }
    co_return "no panic";
}

TEST(RuntimeBlockOn, RefusedOnAWorkerWithTheExactMessage) {
    auto text = get_runtime().block_on(try_block_on_inside_task());
    EXPECT_EQ(
        text,
        "Cannot start a runtime from within a runtime. This happens because a function (like "
        "`block_on`) attempted to block the current thread while the thread is being used to drive "
        "asynchronous tasks.");
}

TEST(RuntimeBlockOn, ReturnsValueAndRethrowsPanic) {
    auto& rt = get_runtime();
    EXPECT_EQ(rt.block_on([]() -> asio::awaitable<int> {
        co_await sleep(1ms);
        co_return 7;
    }()),
              7);
    rt.block_on([]() -> asio::awaitable<void> { co_return; }());
    EXPECT_THROW(rt.block_on([]() -> asio::awaitable<void> {
        panic("inside block_on");
        co_return;
    }()),
                 Panic);
}

TEST(RuntimeTask, AbortEndsASuspendedTaskAndIsHarmlessAfterwards) {
    auto& rt = get_runtime();
    std::atomic<bool> after_sleep{false};
    auto sleeper = rt.spawn([](std::atomic<bool>& flag) -> asio::awaitable<int> {
        co_await sleep(60s);
        flag = true;
        co_return 1;
    }(after_sleep));
    std::this_thread::sleep_for(5ms);
    const auto start = Clock::now();
    sleeper.abort();
    auto result = sleeper.wait();
    EXPECT_LT(Clock::now() - start, 5s);
    ASSERT_FALSE(result.ok());
    EXPECT_EQ(result.error().kind, ErrorKind::runtime);
    EXPECT_EQ(result.error().message, "task was cancelled");
    EXPECT_FALSE(after_sleep.load());
    EXPECT_TRUE(sleeper.is_finished());
    sleeper.abort();  // after the end: nothing happens

    auto quick = rt.spawn([]() -> asio::awaitable<int> { co_return 5; }());
    auto value = quick.wait();
    quick.abort();
    ASSERT_TRUE(value.ok());
    EXPECT_EQ(value.value(), 5);
}

TEST(RuntimeTask, AbortWhileRunningTakesEffectAtTheNextSuspension) {
    auto& rt = get_runtime();
    std::atomic<bool> release{false};
    auto task = rt.spawn([](std::atomic<bool>& go) -> asio::awaitable<void> {
        while (!go.load()) {
            std::this_thread::yield();  // busy, not suspended, when abort arrives
        }
        co_await sleep(60s);
    }(release));
    task.abort();
    std::this_thread::sleep_for(2ms);
    release = true;
    auto result = task.wait();
    ASSERT_FALSE(result.ok());
    EXPECT_EQ(result.error().message, "task was cancelled");
}

TEST(RuntimeTask, PanicReachesTheJoinerAndOtherTasksRunOn) {
    auto& rt = get_runtime();
    auto failing = rt.spawn([]() -> asio::awaitable<int> {
        co_await sleep(1ms);
        panic("task failed on purpose");
        co_return 0;
    }());
    auto unjoined = rt.spawn([]() -> asio::awaitable<void> {
        panic("nobody joins this one");
        co_return;
    }());
    unjoined.detach();
    auto joiner = rt.spawn([](TaskHandle<int> h) -> asio::awaitable<std::string> {
        try {
            (void)co_await h.join();
        } catch (const Panic& p) {
            co_return p.message();
        }
        co_return "joined without panic";
    }(std::move(failing)));
    auto other = rt.spawn([]() -> asio::awaitable<int> {
        co_await sleep(2ms);
        co_return 3;
    }());
    EXPECT_EQ(joiner.wait().value(), "task failed on purpose");
    EXPECT_EQ(other.wait().value(), 3);
}

TEST(RuntimeTask, ForeignExceptionIsDeliveredAsPanic) {
    auto task = get_runtime().spawn([]() -> asio::awaitable<void> {
        throw std::runtime_error("broken invariant");
        co_return;
    }());
    try {
        (void)task.wait();
        FAIL() << "expected a Panic";
    } catch (const Panic& p) {
        EXPECT_EQ(p.message(), "broken invariant");
    }
}

TEST(RuntimeTask, DroppedHandleLetsTheTaskFinish) {
    auto& rt = get_runtime();
    auto done = OneShot<int>::create();
    rt.spawn([](std::shared_ptr<OneShot<int>> d) -> asio::awaitable<void> {
        co_await sleep(2ms);
        d->set_value(9);
    }(done));
    EXPECT_EQ(done->wait(), 9);
}

TEST(RuntimeTask, AbandonedJoinLeavesTheOutcomeInPlace) {
    auto& rt = get_runtime();
    auto release = OneShot<int>::create();
    auto worker = rt.spawn([](std::shared_ptr<OneShot<int>> r) -> asio::awaitable<int> {
        co_return *co_await r->async_wait(asio::use_awaitable);
    }(release));
    // A join given up by timeout takes nothing; the task's value is still there afterwards.
    auto gave_up = rt.block_on([](TaskHandle<int>& h) -> asio::awaitable<bool> {
        auto r = co_await timeout(1ms, h.join());
        co_return !r.ok() && r.error().kind == ErrorKind::timeout;
    }(worker));
    EXPECT_TRUE(gave_up);
    release->set_value(11);
    EXPECT_EQ(worker.wait().value(), 11);
}

// A wait awaited on an executor that does not serialise its handlers (a multi-threaded
// io_context, no strand), completed from another thread right after it starts: the coroutine
// may resume elsewhere and start its next operation while the wait is still being set up, so the
// wait must be done with the coroutine's cancellation slot before the producer can see it.
// (Checked by the thread sanitizer, which reports the slot written by both threads otherwise.)
TEST(RuntimeOneShot, CompletionRacingTheWaitSetupOnAPlainMultiThreadedContext) {
    testing::ContextThreads pool(3);
    for (int i = 0; i < 3000; ++i) {
        auto cell = OneShot<int>::create();
        asio::cancellation_signal cancel;
        std::promise<int> done;
        asio::co_spawn(
            pool.context().get_executor(),
            [](std::shared_ptr<OneShot<int>> c) -> asio::awaitable<int> {
                auto value = co_await c->async_wait(asio::use_awaitable);
                asio::steady_timer next(co_await asio::this_coro::executor,
                                        Clock::duration::zero());
                co_await next.async_wait(asio::use_awaitable);  // uses the same slot again
                co_return *value;
            }(cell),
            asio::bind_cancellation_slot(cancel.slot(), [&done](std::exception_ptr e, int v) {
                if (e) {
                    done.set_exception(e);
                } else {
                    done.set_value(v);
                }
            }));
        // Complete the cell while the wait is being started (its initiation holds a reference).
        while (cell.use_count() < 3) {
            std::this_thread::yield();
        }
        for (int spin = 0; spin < (i % 400) * 4; ++spin) {
            std::atomic_signal_fence(std::memory_order_seq_cst);  // vary the moment
        }
        cell->set_value(i);
        auto result = done.get_future();
        ASSERT_TRUE(testing::ready_in_time(result));
        EXPECT_EQ(result.get(), i);
    }
}

// At exit the runtime is stopped and waited for: a handler still running keeps the wait false
// until its bound, and the wait ends as soon as the handler returns.
TEST(RuntimeExit, StopWaitsForAHandlerStillRunningWithinItsBound) {
    Runtime rt(2);
    std::promise<void> entered;
    std::atomic<bool> release{false};
    asio::post(rt.context(), [&] {
        entered.set_value();
        while (!release.load()) {
            std::this_thread::sleep_for(1ms);
        }
    });
    entered.get_future().wait();
    EXPECT_FALSE(rt.stop_and_wait_for(30ms));
    release.store(true);
    EXPECT_TRUE(rt.stop_and_wait_for(10s));
    EXPECT_TRUE(rt.context().stopped());
}

TEST(RuntimeTask, WaitOnADrivingThreadIsRefused) {
    auto task = get_runtime().spawn([]() -> asio::awaitable<int> { co_return 1; }());
    {
        DrivingScope driving(true);
        EXPECT_THROW((void)task.wait(), Panic);
    }
    EXPECT_EQ(task.wait().value(), 1);
}

}  // namespace
}  // namespace velmot::runtime
