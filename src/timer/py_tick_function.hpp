// PythonTickFunction: the TickFunction of a timer started from Python. It owns the decorated
// callable and the tuple of positional arguments given at the start, and on every tick calls the
// callable with exactly those arguments (no keywords) under the GIL. An exception raised by the
// call is consumed and reported as one line on stderr: "Timer function error: <type>: <str>".
//
// Ownership: both references are owned here; the object is shared by the timer's loop (and, for
// Normal timers, by each tick job). Dropping it without the GIL queues the references on the
// pending-release list.
// Thread-safety: call() may run on any thread that does not hold the GIL; the loops never overlap
// two calls of one timer.
#pragma once

#include <Python.h>

#include "binding/ref.hpp"
#include "timer/tick_function.hpp"

namespace velmot::timer {

class PythonTickFunction final : public TickFunction {
public:
    // `args` must be a tuple.
    PythonTickFunction(binding::Ref callable, binding::Ref args);

    // Not noexcept: taking the GIL may meet the interpreter's pthread_exit during finalization.
    void call(TickGate& gate) override;

private:
    binding::Ref callable_;
    binding::Ref args_;
};

// Writes the "Timer function error: ..." line for the current Python exception and clears it.
// GIL held; an exception must be set.
void report_tick_exception();

}  // namespace velmot::timer
