// TickFunction: what a timer loop calls on every tick. The loops are plain C++; the Python side
// supplies the implementation (take the GIL, call the function with its arguments, print and clear
// an exception, release the GIL).
//
// Ownership: loops hold it through a shared_ptr; each tick job of an interval loop holds its own
// reference for its duration, so a job that outlives its loop still has a valid function.
// Thread-safety: call() is made by one thread at a time per timer (a loop never overlaps calls),
// but successive calls may come from different threads (blocking-pool jobs).
#pragma once

#include <memory>

namespace velmot::timer {

class TickFunction {
public:
    virtual ~TickFunction() = default;
    // One call of the timer's function. Never reports failure: the implementation prints it.
    // Not noexcept: a call into a finalizing interpreter may end the thread by forced unwinding.
    virtual void call() = 0;
};

using SharedTickFunction = std::shared_ptr<TickFunction>;

}  // namespace velmot::timer
