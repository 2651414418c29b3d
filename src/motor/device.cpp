// Device: target, configuration frames and the feedback record of one driver.
#include "motor/device.hpp"

#include <algorithm>
#include <utility>

#include "comm/dr_v1/config_frame.hpp"
#include "motor/frame_queue.hpp"
#include "runtime/runtime.hpp"

namespace velmot::motor {

static_assert(std::atomic<float>::is_always_lock_free, "a target read must never take a lock");

Result<void> send_enter_configure_unicast(const CanDeviceAsync& can, std::uint32_t host_id,
                                          std::uint32_t node_id) {
    return queue_enter_session(can, host_id, comm::dr_v1::destination_of(node_id));
}

std::shared_ptr<Device> Device::create(std::uint8_t slot_index, std::uint32_t node_id, FocMode mode,
                                       std::shared_ptr<CanDeviceAsync> can, std::uint32_t host_id) {
    return std::shared_ptr<Device>(new Device(slot_index, node_id, mode, std::move(can), host_id));
}

Device::Device(std::uint8_t slot_index, std::uint32_t node_id, FocMode mode,
               std::shared_ptr<CanDeviceAsync> can, std::uint32_t host_id)
    : slot_index_(std::min(slot_index, k_max_slot)),
      node_id_(node_id),
      mode_(mode),
      host_id_(host_id),
      can_(std::move(can)) {}

std::uint16_t Device::destination() const noexcept {
    return comm::dr_v1::destination_of(node_id_);
}

float Device::get_target() const {
    return target_.load(std::memory_order_acquire);
}

void Device::set_target(float value) {
    target_.store(value, std::memory_order_release);
}

Result<void> Device::enter_configure() const {
    return send_enter_configure_unicast(*can_, host_id_, node_id_);
}

Result<void> Device::exit_configure() const {
    return queue_frame(*can_, host_id_, comm::dr_v1::end_session_frame(destination()));
}

Result<void> Device::set_foc_mode(FocMode mode) const {
    return queue_frame(*can_, host_id_, comm::dr_v1::set_mode_frame(destination(), mode));
}

Result<void> Device::start_calibration() const {
    return queue_zero_request_and_pause(*can_, host_id_, destination());
}

WatchData Device::get_watch_data_blocking() const {
    // The lock is free unless the receiver is storing a record at this very moment.
    auto guard = watch_mutex_.lock_in_place();
    return watch_;
}

asio::awaitable<void> Device::update_watch_data(WatchData record) {
    if (auto guard = watch_mutex_.try_lock()) {
        watch_ = record;
        co_return;
    }
    auto guard = co_await watch_mutex_.lock();
    watch_ = record;
}

}  // namespace velmot::motor
