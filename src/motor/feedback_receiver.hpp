// The feedback receiver of a broadcast group: a runtime task that takes every frame the group's
// CAN device receives, decodes 8-byte payloads as driver feedback and stores each record in the
// first Device whose node id equals the frame's identifier. Frames of another length and frames
// from unknown identifiers are reported on stderr (through the console writer, which never makes
// the receiver wait and limits each of the two kinds of line to 100 per second) and dropped.
//
// It waits at most 100 ms per receive and starts over on a timeout; it ends only when it is
// cancelled (its group is destroyed) or when the CAN device's I/O task has ended, after which no
// frame can ever arrive (starting over then would spin a runtime worker).
//
// Thread-safety: runs on the runtime; shares the CAN device and the device list, both thread-safe.
#pragma once

#include <memory>
#include <string>

#include <asio/awaitable.hpp>

#include "comm/can/can_device_async.hpp"
#include "comm/can/can_message.hpp"
#include "motor/device_list.hpp"

namespace velmot::motor {

asio::awaitable<void> run_feedback_receiver(std::shared_ptr<comm::can::CanDeviceAsync> can,
                                            std::shared_ptr<DeviceList> devices);

// The console lines of the receiver (each ends with a line feed).
std::string unexpected_length_line(const comm::can::CanMessage& frame);
std::string unmatched_frame_line(const comm::can::CanMessage& frame);

}  // namespace velmot::motor
