// DR v1 configuration frames: "DR1", a command byte, the 16-bit destination (little-endian), a
// CTL byte and an XOR checksum, always 8 bytes, sent with the host's CAN id. Opening a session
// takes two frames (0x73, then 0x74); inside it, command 0xFF with a CTL byte sets the FOC mode or
// requests the encoder electrical zero, and command 0xFF with CTL 0x00 ends the session. Nothing
// is acknowledged on the bus.
//
// Thread-safety: pure functions.
#pragma once

#include <array>
#include <cstdint>

#include "comm/dr_v1/foc_mode.hpp"

namespace velmot::comm::dr_v1 {

using Frame = std::array<std::uint8_t, 8>;

// Destination that addresses every driver on the bus.
inline constexpr std::uint16_t k_broadcast_dest = 0xFFFF;

namespace command {
inline constexpr std::uint8_t k_enter_session_first = 0x73;
inline constexpr std::uint8_t k_enter_session_second = 0x74;
inline constexpr std::uint8_t k_control = 0xFF;  // the operation is in the CTL byte
}  // namespace command

namespace ctl {
inline constexpr std::uint8_t k_enter_session = 0x03;
inline constexpr std::uint8_t k_end_session = 0x00;  // group 0, code 0
inline constexpr std::uint8_t k_zero_request = 0x01;
inline constexpr std::uint8_t k_set_mode_base = 0x10;  // + the mode's code
}  // namespace ctl

// Bytes 0..6 as given, byte 7 the XOR of bytes 0..6 (so the XOR of all 8 bytes is 0).
Frame build_config_frame(std::uint8_t command, std::uint16_t destination,
                         std::uint8_t ctl) noexcept;

// A driver's DR v1 address: the low 16 bits of its node id.
constexpr std::uint16_t destination_of(std::uint32_t node_id) noexcept {
    return static_cast<std::uint16_t>(node_id & 0xFFFFu);
}

Frame enter_session_first_frame(std::uint16_t destination) noexcept;
Frame enter_session_second_frame(std::uint16_t destination) noexcept;
Frame end_session_frame(std::uint16_t destination) noexcept;
Frame zero_request_frame(std::uint16_t destination) noexcept;
Frame set_mode_frame(std::uint16_t destination, FocMode mode) noexcept;

}  // namespace velmot::comm::dr_v1
