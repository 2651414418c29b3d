// Elastic blocking pool threads.
#include "runtime/blocking_pool.hpp"

#include <chrono>
#include <string>
#include <system_error>

#include "common/panic.hpp"
#include "runtime/signal_blocked_thread.hpp"

namespace velmot::runtime {

namespace {
constexpr auto k_idle_retirement = std::chrono::seconds(10);
}  // namespace

void BlockingPool::execute(std::unique_ptr<Job> job) {
    std::unique_lock lock(mutex_);
    queue_.push_back(std::move(job));
    if (idle_ > 0) {
        work_ready_.notify_one();
    }
    if (queue_.size() > idle_ + starting_) {
        start_thread(lock);
    }
}

std::size_t BlockingPool::thread_count() const {
    std::lock_guard lock(mutex_);
    return threads_;
}

void BlockingPool::start_thread(std::unique_lock<std::mutex>& lock) {
    try {
        start_signal_blocked_thread([this] { work(); }).detach();
        ++threads_;
        ++starting_;
    } catch (const std::system_error& e) {
        queue_.pop_back();
        lock.unlock();
        panic(std::string("Failed to start a blocking pool thread: ") + e.what());
    }
}

void BlockingPool::work() {
    std::unique_lock lock(mutex_);
    --starting_;
    for (;;) {
        while (!queue_.empty()) {
            auto job = std::move(queue_.front());
            queue_.pop_front();
            lock.unlock();
            job->run();
            job.reset();  // the job's captures die outside the lock
            lock.lock();
        }
        ++idle_;
        const bool got_work =
            work_ready_.wait_for(lock, k_idle_retirement, [&] { return !queue_.empty(); });
        --idle_;
        if (!got_work) {
            --threads_;
            return;
        }
    }
}

}  // namespace velmot::runtime
