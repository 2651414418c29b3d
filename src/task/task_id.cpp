// The process-wide task id sequence.
//
// Thread-safety: one sequentially consistent fetch-and-add per id.
#include "task/task_id.hpp"

namespace velmot::task {

// Constant-initialised (no static constructor), so ids are valid from the first instruction.
std::atomic<std::uint64_t> TASK_ID_COUNTER{1};

std::uint64_t next_task_id() noexcept { return TASK_ID_COUNTER.fetch_add(1, std::memory_order_seq_cst); }

}  // namespace velmot::task
