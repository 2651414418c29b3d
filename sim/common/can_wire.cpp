// Encoding and decoding of the daemon <-> shim control message (see can_wire.hpp).
//
// Thread-safety: pure functions; no allocation.
#include "common/can_wire.hpp"

#include <cstring>

namespace vcan {

std::size_t encode_options(const SocketOptions& options, std::span<std::byte> out) {
    const std::uint32_t count = options.filter_count <= k_max_filters ? options.filter_count : 0;
    const std::size_t size = sizeof(ControlHeader) + count * sizeof(can_filter);
    if (out.size() < size) {
        return 0;
    }
    ControlHeader header{};
    header.magic = k_control_magic;
    header.version = k_control_version;
    header.err_mask = options.err_mask;
    header.rcvbuf = options.rcvbuf;
    header.recv_own_msgs = options.recv_own_msgs ? 1 : 0;
    header.loopback = options.loopback ? 1 : 0;
    header.join_filters = options.join_filters ? 1 : 0;
    header.filter_count = count;
    std::memcpy(out.data(), &header, sizeof header);
    std::memcpy(out.data() + sizeof header, options.filters, count * sizeof(can_filter));
    return size;
}

bool is_control_message(std::span<const std::byte> message) {
    std::uint32_t magic = 0;
    if (message.size() < sizeof magic || message.size() == k_frame_size) {
        return false;
    }
    std::memcpy(&magic, message.data(), sizeof magic);
    return magic == k_control_magic;
}

bool decode_options(std::span<const std::byte> message, SocketOptions& out) {
    ControlHeader header{};
    if (!is_control_message(message) || message.size() < sizeof header) {
        return false;
    }
    std::memcpy(&header, message.data(), sizeof header);
    if (header.version != k_control_version || header.filter_count > k_max_filters ||
        message.size() != sizeof header + header.filter_count * sizeof(can_filter) ||
        header.recv_own_msgs > 1 || header.loopback > 1 || header.join_filters > 1) {
        return false;
    }
    out.err_mask = header.err_mask;
    out.rcvbuf = header.rcvbuf;
    out.recv_own_msgs = header.recv_own_msgs != 0;
    out.loopback = header.loopback != 0;
    out.join_filters = header.join_filters != 0;
    out.filter_count = header.filter_count;
    std::memcpy(out.filters, message.data() + sizeof header,
                header.filter_count * sizeof(can_filter));
    return true;
}

bool is_valid_frame(std::span<const std::byte> message) {
    if (message.size() != k_frame_size) {
        return false;
    }
    const auto dlc = static_cast<std::uint8_t>(message[offsetof(can_frame, can_dlc)]);
    return dlc <= CAN_MAX_DLEN;
}

}  // namespace vcan
