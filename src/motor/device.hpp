// Device: one motor driver registered in one slot of a broadcast group. It holds the driver's
// identity (slot, node id, creation mode), the group's host id, the set-point the next broadcast
// carries and the latest feedback the group's receiver decoded for it, and it sends the driver
// its own DR v1 configuration frames through the group's CAN device.
//
// Ownership: shared by the group's device list, the Python Device objects and, for the moment of
// an update, the receiver. It holds its own share of the CAN device, so it stays usable (targets,
// configuration frames, its last feedback record) after its group is gone.
//
// Thread-safety: every member may be called from any thread. The target is one atomic value, read
// or written whole (a lock-free stand-in for a mutex held for one read or write, so the broadcast
// that reads it under the group's device-list lock takes no second lock). The feedback
// record is behind an AsyncMutex: the receiver awaits it, synchronous readers block in place; both
// copy the whole record under the lock, so no reader mixes fields of two frames.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>

#include <asio/awaitable.hpp>

#include "comm/can/can_device_async.hpp"
#include "comm/dr_v1/foc_mode.hpp"
#include "comm/dr_v1/watch_data.hpp"
#include "common/result.hpp"
#include "runtime/async_mutex.hpp"

namespace velmot::motor {

using comm::can::CanDeviceAsync;
using comm::dr_v1::FocMode;
using comm::dr_v1::WatchData;

// The enter-session pair to node_id's destination, with host_id as CAN id (used by a group when it
// registers a driver, and by a Device on request).
Result<void> send_enter_configure_unicast(const CanDeviceAsync& can, std::uint32_t host_id,
                                          std::uint32_t node_id);

class Device {
public:
    static constexpr std::uint8_t k_max_slot = 3;

    // Target 0, feedback all zeros, slot limited to k_max_slot. Sends nothing.
    static std::shared_ptr<Device> create(std::uint8_t slot_index, std::uint32_t node_id,
                                          FocMode mode, std::shared_ptr<CanDeviceAsync> can,
                                          std::uint32_t host_id);

    Device(const Device&) = delete;
    Device& operator=(const Device&) = delete;

    std::uint8_t slot_index() const noexcept { return slot_index_; }
    std::uint32_t node_id() const noexcept { return node_id_; }
    std::uint32_t host_id() const noexcept { return host_id_; }
    // The creation mode: it selects the broadcast scale for good.
    FocMode mode() const noexcept { return mode_; }
    // True once the group's CAN device was closed (Motor::close): the Python class then refuses
    // every method.
    bool is_closed() const noexcept { return can_->is_closed(); }

    float get_target() const;
    // Stored as given; it goes on the bus with the group's next broadcast.
    void set_target(float value);

    Result<void> enter_configure() const;
    Result<void> exit_configure() const;
    // Queues the set-mode frame; the stored mode (and so the broadcast scale) does not change.
    Result<void> set_foc_mode(FocMode mode) const;
    // Queues the zero request, then pauses the calling thread for 200 ms.
    Result<void> start_calibration() const;

    // A copy of the latest record; blocks in place on a runtime worker.
    WatchData get_watch_data_blocking() const;
    // Replaces the record (the receiver only).
    asio::awaitable<void> update_watch_data(WatchData record);

private:
    Device(std::uint8_t slot_index, std::uint32_t node_id, FocMode mode,
           std::shared_ptr<CanDeviceAsync> can, std::uint32_t host_id);

    std::uint16_t destination() const noexcept;

    const std::uint8_t slot_index_;
    const std::uint32_t node_id_;
    const FocMode mode_;
    const std::uint32_t host_id_;
    const std::shared_ptr<CanDeviceAsync> can_;

    std::atomic<float> target_{0.0f};

    mutable runtime::AsyncMutex watch_mutex_;
    WatchData watch_;  // guarded by watch_mutex_
};

}  // namespace velmot::motor
