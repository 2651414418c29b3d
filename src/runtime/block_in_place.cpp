// Stand-in threads for block_in_place.
#include "runtime/block_in_place.hpp"

#include <chrono>
#include <string>
#include <system_error>

#include "common/panic.hpp"
#include "runtime/signal_blocked_thread.hpp"

namespace velmot::runtime {

namespace {
// How long a stand-in waits for a handler before it looks at its lease again: bounds how long it
// keeps serving after release (harmless: it is one extra serving thread for that moment).
constexpr auto k_lease_poll = std::chrono::milliseconds(5);
}  // namespace

struct StandInPool::StandIn {
    std::atomic<bool> leased{false};
    std::condition_variable wake;  // waited on with the pool's mutex
    std::thread thread;
};

StandInPool::StandInPool(asio::io_context& io, ServingThreads& serving)
    : io_(io), serving_(serving) {}

StandInPool::~StandInPool() {
    shut_down();
}

StandInPool::StandIn& StandInPool::acquire() {
    std::unique_lock lock(mutex_);
    if (!idle_.empty()) {
        StandIn* stand_in = idle_.back();
        idle_.pop_back();
        stand_in->leased.store(true);
        stand_in->wake.notify_one();
        return *stand_in;
    }
    // With none idle, an unleased stand-in is one still finishing its last poll after a release:
    // leasing it again (serve() sees the lease) saves starting a thread per back-to-back call.
    for (auto& draining : all_) {
        bool released = false;
        if (draining->leased.compare_exchange_strong(released, true)) {
            return *draining;
        }
    }
    auto owned = std::make_unique<StandIn>();
    StandIn& stand_in = *owned;
    stand_in.leased.store(true);
    try {
        stand_in.thread = start_signal_blocked_thread([this, &stand_in] { serve(stand_in); });
    } catch (const std::system_error& e) {
        lock.unlock();
        panic(std::string("Failed to start a thread for block_in_place: ") + e.what());
    }
    all_.push_back(std::move(owned));
    return stand_in;
}

void StandInPool::release(StandIn& stand_in) noexcept {
    stand_in.leased.store(false);
}

std::size_t StandInPool::thread_count() const {
    std::lock_guard lock(mutex_);
    return all_.size();
}

void StandInPool::shut_down() noexcept {
    {
        std::lock_guard lock(mutex_);
        if (shutting_down_) {
            return;
        }
        shutting_down_ = true;
        for (auto& stand_in : all_) {
            stand_in->wake.notify_one();
        }
    }
    // No acquire() can add threads now; all_ is stable.
    for (auto& stand_in : all_) {
        if (stand_in->thread.joinable()) {
            stand_in->thread.join();
        }
    }
}

void StandInPool::serve(StandIn& stand_in) {
    std::unique_lock lock(mutex_);
    while (!shutting_down_) {
        lock.unlock();
        serve_while_leased(stand_in);
        lock.lock();
        if (shutting_down_) {
            break;
        }
        if (stand_in.leased.load()) {
            continue;  // leased again while finishing its last poll
        }
        idle_.push_back(&stand_in);
        stand_in.wake.wait(lock, [&] { return shutting_down_ || stand_in.leased.load(); });
    }
}

void StandInPool::serve_while_leased(StandIn& stand_in) {
    DrivingScope driving(true);
    ServingThreads::Scope serving(serving_);
    while (stand_in.leased.load() && !io_.stopped()) {
        try {
            io_.run_one_for(k_lease_poll);
        } catch (const std::exception& e) {
            print_panic_notice(e.what(), std::source_location::current());
        }
    }
}

}  // namespace velmot::runtime
