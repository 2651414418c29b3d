// Unbounded channel: closure reporting, send after the receiver is gone, per-sender order with
// concurrent producers.
#include <gtest/gtest.h>

#include <future>
#include <memory>
#include <optional>
#include <thread>
#include <utility>
#include <vector>

#include <asio/co_spawn.hpp>
#include <asio/detached.hpp>

#include "runtime/channel.hpp"
#include "runtime_sync_test_support.hpp"

namespace velmot::runtime {
namespace {

using testing::ContextThreads;
using testing::ready_in_time;

enum class RecvMode { task, blocking, nonblocking };

// Receives one item through `mode`; nullopt for closure. A nonblocking receive that finds the
// channel merely empty is a failure here (every test sends before receiving).
std::optional<int> receive(ContextThreads& pool, Receiver<int>& rx, RecvMode mode) {
    switch (mode) {
        case RecvMode::task: {
            std::promise<std::optional<int>> got;
            asio::co_spawn(
                pool.strand(),
                [&]() -> asio::awaitable<void> { got.set_value(co_await rx.recv()); },
                asio::detached);
            auto future = got.get_future();
            EXPECT_TRUE(ready_in_time(future));
            return future.get();
        }
        case RecvMode::blocking:
            return rx.blocking_recv();
        case RecvMode::nonblocking: {
            auto result = rx.try_recv();
            EXPECT_NE(result.status, TryRecvStatus::empty);
            EXPECT_EQ(result.status == TryRecvStatus::received, result.value.has_value());
            return result.value;
        }
    }
    return std::nullopt;
}

class ChannelClosure : public ::testing::TestWithParam<RecvMode> {};

TEST_P(ChannelClosure, DrainsQueueThenReportsClosure) {
    ContextThreads pool(2);
    auto [tx, rx] = make_channel<int>();
    {
        Sender<int> copy = tx;
        ASSERT_TRUE(tx.send(1));
        ASSERT_TRUE(copy.send(2));
        ASSERT_TRUE(tx.send(3));
        Sender<int> dropped = std::move(tx);
    }
    for (int expected : {1, 2, 3}) {
        EXPECT_EQ(receive(pool, rx, GetParam()), expected);
    }
    EXPECT_EQ(receive(pool, rx, GetParam()), std::nullopt);
    EXPECT_EQ(receive(pool, rx, GetParam()), std::nullopt) << "closure is permanent";
}

INSTANTIATE_TEST_SUITE_P(Modes, ChannelClosure,
                         ::testing::Values(RecvMode::task, RecvMode::blocking,
                                           RecvMode::nonblocking));

class ChannelWake : public ::testing::TestWithParam<RecvMode> {};

// A receive already waiting is woken by the last sender going away, not by an earlier one.
TEST_P(ChannelWake, LastSenderDropWakesWaitingReceiver) {
    ContextThreads pool(2);
    auto [tx, rx] = make_channel<int>();
    auto second = std::make_unique<Sender<int>>(tx);
    auto waiting =
        std::async(std::launch::async, [&, mode = GetParam()] { return receive(pool, rx, mode); });
    { Sender<int> first = std::move(tx); }
    EXPECT_EQ(waiting.wait_for(std::chrono::milliseconds(50)), std::future_status::timeout);
    second.reset();
    ASSERT_TRUE(ready_in_time(waiting));
    EXPECT_EQ(waiting.get(), std::nullopt);
}

INSTANTIATE_TEST_SUITE_P(Modes, ChannelWake, ::testing::Values(RecvMode::task, RecvMode::blocking));

TEST(Channel, SendAfterReceiverIsGoneFailsAndQueuedMessagesAreReleased) {
    auto [tx, rx] = make_channel<std::shared_ptr<int>>();
    auto payload = std::make_shared<int>(7);
    ASSERT_TRUE(tx.send(payload));
    EXPECT_EQ(payload.use_count(), 2);
    EXPECT_FALSE(tx.is_closed());
    { Receiver<std::shared_ptr<int>> gone = std::move(rx); }
    EXPECT_EQ(payload.use_count(), 1) << "queued messages die with the receiver";
    EXPECT_TRUE(tx.is_closed());
    auto sent = tx.send(payload);
    ASSERT_FALSE(sent);
    EXPECT_EQ(sent.error().kind, ErrorKind::broken_pipe);
    EXPECT_EQ(sent.error().message, "channel closed");
    EXPECT_EQ(payload.use_count(), 1);
}

TEST(Channel, TryRecvDistinguishesEmptyFromDisconnected) {
    auto [tx, rx] = make_channel<int>();
    EXPECT_EQ(rx.try_recv().status, TryRecvStatus::empty);
    ASSERT_TRUE(tx.send(5));
    { Sender<int> gone = std::move(tx); }
    auto first = rx.try_recv();
    EXPECT_EQ(first.status, TryRecvStatus::received);
    EXPECT_EQ(first.value, 5);
    EXPECT_EQ(rx.try_recv().status, TryRecvStatus::disconnected);
}

TEST(Channel, KeepsPerSenderOrderWithConcurrentProducers) {
    constexpr int k_producers = 4;
    constexpr int k_per_producer = 20000;
    ContextThreads pool(2);
    auto [tx, rx] = make_channel<std::pair<int, int>>();

    std::promise<std::vector<int>> counts;
    asio::co_spawn(
        pool.strand(),
        [&rx = rx, &counts]() -> asio::awaitable<void> {
            std::vector<int> next(k_producers, 0);  // next expected sequence number per producer
            while (auto message = co_await rx.recv()) {
                auto [producer, sequence] = *message;
                EXPECT_EQ(sequence, next[producer]) << "producer " << producer;
                next[producer] = sequence + 1;
            }
            counts.set_value(next);
        },
        asio::detached);

    std::vector<std::thread> producers;
    for (int p = 0; p < k_producers; ++p) {
        producers.emplace_back([p, sender = tx] {
            for (int i = 0; i < k_per_producer; ++i) {
                ASSERT_TRUE(sender.send({p, i}));
            }
        });
    }
    { Sender<std::pair<int, int>> last_of_main = std::move(tx); }
    for (auto& producer : producers) {
        producer.join();
    }
    auto future = counts.get_future();
    ASSERT_TRUE(ready_in_time(future));
    EXPECT_EQ(future.get(), std::vector<int>(k_producers, k_per_producer));
}

}  // namespace
}  // namespace velmot::runtime
