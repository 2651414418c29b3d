// Waits that release the GIL and still let Ctrl+C through.
//
// An entry point hands a core call that takes an InterruptPoll to wait_without_gil: the call runs
// with the GIL released (AllowThreads), so other Python threads, timer calls and background tasks
// keep running. Whenever the core call asks its poll (at least every 50 ms, never while it holds a
// lock of its own), the poll takes the GIL back (GilGuard), runs the interpreter's signal check
// (run_signal_handlers) and lets the GIL go again. When a handler raised (KeyboardInterrupt), the
// poll answers "stop", the core call undoes its wait and returns, and once the GIL is held again
// the handler's exception is raised in place of the call's result.
//
// Blocks: as long as the core call waits; the GIL is released meanwhile; Ctrl+C ends the wait
// within about 50 ms when it runs on the main thread (the only thread where handlers run).
// Cancel safety: that of the core call (its header says what an interrupted wait keeps).
// Thread-safety: inside an entry point, on its thread, like AllowThreads.
#pragma once

#include <Python.h>

#include <utility>

#include "binding/gil.hpp"
#include "binding/ref.hpp"
#include "common/interrupt_poll.hpp"

namespace velmot::binding {

// The poll of one wait and the exception a signal handler raised during it.
class SignalChecks {
public:
    SignalChecks();
    SignalChecks(const SignalChecks&) = delete;
    SignalChecks& operator=(const SignalChecks&) = delete;

    // Called without the GIL by the core wait; see the file comment.
    const InterruptPoll& poll() const noexcept { return poll_; }

    // Raises the exception a handler raised during the wait (throws PythonError); does nothing when
    // none did. Needs the GIL.
    void raise_if_interrupted();

private:
    // Takes the GIL and runs the signal check; true (the exception kept) when a handler raised.
    bool check();

    InterruptPoll poll_;
    bool interrupted_ = false;
    Ref type_;
    Ref value_;
    Ref traceback_;
};

// Runs `wait(poll)` with the GIL released and returns its result; raises instead when a signal
// handler raised during the wait. Needs the GIL (it is held again when this returns).
template <class Wait>
auto wait_without_gil(Wait&& wait) {
    SignalChecks checks;
    auto result = [&] {
        AllowThreads released;
        return std::forward<Wait>(wait)(checks.poll());
    }();
    checks.raise_if_interrupted();
    return result;
}

}  // namespace velmot::binding
