// The threads serving the runtime's io_context (workers, leased stand-ins), counted so that the
// process's exit can stop the context and wait, within a bound, until none is inside a handler.
//
// Thread-safety: every member may be called from any thread.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <mutex>

namespace velmot::runtime {

class ServingThreads {
public:
    // Counts the current thread as serving for the lifetime of the scope.
    class Scope {
    public:
        explicit Scope(ServingThreads& threads);
        ~Scope();
        Scope(const Scope&) = delete;
        Scope& operator=(const Scope&) = delete;

    private:
        ServingThreads& threads_;
    };

    // Waits until no thread serves, at most `bound`; returns whether none does. A thread stuck in a
    // handler (one waiting for an interpreter that has finalized never returns) keeps it false.
    bool wait_until_none_for(std::chrono::milliseconds bound) noexcept;

private:
    std::mutex mutex_;
    std::condition_variable none_serving_;
    std::size_t serving_ = 0;  // guarded by mutex_
};

}  // namespace velmot::runtime
