// CanDeviceSync: provisioning plus socket open, the non-waiting attempts and the waits in steps of
// one poll period.
#include "comm/can/can_device_sync.hpp"

#include <utility>

#include "comm/can/device_closed.hpp"
#include "comm/can/interface_provisioning.hpp"
#include "runtime/runtime.hpp"
#include "runtime/time.hpp"

namespace velmot::comm::can {
namespace {

// Runs `op` to completion from the calling thread (see block_in_place / block_on).
template <class T>
T run_blocking(asio::awaitable<T> op) {
    auto& rt = runtime::get_runtime();
    return rt.block_in_place([&] { return rt.block_on(std::move(op)); });
}

// Runs the operation `make_op()` makes; with a poll, in waits of one poll period each, asking the
// poll between them. A period's end cancels only the operation's readiness wait.
template <class T, class MakeOp>
Result<T> run_interruptible(const InterruptPoll& interrupt, MakeOp make_op) {
    if (!interrupt) {
        return run_blocking(make_op());
    }
    for (;;) {
        auto outcome = run_blocking(runtime::timeout(k_interrupt_poll_period, make_op()));
        if (outcome) {
            return std::move(outcome).value();  // the operation ended, well or not
        }
        if (interrupt()) {
            return interrupted_error();
        }
    }
}

}  // namespace

CanDeviceSync::CanDeviceSync(std::string interface, CanDevice device)
    : device_(std::move(device)), interface_(std::move(interface)) {}

Result<CanDeviceSync> CanDeviceSync::create(const std::string& interface,
                                            const InterruptPoll& interrupt) {
    if (auto ready = ensure_can_interface(interface, interrupt); !ready) {
        return std::move(ready).error();
    }
    auto device = CanDevice::open(interface, runtime::get_runtime().context());
    if (!device) {
        return std::move(device).error();
    }
    return CanDeviceSync(interface, std::move(device).value());
}

CanDevice& CanDeviceSync::device() {
    return *device_;  // NOLINT(bugprone-unchecked-optional-access): every caller checks device_
}

Result<bool> CanDeviceSync::try_send(const can_frame& frame) {
    if (!device_) {
        return device_closed_error();
    }
    Error error{ErrorKind::os, {}};
    switch (device().try_write(frame, error)) {
        case CanDevice::Attempt::done:
            return true;
        case CanDevice::Attempt::failed:
            return error;
        case CanDevice::Attempt::would_block:
            break;
    }
    return false;
}

Result<void> CanDeviceSync::send(const can_frame& frame, const InterruptPoll& interrupt) {
    if (!device_) {
        return device_closed_error();
    }
    return run_interruptible<void>(interrupt, [&] { return device().write(frame); });
}

Result<std::optional<CanMessage>> CanDeviceSync::try_receive() {
    if (!device_) {
        return device_closed_error();
    }
    can_frame frame;
    Error error{ErrorKind::os, {}};
    switch (device().try_read(frame, error)) {
        case CanDevice::Attempt::done:
            return std::optional(CanMessage::from_frame(frame));
        case CanDevice::Attempt::failed:
            return error;
        case CanDevice::Attempt::would_block:
            break;
    }
    return std::optional<CanMessage>();
}

Result<CanMessage> CanDeviceSync::receive(const InterruptPoll& interrupt) {
    if (!device_) {
        return device_closed_error();
    }
    auto frame = run_interruptible<can_frame>(interrupt, [&] { return device().read(); });
    if (!frame) {
        return std::move(frame).error();
    }
    return CanMessage::from_frame(*frame);
}

}  // namespace velmot::comm::can
