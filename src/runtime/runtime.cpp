// Runtime construction, worker threads and the lazily built process-wide instance.
#include "runtime/runtime.hpp"

#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <mutex>
#include <string>
#include <system_error>

#include "common/panic.hpp"
#include "common/realtime_mode.hpp"
#include "runtime/driving.hpp"
#include "runtime/signal_blocked_thread.hpp"

namespace velmot::runtime {

namespace {

// The process-wide runtime; allocated once by get_runtime() and never freed. std::atomic of a
// pointer and std::mutex have trivial destructors, so nothing here runs at exit.
std::atomic<Runtime*> RUNTIME{nullptr};
std::mutex runtime_init_mutex;
bool runtime_poisoned = false;  // guarded by runtime_init_mutex
pid_t runtime_owner_pid = 0;    // set with RUNTIME; a forked child has none of its threads

// How long exit waits for the serving threads to leave their handlers. Normally they leave at once;
// the bound is reached only when one is stuck (on an interpreter that has finalized, for one).
constexpr auto k_exit_wait = std::chrono::milliseconds(200);

void stop_runtime_at_exit() {
    Runtime* runtime = RUNTIME.load(std::memory_order_acquire);
    if (runtime != nullptr && ::getpid() == runtime_owner_pid) {
        (void)runtime->stop_and_wait_for(k_exit_wait);
    }
}

// Builds Asio's error categories (if nothing has yet) and then registers the exit hook: exit runs
// handlers in the reverse order of registration, so the hook runs before their destructors.
void stop_runtime_before_asio_categories_die() {
    (void)asio::error::get_system_category();
    (void)asio::error::get_misc_category();
    (void)asio::error::get_netdb_category();
    (void)asio::error::get_addrinfo_category();
    (void)std::atexit(&stop_runtime_at_exit);
}

}  // namespace

Runtime::Runtime(std::size_t worker_count)
    : work_(asio::make_work_guard(io_)),
      blocking_pool_(new BlockingPool()),
      stand_ins_(std::make_unique<StandInPool>(io_, serving_)) {
    start_workers(worker_count == 0 ? 1 : worker_count);
}

Runtime::~Runtime() {
    stop_and_join();
}

void Runtime::start_workers(std::size_t count) {
    workers_.reserve(count);
    try {
        for (std::size_t i = 0; i < count; ++i) {
            workers_.push_back(start_signal_blocked_thread([this] { run_worker(); }));
        }
    } catch (const std::system_error&) {
        stop_and_join();  // the destructor does not run for a half-built object
        throw;
    }
}

void Runtime::stop_and_join() noexcept {
    work_.reset();
    io_.stop();
    stand_ins_->shut_down();
    for (auto& worker : workers_) {
        if (worker.joinable()) {
            worker.join();
        }
    }
}

void Runtime::detach_workers() noexcept {
    for (auto& worker : workers_) {
        worker.detach();
    }
}

bool Runtime::stop_and_wait_for(std::chrono::milliseconds bound) noexcept {
    io_.stop();
    return serving_.wait_until_none_for(bound);
}

void Runtime::run_worker() {
    // Under the opt-in real-time mode the workers (CAN I/O, feedback receivers) run under
    // SCHED_FIFO just below the timer threads, so a frame a timer call queued leaves at once.
    enter_realtime_worker(realtime_settings());
    DrivingScope driving(true);
    ServingThreads::Scope serving(serving_);
    // A handler that throws ends only that handler: the worker reports it and serves on.
    while (!io_.stopped()) {
        try {
            io_.run();
        } catch (const std::exception& e) {
            print_panic_notice(e.what(), std::source_location::current());
        }
    }
}

Runtime& get_runtime() {
    if (Runtime* runtime = RUNTIME.load(std::memory_order_acquire)) {
        return *runtime;
    }
    std::lock_guard lock(runtime_init_mutex);
    if (runtime_poisoned) {
        panic("Lazy instance has previously been poisoned");
    }
    if (Runtime* runtime = RUNTIME.load(std::memory_order_relaxed)) {
        return *runtime;
    }
    Runtime* runtime = nullptr;
    try {
        runtime = new Runtime(available_parallelism());
    } catch (const std::exception& e) {
        runtime_poisoned = true;
        panic(std::string("Failed to create the async runtime: ") + e.what());
    }
    runtime->detach_workers();
    runtime_owner_pid = ::getpid();
    RUNTIME.store(runtime, std::memory_order_release);
    stop_runtime_before_asio_categories_die();
    return *runtime;
}

bool runtime_started() noexcept {
    return RUNTIME.load(std::memory_order_acquire) != nullptr;
}

}  // namespace velmot::runtime
