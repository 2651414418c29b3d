// Hands DR v1 payloads to a group's CAN device, with the group's host id as CAN identifier.
// Every frame is validated before it is queued: a host id above 0x1FFFFFFF can never be sent, so
// it fails here with "CAN ID too large" instead of being reported as queued. Success means queued
// (the I/O task reports later transmission errors itself).
//
// Thread-safety: free functions over a thread-safe CanDeviceAsync; callable from any thread.
#pragma once

#include <cstdint>

#include "comm/can/can_device_async.hpp"
#include "comm/dr_v1/config_frame.hpp"
#include "common/result.hpp"

namespace velmot::motor {

using comm::can::CanDeviceAsync;

Result<void> queue_frame(const CanDeviceAsync& can, std::uint32_t host_id,
                         const comm::dr_v1::Frame& payload);

// The enter-session pair (0x73, then 0x74) to `destination`; the second frame is queued only if
// the first was.
Result<void> queue_enter_session(const CanDeviceAsync& can, std::uint32_t host_id,
                                 std::uint16_t destination);

// The zero request to `destination`, then, only if it was queued, a 200 ms pause of the calling
// thread (the drivers need it to find the electrical zero before anything else is sent).
Result<void> queue_zero_request_and_pause(const CanDeviceAsync& can, std::uint32_t host_id,
                                          std::uint16_t destination);

}  // namespace velmot::motor
