// Cancellation safety: a receive or lock whose cancellation races against a send or an unlock
// from another thread either completes with the value or leaves it where it was.
#include <gtest/gtest.h>

#include <atomic>
#include <future>
#include <optional>

#include <asio/bind_cancellation_slot.hpp>
#include <asio/bind_executor.hpp>
#include <asio/cancellation_signal.hpp>
#include <asio/co_spawn.hpp>
#include <asio/post.hpp>
#include <asio/system_error.hpp>

#include "runtime/async_mutex.hpp"
#include "runtime/channel.hpp"
#include "runtime_sync_test_support.hpp"

namespace velmot::runtime {
namespace {

using testing::ContextThreads;
using testing::ready_in_time;

constexpr int k_rounds = 3000;

// Lets two posted jobs start their racing step together (bounded, so it cannot hang if both
// land on one thread).
class StartLine {
public:
    void arrive_and_wait() {
        arrived_.fetch_add(1);
        for (int spins = 0; arrived_.load() < 2 && spins < 100000; ++spins) {
        }
    }

private:
    std::atomic<int> arrived_{0};
};

// Runs `release` (a send or an unlock) on the pool and the cancellation on the operation's strand
// at the same moment, and returns once both have run.
template <class Strand, class Release>
void race_release_against_cancel(ContextThreads& pool, Strand& strand, Release release,
                                 asio::cancellation_signal& cancel, asio::cancellation_type type) {
    StartLine start;
    std::promise<void> released;
    asio::post(pool.context(), [&] {
        start.arrive_and_wait();
        release();
        released.set_value();
    });
    std::promise<void> emitted;  // the race's locals must outlive the emitting job
    asio::post(strand, [&] {
        start.arrive_and_wait();
        cancel.emit(type);
        emitted.set_value();
    });
    released.get_future().wait();
    emitted.get_future().wait();
}

class CancellationRace : public ::testing::TestWithParam<asio::cancellation_type> {};

TEST_P(CancellationRace, CancelledReceiveLosesNoMessage) {
    ContextThreads pool(3);
    int received = 0;
    int left_queued = 0;
    for (int round = 0; round < k_rounds; ++round) {
        auto [tx, rx] = make_channel<int>();
        auto strand = pool.strand();
        asio::cancellation_signal cancel;
        std::promise<std::pair<std::error_code, std::optional<int>>> outcome;
        rx.async_recv(asio::bind_cancellation_slot(
            cancel.slot(),
            asio::bind_executor(strand, [&](std::error_code ec, std::optional<int> value) {
                outcome.set_value({ec, value});
            })));
        race_release_against_cancel(
            pool, strand, [&, &tx = tx] { EXPECT_TRUE(tx.send(round)); }, cancel, GetParam());
        auto done = outcome.get_future();
        ASSERT_TRUE(ready_in_time(done));
        auto [ec, value] = done.get();
        auto rest = rx.try_recv();
        if (!ec) {
            ASSERT_EQ(value, round);
            EXPECT_EQ(rest.status, TryRecvStatus::empty);
            ++received;
        } else {
            ASSERT_EQ(ec, asio::error::operation_aborted);
            EXPECT_EQ(value, std::nullopt);
            ASSERT_EQ(rest.status, TryRecvStatus::received) << "message lost in round " << round;
            EXPECT_EQ(rest.value, round);
            ++left_queued;
        }
    }
    EXPECT_EQ(received + left_queued, k_rounds);
    RecordProperty("received_by_cancelled_op", received);
}

TEST_P(CancellationRace, CancelledLockKeepsNoLock) {
    ContextThreads pool(3);
    AsyncMutex mutex;
    for (int round = 0; round < k_rounds; ++round) {
        auto held = mutex.try_lock();
        ASSERT_TRUE(held) << "lock kept after round " << round - 1;
        auto strand = pool.strand();
        asio::cancellation_signal cancel;
        std::promise<std::error_code> outcome;
        mutex.async_lock(asio::bind_cancellation_slot(
            cancel.slot(),
            asio::bind_executor(strand, [&](std::error_code ec, AsyncMutex::Guard guard) {
                EXPECT_EQ(guard.owns_lock(), !ec);
                guard.unlock();
                outcome.set_value(ec);
            })));
        race_release_against_cancel(
            pool, strand, [&] { held.reset(); }, cancel, GetParam());
        auto done = outcome.get_future();
        ASSERT_TRUE(ready_in_time(done));
        const std::error_code ec = done.get();
        EXPECT_TRUE(!ec || ec == asio::error::operation_aborted) << ec.message();
        EXPECT_EQ(mutex.waiting(), 0u);
    }
    EXPECT_TRUE(mutex.try_lock());
}

INSTANTIATE_TEST_SUITE_P(Types, CancellationRace,
                         ::testing::Values(asio::cancellation_type::terminal,
                                           asio::cancellation_type::partial,
                                           asio::cancellation_type::total));

// The awaitable form: an aborted task's recv() throws operation_aborted and leaves later messages
// to the next receive.
TEST(SyncCancellation, AbortedTaskReceiveLeavesMessagesQueued) {
    ContextThreads pool(2);
    auto [tx, rx] = make_channel<int>();
    auto strand = pool.strand();
    asio::cancellation_signal cancel;
    std::promise<std::error_code> ended;
    std::promise<void> started;
    asio::co_spawn(
        strand,
        [&rx = rx, &started]() -> asio::awaitable<void> {
            started.set_value();
            co_await rx.recv();
            ADD_FAILURE() << "receive completed without a message";
        },
        asio::bind_cancellation_slot(cancel.slot(), [&](std::exception_ptr error) {
            try {
                if (error) {
                    std::rethrow_exception(error);
                }
                ended.set_value({});
            } catch (const asio::system_error& e) {
                ended.set_value(e.code());
            }
        }));
    started.get_future().wait();
    asio::post(strand, [&] { cancel.emit(asio::cancellation_type::terminal); });
    auto done = ended.get_future();
    ASSERT_TRUE(ready_in_time(done));
    EXPECT_EQ(done.get(), asio::error::operation_aborted);
    ASSERT_TRUE(tx.send(42));
    auto next = rx.try_recv();
    EXPECT_EQ(next.value, 42);
}

}  // namespace
}  // namespace velmot::runtime
