// The node-id rule of driver registration: the CAN identifier range, then the broadcast
// destination.
#include "motor/node_id_rule.hpp"

#include <cstdio>
#include <string>

#include "comm/can/can_message.hpp"
#include "comm/dr_v1/config_frame.hpp"

namespace velmot::motor {

namespace {

std::string hex(std::uint32_t value) {
    char text[16];
    std::snprintf(text, sizeof text, "0x%X", static_cast<unsigned>(value));
    return text;
}

}  // namespace

Result<void> check_node_id(std::uint32_t node_id) {
    if (node_id > comm::can::k_max_extended_id) {
        return Error{ErrorKind::value, "node_id " + hex(node_id) +
                                           " is not a CAN identifier (above " +
                                           hex(comm::can::k_max_extended_id) + ")"};
    }
    if (comm::dr_v1::destination_of(node_id) == comm::dr_v1::k_broadcast_dest) {
        return Error{ErrorKind::value, "node_id " + hex(node_id) +
                                           " addresses every driver (destination " +
                                           hex(comm::dr_v1::k_broadcast_dest) + ")"};
    }
    return {};
}

}  // namespace velmot::motor
