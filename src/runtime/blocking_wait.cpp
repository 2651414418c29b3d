// Refusal of blocking waits on threads that drive the runtime.
#include "runtime/blocking_wait.hpp"

#include "common/panic.hpp"
#include "runtime/driving.hpp"

namespace velmot::runtime {

const char* const k_blocking_in_runtime_message =
    "Cannot start a runtime from within a runtime. This happens because a function (like "
    "`block_on`) attempted to block the current thread while the thread is being used to drive "
    "asynchronous tasks.";

void refuse_blocking_on_driving_thread(std::source_location location) {
    if (current_thread_drives_runtime()) {
        panic(k_blocking_in_runtime_message, location);
    }
}

}  // namespace velmot::runtime
