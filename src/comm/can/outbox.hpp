// Outbox: how many frames handed to one CanDeviceAsync its I/O task has not yet written (or given
// up on), and the wait at interpreter exit until every outbox of the process is empty.
//
// The device counts a frame before queuing it; the I/O task counts it off once the write has
// finished, successfully or not. An outbox lives as long as its device or its I/O task, so a
// device dropped just before the exit is still waited for while its task drains the queue.
//
// Blocks: wait_for_empty_outboxes sleeps 1 ms between looks, on the monotonic clock (never on the
// runtime's timers, which may be winding down at exit). Nothing is lost by abandoning it.
// Thread-safety: every function may be called from any thread.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>

#include "runtime/time.hpp"

namespace velmot::comm::can {

class Outbox {
public:
    // A new outbox, listed for wait_for_empty_outboxes.
    static std::shared_ptr<Outbox> create();

    void add_queued() noexcept { pending_.fetch_add(1, std::memory_order_relaxed); }
    void remove_queued() noexcept { pending_.fetch_sub(1, std::memory_order_release); }
    // Frames still to write; 0 once the outbox is abandoned.
    std::uint64_t pending() const noexcept {
        return abandoned_.load(std::memory_order_acquire)
                   ? 0
                   : pending_.load(std::memory_order_acquire);
    }
    // The device's socket is lost: nothing queued will ever be written, so the exit does not
    // wait for it (the loss has been reported instead).
    void abandon() noexcept { abandoned_.store(true, std::memory_order_release); }
    // Forgets the frames still counted (their task has ended without writing them); returns how
    // many.
    std::uint64_t discard_pending() noexcept {
        return pending_.exchange(0, std::memory_order_acq_rel);
    }

private:
    Outbox() = default;
    std::atomic<std::uint64_t> pending_{0};
    std::atomic<bool> abandoned_{false};
};

// Waits until no outbox created by this process holds a frame, or until `deadline`; returns the
// number of frames still pending then. Outboxes inherited from a parent process (after fork) are
// not looked at: their I/O tasks do not exist in the child.
std::uint64_t wait_for_empty_outboxes(runtime::Clock::time_point deadline);

}  // namespace velmot::comm::can
