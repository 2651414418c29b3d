// One simulated CAN interface of the bus: its listening socket and its clients. Closed clients stay
// in `all` so their counters remain in the statistics.
//
// Thread-safety: daemon thread only.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "vcanbusd/client.hpp"
#include "vcanbusd/watched.hpp"

namespace vcan {

struct Interface : Watched {
    Interface() : Watched{Watched::Kind::listener} {}

    int index = 0;
    std::string name;
    int listen_fd = -1;
    std::vector<Client*> open_clients;         // the receivers of this interface's frames
    std::vector<std::unique_ptr<Client>> all;  // every client ever accepted, in accept order
};

}  // namespace vcan
