// block_in_place on a one-worker runtime and the blocking pool.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <future>
#include <string>
#include <thread>

#include "common/panic.hpp"
#include "runtime/runtime.hpp"
#include "runtime/time.hpp"

namespace velmot::runtime {
namespace {

using namespace std::chrono_literals;

asio::awaitable<int> produce_later(std::shared_ptr<OneShot<int>> cell) {
    co_await sleep(2ms);
    cell->set_value(42);
    co_return 0;
}

asio::awaitable<int> consume(std::shared_ptr<OneShot<int>> cell) {
    auto value = co_await cell->async_wait(asio::use_awaitable);
    co_return *value;
}

// The only worker blocks in place on a value that only another task, spawned meanwhile, produces:
// the stand-in must keep the runtime going.
asio::awaitable<int> block_in_place_on_only_worker(Runtime& rt) {
    EXPECT_TRUE(current_thread_drives_runtime());
    const int value = rt.block_in_place([&rt] {
        EXPECT_FALSE(current_thread_drives_runtime());
        auto cell = OneShot<int>::create();
        rt.spawn(produce_later(cell)).detach();
        return rt.block_on(consume(cell));
    });
    EXPECT_TRUE(current_thread_drives_runtime());
    co_return value;
}

TEST(RuntimeBlockInPlace, OnTheOnlyWorkerOtherTasksProgress) {
    Runtime rt(1);
    ASSERT_EQ(rt.worker_count(), 1u);
    for (int round = 0; round < 3; ++round) {  // the second and later rounds reuse a stand-in
        auto task = rt.spawn(block_in_place_on_only_worker(rt));
        EXPECT_EQ(task.wait().value(), 42);
    }
}

asio::awaitable<int> block_in_place_back_to_back(Runtime& rt, int calls) {
    int done = 0;
    for (int i = 0; i < calls; ++i) {
        done += rt.block_in_place([] { return 1; });
    }
    co_return done;
}

// A stand-in released a moment ago is leased again instead of starting a thread per call.
TEST(RuntimeBlockInPlace, BackToBackCallsReuseStandIns) {
    Runtime rt(1);
    EXPECT_EQ(rt.spawn(block_in_place_back_to_back(rt, 500)).wait().value(), 500);
    EXPECT_LE(rt.stand_ins().thread_count(), 2u);
}

TEST(RuntimeBlockInPlace, OffTheRuntimeRunsDirectly) {
    Runtime rt(1);
    EXPECT_EQ(rt.block_in_place([] { return current_thread_drives_runtime() ? 1 : 2; }), 2);
}

TEST(RuntimeBlockingPool, JobsRunConcurrently) {
    auto& rt = get_runtime();
    // Each job waits for the other: only concurrent threads finish both.
    std::promise<void> a_started, b_started;
    auto fa = a_started.get_future().share();
    auto fb = b_started.get_future().share();
    auto a = rt.spawn_blocking([&a_started, fb] {
        a_started.set_value();
        return fb.wait_for(10s) == std::future_status::ready ? 1 : -1;
    });
    auto b = rt.spawn_blocking([&b_started, fa] {
        b_started.set_value();
        return fa.wait_for(10s) == std::future_status::ready ? 2 : -2;
    });
    EXPECT_EQ(a.wait().value(), 1);
    EXPECT_EQ(b.wait().value(), 2);
}

TEST(RuntimeBlockingPool, JoinFromATaskAndPanicReachesTheAwaiter) {
    auto& rt = get_runtime();
    auto joiner = rt.spawn([](Runtime& r) -> asio::awaitable<std::string> {
        auto ok = co_await r
                      .spawn_blocking([] {
                          std::this_thread::sleep_for(1ms);
                          return std::string("done");
                      })
                      .join();
        try {
            (void)co_await r.spawn_blocking([] { panic("job failed"); }).join();
        } catch (const Panic& p) {
            co_return ok.value() + "/" + p.message();
        }
        co_return std::string("no panic");
    }(rt));
    EXPECT_EQ(joiner.wait().value(), "done/job failed");
}

TEST(RuntimeBlockingPool, IdleThreadsAreReusedAndJobsMayBlockOn) {
    auto& rt = get_runtime();
    for (int i = 0; i < 5; ++i) {
        auto job = rt.spawn_blocking([&rt, i] {
            return rt.block_on([](int v) -> asio::awaitable<int> { co_return v * 2; }(i));
        });
        EXPECT_EQ(job.wait().value(), i * 2);
    }
    std::this_thread::sleep_for(2ms);
    // Sequential jobs need one thread (plus any left from the other tests).
    EXPECT_LE(rt.blocking_pool().thread_count(), 4u);
}

}  // namespace
}  // namespace velmot::runtime
