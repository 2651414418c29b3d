// SignalListener: chaining to the previously installed handler, fan-out to every listener, and
// deliveries that arrive while nobody waits.
#include <gtest/gtest.h>

#include <atomic>
#include <csignal>
#include <future>
#include <mutex>
#include <optional>
#include <set>
#include <thread>

#include <asio/bind_executor.hpp>
#include <asio/co_spawn.hpp>
#include <asio/detached.hpp>
#include <asio/io_context.hpp>
#include <asio/post.hpp>
#include <asio/strand.hpp>

#include "runtime/signal_listener.hpp"
#include "runtime_sync_test_support.hpp"

namespace velmot::runtime {
namespace {

using testing::ContextThreads;
using testing::ready_in_time;

std::atomic<int> g_previous_calls[NSIG];

void counting_plain(int signo) {
    g_previous_calls[signo].fetch_add(1);
}
void counting_siginfo(int signo, siginfo_t*, void*) {
    g_previous_calls[signo].fetch_add(1);
}

struct SignalCase {
    int signo;
    bool siginfo_form;  // the previous handler uses SA_SIGINFO
};

// Installs the counting "previous" handler once per signal, before any listener of the signal
// exists in this process, as the interpreter does before the module is imported.
void install_previous_handler(const SignalCase& c) {
    static std::mutex mutex;
    static std::set<int> done;
    std::lock_guard lock(mutex);
    if (!done.insert(c.signo).second) {
        return;
    }
    struct sigaction action {};
    sigemptyset(&action.sa_mask);
    if (c.siginfo_form) {
        action.sa_sigaction = counting_siginfo;
        action.sa_flags = SA_SIGINFO;
    } else {
        action.sa_handler = counting_plain;
    }
    ASSERT_EQ(sigaction(c.signo, &action, nullptr), 0);
}

std::future<std::error_code> start_recv(SignalListener& listener, ContextThreads& pool) {
    auto promise = std::make_shared<std::promise<std::error_code>>();
    listener.async_recv(asio::bind_executor(
        pool.strand(), [promise](std::error_code ec) { promise->set_value(ec); }));
    return promise->get_future();
}

SignalListener make_listener(ContextThreads& pool, int signo) {
    auto created = SignalListener::create(pool.context().get_executor(), signo);
    EXPECT_TRUE(created) << created.error().message;
    return std::move(created).value();
}

class Signals : public ::testing::TestWithParam<SignalCase> {
protected:
    void SetUp() override { install_previous_handler(GetParam()); }
    int signo() const { return GetParam().signo; }
};

TEST_P(Signals, EveryWaitingListenerWakesAndPreviousHandlerStillRuns) {
    ContextThreads first(1);
    ContextThreads second(2);
    auto a = make_listener(first, signo());
    auto b = make_listener(second, signo());
    auto idle = make_listener(second, signo());  // not waiting when the signal comes
    auto woke_a = start_recv(a, first);
    auto woke_b = start_recv(b, second);
    const int previous_before = g_previous_calls[signo()].load();

    ASSERT_EQ(raise(signo()), 0);
    EXPECT_EQ(g_previous_calls[signo()].load(), previous_before + 1);
    ASSERT_TRUE(ready_in_time(woke_a));
    ASSERT_TRUE(ready_in_time(woke_b));
    EXPECT_FALSE(woke_a.get());
    EXPECT_FALSE(woke_b.get());

    auto late = start_recv(idle, second);
    ASSERT_TRUE(ready_in_time(late)) << "a delivery while nobody waited was lost";
    EXPECT_FALSE(late.get());
}

TEST_P(Signals, DeliveryBeforeRecvIsKeptAndEarlierOnesAreNot) {
    ContextThreads pool(2);
    ASSERT_EQ(raise(signo()), 0);  // before the listener exists: not reported
    auto listener = make_listener(pool, signo());
    auto pending = start_recv(listener, pool);
    EXPECT_EQ(pending.wait_for(std::chrono::milliseconds(50)), std::future_status::timeout);
    ASSERT_EQ(raise(signo()), 0);
    ASSERT_TRUE(ready_in_time(pending));
    EXPECT_FALSE(pending.get());

    // Two deliveries while nobody waits: the task's next recv() completes at once (they may
    // coalesce into one completion).
    ASSERT_EQ(raise(signo()), 0);
    ASSERT_EQ(raise(signo()), 0);
    std::promise<void> received;
    asio::co_spawn(
        pool.strand(),
        [&]() -> asio::awaitable<void> {
            co_await listener.recv();
            received.set_value();
        },
        asio::detached);
    auto future = received.get_future();
    EXPECT_TRUE(ready_in_time(future));
}

TEST_P(Signals, DestroyingAListenerAbortsItsWait) {
    ContextThreads pool(1);
    auto listener = std::make_unique<SignalListener>(make_listener(pool, signo()));
    auto pending = start_recv(*listener, pool);
    listener.reset();
    ASSERT_TRUE(ready_in_time(pending));
    EXPECT_EQ(pending.get(), asio::error::operation_aborted);
}

INSTANTIATE_TEST_SUITE_P(Handlers, Signals,
                         ::testing::Values(SignalCase{SIGINT, false}, SignalCase{SIGTERM, true}),
                         [](const auto& info) {
                             return info.param.signo == SIGINT ? "SIGINT" : "SIGTERM";
                         });

// Every listener's pipe read may take the one byte a delivery writes. A listener that is closed
// after its read took the byte, but before the read's handler ran, must still pass the wake-up on.
// The reader's strand is kept busy on another thread, so its read handler waits there while this
// thread performs the read and closes the reader.
TEST(SignalListenerFanOut, ByteTakenByAClosingListenerStillWakesTheOthers) {
    asio::io_context reader_io;
    asio::io_context waiter_io;
    auto strand = asio::make_strand(reader_io);
    auto reader_created = SignalListener::create(strand, SIGUSR1);
    auto waiter_created = SignalListener::create(waiter_io.get_executor(), SIGUSR2);
    ASSERT_TRUE(reader_created && waiter_created);
    auto reader = std::make_unique<SignalListener>(std::move(reader_created).value());
    SignalListener waiter = std::move(waiter_created).value();
    std::optional<std::error_code> waiter_done;
    reader->async_recv(asio::bind_executor(reader_io, [](std::error_code) {}));
    waiter.async_recv(
        asio::bind_executor(waiter_io, [&](std::error_code ec) { waiter_done = ec; }));

    std::promise<void> entered;
    std::promise<void> leave;
    asio::post(strand, [&] {
        entered.set_value();
        leave.get_future().wait();
    });
    std::thread busy([&] { reader_io.run_one(); });  // runs the handler that occupies the strand
    entered.get_future().wait();

    ASSERT_EQ(raise(SIGUSR2), 0);
    EXPECT_EQ(reader_io.poll_one(), 1u);  // the reader's read takes the byte
    reader.reset();
    leave.set_value();
    busy.join();
    reader_io.poll();
    waiter_io.poll();
    EXPECT_EQ(waiter_done, std::error_code())
        << "the delivery read by the closed listener was lost";
}

TEST(SignalListenerCreate, InvalidSignalIsAnError) {
    ContextThreads pool(1);
    for (int signo : {0, SIGKILL, SIGSTOP, NSIG, -3}) {
        auto created = SignalListener::create(pool.context().get_executor(), signo);
        ASSERT_FALSE(created) << signo;
        EXPECT_TRUE(is_io_kind(created.error().kind));
        EXPECT_FALSE(created.error().message.empty());
    }
}

}  // namespace
}  // namespace velmot::runtime
