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
//
// Blocks: while each `ip` / `sudo` child runs (a `sudo` password prompt waits for the user). The
// GIL is not involved here; the Python constructors release it around the call and end the wait
// on Ctrl+C through the InterruptPoll, asked every 50 ms. Cancel safety: an interrupted call
// kills and reaps its running child and starts no further one; steps already run stay done (an
// interface taken down stays down).
#pragma once

#include <string>

#include "common/interrupt_poll.hpp"
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
//   interrupted_error()                                      (interrupted: `interrupt` asked)
// Prints "[CAN] ..." progress lines on standard error when it has to configure the interface.
Result<void> ensure_can_interface(const std::string& interface,
                                  const InterruptPoll& interrupt = {});

}  // namespace velmot::comm::can
