// The rule for blocking waits on the runtime (block_on, TaskHandle::wait, BlockingHandle::wait):
// they are refused on a thread that drives the runtime, because the tasks queued behind it (maybe
// the very one it waits for) would never run. The refusal is fatal and waits for nothing.
//
// Thread-safety: reads only the calling thread's driving mark.
#pragma once

#include <source_location>

namespace velmot::runtime {

// The exact text of the refusal.
extern const char* const k_blocking_in_runtime_message;

// Panics with k_blocking_in_runtime_message when current_thread_drives_runtime().
void refuse_blocking_on_driving_thread(
    std::source_location location = std::source_location::current());

}  // namespace velmot::runtime
