// Task ids: one process-wide sequence shared by timers and background tasks. The first id handed
// out is 1; an id is never reused within a process.
//
// Thread-safety: next_task_id() may be called from any thread (one atomic fetch-and-add).
#pragma once

#include <atomic>
#include <cstdint>

namespace velmot::task {

// TASK_ID_COUNTER: the next id to hand out. Starts at 1.
extern std::atomic<std::uint64_t> TASK_ID_COUNTER;

// Returns the counter's value and advances it by one (sequentially consistent).
std::uint64_t next_task_id() noexcept;

}  // namespace velmot::task
