// DeviceList: the Devices of one broadcast group in registration order, behind a plain mutex.
// There is no uniqueness rule: lookups by slot or node id take the first match, while the
// broadcast frame lets the last Device of a slot win.
//
// Ownership: shared by the group and its feedback receiver.
//
// Thread-safety: every member may be called from any thread. The list lock is held only for the
// list operation itself (in encode_targets, around the read of each Device's target, which takes no
// lock); Device operations that may wait run after it is released, and the lock is never
// held across an await.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <vector>

#include "comm/dr_v1/config_frame.hpp"
#include "motor/device.hpp"

namespace velmot::motor {

class DeviceList {
public:
    void append(std::shared_ptr<Device> device);

    std::shared_ptr<Device> first_with_slot(std::uint8_t slot_index) const;
    std::shared_ptr<Device> first_with_node(std::uint32_t node_id) const;

    std::size_t size() const;

    // The broadcast target frame: every Device's encoded target at its slot, in registration
    // order; unoccupied slots stay 0.
    comm::dr_v1::Frame encode_targets() const;

private:
    template <class Match>
    std::shared_ptr<Device> first_where(Match match) const;

    mutable std::mutex mutex_;
    std::vector<std::shared_ptr<Device>> devices_;  // guarded by mutex_
};

}  // namespace velmot::motor
