// The process-wide task id sequence.
//
// Thread-safety: one sequentially consistent fetch-and-add per id.
#include "task/task_id.hpp"

namespace velmot::task {

// 64-bit atomics (these ids, timer tick counts, outbox counts) are lock-free instruction sequences
// (ldrexd/strexd on ARMv7), never libatomic's locked emulation, whose lock a child forked while
// another thread held it would find held forever.
static_assert(std::atomic<std::uint64_t>::is_always_lock_free);

// Constant-initialised (no static constructor), so ids are valid from the first instruction.
std::atomic<std::uint64_t> TASK_ID_COUNTER{1};

std::uint64_t next_task_id() noexcept {
    return TASK_ID_COUNTER.fetch_add(1, std::memory_order_seq_cst);
}

}  // namespace velmot::task
