// Helpers for the synchronisation-primitive tests: an io_context run by a few signal-blocked
// threads, and bounded waits so that a broken primitive fails a test instead of hanging it.
//
// Thread-safety: ContextThreads is created and destroyed by one thread; its context is shared.
#pragma once

#include <chrono>
#include <csignal>
#include <functional>
#include <future>
#include <thread>
#include <vector>

#include <pthread.h>

#include <asio/executor_work_guard.hpp>
#include <asio/io_context.hpp>
#include <asio/strand.hpp>

namespace velmot::runtime::testing {

// Generous: only a broken primitive takes this long.
inline constexpr std::chrono::seconds k_patience{10};

class ContextThreads {
public:
    explicit ContextThreads(int threads) {
        sigset_t all, previous;
        sigfillset(&all);
        pthread_sigmask(SIG_BLOCK, &all, &previous);  // the workers inherit the full mask
        for (int i = 0; i < threads; ++i) {
            threads_.emplace_back([this] { context_.run(); });
        }
        pthread_sigmask(SIG_SETMASK, &previous, nullptr);
    }
    ~ContextThreads() {
        work_.reset();
        context_.stop();
        for (auto& thread : threads_) {
            thread.join();
        }
    }
    ContextThreads(const ContextThreads&) = delete;
    ContextThreads& operator=(const ContextThreads&) = delete;

    asio::io_context& context() { return context_; }
    asio::strand<asio::io_context::executor_type> strand() { return asio::make_strand(context_); }

private:
    asio::io_context context_;
    asio::executor_work_guard<asio::io_context::executor_type> work_ =
        asio::make_work_guard(context_);
    std::vector<std::thread> threads_;
};

// Polls `condition` until it holds or k_patience ran out.
inline bool eventually(const std::function<bool()>& condition) {
    const auto deadline = std::chrono::steady_clock::now() + k_patience;
    while (!condition()) {
        if (std::chrono::steady_clock::now() > deadline) {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::microseconds(200));
    }
    return true;
}

template <class T>
bool ready_in_time(const std::future<T>& future) {
    return future.wait_for(k_patience) == std::future_status::ready;
}

}  // namespace velmot::runtime::testing
