// One connection to the bus daemon: one simulated CAN socket of a client process, with its receive
// options and counters, and the frames queued for it during the current forwarding pass.
//
// Thread-safety: owned and used only by the daemon's single thread.
#pragma once

#include <sys/types.h>
#include <array>
#include <cstdint>

#include "common/receive_filter.hpp"
#include "vcanbusd/watched.hpp"

namespace vcan {

struct Interface;

// The most messages read from one client, or queued for one client, in one forwarding pass.
inline constexpr std::size_t k_batch = 64;

struct ClientCounters {
    std::uint64_t sent = 0;       // valid frames this client wrote
    std::uint64_t delivered = 0;  // frames handed to this client's receive queue
    std::uint64_t dropped = 0;    // frames lost because this client's queue was full
    std::uint64_t refused = 0;    // malformed messages this client wrote
};

struct Client : Watched {
    Client() : Watched{Watched::Kind::client} {}

    int id = 0;
    pid_t pid = 0;
    int fd = -1;
    bool open = true;
    // Set by the first message (the shim's options, or a frame): until then the socket is still
    // being bound and receives nothing, as a kernel socket before bind.
    bool ready = false;
    Interface* iface = nullptr;

    ReceiveFilter filter;
    bool recv_own_msgs = false;
    bool loopback = true;

    ClientCounters counters;

    // Frames queued for this client in the current pass; out_count <= k_batch always, since a pass
    // forwards at most one batch read from a single writer.
    std::array<can_frame, k_batch> out{};
    std::size_t out_count = 0;
};

}  // namespace vcan
