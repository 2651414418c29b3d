// DR v1 configuration frame layout and checksum.
#include "comm/dr_v1/config_frame.hpp"

namespace velmot::comm::dr_v1 {

Frame build_config_frame(std::uint8_t command, std::uint16_t destination,
                         std::uint8_t ctl) noexcept {
    Frame frame{0x44,
                0x52,
                0x31,
                command,
                static_cast<std::uint8_t>(destination & 0xFFu),
                static_cast<std::uint8_t>(destination >> 8),
                ctl,
                0};
    std::uint8_t checksum = 0;
    for (std::size_t i = 0; i < 7; ++i) {
        checksum ^= frame[i];
    }
    frame[7] = checksum;
    return frame;
}

Frame enter_session_first_frame(std::uint16_t destination) noexcept {
    return build_config_frame(command::k_enter_session_first, destination, ctl::k_enter_session);
}

Frame enter_session_second_frame(std::uint16_t destination) noexcept {
    return build_config_frame(command::k_enter_session_second, destination, ctl::k_enter_session);
}

Frame end_session_frame(std::uint16_t destination) noexcept {
    return build_config_frame(command::k_control, destination, ctl::k_end_session);
}

Frame zero_request_frame(std::uint16_t destination) noexcept {
    return build_config_frame(command::k_control, destination, ctl::k_zero_request);
}

Frame set_mode_frame(std::uint16_t destination, FocMode mode) noexcept {
    return build_config_frame(
        command::k_control, destination,
        static_cast<std::uint8_t>(ctl::k_set_mode_base + static_cast<std::uint8_t>(mode)));
}

}  // namespace velmot::comm::dr_v1
