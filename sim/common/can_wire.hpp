// The message format between the bus daemon and the SocketCAN shim, over one AF_UNIX
// SOCK_SEQPACKET connection per simulated CAN socket: a 16-byte message is one classic
// `struct can_frame`; a message that starts with `k_control_magic` carries the socket's receive
// options (filters, own-message delivery, loopback, error mask, receive-queue size). Any other
// message is malformed and refused by the daemon. Control messages are never 16 bytes long, so
// the size alone tells a frame from a control message.
//
// Thread-safety: pure functions on caller-owned values; no allocation (usable from the shim's
// hooks, which may run in signal handlers).
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

#include <linux/can.h>
#include <linux/can/raw.h>

namespace vcan {

inline constexpr std::size_t k_frame_size = sizeof(struct can_frame);  // 16
static_assert(k_frame_size == 16);

// "VCNC" in little-endian byte order; a frame whose can_id equals it is still a frame (size 16).
inline constexpr std::uint32_t k_control_magic = 0x434e4356u;
inline constexpr std::uint32_t k_control_version = 1;

// The kernel's limit on CAN_RAW_FILTER entries per socket.
inline constexpr std::size_t k_max_filters = CAN_RAW_FILTER_MAX;

// The receive-side state of one CAN socket. Defaults are the kernel's for a new raw socket: one
// filter {0, 0} (everything), no own messages, loopback on, no error frames.
struct SocketOptions {
    std::uint32_t filter_count = 1;
    can_filter filters[k_max_filters] = {{0, 0}};
    std::uint32_t err_mask = 0;
    bool recv_own_msgs = false;
    bool loopback = true;
    bool join_filters = false;
    std::int32_t rcvbuf = 0;  // SO_RCVBUF requested on the socket; 0 = never requested
};

// Header and fixed part of a control message; filters follow. Size = 28 + 8 * filter_count.
struct ControlHeader {
    std::uint32_t magic;
    std::uint32_t version;
    std::uint32_t err_mask;
    std::int32_t rcvbuf;
    std::uint8_t recv_own_msgs;
    std::uint8_t loopback;
    std::uint8_t join_filters;
    std::uint8_t reserved;
    std::uint32_t filter_count;
    std::uint32_t reserved2;
};
static_assert(sizeof(ControlHeader) == 28);

inline constexpr std::size_t k_max_control_size =
    sizeof(ControlHeader) + k_max_filters * sizeof(can_filter);

// Encodes `options` into `out`; returns the message size, or 0 if `out` is too small.
std::size_t encode_options(const SocketOptions& options, std::span<std::byte> out);

// Decodes a control message; false (and `out` unspecified) when it is malformed.
bool decode_options(std::span<const std::byte> message, SocketOptions& out);

// True when the message starts with the control magic (it may still be malformed).
bool is_control_message(std::span<const std::byte> message);

// True for a well-formed classic frame message: exactly 16 bytes and can_dlc <= 8.
bool is_valid_frame(std::span<const std::byte> message);

}  // namespace vcan
