// CanDeviceAsync: the non-blocking CAN device. A background task on the runtime owns the socket
// (can_io_task.hpp); callers only touch two unbounded queues: frames to send (send_nonblocking
// never waits) and frames received (taken by one receiver at a time, in arrival order of the
// receivers, through an asynchronous mutex, the receive lock).
//
// Ownership: shared by reference counting (a motor group shares one device with its drivers and
// its feedback receiver). When the last owner lets go, the send queue's only sender goes with it:
// the task writes what is still queued, ends and closes the socket, also on a silent bus. Frames
// queued and not yet written are counted in the device's Outbox, which the interpreter's exit
// waits on (for a bounded time), so a script's last frames reach the bus.
//
// Once the socket is lost (link_loss.hpp), the frames already received are still handed out;
// after them every receive, and every send, fails with the "CAN interface lost: ..." error.
//
// Closing (close()) ends the device for every owner at once: the send queue's sender is dropped
// under the send lock, so no send can slip in after it, the task writes what is queued (for at
// most k_close_bound, then it is aborted) and ends, closing the socket. Sends after that fail
// with device_closed_error(); the memory goes with the last owner as before.
//
// Thread-safety: every member may be called concurrently from any thread; the blocking
// receive_timeout may also be called from a runtime worker (it blocks in place). Sends and close
// serialise on the send lock (held for one queue push, never while waiting).
//
// Blocks: `receive_timeout` until a frame is queued, the I/O task has ended or the time is up, in
// steps of at most 50 ms: each step takes the receive lock, waits and lets the lock go, and the
// InterruptPoll (Ctrl+C, in the Python class) is asked between steps, so it never runs while the
// lock is held. Nothing here touches the GIL: the Python class takes a queued frame with the GIL
// held and releases it only for the wait. `try_receive` never waits, not even for the lock.
// `create` blocks while provisioning runs its `ip` / `sudo` children (interruptible the same way).
// Cancel safety: an abandoned step (time up, interruption, an aborted async receive) takes no
// frame and keeps no lock; the frame stays queued for the next receive.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include <asio/awaitable.hpp>

#include "comm/can/can_message.hpp"
#include "comm/can/link_loss.hpp"
#include "comm/can/outbox.hpp"
#include "common/interrupt_poll.hpp"
#include "common/result.hpp"
#include "runtime/async_mutex.hpp"
#include "runtime/channel.hpp"
#include "runtime/task_handle.hpp"

namespace velmot::comm::can {

// How long close() lets the I/O task write the frames still queued (as the interpreter's exit
// does).
inline constexpr std::chrono::seconds k_close_bound{1};

class CanDeviceAsync {
public:
    // Provisions the interface, opens the socket and starts the I/O task. Must not be called from
    // a thread that drives the runtime (fatal: it would block a worker).
    static Result<std::shared_ptr<CanDeviceAsync>> create(const std::string& interface,
                                                          const InterruptPoll& interrupt = {});

    CanDeviceAsync(const CanDeviceAsync&) = delete;
    CanDeviceAsync& operator=(const CanDeviceAsync&) = delete;

    // Queues the message for the I/O task; fails with the loss once the socket is lost, with
    // "channel closed" once the task has ended and with device_closed_error() after close().
    // Success means queued, not written.
    Result<void> send_nonblocking(CanMessage message) const;
    // The oldest received frame, if one is queued and no other receive holds or waits for the
    // receive lock (nothing then); never waits. The loss once the socket is lost and the queue is
    // drained.
    Result<std::optional<CanMessage>> try_receive() const;
    // The oldest received frame, waiting up to timeout_ms for the receive lock and a frame (0: as
    // try_receive). Nothing on timeout or once the task has ended and the queue is drained (the
    // loss instead, when the socket was lost); interrupted_error() when `interrupt` asked to stop.
    Result<std::optional<CanMessage>> receive_timeout(std::uint64_t timeout_ms,
                                                      const InterruptPoll& interrupt = {}) const;
    // The same for a runtime task, waiting for the lock first and then up to timeout_ms for a
    // frame.
    asio::awaitable<std::optional<CanMessage>> receive_timeout_async(
        std::uint64_t timeout_ms) const;

    const std::string& interface() const noexcept { return interface_; }

    // True once the I/O task has ended: the receive queue then stays empty for good.
    bool io_task_finished() const { return task_.is_finished(); }

    // Stops taking frames, lets the I/O task write the queued ones within k_close_bound (less when
    // `interrupt` asks to stop, looked at every 50 ms), then aborts the task if it is still
    // running and waits until it has ended, its socket closed. Returns the number of queued frames
    // that were not written. A second close returns 0 at once.
    // Blocks: up to k_close_bound plus the abort's few milliseconds; never touches the GIL.
    std::uint64_t close(const InterruptPoll& interrupt = {});
    bool is_closed() const noexcept { return closed_.load(std::memory_order_acquire); }

private:
    struct Incoming {
        explicit Incoming(runtime::Receiver<CanMessage> receiver) : receiver(std::move(receiver)) {}
        runtime::AsyncMutex mutex;
        runtime::Receiver<CanMessage> receiver;  // used only while `mutex` is held
    };

    static std::optional<CanMessage> take_if_queued(Incoming& incoming);
    // Takes the receive lock, then the next frame (nothing once the task has ended and the queue
    // is drained); the lock goes when this ends, also when it is cancelled.
    static asio::awaitable<std::optional<CanMessage>> receive_locked(
        std::shared_ptr<Incoming> incoming);

    CanDeviceAsync(std::string interface, runtime::Sender<CanMessage> outgoing,
                   std::shared_ptr<Outbox> outbox, std::shared_ptr<Incoming> incoming,
                   runtime::TaskHandle<void> task, std::shared_ptr<LinkLoss> loss);

    // The loss when the socket is lost, else `value`.
    Result<std::optional<CanMessage>> unless_lost(std::optional<CanMessage> value) const;

    std::string interface_;
    mutable std::mutex send_mutex_;  // guards outgoing_ against close()
    std::optional<runtime::Sender<CanMessage>>
        outgoing_;  // the only sender: the task ends when it goes
    std::atomic<bool> closed_{false};
    std::shared_ptr<Outbox> outbox_;  // frames queued and not yet written (shared with the task)
    std::shared_ptr<Incoming> incoming_;
    runtime::TaskHandle<void> task_;  // dropping it lets the task finish on its own
    std::shared_ptr<LinkLoss> loss_;  // set by the task when the socket is lost
};

}  // namespace velmot::comm::can
