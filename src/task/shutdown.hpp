// Shutdown on signals: waiting for SIGINT or SIGTERM on the shared runtime, and the shutdown
// sequences of the blocking functions (block_all, block_until, shutdown_all): print the
// "[velmot] " line, ask every registered activity to stop, wait for the registry, print the result.
//
// The signal wait uses the runtime's chaining signal listeners, so the interpreter's own handlers
// (and a pending KeyboardInterrupt) stay in force beside it; the Python layer consumes that
// pending interrupt after the wait.
//
// Blocks: the await_* functions block the calling thread on the runtime (callers release the
// GIL); they are refused with a Panic on a thread that drives the runtime, before waiting. A
// signal arriving while nobody waits is not remembered: only deliveries after the wait started
// count.
// Thread-safety: every function may be called from any thread that does not drive the runtime.
#pragma once

#include <asio/awaitable.hpp>

#include <csignal>
#include <optional>
#include <string>

#include "runtime/signal_listener.hpp"
#include "runtime/time.hpp"

namespace velmot::task {

// Held for the whole of block_all / block_until: SIGINT and SIGTERM are then shutdown requests
// (a first one ends the signal wait, a second one the registry wait) and never take their default
// action, also between the two waits. Outside it they act as before velmot listened.
class ShutdownSignalScope {
    runtime::SignalInterest sigint_{SIGINT};
    runtime::SignalInterest sigterm_{SIGTERM};
};

// Resolves to "SIGINT" or "SIGTERM", whichever is delivered first after the call; when both are
// pending, either may win (they are looked at in random order). Panics with "Failed to register
// SIGINT handler: ..." (or SIGTERM) when a listener cannot be created.
asio::awaitable<std::string> wait_for_shutdown_signal();

// Waits for a shutdown signal, prints "\n[velmot] Received NAME, initiating graceful
// shutdown...\n", then stops every activity. Returns NAME.
std::string await_signal_then_stop_all();

// Waits for a shutdown signal or until `wait` has passed (no limit when absent), prints
// "\n[velmot] Stopping (reason: REASON), initiating graceful shutdown...\n", then stops every
// activity. Returns REASON: "signal:SIGINT", "signal:SIGTERM" or "timeout".
std::string await_signal_or_time_then_stop_all(std::optional<runtime::Clock::duration> wait);

// Waits until the registry reports nothing running and no timer call in flight (no limit when
// `timeout` is absent) and prints "[velmot] All tasks stopped successfully\n" or "[velmot] Shutdown
// timed out, some tasks may still be running\n". Returns whether that happened in time. A SIGINT
// or SIGTERM delivered during the wait ends it as the timeout would (a second Ctrl+C always gets
// a script out of a call that does not return).
bool wait_all_and_report(std::optional<runtime::Clock::duration> timeout);

}  // namespace velmot::task
