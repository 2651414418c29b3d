// Blocking entry points refuse to run on a thread that drives the runtime, without waiting.
#include <gtest/gtest.h>

#include <functional>
#include <string>

#include "common/panic.hpp"
#include "runtime/async_mutex.hpp"
#include "runtime/channel.hpp"
#include "runtime/driving.hpp"

namespace velmot::runtime {
namespace {

struct BlockingCase {
    const char* name;
    std::function<void()> call;  // would block forever on a non-driving thread
    std::string message;
};

class SyncBlockingOnDrivingThread : public ::testing::TestWithParam<BlockingCase> {};

TEST_P(SyncBlockingOnDrivingThread, PanicsWithTheExactMessage) {
    DrivingScope driving(true);
    try {
        GetParam().call();
        FAIL() << "no panic";
    } catch (const Panic& panic) {
        EXPECT_EQ(panic.message(), GetParam().message);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Calls, SyncBlockingOnDrivingThread,
    ::testing::Values(
        BlockingCase{
            "blocking_lock",
            [] {
                AsyncMutex mutex;
                auto held = mutex.try_lock();
                mutex.blocking_lock();
            },
            "Cannot block the current thread from within a runtime. This happens because a "
            "function "
            "attempted to block the current thread while the thread is being used to drive "
            "asynchronous tasks."},
        BlockingCase{
            "blocking_recv",
            [] {
                auto [tx, rx] = make_channel<int>();
                rx.blocking_recv();
            },
            "Cannot start a runtime from within a runtime. This happens because a function (like "
            "`block_on`) attempted to block the current thread while the thread is being used to "
            "drive asynchronous tasks."}),
    [](const auto& info) { return std::string(info.param.name); });

// A refused blocking_lock queued nothing: the mutex is free afterwards.
TEST(BlockingRefusal, RefusedLockLeavesMutexFree) {
    AsyncMutex mutex;
    {
        DrivingScope driving(true);
        EXPECT_THROW(mutex.blocking_lock(), Panic);
    }
    EXPECT_EQ(mutex.waiting(), 0u);
    EXPECT_TRUE(mutex.try_lock());
}

}  // namespace
}  // namespace velmot::runtime
