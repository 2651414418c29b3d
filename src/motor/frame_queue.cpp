// Queuing of DR v1 payloads on a group's CAN device.
#include "motor/frame_queue.hpp"

#include <chrono>
#include <thread>

#include "comm/can/can_message.hpp"

namespace velmot::motor {

namespace {
constexpr std::chrono::milliseconds k_zero_request_pause{200};
}

Result<void> queue_frame(const CanDeviceAsync& can, std::uint32_t host_id,
                         const comm::dr_v1::Frame& payload) {
    auto message = comm::can::CanMessage::make(host_id, payload);
    if (!message) {
        return std::move(message).error();
    }
    return can.send_nonblocking(std::move(message).value());
}

Result<void> queue_enter_session(const CanDeviceAsync& can, std::uint32_t host_id,
                                 std::uint16_t destination) {
    if (auto first = queue_frame(can, host_id, comm::dr_v1::enter_session_first_frame(destination));
        !first) {
        return first;
    }
    return queue_frame(can, host_id, comm::dr_v1::enter_session_second_frame(destination));
}

Result<void> queue_zero_request_and_pause(const CanDeviceAsync& can, std::uint32_t host_id,
                                          std::uint16_t destination) {
    auto queued = queue_frame(can, host_id, comm::dr_v1::zero_request_frame(destination));
    if (queued) {
        std::this_thread::sleep_for(k_zero_request_pause);
    }
    return queued;
}

}  // namespace velmot::motor
