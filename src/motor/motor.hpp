// Motor: a broadcast group of motor drivers on one CAN interface under one host id. It sends the
// set-points of all its Devices in one 8-byte target frame, routes the drivers' feedback into
// their Devices through its receiver task, and offers the DR v1 configuration operations
// addressed to every driver at once.
//
// Ownership: owns its receiver task (cancelled when the Motor is destroyed) and shares its CAN
// device with its Devices and the receiver, and its device list with the receiver. Devices held
// elsewhere outlive the Motor.
//
// Thread-safety: every member may be called concurrently from any thread that does not drive the
// runtime (create) or from any thread at all (the rest; waits block in place on a worker).
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "comm/can/can_device_async.hpp"
#include "comm/dr_v1/foc_mode.hpp"
#include "comm/dr_v1/watch_data.hpp"
#include "common/interrupt_poll.hpp"
#include "common/result.hpp"
#include "motor/device.hpp"
#include "motor/device_list.hpp"
#include "runtime/task_handle.hpp"

namespace velmot::motor {

class Motor {
public:
    // Opens the CAN device on `interface` (provisioning it first, which `interrupt` may end: see
    // CanDeviceAsync::create) and starts the receiver. The CAN device's error is returned
    // unchanged.
    static Result<std::unique_ptr<Motor>> create(const std::string& interface,
                                                 std::uint32_t host_id,
                                                 const InterruptPoll& interrupt = {});
    ~Motor();
    Motor(const Motor&) = delete;
    Motor& operator=(const Motor&) = delete;

    std::uint32_t host_id() const noexcept { return host_id_; }

    // Configures the driver (enter session, set mode, end session: four frames queued back to
    // back) and registers it. A node id that cannot name one driver (check_node_id) is refused
    // before any frame; a frame that cannot be queued returns its error. Either registers nothing.
    Result<std::shared_ptr<Device>> add_device(std::uint8_t slot_index, std::uint32_t node_id,
                                               FocMode mode);

    // First Device with the slot; an unregistered slot is ignored.
    void set_target(std::uint8_t slot_index, float value);
    // First Device with the slot, or nothing.
    std::optional<WatchData> get_watch_data(std::uint8_t slot_index) const;
    // Queues the target frame: never waits for the bus.
    Result<void> broadcast() const;

    Result<void> enter_configure_broadcast() const;
    Result<void> exit_configure_broadcast() const;
    // Zero request to every driver, then a 200 ms pause of the calling thread.
    Result<void> calibrate_broadcast() const;
    // Changes no Device's stored mode.
    Result<void> set_foc_mode_broadcast(FocMode mode) const;

    std::size_t device_count() const;

    // Ends the group for good: cancels the receiver, then closes the shared CAN device (its queued
    // frames are written within comm::can::k_close_bound; see CanDeviceAsync::close), so every
    // send of the group and of its Devices fails with the device-closed error from then on.
    // Returns the number of queued frames not written; a second close returns 0.
    std::uint64_t close(const InterruptPoll& interrupt = {});
    bool is_closed() const noexcept { return can_->is_closed(); }

private:
    Motor(std::shared_ptr<CanDeviceAsync> can, std::shared_ptr<DeviceList> devices,
          std::uint32_t host_id, runtime::TaskHandle<void> receive_task);

    std::shared_ptr<CanDeviceAsync> can_;
    std::shared_ptr<DeviceList> devices_;
    std::uint32_t host_id_;
    runtime::TaskHandle<void> receive_task_;
};

}  // namespace velmot::motor
