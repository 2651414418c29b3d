// TimerHandle: the Python handle of one started timer. It reads the timer's shared state, stops
// it, and when the Python object is destroyed stops the timer (warning first if it still ran) and
// removes it from the task registry.
//
// Blocks: stop() waits, with the GIL released and Ctrl+C checked every 50 ms, until a call in
// flight has returned (never for the calling thread's own call); after it no call is made.
// Destroying the handle only marks the timer stopped: it may run at interpreter finalization.
//
// Ownership: one reference to each shared object of the timer; the loop and the registry entry
// hold the others. Slots are dropped without joining a thread or cancelling a task.
// Thread-safety: used under the GIL; the shared atomics are read without locks while the loop
// updates them on another thread.
#pragma once

#include <cstdint>
#include <utility>

#include "binding/module_items.hpp"
#include "binding/ref.hpp"
#include "runtime/time.hpp"
#include "task/task_entry.hpp"
#include "timer/precision.hpp"
#include "timer/timer_state.hpp"

namespace velmot::timer {

class TimerHandleState {
public:
    struct Parts {
        runtime::Clock::time_point start_time;
        std::uint64_t task_id;
        double frequency;
        RunningFlag running;
        task::TaskSlot task_slot;
        ThreadSlot thread_slot;
        TickCounter tick_count;
        TimerPrecision precision;
        task::SharedCallTracker calls;
    };

    explicit TimerHandleState(Parts parts) : parts_(std::move(parts)) {}
    TimerHandleState(TimerHandleState&&) noexcept = default;
    TimerHandleState& operator=(TimerHandleState&&) = delete;
    TimerHandleState(const TimerHandleState&) = delete;
    // The destruction sequence (warning, stop, unregister); nothing for a moved-from value.
    ~TimerHandleState();

    const Parts& parts() const noexcept { return parts_; }

private:
    Parts parts_;
};

// A new TimerHandle object (the class must be built). Throws PythonError.
binding::Ref new_timer_handle(TimerHandleState::Parts parts);

// Module item factory of the TimerHandle class.
binding::Ref timer_handle_class_item(PyObject* module);

}  // namespace velmot::timer
