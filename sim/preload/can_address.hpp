// Writing a simulated socket's CAN address (AF_CAN and the interface index) where the kernel
// would: getsockname and the source address of received frames.
//
// Thread-safety: pure; no allocation.
#pragma once

#include <linux/can.h>
#include <sys/socket.h>
#include <algorithm>
#include <cstddef>
#include <cstring>

namespace vcan {

// The kernel reports CAN raw addresses with this length (family and interface index).
inline constexpr socklen_t k_can_address_length = offsetof(sockaddr_can, can_addr);

// Writes the address into a caller's buffer of `capacity` bytes and sets *length as the kernel
// does (the full length, even when the buffer was shorter).
inline void write_can_address(int ifindex, void* buffer, socklen_t capacity, socklen_t* length) {
    sockaddr_can address{};
    address.can_family = AF_CAN;
    address.can_ifindex = ifindex;
    if (buffer != nullptr) {
        std::memcpy(buffer, &address, std::min<socklen_t>(capacity, sizeof address));
    }
    if (length != nullptr) {
        *length = k_can_address_length;
    }
}

}  // namespace vcan
