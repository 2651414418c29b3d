// CanDeviceSync: provisioning plus socket open, and the blocking send / receive.
#include "comm/can/can_device_sync.hpp"

#include <utility>

#include "comm/can/interface_provisioning.hpp"
#include "runtime/runtime.hpp"

namespace velmot::comm::can {
namespace {

// Runs `op` to completion from the calling thread (see block_in_place / block_on).
template <class T>
T run_blocking(asio::awaitable<T> op) {
    auto& rt = runtime::get_runtime();
    return rt.block_in_place([&] { return rt.block_on(std::move(op)); });
}

}  // namespace

CanDeviceSync::CanDeviceSync(std::string interface, CanDevice device)
    : device_(std::move(device)), interface_(std::move(interface)) {}

Result<CanDeviceSync> CanDeviceSync::create(const std::string& interface) {
    if (auto ready = ensure_can_interface(interface); !ready) return std::move(ready).error();
    auto device = CanDevice::open(interface, runtime::get_runtime().context());
    if (!device) return std::move(device).error();
    return CanDeviceSync(interface, std::move(device).value());
}

CanDevice& CanDeviceSync::device() { return *device_; }

Result<void> CanDeviceSync::send(std::uint32_t id, std::span<const std::uint8_t> data) {
    if (!device_) return Error{ErrorKind::os, "Device not initialized"};
    auto frame = build_kernel_frame(id, data);
    if (!frame) return std::move(frame).error();
    Error error{ErrorKind::os, {}};
    switch (device().try_write(*frame, error)) {
    case CanDevice::Attempt::done: return {};
    case CanDevice::Attempt::failed: return error;
    case CanDevice::Attempt::would_block: break;
    }
    return run_blocking(device().write(*frame));
}

Result<CanMessage> CanDeviceSync::receive() {
    if (!device_) return Error{ErrorKind::os, "Device not initialized"};
    auto frame = run_blocking(device().read());
    if (!frame) return std::move(frame).error();
    return CanMessage::from_frame(*frame);
}

Result<std::optional<CanMessage>> CanDeviceSync::receive_within(runtime::Clock::duration limit) {
    if (!device_) return Error{ErrorKind::os, "Device not initialized"};
    can_frame frame;
    Error error{ErrorKind::os, {}};
    switch (device().try_read(frame, error)) {
    case CanDevice::Attempt::done: return std::optional(CanMessage::from_frame(frame));
    case CanDevice::Attempt::failed: return error;
    case CanDevice::Attempt::would_block: break;
    }
    auto outcome = run_blocking(runtime::timeout(limit, device().read()));
    if (!outcome) return std::optional<CanMessage>();  // the deadline came first
    auto read = std::move(outcome).value();
    if (!read) return std::move(read).error();
    return std::optional(CanMessage::from_frame(*read));
}

}  // namespace velmot::comm::can
