// TickFunction: what a timer loop calls on every tick, and the TickGate each call passes through.
// The loops are plain C++; the Python side supplies the implementation (take the GIL, open the
// gate, call the function with its arguments, print and clear an exception, release the GIL).
//
// The gate is opened at the last moment before the call (with the GIL held), so that a stop made
// while the call waited for the GIL still wins: the call is then not made. An open gate marks the
// timer's call in flight until the gate is destroyed (see task::CallTracker): stopping the timer
// waits for that.
//
// Ownership: loops hold the function through a shared_ptr; each tick job of an interval loop holds
// its own reference for its duration, so a job that outlives its loop still has a valid function.
// Thread-safety: call() is made by one thread at a time per timer (a loop never overlaps calls),
// but successive calls may come from different threads (blocking-pool jobs). A gate belongs to
// the thread that made it.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>

#include "task/call_tracker.hpp"

namespace velmot::timer {

class TickGate {
public:
    // `tick_count` counts the calls made (returned or raised): an opened gate adds one as it
    // closes, before the call stops being in flight, so a stopped timer's count is final.
    TickGate(task::CallTracker& calls, const std::atomic<bool>& running,
             std::atomic<std::uint64_t>& tick_count)
        : calls_(calls), running_(running), tick_count_(tick_count) {}
    ~TickGate() {
        if (!open_) {
            return;
        }
        tick_count_.fetch_add(1, std::memory_order_relaxed);
        calls_.end();
    }
    TickGate(const TickGate&) = delete;
    TickGate& operator=(const TickGate&) = delete;

    // Marks the call in flight and returns true if the timer still runs; false (nothing marked)
    // once it was stopped. At most once per gate.
    bool open() {
        open_ = calls_.try_begin(running_);
        return open_;
    }

private:
    task::CallTracker& calls_;
    const std::atomic<bool>& running_;
    std::atomic<std::uint64_t>& tick_count_;
    bool open_ = false;
};

class TickFunction {
public:
    virtual ~TickFunction() = default;
    // One call of the timer's function, made only if `gate.open()` says the timer still runs. Never
    // reports a failure of the function: the implementation prints it. Not noexcept: a call into a
    // finalizing interpreter may end the thread by forced unwinding.
    virtual void call(TickGate& gate) = 0;
};

using SharedTickFunction = std::shared_ptr<TickFunction>;

}  // namespace velmot::timer
