// Interface provisioning: makes sure a CAN interface exists, is up and runs at 1 Mbit/s before a
// socket is opened on it, with the system's `ip` tool, falling back to `sudo ip` when the
// unprivileged configuration fails. Virtual CAN links (vcan, vxcan) have no bitrate: one that is up
// is used as is, one that is down is only brought up. Only CAN links are touched: a loopback,
// ethernet or any other link is refused before any `ip link set` runs.
//
// Child processes are started by name through PATH with an argument vector (never a shell), so an
// interface name reaches `ip` as one argument whatever characters it holds.
//
// Thread-safety: stateless; runs entirely on the calling thread and blocks it until every child
// it started has exited. Concurrent calls (even for one interface) run independently.
#pragma once

#include <string>

#include "common/result.hpp"

namespace velmot::comm::can {

// The bitrate every CAN interface of the module runs at.
inline constexpr unsigned k_target_bitrate = 1000000;

// Succeeds once the interface is ready; otherwise the error says what failed:
//   "Failed to run ip: <start error>"                       (other)
//   "CAN interface '<IF>' does not exist"                    (not_found; also when `ip` shows
//                                                             other links, as it does for `up`)
//   "CAN interface '<IF>' is not a CAN link"                 (invalid_input)
//   "Failed to run 'sudo ip <args>': <start error>"          (other)
//   "'sudo ip <args>' failed"                                (permission)
// Prints "[CAN] ..." progress lines on standard error when it has to configure the interface.
Result<void> ensure_can_interface(const std::string& interface);

}  // namespace velmot::comm::can
