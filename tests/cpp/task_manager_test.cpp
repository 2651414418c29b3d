// The task registry: ids, counts, stopping, waiting and cleanup. Each test builds its own
// TaskManager, except those about the process-wide objects; tests that raise the process-wide
// shutdown flag run in a child process, because the flag is never cleared.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <limits>
#include <thread>
#include <vector>

#include "runtime/time.hpp"
#include "task/task_id.hpp"
#include "task/task_manager.hpp"

namespace velmot::task {
namespace {

using namespace std::chrono_literals;
using runtime::Clock;

// Registers `timers` timers and `tasks` background tasks under ids 1, 2, ...; returns their flags.
std::vector<RunningFlag> populate(TaskManager& manager, int timers, int tasks) {
    std::vector<RunningFlag> flags;
    for (int i = 0; i < timers + tasks; ++i) {
        flags.push_back(make_running_flag());
        manager.register_task(static_cast<std::uint64_t>(i + 1), flags.back(), make_task_slot(),
                              i < timers ? TaskKind::timer : TaskKind::async);
    }
    return flags;
}

void expect_summary(const StatusSummary& s, std::size_t timers, std::size_t tasks,
                    std::size_t stopped, std::size_t total) {
    EXPECT_EQ(s.running_timers, timers);
    EXPECT_EQ(s.running_tasks, tasks);
    EXPECT_EQ(s.stopped, stopped);
    EXPECT_EQ(s.total, total);
}

// Runs `body` in a re-executed child process (fresh statics, no inherited threads); the child
// exits 0 when no expectation failed.
template <class Body>
void in_child(Body body) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(
        {
            body();
            std::exit(::testing::Test::HasFailure() ? 1 : 0);
        },
        ::testing::ExitedWithCode(0), "");
}

TEST(TaskIds, FreshCounterStartsAtOneAndIsConsecutive) {
    in_child([] {
        EXPECT_EQ(TASK_ID_COUNTER.load(), 1u);
        for (std::uint64_t expected = 1; expected <= 5; ++expected) {
            EXPECT_EQ(next_task_id(), expected);
        }
    });
}

TEST(TaskRegistry, CountsFollowFlagsAndKinds) {
    TaskManager manager;
    expect_summary(manager.status_summary(), 0, 0, 0, 0);
    auto flags = populate(manager, 3, 2);
    expect_summary(manager.status_summary(), 3, 2, 0, 5);
    EXPECT_EQ(manager.running_count(), 5u);

    flags[0]->store(false);  // a timer ended on its own
    flags[4]->store(false);  // so did a task
    expect_summary(manager.status_summary(), 2, 1, 2, 5);
    EXPECT_EQ(manager.running_count(), 3u);
    EXPECT_EQ(manager.count_running_of_kind(TaskKind::timer), 2u);
    EXPECT_EQ(manager.count_running_of_kind(TaskKind::async), 1u);
    EXPECT_EQ(manager.total(), 5u);
}

TEST(TaskRegistry, RegisterReplacesAndUnregisterIgnoresUnknownIds) {
    TaskManager manager;
    auto first = make_running_flag();
    manager.register_task(7, first, make_task_slot(), TaskKind::timer);
    auto replacement = make_running_flag();
    replacement->store(false);
    manager.register_task(7, replacement, make_task_slot(), TaskKind::async);
    expect_summary(manager.status_summary(), 0, 0, 1, 1);
    EXPECT_EQ(first.use_count(), 1) << "the replaced entry keeps its flag";

    manager.unregister(8);
    EXPECT_EQ(manager.total(), 1u);
    manager.unregister(7);
    EXPECT_EQ(manager.total(), 0u);
    EXPECT_EQ(replacement.use_count(), 1);
    manager.unregister(7);
    EXPECT_EQ(manager.total(), 0u);
}

TEST(TaskRegistry, CleanupRemovesOnlyStoppedEntriesAndReleasesThem) {
    TaskManager manager;
    auto flags = populate(manager, 2, 2);
    flags[1]->store(false);
    flags[2]->store(false);
    manager.cleanup();
    expect_summary(manager.status_summary(), 1, 1, 0, 2);
    EXPECT_EQ(flags[1].use_count(), 1);
    EXPECT_EQ(flags[2].use_count(), 1);
    EXPECT_EQ(flags[0].use_count(), 2);
}

TEST(TaskRegistry, WaitAllWithoutRunningEntriesReturnsTrueAtOnce) {
    TaskManager manager;
    for (auto timeout : {std::optional<std::chrono::nanoseconds>{},
                         std::optional<std::chrono::nanoseconds>{0ns}}) {
        auto flags = populate(manager, 1, 1);
        for (auto& flag : flags) {
            flag->store(false);
        }
        const auto before = Clock::now();
        EXPECT_TRUE(manager.wait_all(timeout));
        EXPECT_LT(Clock::now() - before, 5ms) << "must not sleep a poll period";
        manager.cleanup();
        EXPECT_TRUE(manager.wait_all(timeout));  // empty
    }
}

TEST(TaskRegistry, WaitAllTimesOutAtAPollBoundary) {
    TaskManager manager;
    auto flags = populate(manager, 1, 0);
    auto before = Clock::now();
    EXPECT_FALSE(manager.wait_all(0ns));
    EXPECT_LT(Clock::now() - before, 5ms) << "a zero timeout must not sleep";

    before = Clock::now();
    EXPECT_FALSE(manager.wait_all(35ms));
    const auto waited = Clock::now() - before;
    EXPECT_GE(waited, 35ms);
    EXPECT_LT(waited, 500ms);
}

TEST(TaskRegistry, WaitAllSeesAnActivityEndWhileItWaits) {
    TaskManager manager;
    auto flags = populate(manager, 0, 1);
    std::thread ender([flag = flags[0]] {
        std::this_thread::sleep_for(30ms);
        flag->store(false, std::memory_order_release);
    });
    const auto before = Clock::now();
    EXPECT_TRUE(manager.wait_all(std::nullopt));
    EXPECT_GE(Clock::now() - before, 30ms);
    ender.join();
}

TEST(TaskRegistry, StopAllClearsEveryFlagKeepsEntriesAndRaisesShutdown) {
    TaskManager manager;
    EXPECT_FALSE(manager.shutdown_requested());
    auto flags = populate(manager, 2, 1);
    manager.stop_all();
    EXPECT_TRUE(manager.shutdown_requested());
    expect_summary(manager.status_summary(), 0, 0, 3, 3);
    for (auto& flag : flags) {
        EXPECT_FALSE(flag->load());
    }
    const auto before = Clock::now();
    EXPECT_TRUE(manager.wait_all(10s));
    EXPECT_LT(Clock::now() - before, 5ms);

    // Nothing clears the shutdown flag; later entries are still counted as registered.
    populate(manager, 1, 0);
    EXPECT_TRUE(manager.shutdown_requested());
    EXPECT_EQ(manager.running_count(), 1u);
}

TEST(TaskRegistry, ProcessWideRegistryIsOneObjectAndItsShutdownSticks) {
    EXPECT_EQ(&task_manager(), &task_manager());
    in_child([] {
        EXPECT_FALSE(task_manager().shutdown_requested());
        task_manager().stop_all();  // on an empty registry
        EXPECT_TRUE(task_manager().shutdown_requested());
        EXPECT_TRUE(task_manager().wait_all(0ns));
    });
}

TEST(TaskRegistry, MillisecondsConvertExactlyAndSaturate) {
    using std::chrono::nanoseconds;
    EXPECT_EQ(millis_to_duration(0), nanoseconds(0));
    EXPECT_EQ(millis_to_duration(1), nanoseconds(1'000'000));
    EXPECT_EQ(millis_to_duration(1'234'567), nanoseconds(1'234'567'000'000));
    EXPECT_EQ(millis_to_duration(9'223'372'036'854), nanoseconds(9'223'372'036'854'000'000));
    EXPECT_EQ(millis_to_duration(9'223'372'036'855), nanoseconds::max());
    EXPECT_EQ(millis_to_duration(std::numeric_limits<std::uint64_t>::max()), nanoseconds::max());
}

}  // namespace
}  // namespace velmot::task
