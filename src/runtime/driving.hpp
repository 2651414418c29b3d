// Marks the threads that are currently driving the runtime (running its tasks), so that blocking
// waits can refuse to run there: a worker that blocks starves the tasks queued behind it.
//
// Thread-safety: the mark is thread-local; each thread sees and changes only its own.
#pragma once

namespace velmot::runtime {

// True while the calling thread runs the runtime's event loop outside block_in_place.
bool current_thread_drives_runtime() noexcept;

// Sets the calling thread's mark for the lifetime of the scope and restores the previous value.
class DrivingScope {
public:
    explicit DrivingScope(bool driving) noexcept;
    ~DrivingScope();
    DrivingScope(const DrivingScope&) = delete;
    DrivingScope& operator=(const DrivingScope&) = delete;

private:
    bool previous_;
};

}  // namespace velmot::runtime
