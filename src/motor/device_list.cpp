// DeviceList: registration, first-match lookups and the encoding of the broadcast target frame.
#include "motor/device_list.hpp"

#include <utility>

#include "comm/dr_v1/target_frame.hpp"

namespace velmot::motor {

void DeviceList::append(std::shared_ptr<Device> device) {
    std::lock_guard lock(mutex_);
    devices_.push_back(std::move(device));
}

template <class Match>
std::shared_ptr<Device> DeviceList::first_where(Match match) const {
    std::lock_guard lock(mutex_);
    for (const auto& device : devices_) {
        if (match(*device)) {
            return device;
        }
    }
    return nullptr;
}

std::shared_ptr<Device> DeviceList::first_with_slot(std::uint8_t slot_index) const {
    return first_where([=](const Device& d) { return d.slot_index() == slot_index; });
}

std::shared_ptr<Device> DeviceList::first_with_node(std::uint32_t node_id) const {
    return first_where([=](const Device& d) { return d.node_id() == node_id; });
}

std::size_t DeviceList::size() const {
    std::lock_guard lock(mutex_);
    return devices_.size();
}

comm::dr_v1::Frame DeviceList::encode_targets() const {
    comm::dr_v1::TargetFrame frame;
    std::lock_guard lock(mutex_);
    for (const auto& device : devices_) {
        frame.set(device->slot_index(),
                  comm::dr_v1::encode_target(device->get_target(), device->mode()));
    }
    return frame.bytes();
}

}  // namespace velmot::motor
