// The SOL_CAN_RAW socket options of a simulated CAN socket, set and read with the kernel's
// argument checks and results: CAN_RAW_FILTER (at most CAN_RAW_FILTER_MAX entries; reading into a
// short buffer fails with ERANGE and reports the size needed), CAN_RAW_ERR_FILTER, and the integer
// options LOOPBACK, RECV_OWN_MSGS, FD_FRAMES, JOIN_FILTERS and XL_FRAMES (exactly sizeof(int) to
// set). Unknown options fail with ENOPROTOOPT.
//
// Thread-safety: plain functions on caller-owned state; no allocation (used by the shim's hooks).
#pragma once

#include <sys/socket.h>

#include "common/can_wire.hpp"

namespace vcan {

struct RawOptionState {
    SocketOptions wire;  // what the daemon needs to know
    int fd_frames = 0;   // remembered only: the simulated bus carries classic frames
    int xl_frames = 0;
};

// Returns 0 or an errno value.
int set_raw_option(RawOptionState& state, int name, const void* value, socklen_t length);
int get_raw_option(const RawOptionState& state, int name, void* value, socklen_t* length);

}  // namespace vcan
