// The state a started timer shares between its loop, its TimerHandle and (for `running`) its
// registry entry.
//
// Ownership: reference-counted; each holder keeps one reference.
// Thread-safety: `running` is written with release stores and read with acquire loads;
// `tick_count` is incremented and read with relaxed atomics; a ThreadSlot is read and written
// under its mutex.
#pragma once

#include <pthread.h>

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>

#include "task/task_entry.hpp"

namespace velmot::timer {

using task::RunningFlag;

// Calls made so far (returned or raised).
using TickCounter = std::shared_ptr<std::atomic<std::uint64_t>>;

inline TickCounter make_tick_counter() {
    return std::make_shared<std::atomic<std::uint64_t>>(0);
}

// The OS thread of a High or Realtime timer. The thread is detached when it starts and never
// joined: the slot only records which thread it is.
struct ThreadSlotState {
    std::mutex mutex;
    std::optional<pthread_t> thread;  // guarded by `mutex`
};
using ThreadSlot = std::shared_ptr<ThreadSlotState>;

inline ThreadSlot make_thread_slot() {
    return std::make_shared<ThreadSlotState>();
}

}  // namespace velmot::timer
