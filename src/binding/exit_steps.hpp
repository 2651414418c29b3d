// What the module does when the interpreter exits: each subsystem adds its steps at import, and
// one callable registered with Python's `atexit` runs them in stage order, on the exiting thread,
// with the GIL released, all within one second measured on the monotonic clock. `atexit` runs
// early in every ordinary ending (end of the script, an uncaught exception, sys.exit, a
// KeyboardInterrupt), while the interpreter and the module's threads still work; endings that
// bypass the interpreter (os._exit, SIGKILL, a signal that kills the process) run nothing. The
// steps run once per process.
//
// In a process forked from the one that imported the module, the callable does nothing: the
// parent's threads, timers and queues do not exist there (forked_after_import).
//
// Thread-safety: add_exit_step and register_exit_hook run at import, with the GIL held.
#pragma once

#include <Python.h>

#include <chrono>

#include "runtime/time.hpp"

namespace velmot::binding {

// The order in which exit steps run. Queued console lines are written after the last stage, until
// the same deadline (common/console.hpp).
enum class ExitStage {
    stop_timers = 0,  // no timer call in flight any more
    flush_can = 1,    // queued CAN frames written
};

inline constexpr std::chrono::seconds k_exit_bound{1};

// A step gets the deadline of the whole exit sequence; it must not wait past it.
using ExitStep = void (*)(runtime::Clock::time_point deadline);

// Adds `step` once (a second import adds nothing).
void add_exit_step(ExitStage stage, ExitStep step);

// Registers the callable that runs the steps with `atexit` (once per process). Throws PythonError.
void register_exit_hook();

// True in a process forked from the one that imported the module. The parent's threads do not
// exist there and may have held any of the module's locks at the fork, so nothing of the
// module's inherited state may be touched: objects are not torn down (class_def.hpp).
bool forked_after_import() noexcept;

}  // namespace velmot::binding
