// CanDeviceAsync: construction (provisioning, socket, I/O task), the queue operations and the
// stepped receive wait.
#include "comm/can/can_device_async.hpp"

#include <algorithm>
#include <string>
#include <thread>
#include <utility>

#include "comm/can/can_device.hpp"
#include "comm/can/can_io_task.hpp"
#include "comm/can/device_closed.hpp"
#include "comm/can/interface_provisioning.hpp"
#include "common/console.hpp"
#include "runtime/blocking_wait.hpp"
#include "runtime/runtime.hpp"
#include "runtime/time.hpp"

namespace velmot::comm::can {

namespace {
constexpr ConsoleKind k_close_kind{"can: frames not written at close"};
}  // namespace

// A frame already queued, taken without a trip through the runtime. try_lock succeeds only when
// nobody holds or waits for the receive lock, so no waiting receiver is overtaken.
std::optional<CanMessage> CanDeviceAsync::take_if_queued(Incoming& incoming) {
    if (auto guard = incoming.mutex.try_lock()) {
        return incoming.receiver.try_recv().value;
    }
    return std::nullopt;
}

CanDeviceAsync::CanDeviceAsync(std::string interface, runtime::Sender<CanMessage> outgoing,
                               std::shared_ptr<Outbox> outbox, std::shared_ptr<Incoming> incoming,
                               runtime::TaskHandle<void> task, std::shared_ptr<LinkLoss> loss)
    : interface_(std::move(interface)),
      outgoing_(std::in_place, std::move(outgoing)),
      outbox_(std::move(outbox)),
      incoming_(std::move(incoming)),
      task_(std::move(task)),
      loss_(std::move(loss)) {}

Result<std::shared_ptr<CanDeviceAsync>> CanDeviceAsync::create(const std::string& interface,
                                                               const InterruptPoll& interrupt) {
    runtime::refuse_blocking_on_driving_thread();
    if (auto ready = ensure_can_interface(interface, interrupt); !ready) {
        return std::move(ready).error();
    }
    auto& rt = runtime::get_runtime();
    auto socket = CanDevice::open(interface, rt.context());
    if (!socket) {
        return std::move(socket).error();
    }
    auto [outgoing_sender, outgoing_receiver] = runtime::make_channel<CanMessage>();
    auto [incoming_sender, incoming_receiver] = runtime::make_channel<CanMessage>();
    auto outbox = Outbox::create();
    auto loss = std::make_shared<LinkLoss>();
    auto task = rt.spawn(run_can_io_task(std::move(socket).value(), std::move(outgoing_receiver),
                                         outbox, std::move(incoming_sender), loss));
    return std::shared_ptr<CanDeviceAsync>(
        new CanDeviceAsync(interface, std::move(outgoing_sender), std::move(outbox),
                           std::make_shared<Incoming>(std::move(incoming_receiver)),
                           std::move(task), std::move(loss)));
}

Result<void> CanDeviceAsync::send_nonblocking(CanMessage message) const {
    std::lock_guard lock(send_mutex_);
    if (!outgoing_) {
        return device_closed_error();
    }
    if (auto lost = loss_->error()) {
        return std::move(*lost);
    }
    outbox_->add_queued();  // before the task can see the frame, so the count never goes below 0
    Result<void> queued = outgoing_->send(message);
    if (!queued) {
        outbox_->remove_queued();
    }
    return queued;
}

std::uint64_t CanDeviceAsync::close(const InterruptPoll& interrupt) {
    {
        std::lock_guard lock(send_mutex_);
        if (closed_.exchange(true, std::memory_order_acq_rel)) {
            return 0;
        }
        outgoing_.reset();  // the task drains the queue, then ends
    }
    using runtime::Clock;
    constexpr auto k_look_period = std::chrono::milliseconds(1);
    const auto deadline = runtime::saturating_add(Clock::now(), k_close_bound);
    auto next_poll = Clock::now() + k_interrupt_poll_period;
    while (!task_.is_finished() && Clock::now() < deadline) {
        std::this_thread::sleep_for(k_look_period);
        if (interrupt && Clock::now() >= next_poll) {
            if (interrupt()) {
                break;
            }
            next_poll = Clock::now() + k_interrupt_poll_period;
        }
    }
    if (!task_.is_finished()) {
        task_.abort();  // the frames still queued go with the task's frame, and so does the socket
        while (!task_.is_finished()) {
            std::this_thread::sleep_for(k_look_period);
        }
    }
    const std::uint64_t unwritten = outbox_->discard_pending();
    if (unwritten != 0) {
        write_stderr(k_close_kind, "[velmot] " + std::to_string(unwritten) +
                                       " queued CAN frames were not written at close\n");
    }
    return unwritten;
}

Result<std::optional<CanMessage>> CanDeviceAsync::unless_lost(
    std::optional<CanMessage> value) const {
    if (value) {
        return value;
    }
    if (auto lost = loss_->error()) {
        return std::move(*lost);
    }
    return value;
}

Result<std::optional<CanMessage>> CanDeviceAsync::try_receive() const {
    auto guard = incoming_->mutex.try_lock();
    if (!guard) {  // another receive holds or awaits the lock
        return std::optional<CanMessage>();
    }
    auto taken = incoming_->receiver.try_recv();
    if (taken.status == runtime::TryRecvStatus::disconnected) {
        return unless_lost(std::nullopt);
    }
    return taken.value;
}

asio::awaitable<std::optional<CanMessage>> CanDeviceAsync::receive_locked(
    std::shared_ptr<Incoming> incoming) {
    auto guard = co_await incoming->mutex.lock();
    co_return co_await incoming->receiver.recv();
}

Result<std::optional<CanMessage>> CanDeviceAsync::receive_timeout(
    std::uint64_t timeout_ms, const InterruptPoll& interrupt) const {
    if (timeout_ms == 0) {
        return try_receive();
    }
    if (auto message = take_if_queued(*incoming_)) {
        return message;
    }
    using runtime::Clock;
    auto& rt = runtime::get_runtime();
    const auto deadline =
        runtime::saturating_add(Clock::now(), runtime::millis_to_duration(timeout_ms));
    for (;;) {
        const auto now = Clock::now();
        if (now >= deadline) {
            return std::optional<CanMessage>();
        }
        const Clock::duration step =
            std::min<Clock::duration>(deadline - now, k_interrupt_poll_period);
        auto outcome = rt.block_in_place(
            [&] { return rt.block_on(runtime::timeout(step, receive_locked(incoming_))); });
        if (outcome) {  // a frame, or nothing for good
            return unless_lost(std::move(outcome).value());
        }
        // The step's end let the receive lock go: the poll runs with no lock held.
        if (interrupt && interrupt()) {
            return interrupted_error();
        }
    }
}

asio::awaitable<std::optional<CanMessage>> CanDeviceAsync::receive_timeout_async(
    std::uint64_t timeout_ms) const {
    auto incoming = incoming_;  // the device may be released while this waits
    if (auto message = take_if_queued(*incoming)) {
        co_return message;  // no timer on a busy bus
    }
    auto guard = co_await incoming->mutex.lock();
    auto received = co_await runtime::timeout(runtime::millis_to_duration(timeout_ms),
                                              incoming->receiver.recv());
    if (!received) {
        co_return std::nullopt;
    }
    co_return std::move(received).value();
}

}  // namespace velmot::comm::can
