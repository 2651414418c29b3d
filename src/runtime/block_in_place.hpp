// block_in_place: runs a blocking closure on the calling thread. On a worker that is running a task
// it first hands the worker's share of the io_context to a stand-in thread and clears the driving
// mark, so the runtime keeps its full number of serving threads and the closure may call block_on.
// On any other thread the closure simply runs.
//
// Stand-ins are kept in a small pool (one per concurrent block_in_place at most, kept idle between
// uses); each serves with `run_one_for` in a short loop while leased, with the driving mark set and
// all signals blocked.
// Thread-safety: StandInPool and block_in_place may be used from any thread.
#pragma once

#include <asio.hpp>

#include <atomic>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <thread>
#include <type_traits>
#include <vector>

#include "runtime/driving.hpp"
#include "runtime/runtime.hpp"
#include "runtime/serving_threads.hpp"

namespace velmot::runtime {

class StandInPool {
public:
    struct StandIn;  // one stand-in thread and its lease flag

    // `serving` counts each stand-in while it is leased.
    StandInPool(asio::io_context& io, ServingThreads& serving);
    ~StandInPool();
    StandInPool(const StandInPool&) = delete;
    StandInPool& operator=(const StandInPool&) = delete;

    // Makes one more thread serve the io_context until release(). Panics when no thread can be
    // started.
    StandIn& acquire();
    // Ends the lease; the stand-in stops serving within one short poll and goes back to the pool.
    void release(StandIn& stand_in) noexcept;
    // Stand-in threads started so far (leased, idle or finishing a poll).
    std::size_t thread_count() const;
    // Stops and joins every stand-in (only private runtimes are ever shut down).
    void shut_down() noexcept;

private:
    void serve(StandIn& stand_in);  // not noexcept: see BlockingPool::Job
    void serve_while_leased(StandIn& stand_in);

    asio::io_context& io_;
    ServingThreads& serving_;
    mutable std::mutex mutex_;
    std::vector<std::unique_ptr<StandIn>> all_;  // owned; never shrinks while the pool lives
    std::vector<StandIn*> idle_;                 // not leased and waiting for a lease
    bool shutting_down_ = false;
};

// Holds a stand-in for the lifetime of the scope.
class StandInLease {
public:
    explicit StandInLease(StandInPool& pool) : pool_(pool), stand_in_(pool.acquire()) {}
    ~StandInLease() { pool_.release(stand_in_); }
    StandInLease(const StandInLease&) = delete;
    StandInLease& operator=(const StandInLease&) = delete;

private:
    StandInPool& pool_;
    StandInPool::StandIn& stand_in_;
};

template <class F>
std::invoke_result_t<F&> Runtime::block_in_place(F fn) {
    if (!current_thread_drives_runtime()) {
        return fn();
    }
    StandInLease lease(stand_ins());
    DrivingScope not_driving(false);
    return fn();
}

}  // namespace velmot::runtime
