// AsyncMutex: FIFO hand-over across tasks and blocked threads, and release of a lock whose
// completion is destroyed unrun.
#include <gtest/gtest.h>

#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <asio/bind_executor.hpp>
#include <asio/co_spawn.hpp>
#include <asio/detached.hpp>
#include <asio/post.hpp>
#include <asio/use_awaitable.hpp>

#include "runtime/async_mutex.hpp"
#include "runtime_sync_test_support.hpp"

namespace velmot::runtime {
namespace {

using testing::ContextThreads;
using testing::eventually;

// Each character is one waiter queued in that order: 't' a coroutine task awaiting lock(), 'c' a
// callback-style async_lock, 'b' a thread in blocking_lock().
class MutexArrivalOrder : public ::testing::TestWithParam<std::string> {};

TEST_P(MutexArrivalOrder, LockIsGrantedInArrivalOrder) {
    ContextThreads pool(3);
    AsyncMutex mutex;
    auto held = mutex.try_lock();
    ASSERT_TRUE(held);

    std::mutex order_mutex;
    std::vector<int> order;
    auto record = [&](int index) {
        std::lock_guard lock(order_mutex);
        order.push_back(index);
    };
    std::vector<std::thread> blocked;
    const std::string kinds = GetParam();
    for (int i = 0; i < static_cast<int>(kinds.size()); ++i) {
        if (kinds[i] == 't') {
            asio::co_spawn(
                pool.strand(),
                [&, i]() -> asio::awaitable<void> {
                    auto guard = co_await mutex.lock();
                    record(i);
                    // Hold the lock across a suspension: the next waiter must not get in meanwhile.
                    co_await asio::post(co_await asio::this_coro::executor, asio::use_awaitable);
                },
                asio::detached);
        } else if (kinds[i] == 'c') {
            mutex.async_lock(asio::bind_executor(
                pool.strand(), [&, i](std::error_code ec, AsyncMutex::Guard guard) {
                    EXPECT_FALSE(ec);
                    EXPECT_TRUE(guard.owns_lock());
                    record(i);
                }));
        } else {
            blocked.emplace_back([&, i] {
                auto guard = mutex.blocking_lock();
                record(i);
            });
        }
        ASSERT_TRUE(eventually([&] { return mutex.waiting() == static_cast<std::size_t>(i + 1); }));
    }
    held.reset();
    ASSERT_TRUE(eventually([&] {
        std::lock_guard lock(order_mutex);
        return order.size() == kinds.size();
    }));
    for (auto& thread : blocked) {
        thread.join();
    }
    std::vector<int> expected(kinds.size());
    for (std::size_t i = 0; i < expected.size(); ++i) {
        expected[i] = static_cast<int>(i);
    }
    EXPECT_EQ(order, expected);
    EXPECT_TRUE(eventually([&] { return mutex.try_lock().has_value(); }));
}

INSTANTIATE_TEST_SUITE_P(Waiters, MutexArrivalOrder,
                         ::testing::Values("tttttttt", "cbcbbctb", "bbbb"));

TEST(AsyncMutex, LockHandedToADestroyedCompletionIsReleased) {
    AsyncMutex mutex;
    auto held = mutex.try_lock();
    ASSERT_TRUE(held);
    auto idle = std::make_unique<asio::io_context>();  // never run
    bool invoked = false;
    mutex.async_lock(
        asio::bind_executor(*idle, [&](std::error_code, AsyncMutex::Guard) { invoked = true; }));
    held.reset();  // hands the lock to the queued completion
    EXPECT_FALSE(mutex.try_lock());
    idle.reset();  // destroys the completion with the guard it carries
    EXPECT_FALSE(invoked);
    EXPECT_TRUE(mutex.try_lock());
}

TEST(AsyncMutex, GuardMovesReleaseExactlyOnce) {
    AsyncMutex first;
    AsyncMutex second;
    auto a = first.try_lock();
    auto b = second.try_lock();
    ASSERT_TRUE(a && b);
    AsyncMutex::Guard moved = std::move(*a);
    a.reset();
    EXPECT_FALSE(first.try_lock()) << "a moved-from guard must not unlock";
    moved = std::move(*b);  // releases `first`, takes over `second`
    EXPECT_TRUE(first.try_lock());
    EXPECT_FALSE(second.try_lock());
    moved.unlock();
    EXPECT_TRUE(second.try_lock());
}

}  // namespace
}  // namespace velmot::runtime
