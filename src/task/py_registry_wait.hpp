// The registry waits of Python-facing calls (shutdown_all, TaskManager.wait_all and shutdown):
// the GIL is released while waiting and the interpreter's signal check runs every 50 ms, so
// Ctrl+C raises KeyboardInterrupt there. Also the conversion of their millisecond arguments.
//
// Blocks: until nothing runs and no timer call is in flight (never the caller's own call), or the
// timeout; GIL released; Ctrl+C ends it. Nothing is lost when it is abandoned.
// Thread-safety: on a thread that holds the GIL through an entry point.
#pragma once

#include <cstdint>
#include <optional>

#include "runtime/time.hpp"

namespace velmot::task {

// None (no limit) or an exact millisecond count.
std::optional<runtime::Clock::duration> optional_millis(std::optional<std::uint64_t> ms);

// The registry's wait_all, within `timeout_ms` (None: no limit).
bool wait_all_checking_signals(std::optional<std::uint64_t> timeout_ms);

// stop_all, then wait_all_checking_signals.
bool stop_all_and_wait(std::optional<std::uint64_t> timeout_ms);

}  // namespace velmot::task
