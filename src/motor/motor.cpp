// Motor: creation with its receiver, driver registration, broadcast and group configuration.
#include "motor/motor.hpp"

#include <utility>

#include "comm/dr_v1/config_frame.hpp"
#include "motor/feedback_receiver.hpp"
#include "motor/frame_queue.hpp"
#include "motor/node_id_rule.hpp"
#include "runtime/runtime.hpp"

namespace velmot::motor {

using comm::dr_v1::k_broadcast_dest;

Result<std::unique_ptr<Motor>> Motor::create(const std::string& interface, std::uint32_t host_id,
                                             const InterruptPoll& interrupt) {
    auto can = CanDeviceAsync::create(interface, interrupt);
    if (!can) {
        return std::move(can).error();
    }
    auto shared_can = std::move(can).value();
    auto devices = std::make_shared<DeviceList>();
    auto receive_task = runtime::get_runtime().spawn(run_feedback_receiver(shared_can, devices));
    return std::unique_ptr<Motor>(
        new Motor(std::move(shared_can), std::move(devices), host_id, std::move(receive_task)));
}

Motor::Motor(std::shared_ptr<CanDeviceAsync> can, std::shared_ptr<DeviceList> devices,
             std::uint32_t host_id, runtime::TaskHandle<void> receive_task)
    : can_(std::move(can)),
      devices_(std::move(devices)),
      host_id_(host_id),
      receive_task_(std::move(receive_task)) {}

Motor::~Motor() {
    receive_task_.abort();
}

Result<std::shared_ptr<Device>> Motor::add_device(std::uint8_t slot_index, std::uint32_t node_id,
                                                  FocMode mode) {
    if (auto checked = check_node_id(node_id); !checked) {
        return std::move(checked).error();
    }
    if (auto entered = send_enter_configure_unicast(*can_, host_id_, node_id); !entered) {
        return std::move(entered).error();
    }
    auto device = Device::create(slot_index, node_id, mode, can_, host_id_);
    if (auto moded = device->set_foc_mode(mode); !moded) {
        return std::move(moded).error();
    }
    if (auto ended = device->exit_configure(); !ended) {
        return std::move(ended).error();
    }
    devices_->append(device);
    return device;
}

void Motor::set_target(std::uint8_t slot_index, float value) {
    if (auto device = devices_->first_with_slot(slot_index)) {
        device->set_target(value);
    }
}

std::optional<WatchData> Motor::get_watch_data(std::uint8_t slot_index) const {
    auto device = devices_->first_with_slot(slot_index);
    if (!device) {
        return std::nullopt;
    }
    return device->get_watch_data_blocking();
}

Result<void> Motor::broadcast() const {
    return queue_frame(*can_, host_id_, devices_->encode_targets());
}

Result<void> Motor::enter_configure_broadcast() const {
    return queue_enter_session(*can_, host_id_, k_broadcast_dest);
}

Result<void> Motor::exit_configure_broadcast() const {
    return queue_frame(*can_, host_id_, comm::dr_v1::end_session_frame(k_broadcast_dest));
}

Result<void> Motor::calibrate_broadcast() const {
    return queue_zero_request_and_pause(*can_, host_id_, k_broadcast_dest);
}

Result<void> Motor::set_foc_mode_broadcast(FocMode mode) const {
    return queue_frame(*can_, host_id_, comm::dr_v1::set_mode_frame(k_broadcast_dest, mode));
}

std::size_t Motor::device_count() const {
    return devices_->size();
}

std::uint64_t Motor::close(const InterruptPoll& interrupt) {
    receive_task_.abort();
    return can_->close(interrupt);
}

}  // namespace velmot::motor
