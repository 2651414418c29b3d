// CanMessage validation and the kernel frame layout.
#include "comm/can/can_message.hpp"

#include <algorithm>
#include <cstddef>
#include <cstring>

namespace velmot::comm::can {

// One frame is one 16-byte read or write of the socket, on 32-bit ARM as on x86-64: the kernel's
// layout, its payload 8-byte aligned.
static_assert(sizeof(can_frame) == 16 && alignof(can_frame) == 8 && offsetof(can_frame, data) == 8);

CanMessage::CanMessage(std::uint32_t id, std::span<const std::uint8_t> data) noexcept
    : id_(id), length_(static_cast<std::uint8_t>(data.size())), bytes_{} {
    std::copy(data.begin(), data.end(), bytes_.begin());
}

Result<CanMessage> CanMessage::make(std::uint32_t id, std::span<const std::uint8_t> data) {
    if (data.size() > k_max_payload) {
        return Error{ErrorKind::invalid_input, "Payload is larger than CAN maximum of 8 bytes"};
    }
    if (id > k_max_extended_id) {
        return Error{ErrorKind::invalid_input, "CAN ID too large"};
    }
    return CanMessage(id, data);
}

CanMessage CanMessage::from_frame(const can_frame& frame) noexcept {
    const bool extended = (frame.can_id & CAN_EFF_FLAG) != 0;
    const std::uint32_t id = frame.can_id & (extended ? CAN_EFF_MASK : CAN_SFF_MASK);
    const std::size_t length = std::min<std::size_t>(frame.len, k_max_payload);
    return CanMessage(id, {frame.data, length});
}

can_frame CanMessage::to_frame() const noexcept {
    can_frame frame;
    std::memset(&frame, 0, sizeof frame);
    frame.can_id = id_ > k_max_standard_id ? (id_ | CAN_EFF_FLAG) : id_;
    frame.len = length_;
    std::copy_n(bytes_.begin(), length_, frame.data);
    return frame;
}

Result<can_frame> build_kernel_frame(std::uint32_t id, std::span<const std::uint8_t> data) {
    auto message = CanMessage::make(id, data);
    if (!message) {
        return std::move(message).error();
    }
    return message->to_frame();
}

}  // namespace velmot::comm::can
